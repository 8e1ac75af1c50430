#include "core/links/ComPorts.h"
#include "desktop/Commainform.h"
#include "desktop/TerminalView.h"
#include "tests/TestHelpers.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <QtTest>


namespace {

const QByteArray kSnum = "Serialnumber :   00000" "12345" "\r\n>";
const QByteArray kVer = "Mirto V: 4.0.1 (build 7)\r\n>";

// Answers the identification like a healthy device; other commands by `other`.
ScriptedDevice::Script device(std::function<QList<QByteArray>(const QByteArray &)> other = {})
{
    return [other](const QByteArray &line) -> QList<QByteArray> {
        if (line == "snum")
            return {kSnum};
        if (line == "ver")
            return {kVer};
        return other ? other(line) : QList<QByteArray>{};
    };
}

using Env = StartDirectoryEnv;

// A scripted device on a pseudo-terminal in a start directory of its own,
// its link opened as the Open button does, which identifies the device.
struct OpenLink {
    explicit OpenLink(ScriptedDevice::Script script) : dev(std::move(script))
    {
        conn.VaComm().SetPortNum(dev.registerAs());
        conn.OpenConnectionClicked();
    }
    Env env;
    ScriptedDevice dev;
    ConnectionRig rig;
    DeviceConnection &conn = rig.conn;
    ScriptedUser &user = rig.user;
};

} // namespace

class tst_exchange : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void identification_data();
    void identification();
    void identificationKeptAcrossReadings_data();
    void identificationKeptAcrossReadings();
    void noAnswerLeavesPortOpen();
    void reopenAfterUpdateSkipsIdentification();
    void strayPromptDoesNotEndExchange();
    void receivedPieces_data();
    void receivedPieces();
    void longAnswerIsBounded();
    void toolStaysResponsiveDuringWait();
    void othersAreRefusedWhileAJobHoldsTheLink_data();
    void othersAreRefusedWhileAJobHoldsTheLink();
    void earlierPromptsAreTakenFirst_data();
    void earlierPromptsAreTakenFirst();
    void slowDeviceWorkingThroughQueuedLines();
    void deviceDisappearsDuringExchange();
    void portChangeCloseAndReopen();
    void sendWithoutPort_data();
    void sendWithoutPort();
    void portHeldByAnotherProgram();
    void updateHandsBackTheRestOfAnArrival();
    void writingToAClosedPortFails();
};

void tst_exchange::identification_data()
{
    QTest::addColumn<QByteArray>("snum");
    QTest::addColumn<QByteArray>("ver");
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QByteArray>("serialKept");
    QTest::addColumn<QByteArray>("versionKept");
    QTest::newRow("normal") << kSnum << kVer << " SN: [12345]   SW: [4.0.1]"
                            << QByteArray("12345") << QByteArray("4.0.1");
    QTest::newRow("fffff in any case")
        << QByteArray("Serialnumber :   00000fFfFf\r\n>") << QByteArray("V: FFFFF\r\n>")
        << " SN: [FFFFF]   SW: [FFFFF]" << QByteArray() << QByteArray();
    QTest::newRow("words missing") << QByteArray("serial 12345\r\n>")
                                   << QByteArray("version 4\r\n>")
                                   << " SN: [?????]   SW: [?????]" << QByteArray() << QByteArray();
    QTest::newRow("fewer than 5 characters")
        << QByteArray("Serialnumber :   0000012>") << QByteArray("V: 4>")
        << " SN: [12>]   SW: [4>]" << QByteArray("12>") << QByteArray("4>");
}

void tst_exchange::identification()
{
    QFETCH(QByteArray, snum);
    QFETCH(QByteArray, ver);
    QFETCH(QString, panel);
    QFETCH(QByteArray, serialKept);
    QFETCH(QByteArray, versionKept);
    OpenLink link([&](const QByteArray &line) -> QList<QByteArray> {
        if (line == "snum")
            return {snum};
        if (line == "ver")
            return {ver};
        return {};
    });
    QCOMPARE(link.dev.lines(), QList<QByteArray>({"snum", "ver"}));
    QCOMPARE(link.user.identification, panel);
    QCOMPARE(link.conn.SerialNumber(), serialKept);
    QCOMPARE(link.conn.SoftwareVersion(), versionKept);
    QVERIFY(link.conn.IsConnected());
    QCOMPARE(link.user.state.ConnectionPanel, QString(" Connect "));
    QVERIFY(!link.user.state.PortListEnabled);
    QVERIFY(!link.user.state.OpenEnabled);
    QVERIFY(!link.user.busy);
}

