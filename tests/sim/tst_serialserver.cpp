// The tool through a real serial server (ser2net with RFC 2217) in front of
// the simulator's pseudo-terminal, as service staff reach a device in a rack.

#include "core/links/ComPorts.h"
#include "core/links/RemotePorts.h"
#include "core/links/SerialPort.h"
#include "sim/core/SimSerialServer.h"
#include "sim/core/SimServer.h"
#include "tests/HexFixtures.h"
#include "tests/TestHelpers.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

#define REQUIRE_SER2NET()                                                                                  \
    do {                                                                                                   \
        if (SimSerialServer::Program().isEmpty())                                                          \
            QSKIP("ser2net is not installed (scripts/ensure-deps.sh installs it): no serial server to test " \
                  "against");                                                                              \
    } while (false)

const QByteArray kConfig = "12345\r\n0\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\n"
                           "IPAddress=192.0.2.10\r\nGateway=192.0.2.1\r\nDNS1=0.0.0.0\r\nDNS2=0.0.0.0\r\n"
                           "Network=F\r\nch1name=\"Radio One\"\r\nch1url=http://192.0.2.7:8000/one\r\n"
                           "ch2name=Jazz\r\nch2url=http://192.0.2.7/jazz.m3u\r\n";

// An image whose erased stretches, end markers and lone 0xFF bytes must all
// cross the server unchanged: a missed escape would corrupt or abort it.
hexfix::Span ErasedImage()
{
    QByteArray bytes = hexfix::Pattern(0, 12000, 5);
    bytes.replace(1000, 4000, QByteArray(4000, '\xFF'));
    bytes.replace(7000, 8, QByteArray::fromHex("ffff00ffffff0d0a"));
    return {0, bytes};
}

// The simulator, ser2net in front of its pseudo-terminal, and COM`Number`
// standing for the server's port.
struct Rack {
    StartDirectoryEnv env;
    QTemporaryDir dir;
    std::unique_ptr<SimProcess> sim;
    SimSerialServer server;
    int number = 0;

    bool start(const QStringList &simOptions)
    {
        sim = std::make_unique<SimProcess>(QStringList {"--no-tcp"} + simOptions);
        if (sim->comPort() <= 0 || !server.Start(ComPortTarget(sim->comPort())))
            return false;
        // Numbered as the user does, by the command line.
        number = 40;
        const CliRun add = RunCli({"ports", "add", Com(), server.Target()});
        return add.exitCode == 0;
    }
    QString Com() const { return QStringLiteral("COM%1").arg(number); }
    QString written() const { return dir.filePath("written.bin"); }
};

} // namespace

class tst_serialserver : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void identifiesAndPrograms();
    void updatesAnImageFullOfErasedFlash();
    void abortReachesTheBootLoader();
    void lineSettingsReachThePort();
    void serverKilledDuringAnUpdate();
    void secondClientIsTurnedAway();
    void reconnectsWhenTheServerReturns();
};

void tst_serialserver::identifiesAndPrograms()
{
    REQUIRE_SER2NET();
    Rack rack;
    QVERIFY2(rack.start({"--serial", "54321"}), qPrintable(rack.server.ErrorString() + rack.sim->banner()));
    const CliRun list = RunCli({"ports"});
    QVERIFY2(list.out.contains(rack.Com() + " -> " + rack.server.Target()), qPrintable(list.out));
    const CliRun identify = RunCli({"--port", rack.Com(), "identify"});
    QCOMPARE(identify.exitCode, 0);
    QVERIFY2(identify.out.contains("serial number 54321"), qPrintable(identify.out + identify.err));

    rack.env.writeFile("studio.cfg", kConfig);
    const CliRun program = RunCli({"--port", rack.Com(), "program", rack.env.filePath("studio.cfg")});
    QCOMPARE(program.exitCode, 0);
    QVERIFY2(program.out.endsWith("Programming OK\n"), qPrintable(program.out + program.err));
    const CliRun check = RunCli({"--port", rack.Com(), "send", "channel"});
    QVERIFY2(check.out.contains("Channel 1 url : http://192.0.2.7/jazz.m3u"), qPrintable(check.out));
}

