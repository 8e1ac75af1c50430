// A device that fails in every state the tool can be in: unplugged, its TCP
// connection reset, a flood of text without a prompt, zero bytes without end,
// an answer that never ends. The simulator runs as a process of its own and
// sets off each fault at the command the state sends. Whatever happens, the
// tool must not crash or freeze, must tell the user once, must show the link
// as it is, and must leave its files alone. How long the event loop stands
// still meanwhile is a figure for a quiet machine: bench/fault_stalls holds
// it; here the loop only must not freeze.

#include "core/config/Programming.h"
#include "core/links/ComPorts.h"
#include "core/ReconnectPolicy.h"
#include "core/firmware/UpdateSession.h"
#include "tests/FaultCases.h"
#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using faultcases::AfterMs;
using faultcases::LoopProbe;

const QByteArray Ini = "[Port]=COM1\r\n[Level]=expert\r\n[Interface]=serial\r\n";

// The loop may stand still a while on a busy machine; for as long as a
// prompt's time-out it never may, or no time-out could be kept.
constexpr qint64 FrozenMs = DeviceConnection::PromptTimeoutMs;

struct RecordingSink : ProgrammingSink {
    QStringList messages;
    QStringList status;
    void ShowMessage(const QString &text, const QString &) override { messages << text; }
    void AddStatus(const QString &text) override { status << text; }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
};

// One row of the report: what the user saw.
QStringList g_report;

QString Seen(const ScriptedUser &user, const QStringList &extraBoxes, const QString &statusLine)
{
    QStringList parts;
    for (const QString &text : user.told + extraBoxes)
        parts << QStringLiteral("box \"%1\"").arg(QString(text).simplified());
    for (const QString &text : user.linkErrors)
        parts << QStringLiteral("link error \"%1\"").arg(text.simplified());
    for (const QString &text : user.busyNotices)
        parts << QStringLiteral("busy \"%1\"").arg(text.simplified());
    if (!statusLine.isEmpty())
        parts << QStringLiteral("status \"%1\"").arg(statusLine);
    parts << QStringLiteral("panel \"%1\"").arg(user.state.ConnectionPanel.trimmed());
    return parts.join(QStringLiteral("; "));
}

} // namespace

class tst_faults : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandStates_data();
    void commandStates();
    void firmwareUpdate_data();
    void firmwareUpdate();
    void reconnects_data();
    void reconnects();
    void cleanupTestCase();
};

// The states that talk in command lines, over the cable and over TCP.
// `told` is what the user must be told (a pattern over the boxes, the link
// errors and the newest status line); `connected` whether the link is still
// open afterwards.
void tst_faults::commandStates_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("told");
    QTest::addColumn<bool>("connected");

    const QString lost = "status \"Device disconnected\"";
    // A job cut short by the unplug says so in a box of its own.
    const QString stopped = "went away: %1 stopped.";
    const QString closed = "box \"Socket Connection closed by Mirto\"";
    const QString noResponse = "status \"No response from Mirto\"";
    const QString programmingNoResponse = "box \"No response from Mirto....\"";
    const QStringList streams = {"flood", "zeros", "endless"};

    // Identification: the serial and USB links only.
    QTest::newRow("identification, unplug")
        << "identification" << false << "unplug" << stopped.arg("identifying the device") << false;
    for (const QString &fault : streams)
        QTest::newRow(qPrintable("identification, " + fault))
            << "identification" << false << fault << noResponse << true;

    const QStringList states = {"direct command", "programming", "read-out", "test console"};
    for (const QString &state : states) {
        const bool waits = state == "programming";
        // A lost link is told once, by the connection, whatever the state.
        QTest::newRow(qPrintable(state + ", unplug"))
            << state << false << "unplug" << (waits ? stopped.arg("programming") : lost) << false;
        QTest::newRow(qPrintable(state + ", TCP closed")) << state << true << "unplug" << closed << false;
        // The system reports a reset as the peer's close.
        QTest::newRow(qPrintable(state + ", TCP reset")) << state << true << "reset" << closed << false;
        for (const QString &fault : streams) {
            for (const bool tcp : {false, true}) {
                // Without a wait for the prompt nothing is wrong as far as the
                // tool can tell: the text shows in the terminal.
                QTest::newRow(qPrintable(QString("%1, %2 (%3)").arg(state, fault, tcp ? "TCP" : "serial")))
                    << state << tcp << fault << (waits ? programmingNoResponse : QString()) << true;
            }
        }
    }
}

