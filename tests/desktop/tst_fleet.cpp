#include "core/AuditTrail.h"
#include "core/links/ComPorts.h"
#include "desktop/DeviceHistory.h"
#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QLabel>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// mirto-cli on a production line: devices found by serial number, paced runs,
// the journal and its resume, Ctrl+C, and the device history it keeps.
class tst_fleet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serialPicksTheDevice_data();
    void serialPicksTheDevice();
    void probeWritesOnlyTheIdentification();
    void updatePinsTheIdentity_data();
    void updatePinsTheIdentity();
    void maxFailuresStartsNoMore();
    void resumeDoesOnlyTheRest();
    void resumeKnowsTheUnitNotThePort();
    void serialJobChecksItsUnit();
    void unusableJournalSendsNothing_data();
    void unusableJournalSendsNothing();
    void ctrlCAbortsTheUpdate_data();
    void ctrlCAbortsTheUpdate();
    void updateSendsTheFileAsReadAtItsStart();
    void updateWritesTheDeviceHistory_data();
    void updateWritesTheDeviceHistory();
    void historyWindowListsNewestFirst();
};

namespace {

QList<QJsonObject> JsonFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return JsonLines(QString::fromUtf8(file.readAll()));
}

const QByteArray kConfig = "12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\n"
                           "IPAddress=192.0.2.10\r\nGateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\n"
                           "Network=F\r\nch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n";

} // namespace

void tst_fleet::serialPicksTheDevice_data()
{
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("named"); // what the result names
    QTest::addColumn<QString>("reason");
    QTest::newRow("none") << "99999" << 1 << QStringList {"No device with serial number 99999", "11111", "22222"}
                          << "not-found";
    QTest::newRow("one") << "11111" << 0 << QStringList {} << "";
    QTest::newRow("two") << "22222" << 1 << QStringList {"answered on 2 ports"} << "ambiguous";
}

void tst_fleet::serialPicksTheDevice()
{
    QFETCH(QString, wanted);
    QFETCH(int, exitCode);
    QFETCH(QStringList, named);
    QFETCH(QString, reason);
    StartDirectoryEnv env;
    SimProcess one({"--no-tcp", "--serial", "11111"});
    SimProcess twin1({"--no-tcp", "--serial", "22222"});
    SimProcess twin2({"--no-tcp", "--serial", "22222"});
    QVERIFY(one.comPort() > 0 && twin1.comPort() > 0 && twin2.comPort() > 0);
    const CliRun run = RunCli({"--serial", wanted, "--json", "identify"});
    QCOMPARE(run.exitCode, exitCode);
    const QList<QJsonObject> lines = JsonLines(run.out);
    QCOMPARE(lines.size(), 1);
    if (exitCode == 0) {
        QCOMPARE(lines[0].value("device").toString(), ComName(one));
        QCOMPARE(lines[0].value("serial").toString(), wanted);
        return;
    }
    QCOMPARE(lines[0].value("reason").toString(), reason);
    const QString error = lines[0].value("error").toString();
    for (const QString &text : named)
        QVERIFY2(error.contains(text), qPrintable(error));
    if (wanted == "22222")
        QVERIFY2(error.contains(ComName(twin1)) && error.contains(ComName(twin2)), qPrintable(error));
}

