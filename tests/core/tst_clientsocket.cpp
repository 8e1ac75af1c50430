#include "core/links/ClientSocket.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <cerrno>
#include <memory>
#include <netdb.h>

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");

// Stands in for the device: a listening socket on the loopback address.
class FakeDevice {
public:
    FakeDevice() { m_server.listen(QHostAddress::LocalHost, 0); }
    bool isListening() const { return m_server.isListening(); }
    int port() const { return m_server.serverPort(); }

    // The connection the link made, once the server has it.
    QTcpSocket *accept(int msecs = 2000)
    {
        const bool pending = m_server.hasPendingConnections()
            || QTest::qWaitFor([this] { return m_server.hasPendingConnections(); }, msecs);
        return pending ? m_server.nextPendingConnection() : nullptr;
    }
    void send(QTcpSocket *peer, const QByteArray &bytes)
    {
        peer->write(bytes);
        peer->flush();
    }
    void stop() { m_server.close(); }

private:
    QTcpServer m_server;
};

// A port on which nobody listens: one that was free a moment ago.
int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char('a' + i % 26);
    return bytes;
}

QString eventText(ErrorEvent kind, int code)
{
    return QStringLiteral("error %1 %2").arg(int(kind)).arg(code);
}

// Attaches to every event of a link the way the tool's main window does and
// writes down what happens, in order.
struct Recorder {
    QStringList events;     // "connect", "disconnect", "error <kind> <code>"
    QList<int> reads;       // what ReceiveBytes returned in each OnRead
    QByteArray received;
    QStringList reports;    // texts handed to the error reporter
    int chunk = 210;        // bytes the read handler asks for; 0 reads nothing
    bool clearCode = true;
    bool closeOnError = false;
    bool inErrorHandler = false;

    explicit Recorder(TClientSocket &link)
    {
        link.ErrorReporter = [this](const QString &text) { reports << text; };
        QObject::connect(&link, &TClientSocket::OnConnect, &link,
                         [this](TClientSocket *) { events << QStringLiteral("connect"); });
        QObject::connect(&link, &TClientSocket::OnDisconnect, &link, [this](TClientSocket *) {
            events << (inErrorHandler ? QStringLiteral("disconnect in handler")
                                      : QStringLiteral("disconnect"));
        });
        QObject::connect(&link, &TClientSocket::OnRead, &link, [this](TClientSocket *sender) {
            if (chunk == 0) {
                reads << 0;
                return;
            }
            QByteArray buffer(chunk, '\0');
            const int got = sender->ReceiveBytes(buffer.data(), chunk);
            reads << got;
            if (got > 0)
                received += buffer.left(got);
        });
        QObject::connect(
            &link, &TClientSocket::OnError, &link,
            [this](TClientSocket *sender, ErrorEvent kind, int &code) {
                events << eventText(kind, code);
                inErrorHandler = true;
                if (closeOnError)
                    sender->Close();
                inErrorHandler = false;
                if (clearCode)
                    code = 0;
            },
            Qt::DirectConnection);
    }
};

// Opens the link to the device and waits for the connect event.
bool connectTo(TClientSocket &link, FakeDevice &device, Recorder &recorder)
{
    link.SetHost(Loopback);
    link.SetPort(device.port());
    link.Open();
    return QTest::qWaitFor([&] { return recorder.events.contains(QStringLiteral("connect")); },
                           3000);
}

// Opens the link and returns the device's end of the connection, or null.
QTcpSocket *connectAndAccept(TClientSocket &link, FakeDevice &device, Recorder &recorder)
{
    return connectTo(link, device, recorder) ? device.accept() : nullptr;
}

QStringList capturedDefaultReports;
void captureDefaultReport(const QString &text)
{
    capturedDefaultReports << text;
}

} // namespace

