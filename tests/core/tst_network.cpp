#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Connection management over TCP. Everything talks to 127.0.0.1 only: the
// address box's proposal is never accepted as it stands.
namespace {

using Env = StartDirectoryEnv;

// A connection over TCP whose user types 127.0.0.1 into the address box.
struct NetworkRig : ConnectionRig {
    explicit NetworkRig(int port) : ConnectionRig(InterfaceNetwork)
    {
        conn.ClientSocket().SetPort(port);
        user.hostAnswer = QStringLiteral("127.0.0.1");
    }
};

// A connection to a server listening on 127.0.0.1.
struct ConnectedRig {
    Env env;
    QTcpServer server;
    std::unique_ptr<NetworkRig> rig;
    bool open()
    {
        if (!server.isListening() && !server.listen(QHostAddress::LocalHost, 0))
            return false;
        if (!rig)
            rig = std::make_unique<NetworkRig>(server.serverPort());
        rig->conn.OpenConnectionClicked();
        return QTest::qWaitFor([this] { return rig->conn.IsConnected(); }, 5000);
    }
};

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class tst_network : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void addressCancelledOrEmpty_data();
    void addressCancelledOrEmpty();
    void nothingListeningTimesOut();
    void connectAndDeviceCloses();
    void userClosesAndWindowCloses();
    void errorWhileConnected();
    void exchangeOverTcp();
    void deviceClosesDuringExchange();
    void reopenClosesFirstAndProposesAgain();
    void secondOpenWhileTryingStartsOver();
    void commandThatDoesNotFitIsReported();
};

void tst_network::addressCancelledOrEmpty_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("cancelled") << QString();
    QTest::newRow("empty") << QString("");
}

void tst_network::addressCancelledOrEmpty()
{
    QFETCH(QString, typed);
    Env env;
    NetworkRig rig(freePort());
    DeviceConnection &form = rig.conn;
    rig.user.hostAnswer = typed;
    form.OpenConnectionClicked();
    QCOMPARE(rig.user.addressAsked, 1);
    QCOMPARE(rig.user.proposed, QString("192.168.0.100"));
    QCOMPARE(rig.user.state.ConnectionPanel, QString("  Not Connected"));
    QVERIFY(!rig.user.busy);
    QVERIFY(!form.TOTimer().isActive());
}

void tst_network::nothingListeningTimesOut()
{
    Env env;
    NetworkRig rig(freePort());
    DeviceConnection &form = rig.conn;
    {
        QElapsedTimer t;
        t.start();
        form.OpenConnectionClicked();
        QCOMPARE(rig.user.state.ConnectionPanel, QString("  trying 127.0.0.1...."));
        QVERIFY(rig.user.busy);
        QVERIFY(!form.IsConnected());
        QVERIFY(!rig.user.state.OpenEnabled); // a second open would fight the first
        QTRY_COMPARE_WITH_TIMEOUT(rig.user.told.value(0), QString("Unable to connect...."),
                                  10 * DeviceConnection::ConnectTimeoutMs);
        QVERIFY(t.elapsed() >= 1900);
    }
    QCOMPARE(rig.user.told.size(), 1);
    QCOMPARE(rig.user.state.ConnectionPanel, QString("  Not Connected"));
    QVERIFY(rig.user.state.OpenEnabled);
    QVERIFY(!rig.user.busy);
    QVERIFY(!form.IsConnected());
}

void tst_network::connectAndDeviceCloses()
{
    ConnectedRig link;
    QVERIFY(link.open());
    NetworkRig &rig = *link.rig;
    DeviceConnection &form = rig.conn;
    QCOMPARE(rig.user.state.ConnectionPanel, QString(" Connect 127.0.0.1"));
    QVERIFY(rig.user.state.CloseEnabled);
    QVERIFY(!rig.user.busy);
    QTRY_VERIFY(link.server.hasPendingConnections());
    QTcpSocket *peer = link.server.nextPendingConnection();
    QTest::qWait(2200); // the connect time-out must not fire after a connect
    peer->close();
    QTRY_COMPARE(rig.user.told.value(0), QString(" Socket Connection closed by Mirto"));
    QVERIFY(!form.IsConnected());
    QCOMPARE(rig.user.state.ConnectionPanel, QString("  Not Connected"));
    QCOMPARE(rig.user.told.size(), 1);
}

void tst_network::userClosesAndWindowCloses()
{
    ConnectedRig link;
    for (int round = 0; round < 2; ++round) {
        QVERIFY(link.open());
        DeviceConnection &form = link.rig->conn;
        link.rig->user.told.clear();
        if (round == 0)
            form.CloseConnectionClicked();
        else
            form.Shutdown(); // the tool ends
        // The device closed nothing: no word that it did.
        QCOMPARE(link.rig->user.told, QStringList());
        QVERIFY(!form.IsConnected());
        QVERIFY(!form.ClientSocket().Active());
    }
}

void tst_network::errorWhileConnected()
{
    ConnectedRig link;
    QVERIFY(link.open());
    NetworkRig &rig = *link.rig;
    DeviceConnection &form = rig.conn;
    int code = 104;
    Q_EMIT form.ClientSocket().OnError(&form.ClientSocket(), ErrorEvent::Receive, code);
    QCOMPARE(code, 0);
    // The handler's own close ends the connection: the error is the news.
    QCOMPARE(rig.user.told, QStringList({"Unexpected Clientsocket error...."}));
    QVERIFY(!form.IsConnected());
    QVERIFY(!form.ClientSocket().Active());
    QCOMPARE(rig.user.state.ConnectionPanel, QString("  Not Connected"));
    // A failed connect is only marked handled: the time-out reports it.
    code = 111;
    Q_EMIT form.ClientSocket().OnError(&form.ClientSocket(), ErrorEvent::Connect, code);
    QCOMPARE(code, 0);
}