void tst_fleet::probeWritesOnlyTheIdentification()
{
    // A port whose device never answers gets the first question of the
    // identification and nothing else; the device that answers does the job.
    StartDirectoryEnv env;
    env.writeFile("studio.cfg", kConfig);
    PtyDevice quiet;
    QVERIFY(quiet.isValid());
    quiet.registerAs();
    SimProcess sim({"--no-tcp", "--serial", "1A2B3"});
    QVERIFY(sim.comPort() > 0);
    const CliRun run = RunCli({"--serial", "1A2B3", "program", env.filePath("studio.cfg")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("Programming OK"), qPrintable(run.out + run.err));
    QCOMPARE(quiet.read(300), QByteArray("snum\n"));
}

void tst_fleet::updatePinsTheIdentity_data()
{
    QTest::addColumn<QStringList>("simArguments");
    QTest::addColumn<bool>("ok");
    QTest::newRow("the same unit answers") << QStringList {} << true;
    QTest::newRow("another unit answers") << QStringList {"--serial-after-update", "77777"} << false;
}

void tst_fleet::updatePinsTheIdentity()
{
    QFETCH(QStringList, simArguments);
    QFETCH(bool, ok);
    StartDirectoryEnv env;
    SimProcess sim(QStringList {"--no-tcp", "--line-rate", "0", "--serial", "54321", "--software", "4.1.7",
                                "--software-after-update", "4.2.0"}
                   + simArguments);
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 3000, 1)}));
    const CliRun run = RunCli({"--port", ComName(sim), "--reset", "--json", "update", env.filePath("fw.hex")});
    QCOMPARE(run.exitCode, ok ? 0 : 1);
    // The result comes after the progress objects.
    const QJsonObject line = JsonLines(run.out).value(JsonLines(run.out).size() - 1);
    QCOMPARE(line.value("ok").toBool(), ok);
    QCOMPARE(line.value("serial_before").toString(), QString("54321"));
    QCOMPARE(line.value("version_before").toString(), QString("4.1.7"));
    QCOMPARE(line.value("version").toString(), QString("4.2.0"));
    if (!ok) {
        QCOMPARE(line.value("reason").toString(), QString("different-device"));
        QVERIFY2(line.value("error").toString().contains("different device answered"), qPrintable(run.out));
    }
}

void tst_fleet::maxFailuresStartsNoMore()
{
    // One at a time: the first device cannot be reached, and after one
    // failure the other two are not started.
    StartDirectoryEnv env;
    SimProcess a({"--no-tcp"});
    SimProcess b({"--no-tcp"});
    QVERIFY(a.comPort() > 0 && b.comPort() > 0);
    env.writeFile("ports.txt", "# bench 1\nCOM97\n\n" + ComName(a).toLatin1() + "  # left\n" + ComName(b).toLatin1() + "\n");
    const CliRun run = RunCli({"--ports-from", env.filePath("ports.txt"), "--jobs", "1", "--max-failures", "1", "--json",
                         "identify"});
    QCOMPARE(run.exitCode, 1);
    const QList<QJsonObject> lines = JsonLines(run.out);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].value("device").toString(), QString("COM97"));
    QVERIFY(!lines[0].value("ok").toBool());
    for (int i : {1, 2}) {
        QVERIFY(!lines[i].value("ok").toBool());
        QCOMPARE(lines[i].value("started").toBool(true), false);
        QCOMPARE(lines[i].value("reason").toString(), QString("not-started"));
        QVERIFY2(lines[i].value("error").toString().startsWith("Not started"), qPrintable(run.out));
    }
}

