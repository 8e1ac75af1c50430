#include "diag/Advanced.h"

TAdvancedForm::TAdvancedForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TAdvancedForm"));
    setWindowTitle(QStringLiteral("Test and Analysis"));
}
