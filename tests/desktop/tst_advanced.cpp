#include "desktop/Advanced.h"
#include "desktop/fields/AbNumEdit.h"
#include "core/DeviceConnection.h"
#include "core/DevicePorts.h"
#include "desktop/Mnemonic.h"
#include "sim/core/SimDevice.h"
#include "tests/TestHelpers.h"
#include "tests/desktop/DialogAnswerers.h"

#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// The console's view of the link, scripted: records what goes out.
class FakePort : public CommandPort {
public:
    bool connected = true;
    // Whether OpenConnection makes the link count as open (serial and USB
    // with a device) or only starts an attempt (network).
    bool openSucceeds = true;
    int opens = 0;
    QList<QByteArray> sent;

    bool IsConnected() const override { return connected; }
    int Interface() const override { return InterfaceSerial; }
    void OpenConnection() override
    {
        ++opens;
        connected = openSucceeds;
    }
    bool SendCommand(const QByteArray &text) override
    {
        sent << text;
        if (dropAfterSends > 0 && sent.size() == dropAfterSends)
            connected = false;
        return true;
    }
    bool ExchangeCommand(const QByteArray &text) override
    {
        sent << text;
        return true;
    }
    QByteArray Reply() const override { return {}; }
    void Reidentify() override { ++reidentified; }

    // The link goes away after this many sends; 0 never.
    int dropAfterSends = 0;
    int reidentified = 0;
};

template <typename T = QWidget>
T *control(QWidget &form, const QString &name)
{
    T *widget = form.findChild<T *>(name);
    if (!widget)
        qWarning("no control %s", qPrintable(name));
    return widget;
}

void showActive(QWidget &form)
{
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
}

// The diagnostic buttons with their captions and the lines each sends.
struct ButtonRow {
    const char *name;
    const char *caption;
    QList<QByteArray> lines;
};

const QList<ButtonRow> &diagnosticButtons()
{
    static const QList<ButtonRow> rows = {
        {"ModeButton", "Mode", {"mode\n"}},
        {"ISPButton", "ISP", {"isp\n"}},
        {"ChannelButton", "Channels", {"channel\n"}},
        {"TypeButton", "Type", {"type\n"}},
        {"AllButton", "All", {"mode\n", "isp\n", "channel\n", "type\n"}},
        {"MemButton", "Memory Usage", {"memory\n"}},
        {"HeapButton", "Heap Usage", {"heap\n"}},
        {"ThreadsButton", "Threads", {"threads\n"}},
        {"TimersButton", "Timers", {"timers\n"}},
        {"VS1011Button", "VS1011 Info", {"vshow\n"}},
        {"EEPROMButton", "Dump EEPROM", {"eeprom\n"}},
        {"VersionButton", "Dump Version info", {"ver\n"}},
        {"SerialButton", "Dump Mac + SN", {"snum\n"}},
    };
    return rows;
}

const QStringList everyButton = {
    "ModeButton",   "ISPButton",     "ChannelButton", "TypeButton",
    "AllButton",    "MemButton",     "HeapButton",    "ThreadsButton",
    "TimersButton", "VS1011Button",  "EEPROMButton",  "VersionButton",
    "SerialButton", "ProgramSerialNumberButton",      "SendButton",
    "CloseButton",
};

QByteArray joined(const QList<QByteArray> &lines)
{
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line;
    return all;
}

} // namespace

class tst_advanced : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void window();
    void buttons_data();
    void buttons();
    void enterSendsOnlyTheCommandLine_data();
    void enterSendsOnlyTheCommandLine();
    void notConnected_data();
    void notConnected();
    void linkLostDuringAll();
    void serialNumber_data();
    void serialNumber();
    void commandLineFitsOneWrite();
    void closeSendsNothing();
    void nextCommandReplacesTheSentOne();
    void serialNumberAsksFirst_data();
    void serialNumberAsksFirst();
    void wire_data();
    void wire();
    void networkFirstPressSendsOnceConnected();
    void quietDeviceAfterAll_data();
    void quietDeviceAfterAll();
};

