// A COM number for a port on a serial server: how its entry is numbered,
// and what opening it says when the far end is no good server. The servers
// here are scripted on a thread of their own, since opening waits.

#include "core/links/ComPorts.h"
#include "core/links/RemotePorts.h"
#include "core/links/SerialPort.h"
#include "tests/TestHelpers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

// Listens on 127.0.0.1, takes one client, sends `greeting`, then answers
// every port setting with `answer` (empty: says nothing more), and closes
// after the greeting when `closeAfter` is set.
class ScriptedServer {
public:
    ScriptedServer(QByteArray greeting, QByteArray answer, bool closeAfter)
        : m_greeting(std::move(greeting)), m_answer(std::move(answer)), m_closeAfter(closeAfter)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(m_listen, 4) != 0
            || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~ScriptedServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }
    quint16 port() const { return m_port; }

private:
    bool waitReadable(int fd)
    {
        pollfd p {fd, POLLIN, 0};
        while (!m_stop) {
            if (::poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }
    void run()
    {
        if (!waitReadable(m_listen))
            return;
        const int client = ::accept(m_listen, nullptr, nullptr);
        if (client < 0)
            return;
        if (!m_greeting.isEmpty())
            (void)::write(client, m_greeting.constData(), size_t(m_greeting.size()));
        if (!m_closeAfter) {
            char buffer[512];
            while (waitReadable(client)) {
                const ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                // A setting (IAC SB 44 ...) is answered.
                if (!m_answer.isEmpty() && QByteArray(buffer, int(n)).contains("\xff\xfa\x2c"))
                    (void)::write(client, m_answer.constData(), size_t(m_answer.size()));
            }
        }
        ::close(client);
    }

    QByteArray m_greeting;
    QByteArray m_answer;
    bool m_closeAfter;
    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace

class tst_rfc2217link : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void addresses_data();
    void addresses();
    void entriesAreKeptAndListed();
    void addAndRemove();
    void badServers_data();
    void badServers();
};

void tst_rfc2217link::addresses_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("address and port") << "rfc2217://127.0.0.1:7001" << "127.0.0.1" << 7001;
    QTest::newRow("host name") << "RFC2217://rack-3.example:4001" << "rack-3.example" << 4001;
    QTest::newRow("IPv6 in brackets") << "rfc2217://[::1]:2217" << "::1" << 2217;
    QTest::newRow("no port") << "rfc2217://127.0.0.1" << QString() << 0;
    QTest::newRow("port 0") << "rfc2217://127.0.0.1:0" << QString() << 0;
    QTest::newRow("port too large") << "rfc2217://127.0.0.1:65536" << QString() << 0;
    QTest::newRow("IPv6 without brackets") << "rfc2217://::1:2217" << QString() << 0;
    QTest::newRow("a path") << "/dev/ttyUSB0" << QString() << 0;
    QTest::newRow("a path behind the scheme") << "rfc2217://host/x:1" << QString() << 0;
    QTest::newRow("plain telnet") << "telnet://127.0.0.1:23" << QString() << 0;
}

void tst_rfc2217link::addresses()
{
    QFETCH(QString, target);
    QFETCH(QString, host);
    QFETCH(int, port);
    QString gotHost;
    quint16 gotPort = 0;
    QCOMPARE(RemotePortAddress(target, &gotHost, &gotPort), !host.isEmpty());
    if (host.isEmpty())
        return;
    QCOMPARE(gotHost, host);
    QCOMPARE(int(gotPort), port);
    QVERIFY(RemotePortAddress(RemotePortTarget(gotHost, gotPort)));
}

void tst_rfc2217link::entriesAreKeptAndListed()
{
    ScopedConfigHome home;
    const QString folder = ComPortFolder();
    QCOMPARE(AddRemoteComPort(folder, 12, "rfc2217://127.0.0.1:7001"), QString());
    // A server entry is no device that has gone: pruning and the system's
    // listing keep it, and it opens by its number.
    QVERIFY(PruneComPorts(folder).isEmpty());
    QCOMPARE(EnumComPortsIn(folder, {}), QStringList {"COM12"});
    QCOMPARE(ComPortTarget(12), QString("rfc2217://127.0.0.1:7001"));
    QCOMPARE(ComPortHint(12), QString("COM12 on the serial server 127.0.0.1:7001"));
    // A local device gets the next free number, not the server's.
    PtyDevice device;
    QCOMPARE(AssignComPort(folder, device.slavePath(), 12), 1);
    QCOMPARE(ComPortHint(1), QString());
}