// The device's own values outlive a reading that has none, and a new one
// replaces the old whole, even when it is shorter.
void tst_exchange::identificationKeptAcrossReadings_data()
{
    QTest::addColumn<QByteArray>("snum");
    QTest::addColumn<QByteArray>("ver");
    QTest::addColumn<QByteArray>("serialKept");
    QTest::addColumn<QByteArray>("versionKept");
    QTest::newRow("shorter") << QByteArray("Serialnumber :   0000012>") << QByteArray("V: 4>")
                             << QByteArray("12>") << QByteArray("4>");
    QTest::newRow("fffff") << QByteArray("Serialnumber :   00000FFFFF\r\n>") << QByteArray("V: FFFFF\r\n>")
                           << QByteArray("12345") << QByteArray("4.0.1");
    QTest::newRow("words missing") << QByteArray("serial 1\r\n>") << QByteArray("version 2\r\n>")
                                   << QByteArray("12345") << QByteArray("4.0.1");
    QTest::newRow("nothing after the words") << QByteArray("Serialnumber>") << QByteArray("V:>")
                                             << QByteArray("12345") << QByteArray("4.0.1");
}

void tst_exchange::identificationKeptAcrossReadings()
{
    QFETCH(QByteArray, snum);
    QFETCH(QByteArray, ver);
    QFETCH(QByteArray, serialKept);
    QFETCH(QByteArray, versionKept);
    bool first = true;
    OpenLink link([&](const QByteArray &line) -> QList<QByteArray> {
        if (line == "snum")
            return {first ? kSnum : snum};
        if (line == "ver")
            return {first ? kVer : ver};
        return {};
    });
    QCOMPARE(link.conn.SerialNumber(), QByteArray("12345"));
    QCOMPARE(link.conn.SoftwareVersion(), QByteArray("4.0.1"));
    first = false;
    QVERIFY(link.conn.Identify());
    QCOMPARE(link.conn.SerialNumber(), serialKept);
    QCOMPARE(link.conn.SoftwareVersion(), versionKept);
}

void tst_exchange::noAnswerLeavesPortOpen()
{
    Env env;
    ScriptedDevice dev([](const QByteArray &) { return QList<QByteArray>{}; });
    ConnectionRig rig;
    DeviceConnection &form = rig.conn;
    form.VaComm().SetPortNum(dev.registerAs());
    QElapsedTimer t;
    t.start();
    form.OpenConnectionClicked();
    QVERIFY(t.elapsed() >= 3900);
    QCOMPARE(dev.lines(), QList<QByteArray>({"snum"}));
    QVERIFY(QString::fromLatin1(rig.user.terminal).endsWith("No response from Mirto"));
    QCOMPARE(rig.user.status.value(0),
             QString("No response from Mirto"));
    QVERIFY(form.IsConnected());
    QVERIFY(rig.user.state.CloseEnabled);
    QCOMPARE(rig.user.state.ConnectionPanel, QString(" Connect "));
    QCOMPARE(rig.user.identification, QString("  Serial Number Not Available"));
    QVERIFY(!rig.user.busy);
}

void tst_exchange::reopenAfterUpdateSkipsIdentification()
{
    OpenLink link(device());
    const QString identified = link.user.identification;
    QVERIFY(link.conn.Boot().ReopenAfterUpdate(false));
    QTest::qWait(100);
    QCOMPARE(link.dev.lines().size(), 2);
    QVERIFY(link.conn.IsConnected());
    QCOMPARE(link.user.identification, identified);
}

void tst_exchange::strayPromptDoesNotEndExchange()
{
    OpenLink link(device([](const QByteArray &line) -> QList<QByteArray> {
        if (line == "stray")
            return {"x>"};
        if (line == "slow")
            return {"", "", "", "", "", "done>"}; // about 120 ms later
        return {};
    }));
    link.conn.SendCommand("stray\n");
    QTRY_VERIFY(QString::fromLatin1(link.user.terminal).contains("x>"));
    QVERIFY(link.conn.PromptSeen());
    link.conn.ExchangeCommand("slow\n");
    QVERIFY(link.conn.PromptSeen());
    QCOMPARE(link.conn.Reply(), QByteArray("done>"));
}