void tst_fleet::resumeDoesOnlyTheRest()
{
    // A run programming four devices one after the other is killed once the
    // first has ended; the resumed run does the other three only.
    StartDirectoryEnv env;
    env.writeFile("studio.cfg", kConfig);
    std::vector<std::unique_ptr<SimProcess>> sims;
    QByteArray hosts = "# the bench\n";
    for (int i = 0; i < 4; ++i) {
        // Four units: the journal knows each by its serial number.
        sims.push_back(std::make_unique<SimProcess>(
            QStringList {"--tcp-port", "0", "--delay", "60", "--serial", QStringLiteral("1000%1").arg(i)}));
        QVERIFY(sims.back()->tcpPort() > 0);
        hosts += "127.0.0.1:" + QByteArray::number(sims.back()->tcpPort()) + "\n";
    }
    env.writeFile("hosts.txt", hosts);
    const QString journal = env.filePath("run.jsonl");
    const QStringList arguments {"--hosts-from", env.filePath("hosts.txt"), "--jobs", "1", "--journal", journal,
                                 "--json", "program", env.filePath("studio.cfg")};
    QProcess first;
    first.start(QStringLiteral(MIRTO_CLI_PATH), arguments);
    QTRY_VERIFY_WITH_TIMEOUT(!JsonFile(journal).isEmpty(), 60000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(10000));
    const QList<QJsonObject> before = JsonFile(journal);
    QVERIFY2(before.size() < 4, "the run ended before it was killed");
    QVERIFY(before[0].value("ok").toBool());
    QCOMPARE(before[0].value("command").toString(), QString("program"));
    QCOMPARE(before[0].value("sha256").toString(), FileSha256(env.filePath("studio.cfg")));

    const CliRun rest = RunCli(QStringList {"--resume"} + arguments);
    QCOMPARE(rest.exitCode, 0);
    const QList<QJsonObject> lines = JsonLines(rest.out);
    QCOMPARE(lines.size(), 4);
    int skipped = 0;
    for (const QJsonObject &line : lines) {
        QVERIFY(line.value("ok").toBool());
        skipped += line.value("skipped").toBool() ? 1 : 0;
    }
    QCOMPARE(skipped, int(before.size()));
    QCOMPARE(JsonFile(journal).size(), 4); // the rest appended, nothing twice
    // In text, a device that was skipped is not said to be OK.
    QStringList textArguments = arguments;
    textArguments.removeOne("--json");
    const CliRun text = RunCli(QStringList {"--resume"} + textArguments);
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out.count(": skipped (done before)\n"), 4);
    QVERIFY2(!text.out.contains(": OK"), qPrintable(text.out));
    // Another file is another job: nothing is skipped.
    env.writeFile("other.cfg", kConfig + "ch2name=Jazz\r\nch2url=http://192.0.2.7/jazz\r\n");
    QStringList other = arguments;
    other.last() = env.filePath("other.cfg");
    const CliRun again = RunCli(QStringList {"--resume"} + other);
    QCOMPARE(again.exitCode, 0);
    QVERIFY(!again.out.contains("skipped"));
}

namespace {

// Another unit on the port: the port's entry now names `other`'s line.
void SwapUnitOnPort(const SimProcess &port, const SimProcess &other)
{
    const QString entry = ComPortFolder() + QStringLiteral("/") + ComName(port);
    const QString line = ComPortTarget(other.comPort());
    QVERIFY(QFile::remove(entry));
    QVERIFY(QFile::link(line, entry));
}

// What a unit holds in its first channel, by its own read-out.
QString FirstChannel(const SimProcess &sim)
{
    return RunCli({"--port", ComName(sim), "send", "channel"}).out.section('\n', 0, 0);
}

} // namespace

void tst_fleet::resumeKnowsTheUnitNotThePort()
{
    // A unit is programmed on a port; another unit is plugged in there: the
    // resumed run programs it, for it was not done.
    StartDirectoryEnv env;
    env.writeFile("studio.cfg", kConfig);
    SimProcess first({"--no-tcp", "--serial", "11111"});
    SimProcess second({"--no-tcp", "--serial", "22222"});
    QVERIFY(first.comPort() > 0 && second.comPort() > 0);
    const QString journal = env.filePath("run.jsonl");
    const QStringList arguments {"--port", ComName(first), "--journal", journal, "program", env.filePath("studio.cfg")};
    QCOMPARE(RunCli(arguments).exitCode, 0);
    QList<QJsonObject> lines = JsonFile(journal);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].value("device").toString(), QString("serial 11111"));
    QCOMPARE(lines[0].value("port").toString(), ComName(first));

    SwapUnitOnPort(first, second);
    const CliRun other = RunCli(QStringList {"--resume"} + arguments);
    QCOMPARE(other.exitCode, 0);
    QVERIFY2(other.out.contains("Programming OK") && !other.out.contains("skipped"), qPrintable(other.out));
    QVERIFY2(FirstChannel(second).contains("Radio One"), qPrintable(FirstChannel(second)));
    lines = JsonFile(journal);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1].value("device").toString(), QString("serial 22222"));

    // Now it is done too; the unit is asked who it is and nothing more.
    const CliRun again = RunCli(QStringList {"--resume"} + arguments);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.out, ComName(first) + ": skipped (done before)\n");
    QCOMPARE(JsonFile(journal).size(), 2);
}

