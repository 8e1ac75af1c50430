#include "core/links/ComPorts.h"
#include "core/links/SerialPort.h"
#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

// A time-out no call that answers at once comes near, even on a busy machine
// under sanitizers, and one a waiting call cannot hide.
constexpr int NoWaitTimeoutMs = 60000;

// The serial port against a pseudo-terminal that plays the device.
class tst_serialport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void openErrors_data();
    void openErrors();
    void busyPortIsRefused();
    void settingsLockedWhileOpen();
    void closedPortTransfersNothing();
    void writesAndReadsInOrder();
    void readReturnsWhatIsWaiting();
    void unreadBytesAreCountedAgain();
    void queueLimitAndTimeout();
    void closePausesAndReopens();
    void deviceDisappears();

private:
    std::unique_ptr<ScopedConfigHome> m_home;
};

void tst_serialport::init()
{
    m_home = std::make_unique<ScopedConfigHome>();
}

void tst_serialport::cleanup()
{
    m_home.reset();
}

void tst_serialport::openErrors_data()
{
    QTest::addColumn<int>("portNum");
    QTest::addColumn<QString>("linkTarget");
    QTest::addColumn<QString>("expected");
    QTest::newRow("port 0") << 0 << QString() << "Specified device not found (COM0).";
    QTest::newRow("no entry") << 9 << QString() << "Specified device not found (COM9).";
    QTest::newRow("entry without device")
        << 4 << "/dev/mirto-test-no-such-device" << "Specified device not found (COM4).";
}

void tst_serialport::openErrors()
{
    QFETCH(int, portNum);
    QFETCH(QString, linkTarget);
    QFETCH(QString, expected);
    if (!linkTarget.isEmpty()) {
        QDir().mkpath(ComPortFolder());
        QVERIFY(QFile::link(linkTarget, ComPortFolder() + QStringLiteral("/COM%1").arg(portNum)));
    }
    SerialPort port;
    port.SetPortNum(portNum);
    try {
        port.Open();
        QFAIL("Open succeeded");
    } catch (const SerialPortError &e) {
        QCOMPARE(e.message(), expected);
    }
    QVERIFY(!port.Active());
}

void tst_serialport::busyPortIsRefused()
{
    PtyDevice device;
    QVERIFY(device.isValid());
    const int n = device.registerAs(3);
    QCOMPARE(n, 3);
    SerialPort first;
    first.SetPortNum(n);
    first.Open();
    SerialPort second;
    second.SetPortNum(n);
    try {
        second.Open();
        QFAIL("a port held by another owner opened twice");
    } catch (const SerialPortError &e) {
        QVERIFY2(e.message().startsWith("Can't open specified device COM3 (Error "),
                 qPrintable(e.message()));
    }
    QVERIFY(!second.Active());
    QVERIFY(first.Active());
}

void tst_serialport::settingsLockedWhileOpen()
{
    PtyDevice device;
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    port.Open();
    const QString text = "Can't perform this operation while port is open";
    QVERIFY_THROWS_EXCEPTION(SerialPortError, port.Open());
    try {
        port.SetPortNum(n + 1);
        QFAIL("port number changed while open");
    } catch (const SerialPortError &e) {
        QCOMPARE(e.message(), text);
    }
    QCOMPARE(port.PortNum(), n);
    QVERIFY(port.Active());
    // Line settings may change at any time.
    port.SetBaudrate(9600);
    QCOMPARE(port.Baudrate(), 9600);
}

void tst_serialport::closedPortTransfersNothing()
{
    SerialPort port;
    char buffer[4] = {'x', 0, 0, 0};
    char byte = 'q';
    QCOMPARE(port.ReadBuf(buffer, 4), 0);
    QCOMPARE(port.WriteBuf("abc", 3), 0);
    QVERIFY(!port.ReadChar(byte));
    QCOMPARE(byte, 'q');
    QVERIFY(!port.WriteChar('a'));
    QElapsedTimer t;
    t.start();
    port.Close();
    // Nothing was open: no pause for the line to settle.
    QVERIFY(t.elapsed() < SerialPort::ClosePauseMs);
}

void tst_serialport::writesAndReadsInOrder()
{
    PtyDevice device;
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    port.Open();
    QCOMPARE(port.WriteBuf("snum\n", 5), 5);
    QVERIFY(port.WriteChar('v'));
    QCOMPARE(port.WriteBuf("er\n", 3), 3);
    QCOMPARE(device.read(2000, 9), QByteArray("snum\nver\n"));

    QByteArray received;
    connect(&port, &SerialPort::OnRxChar, this, [&](SerialPort *sender, int count) {
        QCOMPARE(sender, &port);
        QByteArray chunk(count, '\0');
        chunk.resize(sender->ReadBuf(chunk.data(), count));
        received += chunk;
    });
    device.write("Serialnumber : 00042\r\n>");
    QTRY_COMPARE(received, QByteArray("Serialnumber : 00042\r\n>"));
}

