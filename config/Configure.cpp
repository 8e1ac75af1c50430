#include "config/Configure.h"

TConfigForm::TConfigForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TConfigForm"));
    setWindowTitle(QStringLiteral("Configure Mirto"));
}
