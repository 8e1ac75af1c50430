#include "firmware/Remove.h"

TRemoveForm::TRemoveForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TRemoveForm"));
    setWindowTitle(QStringLiteral("Please........"));
}