void tst_faults::commandStates()
{
    QFETCH(QString, state);
    QFETCH(bool, tcp);
    QFETCH(QString, fault);
    QFETCH(QString, told);
    QFETCH(bool, connected);

    StartDirectoryEnv env;
    env.writeIni(Ini);
    SimProcess sim(QStringList({"--tcp-port", "0"}) + faultcases::Options(fault, faultcases::Trigger(state)));
    QVERIFY2(sim.comPort() > 0 && sim.tcpPort() > 0, qPrintable(sim.banner()));

    ConnectionRig rig(tcp ? InterfaceNetwork : InterfaceSerial);
    DeviceConnection &conn = rig.conn;
    conn.VaComm().SetPortNum(sim.comPort());
    conn.ClientSocket().SetPort(sim.tcpPort());
    rig.user.hostAnswer = QStringLiteral("127.0.0.1");
    if (state != "identification") {
        conn.OpenConnection();
        QTRY_VERIFY(conn.IsConnected());
        QVERIFY(rig.user.told.isEmpty());
    }
    const QStringList statusBefore = rig.user.status;

    RecordingSink sink;
    QElapsedTimer clock;
    clock.start();
    qint64 worst = 0;
    {
        LoopProbe probe;
        const std::optional<ProgrammingResult> programmed = faultcases::RunState(conn, state, sink);
        QVERIFY(programmed != ProgrammingResult::Programmed); // a failing device is never programmed
        QTest::qWait(AfterMs);
        worst = probe.worst();
    }
    const qint64 took = clock.elapsed();
    QTest::qWait(50); // messages held back by a wait follow at once

    const QString newest = rig.user.status.size() > statusBefore.size() ? rig.user.status.value(0) : QString();
    const QString seen = Seen(rig.user, sink.messages, newest);
    g_report << QStringLiteral("%1 | %2 | %3 | %4 ms | loop %5 ms")
                    .arg(state, -15)
                    .arg(QString(fault) + (tcp ? " (TCP)" : " (serial)"), -17)
                    .arg(seen)
                    .arg(took)
                    .arg(worst);
    qInfo().noquote() << g_report.constLast();

    QVERIFY2(worst < FrozenMs, qPrintable(QString("the event loop stood still for %1 ms").arg(worst)));
    // Waits end at their time-out: a deadline that each byte put off would
    // never come while a stream without end runs. The bound is far above
    // what it takes, for a busy machine.
    QVERIFY2(took < 10 * (DeviceConnection::PromptTimeoutMs + AfterMs), qPrintable(QString::number(took)));
    // At most one box, whatever went wrong; and the right one.
    QVERIFY2(rig.user.told.size() + sink.messages.size() + rig.user.linkErrors.size() <= 1, qPrintable(seen));
    QVERIFY(rig.user.busyNotices.isEmpty());
    if (told.isEmpty()) {
        QVERIFY2(rig.user.told.isEmpty() && sink.messages.isEmpty() && rig.user.linkErrors.isEmpty(),
                 qPrintable(seen));
    } else {
        QVERIFY2(seen.contains(told), qPrintable(seen));
    }
    // The connection display tells the truth, and no job is left holding
    // the link.
    QCOMPARE(conn.IsConnected(), connected);
    QCOMPARE(rig.user.state.ConnectionPanel.startsWith(" Connect"), connected);
    QCOMPARE(rig.user.state.CloseEnabled, connected);
    QCOMPARE(rig.user.state.OpenEnabled, !connected);
    QCOMPARE(conn.BusyWith(), QString());
    QVERIFY(!conn.Waiting());
    if (!tcp) {
        // A lost device takes its identification with it.
        if (!connected)
            QVERIFY2(rig.user.identification.contains("Not Available"), qPrintable(rig.user.identification));
    }
    QVERIFY(!rig.user.busy);
    if (state == "programming")
        QCOMPARE(sink.status.value(sink.status.size() - 1), QString("Programming failed"));

    // The settings file is untouched, and nothing else appeared beside it.
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), Ini);
    QCOMPARE(QDir(QFileInfo(ini).absolutePath()).entryList(QDir::Files | QDir::Hidden), QStringList({"mirto.ini"}));

    conn.Shutdown();
}