void tst_fleet::serialJobChecksItsUnit()
{
    // Two units found by serial number, updated one at a time; while the
    // first is updated, the second's port is handed to a third unit. The job
    // for the second finds the third there and leaves it alone.
    StartDirectoryEnv env;
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 3000, 1)}));
    const QStringList unit {"--no-tcp", "--software", "4.1.7", "--software-after-update", "4.2.0", "--serial"};
    SimProcess first(unit + QStringList {"11111", "--line-rate", "9600"});
    SimProcess second(unit + QStringList {"22222", "--line-rate", "0"});
    SimProcess third(unit + QStringList {"33333", "--line-rate", "0"});
    QVERIFY(first.comPort() > 0 && second.comPort() > 0 && third.comPort() > 0);
    const QString journal = env.filePath("run.jsonl");
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH), {"--serial", "11111", "--serial", "22222", "--jobs", "1", "--journal",
                                               journal, "--reset", "update", env.filePath("fw.hex")});
    QVERIFY(cli.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains(ComName(first).toLatin1() + ": page "), 30000);
    SwapUnitOnPort(second, third);
    QVERIFY(cli.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY2(err.contains(ComName(second) + ": FAILED: Another device is on " + ComName(second)
                          + " now: serial number 33333, was 22222; nothing was sent"),
             qPrintable(err));
    QVERIFY2(RunCli({"--port", ComName(third), "identify"}).out.contains("software version 4.1.7"), "updated");
    const QList<QJsonObject> lines = JsonFile(journal);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].value("device").toString(), QString("serial 11111"));
    QVERIFY(lines[0].value("ok").toBool());
    QCOMPARE(lines[1].value("device").toString(), QString("serial 22222"));
    QVERIFY(!lines[1].value("ok").toBool());
    QCOMPARE(lines[1].value("reason").toString(), QString("different-device"));
}

void tst_fleet::unusableJournalSendsNothing_data()
{
    QTest::addColumn<QString>("journal"); // in the start directory
    QTest::addColumn<bool>("resume");
    QTest::addColumn<bool>("bySerial");
    QTest::addColumn<QString>("told");
    QTest::newRow("missing folder") << "no/such/run.jsonl" << false << false << "No such file or directory";
    QTest::newRow("a directory") << "folder" << false << false << "Is a directory";
    QTest::newRow("a path under a file") << "file/run.jsonl" << false << false << "Not a directory";
    QTest::newRow("resumed from a directory") << "folder" << true << false << "Is a directory";
    // The search by serial number writes to every port: it is not started.
    QTest::newRow("found by serial number") << "file/run.jsonl" << false << true << "Not a directory";
    QTest::newRow("resumed, unreadable") << "write-only.jsonl" << true << false << "Permission denied";
}

void tst_fleet::unusableJournalSendsNothing()
{
    QFETCH(QString, journal);
    QFETCH(bool, resume);
    QFETCH(bool, bySerial);
    QFETCH(QString, told);
    StartDirectoryEnv env;
    QVERIFY(QDir().mkpath(env.filePath("folder")));
    env.writeFile("file", "a file");
    env.writeFile("write-only.jsonl", "");
    if (journal == "write-only.jsonl") {
        if (::geteuid() == 0)
            QSKIP("root reads a file without read permission");
        QVERIFY(QFile::setPermissions(env.filePath(journal), QFileDevice::WriteOwner));
    }
    PtyDevice device;
    QVERIFY(device.isValid());
    const int port = device.registerAs();
    QStringList arguments = bySerial ? QStringList {"--serial", "12345"}
                                     : QStringList {"--port", QStringLiteral("COM%1").arg(port)};
    arguments << "--journal" << env.filePath(journal);
    if (resume)
        arguments << "--resume";
    const CliRun run = RunCli(arguments + QStringList {"send", "ver"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("mirto-cli: The journal " + env.filePath(journal)) && run.err.contains(told)
                 && run.err.contains("nothing was sent"),
             qPrintable(run.err));
    QCOMPARE(device.read(300), QByteArray());
}

void tst_fleet::ctrlCAbortsTheUpdate_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QString>("waitFor"); // what the run prints before Ctrl+C
    QTest::addColumn<QString>("told");    // the result, in the text, the journal and the history
    QTest::newRow("during the transfer") << true << "page " << "Interrupted after page (\\d+) of (\\d+): the device stays "
                                                                 "in its boot loader until an update completes\\. To "
                                                                 "finish, run mirto-cli update .*fw\\.hex on it again";
    // The wait for the power cycle ends at once, not when --wait runs out.
    QTest::newRow("waiting for the power cycle")
        << false << "Powerplug" << "Interrupted before the transfer began: nothing was written";
}

