#include "desktop/Advanced.h"

#include "desktop/TypingLimit.h"

#include "desktop/fields/AbNumEdit.h"
#include "core/DevicePorts.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/KeyPreview.h"
#include "desktop/Mnemonic.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace {

QGroupBox *makeGroup(const char *caption, QWidget *parent)
{
    auto *group = new QGroupBox(QLatin1String(caption), parent);
    group->setAccessibleName(QLatin1String(caption));
    return group;
}

} // namespace

TAdvancedForm::TAdvancedForm(CommandPort &port, QWidget *parent) : QDialog(parent), m_port(port)
{
    setObjectName(QStringLiteral("AdvancedForm"));
    setWindowTitle(QStringLiteral("Test and Analysis"));
    setModal(false);

    QGroupBox *settings = makeGroup("Show Settings", this);
    auto *settingsLayout = new QVBoxLayout(settings);
    for (QPushButton *button : {
             addButton(settings, "ModeButton", "M&ode", {"mode\n"}),
             addButton(settings, "ISPButton", "&ISP", {"isp\n"}),
             addButton(settings, "ChannelButton", "C&hannels", {"channel\n"}),
             addButton(settings, "TypeButton", "&Type", {"type\n"}),
             addButton(settings, "AllButton", "&All", {"mode\n", "isp\n", "channel\n", "type\n"}),
         })
        settingsLayout->addWidget(button);
    settingsLayout->addStretch();

    QGroupBox *tech = makeGroup("Show Tech info", this);
    auto *techLayout = new QVBoxLayout(tech);
    for (QPushButton *button : {
             addButton(tech, "MemButton", "Memory &Usage", {"memory\n"}),
             addButton(tech, "HeapButton", "H&eap Usage", {"heap\n"}),
             addButton(tech, "ThreadsButton", "Th&reads", {"threads\n"}),
             addButton(tech, "TimersButton", "Ti&mers", {"timers\n"}),
             addButton(tech, "VS1011Button", "VS&1011 Info", {"vshow\n"}),
         })
        techLayout->addWidget(button);
    techLayout->addStretch();

    QGroupBox *misc = makeGroup("Misc", this);
    auto *miscLayout = new QVBoxLayout(misc);
    for (QPushButton *button : {
             addButton(misc, "EEPROMButton", "&Dump EEPROM", {"eeprom\n"}),
             addButton(misc, "VersionButton", "Dump &Version info", {"ver\n"}),
             addButton(misc, "SerialButton", "Dump Mac + S&N", {"snum\n"}),
         })
        miscLayout->addWidget(button);
    miscLayout->addStretch();

    QGroupBox *serial = makeGroup("Serial Number", this);
    m_serialEdit = new TAbNumEdit(serial);
    m_serialEdit->setObjectName(QStringLiteral("SerialAbNumEdit"));
    m_serialEdit->setToolTip(QStringLiteral("Enter your 5-digit Serialnumber here"));
    m_serialEdit->setAccessibleName(QStringLiteral("Serial number"));
    m_programButton = addButton(serial, "ProgramSerialNumberButton", "&Program", {});
    m_programButton->setToolTip(QStringLiteral("Program Serial Number in your Mirto"));
    auto *serialLayout = new QHBoxLayout(serial);
    serialLayout->addWidget(m_serialEdit);
    serialLayout->addWidget(m_programButton);

    QGroupBox *command = makeGroup("Send Command", this);
    m_commandLine = new QLineEdit(command);
    m_commandLine->setObjectName(QStringLiteral("CommandLineEdit"));
    m_commandLine->setAccessibleName(QStringLiteral("Command"));
    // A pasted line too long to go out with its line feed is refused whole
    // rather than cut and sent; untypable characters never reach the device.
    TypingLimit::Install(m_commandLine, CommandLineCapacity);
    m_commandLine->setMinimumWidth(260);
    m_sendButton = addButton(command, "SendButton", "&Send", {});
    auto *close = new QPushButton(QStringLiteral("&Close"), command);
    close->setObjectName(QStringLiteral("CloseButton"));
    close->setAccessibleName(QStringLiteral("Close"));
    close->setAutoDefault(false);
    close->setDefault(false);
    connect(close, &QPushButton::clicked, this, &TAdvancedForm::CloseButtonClick);
    auto *commandLayout = new QHBoxLayout(command);
    commandLayout->addWidget(m_commandLine, 1);
    commandLayout->addWidget(m_sendButton);
    commandLayout->addWidget(close);

    auto *right = new QVBoxLayout;
    right->addWidget(misc);
    right->addWidget(serial);
    right->addStretch();
    auto *groups = new QHBoxLayout;
    groups->addWidget(settings);
    groups->addWidget(tech);
    groups->addLayout(right);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(groups);
    layout->addWidget(command);
    // A fixed dialog border: the window keeps the size of its contents.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(m_commandLine, m_sendButton);
    m_commandLine->setFocus();

    // Key preview: the window sees every key before the control that has the
    // focus, so that Enter sends the command line from anywhere.
    // Enter sends the command line whichever control has the focus, once.
    new KeyPreview(this, [this](QKeyEvent *key, QWidget *) {
        const Qt::KeyboardModifiers extra =
            key->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || extra != Qt::NoModifier)
            return false;
        if (!key->isAutoRepeat())
            KeyPressed('\r');
        return true;
    });
}