void tst_serialserver::updatesAnImageFullOfErasedFlash()
{
    REQUIRE_SER2NET();
    Rack rack;
    QVERIFY2(rack.start({"--line-rate", "0", "--page-size", "256", "--image", rack.written()}),
             qPrintable(rack.server.ErrorString()));
    const hexfix::Span image = ErasedImage();
    rack.env.writeFile("fw.hex", hexfix::HexText({image}));
    // The port comes from a list, as on a production line.
    rack.env.writeFile("bench.ports", rack.Com().toLatin1() + "   # in the rack\n");
    const CliRun run = RunCli({"--ports-from", rack.env.filePath("bench.ports"), "--reset", "update",
                               rack.env.filePath("fw.hex")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QFile written(rack.written());
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll().left(image.bytes.size()), image.bytes);
}

void tst_serialserver::abortReachesTheBootLoader()
{
    REQUIRE_SER2NET();
    Rack rack;
    // Page 2 is refused four times: the tool aborts with FF FF and dashes,
    // and the boot loader, which took them, says nothing more.
    QVERIFY2(rack.start({"--line-rate", "0", "--refuse", "2", "--refuse-times", "4", "--image", rack.written()}),
             qPrintable(rack.server.ErrorString()));
    rack.env.writeFile("fw.hex", hexfix::HexText({ErasedImage()}));
    const CliRun run = RunCli({"--port", rack.Com(), "--reset", "update", rack.env.filePath("fw.hex")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.contains("Errors occured aborted"), qPrintable(run.out + run.err));
    QVERIFY(!QFile::exists(rack.written()));
}

void tst_serialserver::lineSettingsReachThePort()
{
    REQUIRE_SER2NET();
    ScopedConfigHome home;
    SimServer sim;
    QVERIFY2(sim.StartSerial(), qPrintable(sim.ErrorString()));
    SimSerialServer server;
    QVERIFY2(server.Start(sim.SlavePath(), "9600n81"), qPrintable(server.ErrorString()));
    QCOMPARE(AddRemoteComPort(ComPortFolder(), 41, server.Target()), QString());
    SerialPort port;
    port.SetPortNum(41);
    port.SetBaudrate(115200);
    port.Open();
    QCOMPARE(port.Server(), QStringLiteral("127.0.0.1:%1").arg(server.Port()));
    QCOMPARE(sim.LineSettings(), QString("115200 8N1"));
    // Changed on the open port, as the window may. (A pseudo-terminal keeps
    // no parity and no other data size: those the server takes and the
    // line cannot show.)
    port.SetBaudrate(38400);
    port.SetStopbits(QSerialPort::TwoStop);
    QCOMPARE(sim.LineSettings(), QString("38400 8N2"));
    port.Close();
    // The next client starts from the port's own settings again.
    port.SetBaudrate(19200);
    port.SetStopbits(QSerialPort::OneStop);
    port.Open();
    QCOMPARE(sim.LineSettings(), QString("19200 8N1"));
}

void tst_serialserver::serverKilledDuringAnUpdate()
{
    REQUIRE_SER2NET();
    Rack rack;
    // Paced as on a real line, so that the update is under way when the
    // server dies.
    QVERIFY2(rack.start({"--page-size", "256"}), qPrintable(rack.server.ErrorString()));
    rack.env.writeFile("fw.hex", hexfix::HexText({hexfix::Filled(0, 60000, 2)}));
    QProcess cli;
    cli.setProcessChannelMode(QProcess::MergedChannels);
    cli.start(QStringLiteral(MIRTO_CLI_PATH), {"--port", rack.Com(), "--reset", "update", rack.env.filePath("fw.hex")});
    QByteArray out;
    // Two tenths of the pages are through.
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAll()).count("page ") >= 2, 30000);
    rack.server.Kill();
    QVERIFY(cli.waitForFinished(30000));
    out += cli.readAll();
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY2(out.contains(QStringLiteral("The serial server %1 closed the connection")
                              .arg(rack.server.Target().mid(10))
                              .toLatin1()),
             out.constData());
    QVERIFY2(out.contains("went away during the update"), out.constData());
}

void tst_serialserver::secondClientIsTurnedAway()
{
    REQUIRE_SER2NET();
    Rack rack;
    QVERIFY2(rack.start({}), qPrintable(rack.server.ErrorString()));
    SerialPort first;
    first.SetPortNum(rack.number);
    first.Open();
    SerialPort second;
    second.SetPortNum(rack.number);
    try {
        second.Open();
        QFAIL("a second client was let in");
    } catch (const SerialPortError &error) {
        QCOMPARE(error.cause(), SerialPortError::Cause::Server);
        QVERIFY2(error.message().contains("Port already in use") && error.message().contains(first.Server()),
                 qPrintable(error.message()));
    }
    QVERIFY(!second.Active());
    // The first client keeps its port.
    QVERIFY(first.WriteBuf("ver\n", 4) == 4);
    QVERIFY(first.WaitForData(5000));
    QVERIFY(first.Active());
}

void tst_serialserver::reconnectsWhenTheServerReturns()
{
    REQUIRE_SER2NET();
    Rack rack;
    QVERIFY2(rack.start({"--serial", "24680"}), qPrintable(rack.server.ErrorString()));
    ConnectionRig rig;
    rig.conn.SetAutoReconnect(true);
    rig.conn.VaComm().SetPortNum(rack.number);
    rig.conn.OpenConnectionClicked(true);
    QVERIFY2(rig.conn.IsConnected(), qPrintable(rig.user.told.join('|')));
    rack.server.Kill();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.conn.IsConnected(), 10000);
    QVERIFY2(rig.user.status.join('|').contains(QStringLiteral("The serial server %1 closed the connection")
                                                    .arg(rack.server.Target().mid(10))),
             qPrintable(rig.user.status.join('|')));
    QVERIFY(rack.server.Start(ComPortTarget(rack.sim->comPort()), "115200n81", rack.server.Port()));
    // Tried again after 1, 2, 4 ... s: back within two tries of its return.
    QTRY_VERIFY_WITH_TIMEOUT(rig.conn.IsConnected(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(rig.user.status.join('|').contains("Reconnected to " + rack.Com()), 10000);
}

QTEST_MAIN(tst_serialserver)
#include "tst_serialserver.moc"