void tst_advanced::window()
{
    FakePort port;
    TAdvancedForm form(port);
    showActive(form);
    QCOMPARE(form.windowTitle(), QString("Test and Analysis"));
    QVERIFY(!form.isModal());
    QCOMPARE(form.size(), form.minimumSize());
    QCOMPARE(form.size(), form.maximumSize());
    QCOMPARE(QApplication::focusWidget(), control(form, "CommandLineEdit"));
    QStringList groups;
    for (const QGroupBox *group : form.findChildren<QGroupBox *>())
        groups << group->title();
    groups.sort();
    QCOMPARE(groups, QStringList({"Misc", "Send Command", "Serial Number", "Show Settings",
                                  "Show Tech info"}));
    QCOMPARE(control(form, "SerialAbNumEdit")->toolTip(),
             QString("Enter your 5-digit Serialnumber here"));
    QCOMPARE(control(form, "ProgramSerialNumberButton")->toolTip(),
             QString("Program Serial Number in your Mirto"));
    for (QWidget *widget : form.findChildren<QWidget *>()) {
        if (widget->focusPolicy() != Qt::NoFocus)
            QVERIFY2(!widget->accessibleName().isEmpty(), qPrintable(widget->objectName()));
    }
    // No button takes Enter as the dialog's default; each has an Alt+letter
    // key of its own.
    QList<QChar> keys;
    for (const QPushButton *button : form.findChildren<QPushButton *>()) {
        QVERIFY2(!button->autoDefault() && !button->isDefault(),
                 qPrintable(button->objectName()));
        const QChar key = MnemonicOf(button->text());
        QVERIFY2(!key.isNull() && !keys.contains(key), qPrintable(button->text()));
        keys << key;
        QCOMPARE(button->accessibleName(), WithoutMnemonic(button->text()));
    }

    // A later opening comes back with the focus in the command line again.
    control(form, "ModeButton")->setFocus();
    form.hide();
    form.show();
    QCOMPARE(form.focusWidget(), control(form, "CommandLineEdit"));
}

void tst_advanced::buttons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QList<QByteArray>>("lines");
    for (const ButtonRow &row : diagnosticButtons())
        QTest::newRow(row.name) << row.name << row.caption << "" << row.lines;
    QTest::newRow("Send") << "SendButton" << "Send" << "help" << QList<QByteArray>{"help\n"};
    QTest::newRow("Send: the text exactly as typed")
        << "SendButton" << "Send" << "  isp 1  My ISP " << QList<QByteArray>{"  isp 1  My ISP \n"};
    QTest::newRow("Send: an empty line is a lone line feed")
        << "SendButton" << "Send" << "" << QList<QByteArray>{"\n"};
    QTest::newRow("Send: Latin-1 survives")
        << "SendButton" << "Send" << QString::fromLatin1("isp 1 caf\xe9")
        << QList<QByteArray>{"isp 1 caf\xe9\n"};
}

void tst_advanced::buttons()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QString, command);
    QFETCH(QList<QByteArray>, lines);

    FakePort port;
    TAdvancedForm form(port);
    showActive(form);
    auto *commandLine = control<QLineEdit>(form, "CommandLineEdit");
    commandLine->setText(command);
    auto *button = control<QPushButton>(form, name);
    QCOMPARE(WithoutMnemonic(button->text()), caption);
    button->setFocus();
    button->click();
    QCOMPARE(port.sent, lines);
    QCOMPARE(port.opens, 0);
    QCOMPARE(QApplication::focusWidget(), commandLine);
    QCOMPARE(commandLine->text(), command); // kept for the next send
    // After Send it is selected: what is typed next replaces it.
    QCOMPARE(commandLine->selectedText(), name == "SendButton" ? command : QString());
}

void tst_advanced::nextCommandReplacesTheSentOne()
{
    FakePort port;
    TAdvancedForm form(port);
    showActive(form);
    auto *commandLine = control<QLineEdit>(form, "CommandLineEdit");
    QTest::keyClicks(commandLine, "snum");
    QTest::keyClick(commandLine, Qt::Key_Return);
    QTest::keyClicks(commandLine, "bogus cmd");
    QTest::keyClick(commandLine, Qt::Key_Return);
    QCOMPARE(port.sent, (QList<QByteArray>{"snum\n", "bogus cmd\n"}));
}

