#include "desktop/firmware/Remove.h"

#include "desktop/Mnemonic.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TRemoveForm::TRemoveForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TRemoveForm"));
    setWindowTitle(QStringLiteral("Please........"));
    setAccessibleName(QStringLiteral("Please........"));

    auto *intro = new QLabel(QStringLiteral("To start the Firmware Upload:"), this);
    intro->setObjectName(QStringLiteral("StartLabel"));
    intro->setAccessibleName(intro->text());

    auto *request = new QLabel(
        QStringLiteral("Please remove the Powerplug from your Mirto and plug it in again"), this);
    request->setObjectName(QStringLiteral("PowerplugLabel"));
    request->setAccessibleName(request->text());
    QFont bold = request->font();
    bold.setBold(true);
    request->setFont(bold);
    QPalette maroon = request->palette();
    maroon.setColor(QPalette::WindowText, QColor(0x80, 0x00, 0x00));
    request->setPalette(maroon);

    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("CloseButton"));
    close->setAccessibleName(WithoutMnemonic(close->text()));
    // Enter must not close the prompt behind the user's back.
    close->setAutoDefault(false);
    close->setDefault(false);
    connect(close, &QPushButton::clicked, this, &TRemoveForm::CloseButtonClick);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(request);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TRemoveForm::CloseButtonClick()
{
    done(QDialog::Rejected);
}