class TestClientSocket : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void connectsAndReadsInPieces_data();
    void connectsAndReadsInPieces();
    void connectionEnds_data();
    void connectionEnds();
    void abandonedAttemptStaysSilent_data();
    void abandonedAttemptStaysSilent();
    void openWhileConnectedKeepsTheConnection();
    void failedAttempt_data();
    void failedAttempt();
    void errorWhileConnected_data();
    void errorWhileConnected();
    void sendOnlyWhileConnected();
    void sendNeverBlocks();
    void settingsLockedWhileConnected();
    void waitForData_data();
    void waitForData();
    void destroyingClosesQuietly();
};

void TestClientSocket::connectsAndReadsInPieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("reads");

    QTest::newRow("500 bytes in 210-byte reads") << 500 << QList<int>{210, 210, 80};
    QTest::newRow("exactly one read") << 210 << QList<int>{210};
    QTest::newRow("a short answer") << 3 << QList<int>{3};
}

void TestClientSocket::connectsAndReadsInPieces()
{
    QFETCH(int, size);
    QFETCH(QList<int>, reads);

    FakeDevice device;
    QVERIFY(device.isListening());
    TClientSocket link;
    Recorder recorder(link);
    QVERIFY(!link.Active());

    QVERIFY(connectTo(link, device, recorder));
    QVERIFY(link.Active());
    QCOMPARE(link.State(), TClientSocket::LinkState::Connected);
    QTcpSocket *peer = device.accept();
    QVERIFY(peer);

    const QByteArray sent = pattern(size);
    device.send(peer, sent);
    QTRY_COMPARE(recorder.received.size(), size);
    QCOMPARE(recorder.received, sent);
    QCOMPARE(recorder.reads, reads);
    QCOMPARE(recorder.events, QStringList{QStringLiteral("connect")});
}

void TestClientSocket::connectionEnds_data()
{
    QTest::addColumn<bool>("byDevice");
    QTest::addColumn<int>("lastWords"); // bytes the device sends just before it closes

    QTest::newRow("closed by the tool") << false << 0;
    QTest::newRow("closed by the device") << true << 0;
    QTest::newRow("device sends and closes at once") << true << 500;
}

void TestClientSocket::connectionEnds()
{
    QFETCH(bool, byDevice);
    QFETCH(int, lastWords);

    FakeDevice device;
    TClientSocket link;
    Recorder recorder(link);
    QTcpSocket *peer = connectAndAccept(link, device, recorder);
    QVERIFY(peer);

    const QStringList ended{QStringLiteral("connect"), QStringLiteral("disconnect")};
    if (byDevice) {
        const QByteArray sent = pattern(lastWords);
        if (lastWords > 0)
            device.send(peer, sent);
        peer->disconnectFromHost();
        QTRY_COMPARE(recorder.events, ended);
        // Nothing the device said before it left is lost.
        QCOMPARE(recorder.received, sent);
    } else {
        link.Close();
        // Raised before Close returned.
        QCOMPARE(recorder.events, ended);
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    }
    QVERIFY(!link.Active());
    QCOMPARE(link.State(), TClientSocket::LinkState::Idle);

    // Closing an idle link raises nothing.
    link.Close();
    QTest::qWait(100);
    QCOMPARE(recorder.events, ended);
    QVERIFY(recorder.reports.isEmpty());
}

void TestClientSocket::abandonedAttemptStaysSilent_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("reopen");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("Close, device accepts") << true << false << QStringList{};
    QTest::newRow("Close, nobody listens") << false << false << QStringList{};
    QTest::newRow("Open again, device accepts")
        << true << true << QStringList{QStringLiteral("connect")};
}