void tst_advanced::enterSendsOnlyTheCommandLine_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<bool>("autoRepeat");
    QTest::addColumn<QList<QByteArray>>("lines");
    const QList<QByteArray> once = {"ver\n"};
    for (const QString &name : everyButton + QStringList{"SerialAbNumEdit", "CommandLineEdit"})
        QTest::newRow(qPrintable("Return on " + name))
            << name << Qt::Key_Return << Qt::KeyboardModifiers() << false << once;
    QTest::newRow("keypad Enter") << "AllButton" << Qt::Key_Enter
                                  << Qt::KeyboardModifiers(Qt::KeypadModifier) << false << once;
    QTest::newRow("auto-repeat sends nothing more")
        << "CommandLineEdit" << Qt::Key_Return << Qt::KeyboardModifiers() << true
        << QList<QByteArray>{};
    QTest::newRow("Control+Return is no Enter")
        << "CommandLineEdit" << Qt::Key_Return << Qt::KeyboardModifiers(Qt::ControlModifier)
        << false << QList<QByteArray>{};
    QTest::newRow("other keys send nothing")
        << "ModeButton" << Qt::Key_M << Qt::KeyboardModifiers() << false << QList<QByteArray>{};
}

void tst_advanced::enterSendsOnlyTheCommandLine()
{
    QFETCH(QString, focus);
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(bool, autoRepeat);
    QFETCH(QList<QByteArray>, lines);

    FakePort port;
    TAdvancedForm form(port);
    showActive(form);
    control<QLineEdit>(form, "CommandLineEdit")->setText("ver");
    control<QLineEdit>(form, "SerialAbNumEdit")->setText("12ABC");
    QWidget *target = control(form, focus);
    target->setFocus();
    QKeyEvent press(QEvent::KeyPress, key, modifiers, key == Qt::Key_M ? "m" : "\r", autoRepeat);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, key == Qt::Key_M ? "m" : "\r",
                      autoRepeat);
    QApplication::sendEvent(target, &release);
    QCOMPARE(port.sent, lines);
    QVERIFY(form.isVisible());
}

void tst_advanced::notConnected_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("openSucceeds");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::newRow("link opens: the command follows")
        << "AllButton" << true << QList<QByteArray>{"mode\n", "isp\n", "channel\n", "type\n"};
    QTest::newRow("link opens: Send follows") << "SendButton" << true << QList<QByteArray>{"x\n"};
    QTest::newRow("link does not open: nothing goes out")
        << "AllButton" << false << QList<QByteArray>{};
    QTest::newRow("link does not open: Program sends nothing")
        << "ProgramSerialNumberButton" << false << QList<QByteArray>{};
}

void tst_advanced::notConnected()
{
    QFETCH(QString, name);
    QFETCH(bool, openSucceeds);
    QFETCH(QList<QByteArray>, lines);

    FakePort port;
    port.connected = false;
    port.openSucceeds = openSucceeds;
    ModalAnswerer yes(QMessageBox::Yes); // the serial number's question
    TAdvancedForm form(port);
    showActive(form);
    control<QLineEdit>(form, "CommandLineEdit")->setText("x");
    control<QLineEdit>(form, "SerialAbNumEdit")->setText("42");
    auto *button = control<QPushButton>(form, name);
    button->setFocus();
    button->click();
    QCOMPARE(port.opens, 1);
    QCOMPARE(port.sent, lines);
    // Nothing sent: the focus stays where it was (the window's focus: a
    // question may have been up).
    QCOMPARE(form.focusWidget(),
             openSucceeds ? control(form, "CommandLineEdit") : static_cast<QWidget *>(button));
}

void tst_advanced::linkLostDuringAll()
{
    // The first send loses the link and has told the user so; the other
    // three would only tell it again.
    FakePort port;
    port.dropAfterSends = 1;
    TAdvancedForm form(port);
    control<QPushButton>(form, "AllButton")->click();
    QCOMPARE(port.sent, QList<QByteArray>{"mode\n"});
    QCOMPARE(port.opens, 0);
}

