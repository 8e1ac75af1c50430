#include "firmware/Upload.h"

TUploadForm::TUploadForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TUploadForm"));
    setWindowTitle(QStringLiteral("Update Mirto Firmware"));
}