void tst_exchange::receivedPieces_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("shownPattern");
    const QByteArray a50(50, 'a'), b20(20, 'b');
    // Pieces are collected while the buffer holds at most 60 characters; the
    // next piece empties it first.
    QTest::newRow("emptying rule") << QList<QByteArray>{a50, b20, "c>"} << QByteArray("c>")
                                   << QString(a50 + b20 + "c>");
    QTest::newRow("collected while short") << QList<QByteArray>{"ab", "cd", "e>"}
                                           << QByteArray("abcde>") << "abcde>";
    QTest::newRow("time stamps shown, '#' kept")
        << QList<QByteArray>{"#link up\r\n#>"} << QByteArray("#link up\r\n#>")
        << R"(\[\d\d:\d\d:\d\d\] link up\r\n\[\d\d:\d\d:\d\d\] >)";
    QTest::newRow("zero byte ends the piece")
        << QList<QByteArray>{QByteArray("abc\0def>", 8), "xyz>"} << QByteArray("abcxyz>")
        << "abcxyz>";
    QTest::newRow("prompt in the middle") << QList<QByteArray>{"a>b"} << QByteArray("a>b")
                                          << "a>b";
}

void tst_exchange::receivedPieces()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, reply);
    QFETCH(QString, shownPattern);
    OpenLink link(device([&](const QByteArray &line) -> QList<QByteArray> {
        return line == "go" ? pieces : QList<QByteArray>{};
    }));
    link.user.terminal.clear();
    link.conn.ExchangeCommand("go\n");
    QVERIFY(link.conn.PromptSeen());
    // Pieces after the prompt still arrive: wait until the device is done.
    QTRY_VERIFY(QRegularExpression("^" + shownPattern + "$").match(QString::fromLatin1(link.user.terminal)).hasMatch());
    QCOMPARE(link.conn.Reply(), reply);
}

void tst_exchange::longAnswerIsBounded()
{
    const QByteArray big = QByteArray(2999, 'x') + '>';
    OpenLink link(device([&](const QByteArray &line) -> QList<QByteArray> {
        return line == "dump" ? QList<QByteArray>{big} : QList<QByteArray>{};
    }));
    link.user.terminal.clear();
    link.conn.ExchangeCommand("dump\n");
    QVERIFY(link.conn.PromptSeen());
    // However the 3000 bytes were cut into arrivals, the buffer keeps the
    // newest text, prompt included, within its 999 characters.
    QVERIFY(link.conn.Reply().size() <= DeviceConnection::ReplyCapacity);
    QVERIFY(link.conn.Reply().endsWith("x>"));
    QTRY_COMPARE(QString::fromLatin1(link.user.terminal), QString::fromLatin1(big));
}

void tst_exchange::toolStaysResponsiveDuringWait()
{
    OpenLink link(device([](const QByteArray &line) -> QList<QByteArray> {
        return line == "slow" ? QList<QByteArray>{"", "", "", "", "", "", "", "", "ok>"}
                              : QList<QByteArray>{};
    }));
    bool fired = false;
    QTimer::singleShot(5, this, [&] { fired = true; });
    QElapsedTimer t;
    t.start();
    link.conn.ExchangeCommand("slow\n");
    QVERIFY(t.elapsed() >= 100);
    QVERIFY(link.conn.PromptSeen());
    QVERIFY(fired); // the tool goes on while the device thinks
}

enum class Holder { Command, Programming, Identification, Update };
enum class Asker { Send, Exchange, Open, Sequence, SendLines, Update };

void tst_exchange::othersAreRefusedWhileAJobHoldsTheLink_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<Asker>("asker");
    QTest::addColumn<QString>("job");
    const QList<std::pair<Holder, QString>> holders {
        {Holder::Command, "a command"},
        {Holder::Programming, "programming"},
        {Holder::Identification, "identifying the device"},
        {Holder::Update, "the firmware update"},
    };
    const QList<std::pair<Asker, const char *>> askers {
        {Asker::Send, "send"},         {Asker::Exchange, "exchange"},   {Asker::Open, "open"},
        {Asker::Sequence, "sequence"}, {Asker::SendLines, "send lines"},
        {Asker::Update, "update firmware"},
    };
    for (const auto &[holder, job] : holders) {
        for (const auto &[asker, name] : askers)
            QTest::addRow("%s while %s", name, qPrintable(job)) << holder << asker << job;
    }
}