void tst_advanced::serialNumber_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("leaveField");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("five digits") << "12ABC" << true << QByteArray("snum 000012ABC\n");
    QTest::newRow("shorter number, shorter line") << "42" << true << QByteArray("snum 000042\n");
    QTest::newRow("lower case shown in upper case") << "1f2e" << true
                                                    << QByteArray("snum 00001F2E\n");
    QTest::newRow("leading zeros dropped by the field") << "0000F" << true
                                                        << QByteArray("snum 0000F\n");
    QTest::newRow("decimal entry shown as hex") << "%100" << true << QByteArray("snum 000064\n");
    QTest::newRow("highest") << "FFFFF" << true << QByteArray("snum 0000FFFFF\n");
    // Pressed without the focus leaving the field (a shortcut, a screen
    // reader): the field still takes the text first.
    QTest::newRow("not yet taken: lower case") << "12abc" << false
                                               << QByteArray("snum 000012ABC\n");
    QTest::newRow("not yet taken: another base") << "%100" << false
                                                 << QByteArray("snum 000064\n");
    QTest::newRow("not yet taken: empty is 0") << "" << false << QByteArray("snum 00000\n");
    // What the field rejects never reaches the device, whose identity it
    // would change.
    QTest::newRow("invalid digit") << "12G4" << true << QByteArray();
    QTest::newRow("invalid digit, field not left") << "12G4" << false << QByteArray();
    QTest::newRow("blank inside") << "1 2" << true << QByteArray();
}

void tst_advanced::serialNumber()
{
    QFETCH(QString, typed);
    QFETCH(bool, leaveField);
    QFETCH(QByteArray, line);

    FakePort port;
    port.connected = false;
    ModalAnswerer yes(QMessageBox::Yes);
    TAdvancedForm form(port);
    showActive(form);
    auto *field = control<QLineEdit>(form, "SerialAbNumEdit");
    auto *program = control<QPushButton>(form, "ProgramSerialNumberButton");
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, typed);
    if (leaveField) {
        // A click moves the focus to the button first: the field checks and
        // takes its text as the focus leaves it.
        QTest::mouseClick(program, Qt::LeftButton);
    } else {
        program->click();
    }
    if (line.isEmpty()) {
        QCOMPARE(port.sent, QList<QByteArray>{});
        QCOMPARE(port.opens, 0);
        QCOMPARE(QApplication::focusWidget(), field);
        QCOMPARE(yes.allTexts(), QStringList()); // nothing to ask about
    } else {
        QCOMPARE(port.sent, QList<QByteArray>{line});
        QCOMPARE(form.focusWidget(), control(form, "CommandLineEdit"));
        // The number asked about is the one sent.
        const QString sentNumber = QString::fromLatin1(line.mid(9).chopped(1));
        QCOMPARE(yes.allTexts(), QStringList{TAdvancedForm::SerialNumberQuestion(sentNumber)});
    }
}

void tst_advanced::serialNumberAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<int>("identifications");
    QTest::newRow("Yes: sent, then the device is identified again")
        << int(QMessageBox::Yes) << QList<QByteArray>{"snum 000012ABC\n"} << 1;
    QTest::newRow("No: nothing sent, the link not even opened")
        << int(QMessageBox::No) << QList<QByteArray>{} << 0;
}

void tst_advanced::serialNumberAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(int, identifications);
    FakePort port;
    port.connected = false;
    TAdvancedForm form(port);
    showActive(form);
    control<QLineEdit>(form, "SerialAbNumEdit")->setText("12ABC");
    ModalAnswerer answerer(answer);
    // Alt+P is the Program button's key (a key shows the button pressed a
    // moment before it clicks).
    QTest::keyClick(control(form, "CommandLineEdit"), Qt::Key_P, Qt::AltModifier);
    QTRY_VERIFY(answerer.seen());
    QCOMPARE(answerer.allTexts(),
             QStringList{"Give this device serial number 12ABC? Its MAC address changes with it."});
    QCOMPARE(answerer.allIcons(), QList<int>{QMessageBox::Question});
    QCOMPARE(port.sent, lines);
    QCOMPARE(port.opens, lines.isEmpty() ? 0 : 1);
    QCOMPARE(port.reidentified, identifications);
}