// The firmware update, driven without a window. The device fails when it is
// told to reset (before its boot loader runs), or its boot loader dies
// between two pages or in the middle of a frame, or refuses a page until the
// transfer is aborted.
void tst_faults::firmwareUpdate_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("error");     // the reason the update gives
    QTest::addColumn<bool>("connected");    // the port is open afterwards

    const QString noToken = "No start-token received from device";
    QTest::newRow("unplug at reset") << QStringList({"--unplug-at", "reset"}) << "Device disconnected" << false;
    QTest::newRow("flood at reset") << QStringList({"--flood-at", "reset", "--flood", "1000000"}) << noToken
                                    << true;
    QTest::newRow("zeros at reset") << QStringList({"--zeros", "reset"}) << noToken << true;
    QTest::newRow("endless at reset") << QStringList({"--endless", "reset"}) << noToken << true;
    QTest::newRow("dies between pages") << QStringList({"--die-at-page", "3"}) << "Device disconnected" << false;
    QTest::newRow("dies in the middle of a frame")
        << QStringList({"--die-at-page", "2", "--die-mid-frame"}) << "Device disconnected" << false;
    // The transfer is aborted and the boot loader says nothing more.
    QTest::newRow("refuses a page four times") << QStringList({"--refuse", "3", "--refuse-times", "4"}) << "aborted"
                                               << true;
    QTest::newRow("refuses a page four times, then silent")
        << QStringList({"--refuse", "3", "--refuse-times", "4", "--mute-after-abort"}) << "aborted" << true;
}

void tst_faults::firmwareUpdate()
{
    QFETCH(QStringList, options);
    QFETCH(QString, error);
    QFETCH(bool, connected);

    StartDirectoryEnv env;
    env.writeIni(Ini);
    QTemporaryDir dir;
    const QString hexPath = dir.filePath("image.hex");
    {
        QFile hex(hexPath);
        QVERIFY(hex.open(QIODevice::WriteOnly));
        hex.write(hexfix::HexText({hexfix::Filled(0, 8 * 256)}));
    }
    const QString written = dir.filePath("written.bin");
    SimProcess sim(QStringList({"--no-tcp", "--line-rate", "0", "--page-size", "256", "--image", written})
                   + options);
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    ConnectionRig rig;
    DeviceConnection &conn = rig.conn;
    conn.VaComm().SetPortNum(sim.comPort());
    conn.OpenConnection();
    QVERIFY(conn.IsConnected());

    UpdateSession session(conn.Boot(), hexPath);
    QStringList messages;
    QString status;
    bool finished = false;
    bool success = true;
    QString reason;
    connect(&session, &UpdateSession::Message, this, [&](const QString &text) { messages << text; });
    connect(&session, &UpdateSession::Status, this, [&](const QString &text) { status = text; });
    connect(&session, &UpdateSession::Finished, this, [&](bool ok, const QString &why) {
        finished = true;
        success = ok;
        reason = why;
    });
    QElapsedTimer clock;
    clock.start();
    qint64 worst = 0;
    {
        LoopProbe probe;
        QVERIFY(session.Start(true));
        // A failed start ends after the wait for the start token at the
        // latest; far more is allowed here for a busy machine.
        QTRY_VERIFY_WITH_TIMEOUT(finished, 10 * (BootProtocol::Timer1Ms + BootProtocol::Timer2Ms));
        QTest::qWait(AfterMs);
        worst = probe.worst();
    }
    const qint64 took = clock.elapsed();

    const QString seen = QStringLiteral("update failed \"%1\"; status \"%2\"; ").arg(reason.simplified(), status)
                         + Seen(rig.user, {}, rig.user.status.value(0));
    g_report << QStringLiteral("%1 | %2 | %3 | %4 ms | loop %5 ms")
                    .arg("firmware update", -15)
                    .arg(QString(QTest::currentDataTag()), -17)
                    .arg(seen)
                    .arg(took)
                    .arg(worst);
    qInfo().noquote() << g_report.constLast();

    QVERIFY2(worst < FrozenMs, qPrintable(QString("the event loop stood still for %1 ms").arg(worst)));
    QVERIFY(!success);
    QVERIFY2(reason.contains(error), qPrintable(reason));
    QVERIFY(!session.Running());
    // The link is free again and shown as it is.
    QVERIFY(!conn.Boot().UploadActive());
    QCOMPARE(conn.BusyWith(), QString());
    QCOMPARE(conn.IsConnected(), connected);
    QCOMPARE(rig.user.state.ConnectionPanel.startsWith(" Connect"), connected);
    QCOMPARE(rig.user.state.OpenEnabled, !connected);
    QVERIFY(rig.user.told.size() + rig.user.linkErrors.size() <= 1);
    // No half image and no changed settings.
    QVERIFY(!QFile::exists(written));
    QFile ini(env.filePath("mirto.ini"));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), Ini);
    conn.Shutdown();
}

