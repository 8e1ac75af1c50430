#include "desktop/About.h"

#include "desktop/Resources.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

TAboutForm::TAboutForm(QWidget *parent) : QDialog(parent)
{
    InitMirtoResources();
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About Mirto Terminal"));

    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("ProgramIcon"));
    picture->setPixmap(QIcon(QStringLiteral(":/mirto-terminal.svg")).pixmap(64, 64));
    auto *product = new QLabel(QStringLiteral("Mirto Terminal"), this);
    product->setObjectName(QStringLiteral("ProductName"));
    QFont big = product->font();
    big.setPointSize(big.pointSize() * 2);
    big.setBold(true);
    product->setFont(big);
    auto *version = new QLabel(QStringLiteral("Version 4.0   build 14  (jan 2007)"), this);
    version->setObjectName(QStringLiteral("Version"));
    auto *note = new QLabel(QStringLiteral("Service and terminal tool for Mirto network audio-stream "
                                           "receivers."),
                            this);
    note->setWordWrap(true);
    auto *second = new QLabel(this);
    second->setObjectName(QStringLiteral("ProgramIcon2"));
    second->setPixmap(style()->standardIcon(QStyle::SP_DriveNetIcon).pixmap(48, 48));

    auto *ok = new QPushButton(QStringLiteral("&OK"), this);
    ok->setAccessibleName(QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto *text = new QVBoxLayout;
    text->addWidget(product);
    text->addWidget(version);
    text->addWidget(note);
    auto *top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addLayout(text, 1);
    top->addWidget(second, 0, Qt::AlignTop);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