void tst_advanced::commandLineFitsOneWrite()
{
    FakePort port;
    TAdvancedForm form(port);
    showActive(form);
    auto *commandLine = control<QLineEdit>(form, "CommandLineEdit");
    // A pasted line that could not go out with its line feed is refused
    // whole, never cut and sent; typing stops where the line feed still fits.
    commandLine->insert(QString(1100, 'a'));
    QCOMPARE(commandLine->text(), QString());
    commandLine->insert(QString(1021, 'a'));
    QTest::keyClick(commandLine, Qt::Key_A);
    QTest::keyClick(commandLine, Qt::Key_B);
    QCOMPARE(commandLine->text().size(), 1022);
    control<QPushButton>(form, "SendButton")->click();
    QCOMPARE(port.sent, QList<QByteArray>{QByteArray(1022, 'a') + '\n'});
}

void tst_advanced::closeSendsNothing()
{
    FakePort port;
    port.connected = false;
    TAdvancedForm form(port);
    showActive(form);
    control<QPushButton>(form, "CloseButton")->click();
    QVERIFY(!form.isVisible());
    QCOMPARE(port.opens, 0);
    QCOMPARE(port.sent, QList<QByteArray>{});
}

void tst_advanced::wire_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("byEnter");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("answer");
    // The simulator's answers, as they reach the terminal.
    const QList<QByteArray> answers = {
        "3 (fixed ISP, fixed channels)",
        "1 ISP name",
        "No channels",
        "TE (telephone line and Ethernet)",
        "TE (telephone line and Ethernet)",
        "Memory usage",
        "Heap usage",
        "State    Stack",
        "Period",
        "VS1011 decoder",
        "0000  30 30 30 34 32",
        "Mirto V: 4.0.1",
        "MAC ",
    };
    for (qsizetype i = 0; i < diagnosticButtons().size(); ++i) {
        const ButtonRow &row = diagnosticButtons().at(i);
        QTest::newRow(row.name) << row.name << false << joined(row.lines) << answers.at(i);
    }
    QTest::newRow("Program") << "ProgramSerialNumberButton" << false
                             << QByteArray("snum 000012ABC\n") << QByteArray("serial number stored");
    QTest::newRow("Send") << "SendButton" << false << QByteArray("help\n")
                          << QByteArray("Commands:");
    QTest::newRow("Enter on a button") << "AllButton" << true << QByteArray("help\n")
                                       << QByteArray("Commands:");
    QTest::newRow("Enter on the serial number") << "SerialAbNumEdit" << true
                                                << QByteArray("help\n") << QByteArray("Commands:");
}

void tst_advanced::wire()
{
    QFETCH(QString, name);
    QFETCH(bool, byEnter);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, answer);

    StartDirectoryEnv env;
    auto device = std::make_shared<SimDevice>();
    ScriptedDevice wire(
        [device](const QByteArray &line) { return QList<QByteArray>{device->HandleLine(line)}; },
        0);
    const int comPort = wire.registerAs();
    QVERIFY(comPort > 0);
    ConnectionRig rig(InterfaceSerial);
    rig.conn.VaComm().SetPortNum(comPort);

    ModalAnswerer yes(QMessageBox::Yes); // the serial number's question
    TAdvancedForm form(rig.conn);
    showActive(form);
    control<QLineEdit>(form, "CommandLineEdit")->setText("help");
    control<QLineEdit>(form, "SerialAbNumEdit")->setText("12ABC");
    QWidget *target = control(form, name);
    target->setFocus();
    if (byEnter)
        QTest::keyClick(target, Qt::Key_Return);
    else
        static_cast<QPushButton *>(target)->click();

    // Not connected at first: the device is identified, then the command
    // goes out, and nothing else.
    QList<QByteArray> expected = {"snum", "ver"};
    for (const QByteArray &line : bytes.split('\n').mid(0, bytes.count('\n')))
        expected << line;
    // A new serial number: the device is identified again, and the status
    // bar shows the number it now has.
    if (name == "ProgramSerialNumberButton")
        expected << "snum" << "ver";
    QTRY_COMPARE(wire.lines(), expected);
    QTRY_VERIFY2(rig.user.terminal.contains(answer), rig.user.terminal.right(300).constData());
    QTest::qWait(50);
    QCOMPARE(wire.lines(), expected);
    QCOMPARE(rig.user.told, QStringList());
    QCOMPARE(rig.user.linkErrors, QStringList());
    if (name == "ProgramSerialNumberButton")
        QVERIFY2(rig.user.identification.startsWith(" SN: [12ABC]"),
                 qPrintable(rig.user.identification));
}