// With the automatic reconnect on, a device that was unplugged and comes
// back, and a TCP connection that was reset, are connected again without a
// box and without asking for the address again. A serial device comes back
// as a port of its own does (its COMn link made again) or as a USB device
// does (its stable path returns, COMn stays), later or at once (its new port
// in place before the old one hung up), as the same unit or another one.
void tst_faults::reconnects_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("back");
    QTest::addColumn<QByteArray>("serialBack");
    QTest::addColumn<bool>("jobHolds");
    for (const QString model : {"own link", "stable link"}) {
        QTest::newRow(qPrintable(model + ", back later")) << model << "later" << QByteArray() << false;
        QTest::newRow(qPrintable(model + ", back at once")) << model << "at once" << QByteArray() << false;
        QTest::newRow(qPrintable(model + ", another unit")) << model << "later" << QByteArray("BBBBB") << false;
        QTest::newRow(qPrintable(model + ", another unit at once"))
            << model << "at once" << QByteArray("BBBBB") << false;
    }
    // A job that held the link when it went is never carried on with the
    // unit that came back: the link is opened again once the job has ended.
    QTest::newRow("stable link, another unit while a job holds the link")
        << "stable link" << "later" << QByteArray("BBBBB") << true;
    QTest::newRow("tcp, connection reset") << "tcp" << QString() << QByteArray() << false;
}