void tst_exchange::othersAreRefusedWhileAJobHoldsTheLink()
{
    // Window A's job holds the link and waits for the device; window B asks
    // meanwhile. The device gets nothing of B's, and B's user hears why.
    QFETCH(Holder, holder);
    QFETCH(Asker, asker);
    QFETCH(QString, job);
    bool slowSnum = false;
    OpenLink link([&slowSnum](const QByteArray &line) -> QList<QByteArray> {
        if (line == "slow" || (line == "snum" && slowSnum))
            return {"", "", "", "", "", "", (line == "snum" ? kSnum : QByteArray("ok>"))};
        if (line == "snum")
            return {kSnum};
        if (line == "ver")
            return {kVer};
        return {"?>"};
    });
    DeviceConnection &conn = link.conn;
    QVERIFY(conn.IsConnected());

    bool asked = false;
    bool taken = true;
    const auto ask = [&] {
        QCOMPARE(conn.BusyWith(), job);
        QVERIFY(!link.user.state.OpenEnabled && !link.user.state.CloseEnabled);
        asked = true;
        switch (asker) {
        case Asker::Send:
            taken = conn.SendCommand("fromB\n");
            break;
        case Asker::Exchange:
            taken = conn.ExchangeCommand("fromB\n");
            break;
        case Asker::Open:
            conn.OpenConnectionClicked();
            taken = false;
            break;
        case Asker::Sequence:
            taken = conn.BeginSequence(QStringLiteral("B's run"));
            break;
        case Asker::SendLines:
            taken = conn.SendLines({"fromB\n"});
            break;
        case Asker::Update:
            // The update dialog would take the port: it does not open.
            taken = conn.Boot().ReadyForUpdate();
            if (!taken) {
                // Nor does a hand-back by a dialog shown all the same close
                // the port beneath the job.
                conn.Boot().ReopenAfterUpdate(false);
                QVERIFY(conn.VaComm().Active());
            }
            break;
        }
    };
    switch (holder) {
    case Holder::Command:
        QTimer::singleShot(30, this, ask);
        QVERIFY(conn.ExchangeCommand("slow\n"));
        break;
    case Holder::Programming:
        QVERIFY(conn.BeginSequence(QStringLiteral("programming")));
        QTimer::singleShot(30, this, ask);
        QVERIFY(conn.ExchangeCommand("slow\n"));
        QVERIFY(conn.ExchangeCommand("slow\n"));
        conn.EndSequence();
        break;
    case Holder::Identification:
        slowSnum = true;
        conn.CloseConnectionClicked();
        QTimer::singleShot(30, this, ask);
        conn.OpenConnectionClicked();
        QCOMPARE(link.user.identification, QString(" SN: [12345]   SW: [4.0.1]"));
        break;
    case Holder::Update:
        QVERIFY(conn.Boot().ClaimForUpdate([](int) {}));
        ask();
        conn.Boot().GiveBack();
        break;
    }
    QVERIFY(asked);
    QVERIFY(!taken);
    QCOMPARE(link.user.busyNotices.size(), 1);
    QVERIFY2(link.user.busyNotices.value(0).contains(job), qPrintable(link.user.busyNotices.value(0)));
    QTest::qWait(200);
    QVERIFY2(!link.dev.lines().contains("fromB"), qPrintable(link.dev.lines().join(' ')));
    // The link is free again, for B too.
    QCOMPARE(conn.BusyWith(), QString());
    QVERIFY(link.user.state.CloseEnabled);
    QVERIFY(conn.ExchangeCommand("fromB\n"));
}

