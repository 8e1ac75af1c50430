#include "desktop/config/Addch.h"

#include "core/config/Programming.h"

#include "desktop/TypingLimit.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/KeyPreview.h"
#include "desktop/Mnemonic.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TAddChannelForm::TAddChannelForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TAddChannelForm"));
    setWindowTitle(QStringLiteral("Add a new Channel"));
    setAccessibleName(QStringLiteral("Add a new Channel"));

    auto *nameLabel = new QLabel(QStringLiteral("Name"), this);
    nameLabel->setObjectName(QStringLiteral("NameLabel"));
    m_nameEdit = new QLineEdit(this);
    m_nameEdit->setObjectName(QStringLiteral("ChannelNameEdit"));
    m_nameEdit->setAccessibleName(QStringLiteral("Name"));
    TypingLimit::Install(m_nameEdit, NameLimit);
    nameLabel->setBuddy(m_nameEdit);

    auto *urlLabel = new QLabel(QStringLiteral("URL"), this);
    urlLabel->setObjectName(QStringLiteral("UrlLabel"));
    m_urlEdit = new QLineEdit(this);
    m_urlEdit->setObjectName(QStringLiteral("ChannelUrlEdit"));
    m_urlEdit->setAccessibleName(QStringLiteral("URL"));
    m_urlEdit->setMinimumWidth(m_urlEdit->fontMetrics().averageCharWidth() * 50);
    TypingLimit::Install(m_urlEdit, UrlLimit);
    urlLabel->setBuddy(m_urlEdit);

    m_okButton = new QPushButton(QStringLiteral("&OK"), this);
    m_okButton->setObjectName(QStringLiteral("OKButton"));
    m_cancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("CancelButton"));
    // Enter is the window's own key (it acts as OK once); no button may take
    // it as the default button as well.
    for (QPushButton *b : {m_okButton, m_cancelButton}) {
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setAccessibleName(WithoutMnemonic(b->text()));
    }
    connect(m_okButton, &QPushButton::clicked, this, &TAddChannelForm::OKButtonClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &TAddChannelForm::CancelClicked);

    auto *fields = new QGridLayout;
    fields->addWidget(nameLabel, 0, 0);
    fields->addWidget(m_nameEdit, 0, 1);
    fields->addWidget(urlLabel, 1, 0);
    fields->addWidget(m_urlEdit, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);

    // Enter accepts from any control, once per physical key, the same way
    // every window of the tool takes its keys.
    new KeyPreview(this, [this](QKeyEvent *key, QWidget *) { return FormKeyPress(key); });
}

QByteArray TAddChannelForm::ChannelName() const
{
    return m_nameEdit->text().toLatin1();
}

QByteArray TAddChannelForm::ChannelUrl() const
{
    return m_urlEdit->text().toLatin1();
}

void TAddChannelForm::AddChannelFormActivate()
{
    setWindowTitle(QStringLiteral("Add Channel %1").arg(m_newNumber));
}

void TAddChannelForm::OKButtonClicked()
{
    // A field of blanks counts as filled.
    if (m_nameEdit->text().isEmpty() || m_urlEdit->text().isEmpty()) {
        ShowError(this, QStringLiteral("Please fill in BOTH fields....  "));
        return;
    }
    // Typing cannot put '>' there, but text set by the program could; the
    // channel would be refused only when it is programmed.
    for (QLineEdit *field : {m_nameEdit, m_urlEdit}) {
        if (field->text().contains(QLatin1Char('>'))) {
            field->setFocus(Qt::OtherFocusReason);
            TypingLimit::ShowReason(field, PromptMarkReason());
            return;
        }
    }
    accept();
}

void TAddChannelForm::CancelClicked()
{
    reject();
}

bool TAddChannelForm::FormKeyPress(const QKeyEvent *event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    // A held key must not add one channel per repeat.
    if (!event->isAutoRepeat())
        OKButtonClicked();
    return true;
}


void TAddChannelForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        AddChannelFormActivate();
        m_nameEdit->setFocus(Qt::OtherFocusReason);
    }
}
