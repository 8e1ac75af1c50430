#include "config/Addch.h"

TAddChannelForm::TAddChannelForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TAddChannelForm"));
    setWindowTitle(QStringLiteral("Add a new Channel"));
}