void TestClientSocket::abandonedAttemptStaysSilent()
{
    QFETCH(bool, listening);
    QFETCH(bool, reopen);
    QFETCH(QStringList, events);

    FakeDevice device;
    TClientSocket link;
    Recorder recorder(link);
    link.SetHost(Loopback);
    link.SetPort(listening ? device.port() : closedPort());

    link.Open();
    QVERIFY(!link.Active());
    if (reopen) {
        link.Open();
        QTRY_COMPARE(recorder.events, events);
        QVERIFY(link.Active());
    } else {
        link.Close();
        QCOMPARE(link.State(), TClientSocket::LinkState::Idle);
    }

    QTest::qWait(200);
    QCOMPARE(recorder.events, events);
    QVERIFY(recorder.reads.isEmpty());
    QVERIFY(recorder.reports.isEmpty());
    QCOMPARE(link.Active(), reopen);
}

void TestClientSocket::openWhileConnectedKeepsTheConnection()
{
    FakeDevice device;
    TClientSocket link;
    Recorder recorder(link);
    QTcpSocket *peer = connectAndAccept(link, device, recorder);
    QVERIFY(peer);

    link.Open();
    QTest::qWait(200);
    QCOMPARE(recorder.events, QStringList{QStringLiteral("connect")});
    QVERIFY(link.Active());
    QVERIFY(!device.accept(0));
    QCOMPARE(peer->state(), QAbstractSocket::ConnectedState);
}

void TestClientSocket::failedAttempt_data()
{
    QTest::addColumn<QString>("host"); // empty: a name that cannot be looked up
    QTest::addColumn<bool>("clearCode");
    QTest::addColumn<bool>("defaultReporter");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<TClientSocket::LinkState>("stateAfter");

    const QString refused = eventText(ErrorEvent::Connect, ECONNREFUSED);
    const QString refusedText = QStringLiteral("Asynchronous socket error 111");
    QTest::newRow("refused, handler clears the code")
        << Loopback << true << false << refused << QStringList{}
        << TClientSocket::LinkState::Connecting;
    QTest::newRow("refused, handler leaves the code")
        << Loopback << false << false << refused << QStringList{refusedText}
        << TClientSocket::LinkState::Connecting;
    QTest::newRow("refused, application's error display")
        << Loopback << false << true << refused << QStringList{refusedText}
        << TClientSocket::LinkState::Connecting;

    const QString unknown = eventText(ErrorEvent::Lookup, EAI_NONAME);
    const QString unknownText = QStringLiteral("Windows socket error: %1 (%2), on API 'ASync Lookup'")
                                    .arg(QString::fromLocal8Bit(gai_strerror(EAI_NONAME)))
                                    .arg(EAI_NONAME);
    QTest::newRow("no host, handler clears the code")
        << QString() << true << false << unknown << QStringList{}
        << TClientSocket::LinkState::Idle;
    QTest::newRow("no host, handler leaves the code")
        << QString() << false << false << unknown << QStringList{unknownText}
        << TClientSocket::LinkState::Idle;
}

void TestClientSocket::failedAttempt()
{
    QFETCH(QString, host);
    QFETCH(bool, clearCode);
    QFETCH(bool, defaultReporter);
    QFETCH(QString, event);
    QFETCH(QStringList, reports);
    QFETCH(TClientSocket::LinkState, stateAfter);

    TClientSocket link;
    const auto reporterOfNewLink = link.ErrorReporter;
    Recorder recorder(link);
    recorder.clearCode = clearCode;
    capturedDefaultReports.clear();
    if (defaultReporter) {
        link.ErrorReporter = reporterOfNewLink;
        TClientSocket::DefaultErrorReporter = &captureDefaultReport;
    }
    auto restore = qScopeGuard([] { TClientSocket::DefaultErrorReporter = nullptr; });

    link.SetHost(host);
    link.SetPort(closedPort());
    link.Open();
    QTRY_VERIFY(!recorder.events.isEmpty());
    QTest::qWait(200);

    QCOMPARE(recorder.events, QStringList{event});
    QVERIFY(!link.Active());
    QCOMPARE(link.State(), stateAfter);
    QCOMPARE(defaultReporter ? capturedDefaultReports : recorder.reports, reports);

    // A failed attempt waits for the tool to give up on it; giving up is silent.
    link.Close();
    QCOMPARE(link.State(), TClientSocket::LinkState::Idle);
    QTest::qWait(100);
    QCOMPARE(recorder.events, QStringList{event});
}