void tst_advanced::networkFirstPressSendsOnceConnected()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    ConnectionRig rig(InterfaceNetwork);
    rig.user.hostAnswer = "127.0.0.1";
    DeviceConnection &connection = rig.conn;
    connection.ClientSocket().SetPort(server.serverPort());

    TAdvancedForm form(connection);
    showActive(form);
    auto *all = control<QPushButton>(form, "AllButton");
    all->setFocus();
    all->click();
    QCOMPARE(rig.user.addressAsked, 1);
    QCOMPARE(rig.user.proposed, QString("192.168.0.100"));
    QVERIFY(!connection.IsConnected());
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(all));

    QTRY_VERIFY(server.hasPendingConnections() || connection.IsConnected());
    QTcpSocket *peer = server.nextPendingConnection();
    QVERIFY(peer);
    QTRY_VERIFY(connection.IsConnected());
    // The first press goes out once the link is up; the second works as over
    // a serial link.
    QByteArray received;
    const auto readAll = [&] { received += peer->readAll(); };
    connect(peer, &QTcpSocket::readyRead, peer, readAll);
    readAll();
    QTRY_COMPARE(received, QByteArray("mode\nisp\nchannel\ntype\n"));
    all->click();
    QTRY_COMPARE(received, QByteArray("mode\nisp\nchannel\ntype\n").repeated(2));
    QCOMPARE(rig.user.addressAsked, 1);
    QCOMPARE(rig.user.told, QStringList());
    connection.Shutdown();
}

void tst_advanced::quietDeviceAfterAll_data()
{
    QTest::addColumn<int>("presses");
    QTest::newRow("All once") << 1;
    QTest::newRow("All five times") << 5;
}

void tst_advanced::quietDeviceAfterAll()
{
    // A device gone quiet owes a prompt for every line All sent. Each is
    // written off when its own time is up, so the exchange that follows ends
    // one time-out after its line went out, not one time-out per line.
    QFETCH(int, presses);
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--silent"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    ConnectionRig rig(InterfaceSerial);
    DeviceConnection &connection = rig.conn;
    connection.VaComm().SetPortNum(sim.comPort());
    connection.OpenConnectionClicked(false);
    QVERIFY(connection.IsConnected());

    TAdvancedForm form(connection);
    auto *all = control<QPushButton>(form, "AllButton");
    for (int i = 0; i < presses; ++i)
        all->click();
    QCOMPARE(connection.PromptsOwed(), 4 * presses);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!connection.ExchangeCommand("ver\n"));
    const qint64 waited = clock.elapsed();
    // The own prompt is waited for its full time; the earlier ones add
    // nothing, so the wait is about one time-out (bench/prompt_writeoff).
    // The bound leaves more than ten times that for a busy machine and still
    // catches a fresh time-out for each line written off, which would keep
    // five presses waiting 21 time-outs.
    QVERIFY2(waited >= 3500, qPrintable(QString::number(waited)));
    QVERIFY2(waited < 15 * DeviceConnection::PromptTimeoutMs, qPrintable(QString::number(waited)));
    QCOMPARE(connection.PromptsOwed(), 0);
    QVERIFY(rig.user.state.CloseEnabled); // the link is free again
    QCOMPARE(rig.user.told, QStringList());
    connection.CloseConnectionClicked();
}

QTEST_MAIN(tst_advanced)
#include "tst_advanced.moc"