TAdvancedForm::~TAdvancedForm() = default;

QPushButton *TAdvancedForm::addButton(QWidget *group, const char *name, const char *caption,
                                      QList<QByteArray> commands)
{
    auto *button = new QPushButton(QLatin1String(caption), group);
    button->setObjectName(QLatin1String(name));
    button->setAccessibleName(WithoutMnemonic(QLatin1String(caption)));
    // Enter belongs to the command line; no button may take it as the
    // dialog's default.
    button->setAutoDefault(false);
    button->setDefault(false);
    m_commands.insert(button, std::move(commands));
    connect(button, &QPushButton::clicked, this, [this, button] { CommandButtonClick(button); });
    return button;
}

void TAdvancedForm::CommandButtonClick(QObject *sender)
{
    QList<QByteArray> lines;
    if (sender == m_programButton) {
        // The field takes its text as if the focus left it. A text that fails
        // its check is marked there and never reaches the device, whose
        // identity it would change.
        if (!m_serialEdit->AcceptText()) {
            m_serialEdit->setFocus();
            return;
        }
        // The device takes its MAC address from its serial number: the user
        // confirms first. Asked before the link is opened, so that No sends
        // nothing at all.
        const QString serial = m_serialEdit->text();
        if (!AskYesNo(this, SerialNumberQuestion(serial)))
            return;
        lines = {"snum 0000" + serial.toLatin1() + '\n'};
    } else if (sender == m_sendButton) {
        lines = {m_commandLine->text().toLatin1() + '\n'};
    } else {
        lines = m_commands.value(sender);
        if (lines.isEmpty())
            return;
    }

    // The network link only starts connecting here, and the row goes out
    // once it has connected; a serial link whose port failed, a link lost
    // half-way through a row or a device busy with another job has told the
    // user once, and the rest of the row stays unsent.
    try {
        if (!m_port.SendLines(lines))
            return;
        // The status bar shows the number the device now has.
        if (sender == m_programButton)
            m_port.Reidentify();
    } catch (const std::exception &error) {
        ShowException(error);
        return;
    }
    m_commandLine->setFocus();
    // The next command typed replaces the one just sent (which stays for
    // sending again).
    if (sender == m_sendButton)
        m_commandLine->selectAll();
}

QString TAdvancedForm::SerialNumberQuestion(const QString &serial)
{
    return QStringLiteral("Give this device serial number %1? Its MAC address changes with it.")
        .arg(serial);
}

void TAdvancedForm::KeyPressed(int key)
{
    if (key == '\r')
        CommandButtonClick(m_sendButton);
}

void TAdvancedForm::CloseButtonClick()
{
    close();
}

void TAdvancedForm::showEvent(QShowEvent *event)
{
    // Where it first opens is the main window's choice (beside its terminal);
    // later openings keep the place the user gave the window.
    QDialog::showEvent(event);
    m_commandLine->setFocus();
}