void tst_exchange::earlierPromptsAreTakenFirst_data()
{
    QTest::addColumn<QList<QByteArray>>("earlier");
    QTest::addColumn<QByteArray>("withheld");
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("one earlier, all answered") << QList<QByteArray>{"a"} << QByteArray() << true;
    QTest::newRow("three earlier, all answered")
        << QList<QByteArray>{"a", "b", "c"} << QByteArray() << true;
    QTest::newRow("one earlier, own prompt withheld") << QList<QByteArray>{"a"} << QByteArray("own") << false;
    // A prompt does not say which line it answers: with an earlier one
    // missing, the own prompt is taken for it, and the exchange is not
    // confirmed. Unconfirmed is the safe side; confirmed by a prompt that
    // was not its own never happens.
    QTest::newRow("earlier prompt withheld, own answered")
        << QList<QByteArray>{"a"} << QByteArray("a") << false;
}

void tst_exchange::earlierPromptsAreTakenFirst()
{
    // Commands sent without waiting owe their prompts; an exchange sent
    // right after them is confirmed only by its own prompt, and its answer
    // is its own text.
    QFETCH(QList<QByteArray>, earlier);
    QFETCH(QByteArray, withheld);
    QFETCH(bool, confirmed);
    OpenLink link(device([withheld](const QByteArray &line) -> QList<QByteArray> {
        const QByteArray text = "answer to " + line + "\r\n";
        if (line == withheld)
            return {"", "", "", "", "", text};
        return {"", "", "", "", "", text + ">"};
    }));
    DeviceConnection &conn = link.conn;
    for (const QByteArray &line : earlier)
        QVERIFY(conn.SendCommand(line + '\n'));
    QCOMPARE(conn.PromptsOwed(), earlier.size());
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(conn.ExchangeCommand("own\n"), confirmed);
    if (confirmed) {
        QVERIFY2(conn.Reply().startsWith("answer to own"), conn.Reply().constData());
        QCOMPARE(conn.PromptsOwed(), 0);
    }
    if (!withheld.isEmpty())
        QVERIFY(clock.elapsed() >= 3900); // a missing prompt is waited for, once
}

void tst_exchange::slowDeviceWorkingThroughQueuedLines()
{
    // A device that answers each line about 1.2 s after the one before: the
    // exchange's own prompt comes some 6 s after it was sent, behind those
    // of four lines sent just before it. Every prompt that comes shows the
    // device at work, so the next one is owed its usual time from then on,
    // and the exchange is confirmed by its own answer.
    Env env;
    ScriptedDevice dev(device([](const QByteArray &line) -> QList<QByteArray> {
        return {"", "", "", "answer to " + line + "\r\n>"};
    }), 300);
    ConnectionRig rig;
    DeviceConnection &conn = rig.conn;
    conn.VaComm().SetPortNum(dev.registerAs());
    conn.OpenConnectionClicked(false);
    QVERIFY(conn.SendLines({"mode\n", "isp\n", "channel\n", "type\n"}));
    QVERIFY(conn.ExchangeCommand("own\n"));
    QVERIFY2(conn.Reply().startsWith("answer to own"), conn.Reply().constData());
    QCOMPARE(conn.PromptsOwed(), 0);
}

void tst_exchange::deviceDisappearsDuringExchange()
{
    OpenLink link(device());
    std::thread pull([&link] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        link.dev.hangUp();
    });
    QElapsedTimer t;
    t.start();
    link.conn.ExchangeCommand("never\n");
    pull.join();
    // Over when the device went, not at the prompt's time-out.
    QVERIFY2(t.elapsed() < DeviceConnection::PromptTimeoutMs * 3 / 4, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!link.conn.PromptSeen());
    QVERIFY(!link.conn.IsConnected());
    QCOMPARE(link.user.state.ConnectionPanel, QString("  Not Connected"));
    QVERIFY(link.user.state.OpenEnabled);
}