void TestClientSocket::errorWhileConnected_data()
{
    QTest::addColumn<bool>("closeOnError");
    QTest::addColumn<bool>("clearCode");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("reports");

    const QString broken = eventText(ErrorEvent::Disconnect, ENETUNREACH);
    QTest::newRow("handler closes and clears the code")
        << true << true
        << QStringList{QStringLiteral("connect"), broken, QStringLiteral("disconnect in handler")}
        << QStringList{};
    QTest::newRow("handler does nothing")
        << false << false
        << QStringList{QStringLiteral("connect"), broken, QStringLiteral("disconnect")}
        << QStringList{QStringLiteral("Asynchronous socket error %1").arg(ENETUNREACH)};
}

void TestClientSocket::errorWhileConnected()
{
    QFETCH(bool, closeOnError);
    QFETCH(bool, clearCode);
    QFETCH(QStringList, events);
    QFETCH(QStringList, reports);

    FakeDevice device;
    TClientSocket link;
    Recorder recorder(link);
    recorder.closeOnError = closeOnError;
    recorder.clearCode = clearCode;
    QTcpSocket *peer = connectAndAccept(link, device, recorder);
    QVERIFY(peer);

    // The network fails under the established connection.
    QTcpSocket *socket = link.findChild<QTcpSocket *>();
    QVERIFY(socket);
    Q_EMIT socket->errorOccurred(QAbstractSocket::NetworkError);

    QCOMPARE(recorder.events, events);
    QCOMPARE(recorder.reports, reports);
    QVERIFY(!link.Active());
    QCOMPARE(link.State(), TClientSocket::LinkState::Idle);
    QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(recorder.events, events);
}

void TestClientSocket::sendOnlyWhileConnected()
{
    TClientSocket link;
    Recorder recorder(link);
    QCOMPARE(link.SendString("snum\n"), 0);

    // A failed attempt is not a connection either.
    link.SetHost(Loopback);
    link.SetPort(closedPort());
    link.Open();
    QTRY_VERIFY(!recorder.events.isEmpty());
    QCOMPARE(link.State(), TClientSocket::LinkState::Connecting);
    QCOMPARE(link.SendString("snum\n"), 0);
    link.Close();

    FakeDevice device;
    QTcpSocket *peer = connectAndAccept(link, device, recorder);
    QVERIFY(peer);
    QCOMPARE(link.SendString("snum\n"), 5);
    QCOMPARE(link.SendString("ver\n"), 4);
    QByteArray arrived;
    QTRY_VERIFY((arrived += peer->readAll()).size() >= 9);
    QCOMPARE(arrived, QByteArray("snum\nver\n"));

    link.Close();
    QCOMPARE(link.SendString("snum\n"), 0);
}

void TestClientSocket::sendNeverBlocks()
{
    FakeDevice device;
    TClientSocket link;
    Recorder recorder(link);
    QTcpSocket *peer = connectAndAccept(link, device, recorder);
    QVERIFY(peer);

    // The device reads nothing: the system's buffers and then the link's own
    // fill up. SendString takes whole texts and then nothing (never a part),
    // without waiting.
    const QByteArray block = pattern(int(TClientSocket::SendBufferSize));
    QByteArray taken;
    int result = 0;
    for (int i = 0; i < 4000 && result != -1; ++i) {
        result = link.SendString(block);
        QVERIFY(result == -1 || result == block.size());
        if (result > 0)
            taken += block.left(result);
    }
    QCOMPARE(result, -1);
    QVERIFY(link.Active());

    // Once the device reads, everything taken arrives and there is room again.
    QByteArray arrived;
    QTRY_VERIFY_WITH_TIMEOUT((arrived += peer->readAll()).size() >= taken.size(), 20000);
    QCOMPARE(arrived.size(), taken.size());
    QVERIFY(arrived == taken);
    QCOMPARE(link.SendString("ver\n"), 4);
    QVERIFY(recorder.reports.isEmpty());
}

