#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

// mirto-cli --plan as a script runs it: what a run would do, with no port
// opened, and the exit status that says whether the run can go.
class tst_cliplan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void opensNoPort();
    void resumeSkipsWhatTheRunDid();
    void refusedWithStatusTwo_data();
    void refusedWithStatusTwo();
};

namespace {

const QByteArray kConfig = "12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\n"
                           "IPAddress=192.0.2.10\r\nGateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\n"
                           "Network=F\r\nch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n";

} // namespace

void tst_cliplan::opensNoPort()
{
    // COM97 is not there: a run would fail to open it, a plan never tries.
    StartDirectoryEnv env;
    env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 1000, 1)}));
    const CliRun run = RunCli({"--port", "COM97", "--serial", "12AB3", "--plan", "--reset", "update", env.filePath("fw.hex")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    QVERIFY2(run.out.startsWith("COM97: update " + env.filePath("fw.hex") + "\n"
                                "  1. identify (serial number and software version)\n"
                                "  2. enter the boot loader: send \"reset\" twice\n"),
             qPrintable(run.out));
    QVERIFY2(run.out.contains("send 1000 bytes as pages"), qPrintable(run.out));
    QVERIFY2(run.out.contains("\nserial 12AB3: update "), qPrintable(run.out));
}

void tst_cliplan::resumeSkipsWhatTheRunDid()
{
    // The plan reads the journal as the run does: same command, same file.
    StartDirectoryEnv env;
    SimProcess sim({"--tcp-port", "0"});
    QVERIFY(sim.tcpPort() > 0);
    env.writeFile("studio.cfg", kConfig);
    const QString journal = env.filePath("run.jsonl");
    const QString host = QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort());
    const QStringList devices {"--host", host, "--port", "COM97"};
    const CliRun first = RunCli(devices + QStringList {"--journal", journal, "program", env.filePath("studio.cfg")});
    QCOMPARE(first.exitCode, 1); // COM97 is not there

    const CliRun plan = RunCli(devices + QStringList {"--journal", journal, "--resume", "--plan", "--json", "program",
                                                      env.filePath("studio.cfg")});
    QCOMPARE(plan.exitCode, 0);
    const QList<QJsonObject> lines = JsonLines(plan.out);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).value("device").toString(), QString("COM97"));
    QCOMPARE(lines.at(0).value("skip").toBool(), false);
    QVERIFY(!lines.at(0).value("steps").toArray().isEmpty());
    QCOMPARE(lines.at(1).value("device").toString(), host);
    QCOMPARE(lines.at(1).value("skip").toBool(), true);

    // Without --resume, or for another file, nothing is skipped.
    env.writeFile("other.cfg", kConfig + "ch2name=Jazz\r\nch2url=http://192.0.2.7/jazz\r\n");
    for (const QStringList &arguments :
         {QStringList {"--journal", journal, "--plan", "--json", "program", env.filePath("studio.cfg")},
          QStringList {"--journal", journal, "--resume", "--plan", "--json", "program", env.filePath("other.cfg")}}) {
        const CliRun again = RunCli(devices + arguments);
        QCOMPARE(again.exitCode, 0);
        for (const QJsonObject &line : JsonLines(again.out))
            QCOMPARE(line.value("skip").toBool(), false);
    }
}

void tst_cliplan::refusedWithStatusTwo_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");

    QTest::newRow("configuration without a mode")
        << "program" << QByteArray(kConfig).replace("mode=3", "mode=0") << "holds no mode";
    QTest::newRow("channel without its URL")
        << "program" << QByteArray(kConfig + "ch2name=Jazz\r\n") << "Channel 2 has no URL";
    QTest::newRow("value the device cannot take")
        << "program" << QByteArray(kConfig).replace("Radio One", "Radio > One") << "\">\" cannot be sent";
    QTest::newRow("broken HEX file") << "update" << QByteArray(":0400000001020304F3\n") << "Error in Flash File";
    QTest::newRow("missing file") << "program" << QByteArray() << "no such file";
    QTest::newRow("JUnit report in a missing folder")
        << "program" << kConfig << "/no/such/report.xml cannot be written: No such file or directory";
}

void tst_cliplan::refusedWithStatusTwo()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    StartDirectoryEnv env;
    const QString path = env.filePath(command == "update" ? "fw.hex" : "studio.cfg");
    if (!file.isEmpty())
        QVERIFY(env.writeFile(QFileInfo(path).fileName(), file));
    QStringList arguments {"--port", "COM97", "--plan", "--reset"};
    if (reason.contains("report.xml"))
        arguments << "--junit" << env.filePath("no/such/report.xml");
    const CliRun run = RunCli(arguments + QStringList {command, path});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
    QVERIFY2(run.err.contains(reason, Qt::CaseInsensitive), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(tst_cliplan)
#include "tst_cliplan.moc"