void tst_rfc2217link::addAndRemove()
{
    ScopedConfigHome home;
    const QString folder = ComPortFolder();
    PtyDevice device;
    QCOMPARE(device.registerAs(3), 3);
    QCOMPARE(AddRemoteComPort(folder, 5, "rfc2217://127.0.0.1:7005"), QString());
    QVERIFY(AddRemoteComPort(folder, 3, "rfc2217://127.0.0.1:7003").startsWith("COM3 is taken"));
    QVERIFY(AddRemoteComPort(folder, 6, "127.0.0.1:7006").contains("no serial server address"));
    QVERIFY(AddRemoteComPort(folder, 0, "rfc2217://127.0.0.1:7000").contains("no port number"));
    const QList<RemoteComPort> listed = ListRemoteComPorts(folder);
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.constFirst().Number, 5);
    QCOMPARE(listed.constFirst().Port, quint16(7005));
    // Only a server's entry goes: a local device's would come back anyway.
    QVERIFY(RemoveRemoteComPort(folder, 3).contains("local device"));
    QVERIFY(QFileInfo(folder + "/COM3").isSymLink());
    QCOMPARE(RemoveRemoteComPort(folder, 5), QString());
    QVERIFY(!QFileInfo(folder + "/COM5").isSymLink());
    QVERIFY(RemoveRemoteComPort(folder, 5).startsWith("There is no COM5"));
}

void tst_rfc2217link::badServers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("said");
    QTest::newRow("nothing listens") << "closed" << "refused the connection";
    QTest::newRow("plain TCP") << "silent" << "does not speak RFC 2217";
    QTest::newRow("Telnet without port control") << "no port control" << "refuses serial port control";
    QTest::newRow("speed refused") << "speed refused" << "refused the line speed 115200 bit/s (it answered 9600 bit/s)";
    QTest::newRow("settings unanswered") << "unanswered" << "did not answer the line settings";
    QTest::newRow("turned away") << "turned away" << "turned the connection away: \"Port already in use\"";
    QTest::newRow("closed at once") << "hang-up" << "closed the connection";
}

void tst_rfc2217link::badServers()
{
    QFETCH(QString, kind);
    QFETCH(QString, said);
    const QByteArray accept = QByteArray::fromHex("fffd2c");
    std::unique_ptr<ScriptedServer> server;
    if (kind == "silent")
        server = std::make_unique<ScriptedServer>(QByteArray(), QByteArray(), false);
    else if (kind == "no port control")
        server = std::make_unique<ScriptedServer>(QByteArray::fromHex("fffb03 fffe2c"), QByteArray(), false);
    else if (kind == "speed refused")
        server = std::make_unique<ScriptedServer>(accept, QByteArray::fromHex("fffa2c6500002580fff0"), false);
    else if (kind == "unanswered")
        server = std::make_unique<ScriptedServer>(accept, QByteArray(), false);
    else if (kind == "turned away")
        server = std::make_unique<ScriptedServer>(accept + "Port already in use\r\n", QByteArray(), true);
    else if (kind == "hang-up")
        server = std::make_unique<ScriptedServer>(QByteArray(), QByteArray(), true);
    const quint16 port = server ? server->port() : closedPort();
    QVERIFY(port != 0);

    ScopedConfigHome home;
    const QString server_ = QStringLiteral("127.0.0.1:%1").arg(port);
    QCOMPARE(AddRemoteComPort(ComPortFolder(), 9, "rfc2217://" + server_), QString());
    SerialPort serial;
    serial.SetPortNum(9);
    serial.SetBaudrate(115200);
    QElapsedTimer clock;
    clock.start();
    try {
        serial.Open();
        QFAIL("a bad server was taken for a port");
    } catch (const SerialPortError &error) {
        QVERIFY2(error.message().startsWith("Can't open COM9: ") && error.message().contains(said)
                     && error.message().contains(server_),
                 qPrintable(error.message()));
        QCOMPARE(error.cause(), SerialPortError::Cause::Server);
    }
    QVERIFY(!serial.Active());
    // Every step has its time-out: no bad server holds the caller for long.
    QVERIFY(clock.elapsed() < 10 * (Rfc2217Link::ConnectTimeoutMs + Rfc2217Link::SettingsTimeoutMs));
}

QTEST_GUILESS_MAIN(tst_rfc2217link)
#include "tst_rfc2217link.moc"