void TestClientSocket::settingsLockedWhileConnected()
{
    FakeDevice device;
    TClientSocket link;
    QCOMPARE(link.Port(), 9000);
    Recorder recorder(link);
    QVERIFY(connectTo(link, device, recorder));

    const auto refusal = [](const std::function<void()> &change) {
        try {
            change();
        } catch (const SocketError &error) {
            return error.message();
        }
        return QString();
    };
    const QString active = QStringLiteral("Can't change value while socket is active");
    QCOMPARE(refusal([&] { link.SetHost(QStringLiteral("127.0.0.2")); }), active);
    QCOMPARE(refusal([&] { link.SetPort(device.port() + 1); }), active);
    QCOMPARE(link.Host(), Loopback);
    QCOMPARE(link.Port(), device.port());
    QVERIFY(link.Active());

    link.Close();
    link.SetHost(QStringLiteral("127.0.0.2"));
    QCOMPARE(link.Host(), QStringLiteral("127.0.0.2"));
}

void TestClientSocket::waitForData_data()
{
    QTest::addColumn<QByteArray>("answer");   // what the device sends before the wait
    QTest::addColumn<bool>("alreadyBuffered"); // the answer has been announced once already
    QTest::addColumn<bool>("deviceLeaves");
    QTest::addColumn<int>("msecs");
    QTest::addColumn<bool>("result");

    // A long time-out: the answer, not the time-out, must end the wait.
    QTest::newRow("device answers") << QByteArray("Serialnumber: 12345\n>") << false << false
                                    << 30000 << true;
    QTest::newRow("unread answer already buffered") << QByteArray("ok>") << true << false << 0
                                                    << true;
    QTest::newRow("device silent") << QByteArray() << false << false << 150 << false;
    QTest::newRow("device leaves") << QByteArray() << false << true << 3000 << false;
}

void TestClientSocket::waitForData()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, alreadyBuffered);
    QFETCH(bool, deviceLeaves);
    QFETCH(int, msecs);
    QFETCH(bool, result);

    FakeDevice device;
    TClientSocket link;
    Recorder recorder(link);
    QTcpSocket *peer = connectAndAccept(link, device, recorder);
    QVERIFY(peer);

    if (!answer.isEmpty())
        device.send(peer, answer);
    if (alreadyBuffered) {
        recorder.chunk = 0;
        QTRY_COMPARE(recorder.reads, QList<int>{0});
        recorder.chunk = 210;
    }
    if (deviceLeaves)
        peer->disconnectFromHost();
    const qsizetype readsBefore = recorder.reads.size();

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.WaitForData(msecs), result);
    if (result) {
        QVERIFY(recorder.reads.size() > readsBefore);
        QCOMPARE(recorder.received, answer);
        // Well before the long time-out of the row that waits for an answer.
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    } else {
        QCOMPARE(recorder.reads.size(), readsBefore);
        if (deviceLeaves) {
            QCOMPARE(recorder.events.last(), QStringLiteral("disconnect"));
            QVERIFY(!link.Active());
        } else {
            QVERIFY(clock.elapsed() >= msecs - 10);
            QVERIFY(link.Active());
        }
    }
    QVERIFY(recorder.reports.isEmpty());
}

void TestClientSocket::destroyingClosesQuietly()
{
    FakeDevice device;
    auto link = std::make_unique<TClientSocket>();
    Recorder recorder(*link);
    QTcpSocket *peer = connectAndAccept(*link, device, recorder);
    QVERIFY(peer);

    link.reset();
    QCOMPARE(recorder.events, QStringList{QStringLiteral("connect")});
    QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
}

QTEST_MAIN(TestClientSocket)
#include "tst_clientsocket.moc"