void tst_network::exchangeOverTcp()
{
    Env env;
    SimProcess sim({"--tcp-port", "0"});
    QVERIFY2(sim.tcpPort() > 0, qPrintable(sim.banner()));
    NetworkRig rig(sim.tcpPort());
    DeviceConnection &form = rig.conn;
    form.OpenConnectionClicked();
    QTRY_VERIFY(form.IsConnected());
    QElapsedTimer t;
    t.start();
    form.ExchangeCommand("ver\n");
    QVERIFY(form.PromptSeen());
    // The prompt ended the wait, not its time-out.
    QVERIFY2(t.elapsed() < DeviceConnection::PromptTimeoutMs * 3 / 4, qPrintable(QString::number(t.elapsed())));
    QVERIFY(form.Reply().contains("V: "));
    QVERIFY(form.Reply().endsWith('>'));
    // CR is dropped and LF starts a new line; no time stamps on this path.
    const QString shown = QString::fromLatin1(rig.user.terminal);
    QVERIFY2(shown.contains("Mirto V: 4.0.1\r\nBuild"), qPrintable(shown));
    QVERIFY(!shown.contains("\r\r"));
    form.ExchangeCommand("mode 2\n");
    QVERIFY(form.PromptSeen());
    QVERIFY2(QString::fromLatin1(rig.user.terminal).contains("# mode changed"), qPrintable(QString::fromLatin1(rig.user.terminal)));
    form.CloseConnectionClicked();
}

void tst_network::deviceClosesDuringExchange()
{
    Env env;
    // A device that hangs up on the first command, served from its own thread
    // because the tool's thread is held by the exchange.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    QCOMPARE(::listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    std::thread device([listener] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char buf[64];
        if (::read(peer, buf, sizeof buf) > 0)
            ::close(peer);
    });
    NetworkRig rig(ntohs(addr.sin_port));
    DeviceConnection &form = rig.conn;
    form.OpenConnectionClicked();
    QTRY_VERIFY(form.IsConnected());
    QElapsedTimer t;
    t.start();
    form.ExchangeCommand("mode\n");
    // Over when the device closed, not at the prompt's time-out.
    QVERIFY2(t.elapsed() < DeviceConnection::PromptTimeoutMs * 3 / 4, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!form.PromptSeen());
    QVERIFY(!form.IsConnected());
    QVERIFY(rig.user.told.isEmpty()); // told once the exchange is over
    QTRY_COMPARE(rig.user.told.value(0), QString(" Socket Connection closed by Mirto"));
    device.join();
    ::close(listener);
}

void tst_network::reopenClosesFirstAndProposesAgain()
{
    ConnectedRig link;
    QVERIFY(link.open());
    NetworkRig &rig = *link.rig;
    DeviceConnection &form = rig.conn;
    rig.user.hostAnswer = QString(); // cancelled this time
    form.OpenConnectionClicked();
    QCOMPARE(rig.user.proposed, QString("192.168.0.100")); // not what was typed before
    QCOMPARE(rig.user.told, QStringList()); // the user's own doing, not the device's
    QVERIFY(!form.ClientSocket().Active());
    QVERIFY(!form.IsConnected());
}

void tst_network::secondOpenWhileTryingStartsOver()
{
    // Nothing answers at first, so the first attempt is still trying when
    // the second open comes.
    Env env;
    NetworkRig rig(freePort());
    DeviceConnection &form = rig.conn;
    form.OpenConnectionClicked();
    QVERIFY(form.Trying());
    QCOMPARE(rig.user.state.ConnectionPanel, QString("  trying 127.0.0.1...."));
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    form.ClientSocket().SetPort(server.serverPort());
    form.OpenConnectionClicked();
    QVERIFY(rig.user.linkErrors.isEmpty()); // no "Can't change value while socket is active"
    QTRY_VERIFY(form.IsConnected());
    QCOMPARE(rig.user.state.ConnectionPanel, QString(" Connect 127.0.0.1"));
    QTest::qWait(2200); // the first attempt's time-out is gone with it
    QVERIFY(rig.user.told.isEmpty());
    QVERIFY(form.IsConnected());
    form.CloseConnectionClicked();
}

void tst_network::commandThatDoesNotFitIsReported()
{
    // The device stops reading: once the connection's buffers are full, a
    // command is refused whole and the user is told, as on the cable.
    ConnectedRig link;
    QVERIFY(link.open());
    NetworkRig &rig = *link.rig;
    QVERIFY(link.server.waitForNewConnection(2000) || link.server.hasPendingConnections());
    QTcpSocket *peer = link.server.nextPendingConnection();
    QVERIFY(peer);
    peer->setReadBufferSize(1); // reads nothing more
    const QByteArray command = QByteArray(16 * 1024 - 1, 'x') + '\n';
    int sent = 0;
    bool refused = false;
    for (int i = 0; i < 20000 && !refused; ++i) {
        refused = !rig.conn.SendCommand(command);
        if (!refused)
            ++sent;
    }
    QVERIFY(refused);
    QVERIFY(rig.conn.IsConnected());
    QCOMPARE(rig.user.told.size(), 1);
    QVERIFY2(rig.user.told.value(0).contains("could not be sent"), qPrintable(rig.user.told.value(0)));
    // Only whole commands went out, each owing its prompt.
    QCOMPARE(rig.conn.PromptsOwed(), sent);
}

QTEST_MAIN(tst_network)
#include "tst_network.moc"