void tst_exchange::portChangeCloseAndReopen()
{
    Env env;
    ScriptedDevice dev(device());
    const int n = dev.registerAs(12);
    TMainForm form;
    auto *ports = form.findChild<QComboBox *>("PortComboBox");
    const int index = ports->findText("COM12");
    QVERIFY(index >= 0);
    ports->setCurrentIndex(index);
    form.PortComboBoxChange(index);
    QCOMPARE(form.VaComm().PortNum(), n);
    QVERIFY(form.VaComm().Active());
    QVERIFY(!form.Connection().IsConnected());
    QCOMPARE(form.findChild<QToolButton *>("OpenConToolButton")->toolTip(),
             QString("Open Connection (COM 12)"));
    QCOMPARE(form.findChild<QToolButton *>("CloseConToolButton")->toolTip(),
             QString("Close Connection (COM 12)"));
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().startsWith("[Port]=COM12\r\n"));

    form.OpenConnectionClicked(nullptr);
    QCOMPARE(form.StatusPanelText(2), QString(" SN: [12345]   SW: [4.0.1]"));
    form.CloseConnectionClicked();
    QVERIFY(!form.VaComm().Active());
    QVERIFY(!form.Connection().IsConnected());
    QCOMPARE(form.StatusPanelText(2), QString("Serial Number Not Available"));
    QCOMPARE(form.StatusPanelText(3), QString("  Not Connected"));
    QVERIFY(ports->isEnabled());
    QCOMPARE(ports->currentText(), QString("COM12"));
    form.OpenConnectionClicked(nullptr);
    QVERIFY(form.Connection().IsConnected());
    QCOMPARE(dev.lines().size(), 4);
}

void tst_exchange::sendWithoutPort_data()
{
    QTest::addColumn<int>("interfaceType");
    QTest::addColumn<QString>("openMessage");
    QTest::newRow("serial") << int(InterfaceSerial)
                            << "Error opening Comport: 7\n\nIs the serial cable connected to COM7?";
    QTest::newRow("usb") << int(InterfaceUsb)
                         << "Error opening Virtual Comport: 7 (USB)\n\nDid you connect your USB cable?";
}

void tst_exchange::sendWithoutPort()
{
    // A send on a closed port says just that; only an open that failed
    // points at the cable.
    QFETCH(int, interfaceType);
    QFETCH(QString, openMessage);
    Env env;
    ConnectionRig rig(interfaceType);
    rig.conn.VaComm().SetPortNum(7);
    rig.conn.SendCommand("mode\n");
    const QString closed = "Nothing was sent: COM7 is not open. Press the open button to open it.";
    QCOMPARE(rig.user.told, QStringList {closed});
    rig.conn.OpenConnectionClicked();
    QCOMPARE(rig.user.told, QStringList({closed, openMessage}));
    QVERIFY(!rig.conn.IsConnected());
}

void tst_exchange::portHeldByAnotherProgram()
{
    // A port another program has open is no matter of the cable.
    Env env;
    PtyDevice dev;
    const int number = dev.registerAs();
    ConnectionRig other;
    other.conn.VaComm().SetPortNum(number);
    other.conn.OpenConnectionClicked(false);
    QVERIFY(other.conn.VaComm().Active());

    ConnectionRig rig;
    rig.conn.VaComm().SetPortNum(number);
    rig.conn.OpenConnectionClicked();
    QVERIFY(!rig.conn.IsConnected());
    QCOMPARE(rig.user.told.size(), 1);
    const QString text = rig.user.told.first();
    QVERIFY2(text.startsWith(QStringLiteral("Error opening Comport: %1\n\nCOM%1 is in use by another program")
                                 .arg(number)),
             qPrintable(text));
    QVERIFY2(!text.contains("serial cable"), qPrintable(text));
}

void tst_exchange::updateHandsBackTheRestOfAnArrival()
{
    // The boot loader's end and the device's first text arrive together: the
    // update takes its byte and lets go, the rest is the terminal's.
    Env env;
    PtyDevice dev;
    ConnectionRig rig;
    rig.conn.VaComm().SetPortNum(dev.registerAs());
    QVERIFY(rig.conn.Boot().OpenForUpdate());
    QByteArray taken;
    rig.conn.Boot().ClaimForUpdate([&](int) {
        char byte = 0;
        if (rig.conn.Boot().ReadBytes(&byte, 1) == 1)
            taken += byte;
        rig.conn.Boot().GiveBack();
    });
    dev.write("]Mirto ready\r\n>");
    QTRY_COMPARE(rig.user.terminal, QByteArray("Mirto ready\r\n>"));
    QCOMPARE(taken, QByteArray("]"));
    QVERIFY(rig.conn.PromptSeen());
}

void tst_exchange::writingToAClosedPortFails()
{
    Env env;
    ConnectionRig rig;
    QVERIFY_THROWS_EXCEPTION(SerialPortError, rig.conn.Boot().WriteBytes("<"));
}

QTEST_MAIN(tst_exchange)
#include "tst_exchange.moc"