void tst_serialport::readReturnsWhatIsWaiting()
{
    PtyDevice device;
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    // With a read time-out far beyond the test's own, a read that waited for
    // bytes would show; one that answers at once does not come near it (the
    // figure itself: bench/serial_at_once).
    SerialPort::BufferSettings buffers = port.Buffers();
    buffers.ReadTimeout = NoWaitTimeoutMs;
    port.SetBuffers(buffers);
    port.Open();
    char buffer[10];
    QElapsedTimer t;
    t.start();
    QCOMPARE(port.ReadBuf(buffer, 10), 0);
    QVERIFY2(t.elapsed() < NoWaitTimeoutMs, qPrintable(QString::number(t.elapsed())));
    device.write("abc");
    QVERIFY(port.WaitForData(2000));
    QCOMPARE(port.ReadBuf(buffer, 10), 3);
    QCOMPARE(QByteArray(buffer, 3), QByteArray("abc"));
}

void tst_serialport::unreadBytesAreCountedAgain()
{
    PtyDevice device;
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    port.Open();
    QList<int> counts;
    connect(&port, &SerialPort::OnRxChar, this, [&](SerialPort *sender, int count) {
        counts << count;
        char byte;
        sender->ReadChar(byte); // leaves the rest waiting
    });
    device.write("abcd");
    QTRY_COMPARE(counts.size(), 1);
    QCOMPARE(counts.first(), 4);
    QTest::qWait(50);
    QCOMPARE(counts.size(), 1); // nothing new arrived: no notification
    device.write("e");
    QTRY_COMPARE(counts.size(), 2);
    QCOMPARE(counts.at(1), 4);
}

void tst_serialport::queueLimitAndTimeout()
{
    PtyDevice device; // reads nothing until told: the line backs up
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    const QString full = "Output buffer is full. Please check comm status.";

    // More than the queue holds can never fit and fails at once: with a
    // write time-out far beyond the test's own, waiting for room would show
    // (the figure itself: bench/serial_at_once).
    SerialPort::BufferSettings buffers = port.Buffers();
    buffers.WriteTimeout = NoWaitTimeoutMs;
    port.SetBuffers(buffers);
    port.Open();
    const QByteArray tooMuch(2049, 'b');
    QElapsedTimer t;
    t.start();
    try {
        port.WriteBuf(tooMuch.constData(), tooMuch.size());
        QFAIL("a write larger than the queue was taken");
    } catch (const SerialPortError &e) {
        QCOMPARE(e.message(), full);
    }
    QVERIFY2(t.elapsed() < NoWaitTimeoutMs, qPrintable(QString::number(t.elapsed())));
    port.Close();
    port.SetBuffers(SerialPort::BufferSettings {});
    port.Open();

    // A queue that stays full refuses a write after waiting 1000 ms for room.
    const QByteArray block(2048, 'a');
    qint64 accepted = 0;
    bool refused = false;
    for (int i = 0; i < 400 && !refused; ++i) {
        t.restart();
        try {
            accepted += port.WriteBuf(block.constData(), block.size());
        } catch (const SerialPortError &e) {
            QCOMPARE(e.message(), full);
            QVERIFY2(t.elapsed() >= 990, qPrintable(QString::number(t.elapsed())));
            refused = true;
        }
    }
    QVERIFY(refused);
    QVERIFY(port.Active());
    // What was taken arrives whole; nothing of the refused calls.
    const QByteArray sent = device.read(5000, int(accepted));
    QCOMPARE(sent.size(), accepted);
    QVERIFY(!sent.contains('b'));
    QVERIFY(device.read(200, 1).isEmpty());
}

void tst_serialport::closePausesAndReopens()
{
    PtyDevice device;
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    port.Open();
    QElapsedTimer t;
    t.start();
    port.Close();
    QVERIFY(t.elapsed() >= SerialPort::ClosePauseMs);
    QVERIFY(!port.Active());
    port.Open();
    QVERIFY(port.Active());
    QCOMPARE(port.WriteBuf("x", 1), 1);
    QCOMPARE(device.read(1000, 1), QByteArray("x"));
}

void tst_serialport::deviceDisappears()
{
    PtyDevice device;
    const int n = device.registerAs();
    SerialPort port;
    port.SetPortNum(n);
    port.Open();
    QSignalSpy lost(&port, &SerialPort::DeviceLost);
    device.hangUp();
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(!port.Active());
    QTest::qWait(200);
    QCOMPARE(lost.size(), 1); // told once, not in a storm
    QCOMPARE(port.WriteBuf("x", 1), 0);
}

QTEST_MAIN(tst_serialport)
#include "tst_serialport.moc"