void tst_fleet::ctrlCAbortsTheUpdate()
{
    QFETCH(bool, reset);
    QFETCH(QString, waitFor);
    QFETCH(QString, told);
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp", "--line-rate", "9600"});
    QVERIFY(sim.comPort() > 0);
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 40000, 1)}));
    const QString journal = env.filePath("run.jsonl");
    QStringList arguments {"--port", ComName(sim), "--journal", journal, "--wait", "600"};
    if (reset)
        arguments << "--reset";
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH), arguments + QStringList {"update", env.filePath("fw.hex")});
    QVERIFY(cli.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains(waitFor.toLatin1()), 30000);
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 130);
    const QString text = QString::fromLocal8Bit(out + cli.readAllStandardOutput() + cli.readAllStandardError());
    // Said once, as it is: no advice for the window's button, no second
    // paragraph, no wind-down of the boot loader after it.
    const QRegularExpression result(told);
    const QRegularExpressionMatch said = result.match(text);
    QVERIFY2(said.hasMatch(), qPrintable(text));
    if (reset) {
        QVERIFY2(said.captured(1).toInt() > 0 && said.captured(1).toInt() < said.captured(2).toInt(), qPrintable(text));
        QCOMPARE(text.count("stays in its boot loader"), 1);
    }
    for (const char *wrong : {"Start Update", "Lockbits", "start-token received", "Errors occured"})
        QVERIFY2(!text.contains(wrong), qPrintable(text));
    const QList<QJsonObject> lines = JsonFile(journal);
    QCOMPARE(lines.size(), 1);
    QVERIFY(!lines[0].value("ok").toBool());
    QCOMPARE(lines[0].value("reason").toString(), QString("interrupted"));
    QVERIFY2(result.match(lines[0].value("error").toString()).hasMatch(), qPrintable(lines[0].value("error").toString()));
    const QList<AuditEntry> history = ReadAuditTrail();
    QCOMPARE(history.size(), 1);
    QVERIFY2(result.match(history[0].reason).hasMatch(), qPrintable(history[0].reason));
    // The device left its boot loader and answers again.
    const CliRun check = RunCli({"--port", ComName(sim), "identify"});
    QCOMPARE(check.exitCode, 0);
}

void tst_fleet::updateSendsTheFileAsReadAtItsStart()
{
    // The file is replaced while the update waits for the power cycle: the
    // device gets the image as it was read at the start, and the journal and
    // the history name that image.
    StartDirectoryEnv env;
    QTemporaryDir dir;
    const QString written = dir.filePath("written.bin");
    SimProcess sim({"--no-tcp", "--line-rate", "0", "--page-size", "256", "--image", written});
    QVERIFY(sim.comPort() > 0);
    const hexfix::Span first = hexfix::Filled(0, 3000, 1);
    const QByteArray firstText = hexfix::HexText({first});
    const QString firstSha = QString::fromLatin1(QCryptographicHash::hash(firstText, QCryptographicHash::Sha256).toHex());
    env.writeFile("fw.hex", firstText);
    const QString journal = env.filePath("run.jsonl");
    QProcess cli;
    cli.start(QStringLiteral(MIRTO_CLI_PATH),
              {"--port", ComName(sim), "--journal", journal, "update", env.filePath("fw.hex")});
    QVERIFY(cli.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains("Powerplug"), 30000);
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 3000, 2)}));
    QVERIFY(sim.PowerCycle());
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitCode(), 0);
    QFile image(written);
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCOMPARE(image.readAll().left(first.bytes.size()), first.bytes);
    const QList<QJsonObject> lines = JsonFile(journal);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].value("sha256").toString(), firstSha);
    const QList<AuditEntry> history = ReadAuditTrail();
    QCOMPARE(history.size(), 1);
    QCOMPARE(history[0].sha256, firstSha);
}