void tst_faults::reconnects()
{
    QFETCH(QString, model);
    QFETCH(QString, back);
    QFETCH(QByteArray, serialBack);
    QFETCH(bool, jobHolds);
    const bool network = model == "tcp";
    StartDirectoryEnv env;
    QTemporaryDir byId;
    const QString stablePath = byId.filePath("serial/by-id/usb-Mirto_AAAAA-if00-port0");
    QStringList options = {"--serial", "AAAAA"};
    if (network) {
        options << "--tcp-port" << "0" << "--reset-at" << "isp";
    } else {
        options << "--no-tcp" << "--unplug-at" << "isp";
        if (model == "stable link")
            options << "--stable-link" << stablePath;
        if (back == "at once")
            options << "--replug-after" << "0";
        if (!serialBack.isEmpty())
            options << "--replug-serial" << QString::fromLatin1(serialBack);
    }
    auto sim = std::make_unique<SimProcess>(options);
    QVERIFY2(sim->comPort() > 0, qPrintable(sim->banner()));
    ConnectionRig rig(network ? InterfaceNetwork : InterfaceSerial);
    DeviceConnection &conn = rig.conn;
    const int com = sim->comPort();
    const QString entry = ComPortFolder() + QString("/COM%1").arg(com);
    conn.VaComm().SetPortNum(com);
    conn.ClientSocket().SetPort(quint16(sim->tcpPort()));
    rig.user.hostAnswer = "127.0.0.1";
    conn.SetAutoReconnect(true);
    conn.OpenConnectionClicked();
    QTRY_VERIFY(conn.IsConnected());
    if (network) {
        QVERIFY(conn.SendCommand("isp\n"));
        QTRY_VERIFY(!conn.IsConnected());
        QVERIFY(conn.Reconnecting());
        QTRY_VERIFY_WITH_TIMEOUT(conn.IsConnected(), 20000);
        QCOMPARE(rig.user.status.value(0), QString("Reconnected to 127.0.0.1"));
        QVERIFY(rig.user.terminal.contains("\r\nConnection to 127.0.0.1 closed by Mirto\r\n"));
        QVERIFY(rig.user.terminal.endsWith("\r\nReconnected to 127.0.0.1\r\n"));
        QCOMPARE(rig.user.addressAsked, 1);
        QVERIFY2(rig.user.told.isEmpty(), qPrintable(rig.user.told.join("|")));
        // A device that is gone for good: the pauses between attempts grow.
        QVERIFY(conn.SendCommand("isp\n"));
        QTRY_VERIFY(!conn.IsConnected());
        sim.reset();
        QTRY_VERIFY_WITH_TIMEOUT(rig.user.status.contains("Reconnect to 127.0.0.1 failed; trying again in 2 s"),
                                 20000);
        QVERIFY(conn.Reconnecting());
        // Close stops the attempts; it can be pressed meanwhile.
        QVERIFY(rig.user.state.CloseEnabled);
        conn.CloseConnectionClicked();
        QVERIFY(!conn.Reconnecting());
        QCOMPARE(rig.user.status.value(0), QString("Reconnect to 127.0.0.1 stopped"));
        QVERIFY(!rig.user.state.CloseEnabled);
        QVERIFY(rig.user.state.OpenEnabled);
        QVERIFY(!conn.IsConnected());
        return;
    }
    QCOMPARE(conn.IdentifiedSerial(), QByteArray("AAAAA"));
    if (jobHolds)
        QVERIFY(conn.BeginSequence("testing"));
    else
        QVERIFY(conn.SendCommand("isp\n"));
    if (jobHolds)
        QVERIFY(sim->ToggleCable());
    if (back == "later") {
        QTRY_VERIFY(!conn.IsConnected());
        QVERIFY(conn.Reconnecting());
        // Waiting can be stopped with Close.
        QVERIFY(rig.user.state.CloseEnabled || jobHolds);
        QTRY_VERIFY(!QFileInfo::exists(entry));
        if (model == "stable link") {
            // A USB device that is out keeps its number: a device listed
            // meanwhile gets another one.
            QVERIFY(env.writeFile("ttyS0", {}));
            const QStringList listed = EnumComPortsIn(ComPortFolder(), {env.filePath("ttyS0")});
            QVERIFY2(!listed.contains(QString("COM%1").arg(com)), qPrintable(listed.join(" ")));
            QVERIFY(QFileInfo(entry).isSymLink());
        }
        // Out for a while, as a cable is: what the listing changed is long
        // looked at when the device returns.
        QTest::qWait(3 * ReconnectPolicy::SettleMs);
        QVERIFY(!conn.IsConnected());
        QVERIFY(sim->ToggleCable());
    }
    const QString was = QString("COM%1 went away").arg(com);
    const QString wanted = serialBack.isEmpty()
                               ? QString("Reconnected to COM%1").arg(com)
                               : QString("Another device is on COM%1 now: serial number %2, was AAAAA")
                                     .arg(com)
                                     .arg(QString::fromLatin1(serialBack));
    if (jobHolds) {
        QTRY_VERIFY(QFileInfo::exists(entry));
        // Back, but the job holds the link: not opened under it.
        QTest::qWait(3 * ReconnectPolicy::SettleMs);
        QVERIFY(!conn.IsConnected());
        conn.EndSequence();
    }
    QTRY_VERIFY_WITH_TIMEOUT(conn.IsConnected() && !conn.IdentifiedSerial().isEmpty(), 20000);
    QTRY_COMPARE(rig.user.status.value(0), wanted);
    QCOMPARE(conn.IdentifiedSerial(), serialBack.isEmpty() ? QByteArray("AAAAA") : serialBack);
    QVERIFY(rig.user.status.contains(QString("COM%1 went away; waiting for it to come back").arg(com)));
    QVERIFY(rig.user.status.contains(QString("COM%1 is back; identifying the device").arg(com)));
    // The terminal (and so the log) marks both.
    QVERIFY2(rig.user.terminal.contains("\r\n" + was.toLatin1() + "\r\n"), rig.user.terminal.constData());
    QVERIFY2(rig.user.terminal.endsWith("\r\n" + wanted.toLatin1() + "\r\n"), rig.user.terminal.constData());
    if (jobHolds)
        QCOMPARE(rig.user.told, QStringList {QString("The device on COM%1 went away: testing stopped.").arg(com)});
    else
        QVERIFY2(rig.user.told.isEmpty(), qPrintable(rig.user.told.join("|")));
    QVERIFY(!conn.Reconnecting());
    // Closed by the user: it stays closed.
    conn.CloseConnectionClicked();
    QVERIFY(!conn.Reconnecting());
}

void tst_faults::cleanupTestCase()
{
    qInfo().noquote() << "\nstate           | fault             | what the user saw | time | loop";
    for (const QString &line : std::as_const(g_report))
        qInfo().noquote() << line;
}

QTEST_MAIN(tst_faults)
#include "tst_faults.moc"