void tst_fleet::updateWritesTheDeviceHistory_data()
{
    QTest::addColumn<bool>("writable");
    QTest::newRow("written") << true;
    QTest::newRow("cannot be written") << false;
}

void tst_fleet::updateWritesTheDeviceHistory()
{
    QFETCH(bool, writable);
    StartDirectoryEnv env;
    if (!writable) {
        // A file where the folder should be: the history cannot be made.
        env.writeFile("state", "not a folder");
        qputenv("XDG_STATE_HOME", QFile::encodeName(env.filePath("state")));
    }
    SimProcess sim({"--no-tcp", "--line-rate", "0", "--serial", "54321", "--software", "4.1.7",
                    "--software-after-update", "4.2.0"});
    QVERIFY(sim.comPort() > 0);
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 3000, 1)}));
    const CliRun run = RunCli({"--port", ComName(sim), "--reset", "update", env.filePath("fw.hex")});
    QCOMPARE(run.exitCode, 0); // the job is done either way
    if (!writable) {
        QVERIFY2(run.err.contains("device history") && run.err.contains("cannot be written"), qPrintable(run.err));
        return;
    }
    const QList<AuditEntry> entries = ReadAuditTrail();
    QCOMPARE(entries.size(), 1);
    const AuditEntry &e = entries.first();
    QCOMPARE(e.action, QString("update"));
    QVERIFY(e.ok);
    QCOMPARE(e.interface, QString("serial"));
    QCOMPARE(e.port, ComName(sim));
    QCOMPARE(e.serialBefore, QString("54321"));
    QCOMPARE(e.serialAfter, QString("54321"));
    QCOMPARE(e.versionBefore, QString("4.1.7"));
    QCOMPARE(e.versionAfter, QString("4.2.0"));
    QCOMPARE(e.file, env.filePath("fw.hex"));
    QCOMPARE(e.sha256, FileSha256(env.filePath("fw.hex")));
    QVERIFY(!e.time.isEmpty() && !e.user.isEmpty());
}

void tst_fleet::historyWindowListsNewestFirst()
{
    StartDirectoryEnv env;
    for (const char *serial : {"11111", "22222", "11111"}) {
        AuditEntry entry;
        entry.action = QStringLiteral("program");
        entry.serialBefore = entry.serialAfter = QString::fromLatin1(serial);
        entry.ok = true;
        QVERIFY(AppendAuditEntry(entry));
    }
    {
        // A line cut off by a crash is passed over.
        QFile file(AuditTrailPath());
        QVERIFY(file.open(QIODevice::Append));
        file.write("{\"time\":\"2026-");
    }
    AuditEntry last;
    last.action = QStringLiteral("update");
    last.serialBefore = last.serialAfter = QStringLiteral("11111");
    last.reason = QStringLiteral("newest");
    QVERIFY(AppendAuditEntry(last));
    TDeviceHistoryForm form;
    auto *table = form.findChild<QTableWidget *>("HistoryTable");
    QVERIFY(table);
    QCOMPARE(table->rowCount(), 4);
    QCOMPARE(table->item(0, 1)->text(), QString("update"));
    QStringList headers;
    for (int column = 0; column < table->columnCount(); ++column)
        headers << table->horizontalHeaderItem(column)->text();
    // The reason reads beside the file, not behind the wide hash.
    QVERIFY(headers.indexOf("Reason") < headers.indexOf("SHA-256"));
    QCOMPARE(table->item(0, int(headers.indexOf("Reason")))->text(), QString("newest"));
    auto *count = form.findChild<QLabel *>("HistoryCountLabel");
    form.findChild<QLineEdit *>("SerialFilterEdit")->setText("22222");
    QCOMPARE(table->rowCount(), 1);
    form.findChild<QLineEdit *>("SerialFilterEdit")->setText("1111");
    QCOMPARE(table->rowCount(), 3);
    // A filter that leaves nothing says so, and what there is.
    form.findChild<QLineEdit *>("SerialFilterEdit")->setText("99999");
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(count->text(), QString("No change matches the serial number \"99999\" (4 recorded in %1)")
                                .arg(AuditTrailPath()));
}

QTEST_MAIN(tst_fleet)
#include "tst_fleet.moc"
