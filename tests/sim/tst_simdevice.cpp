#include "sim/core/SimDevice.h"
#include "sim/core/SimServer.h"

#include "core/links/ComPorts.h"
#include "tests/TestHelpers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The identification as the tool performs it on the text of an answer.
QByteArray ToolSerialPart(const QByteArray &reply)
{
    const qsizetype at = reply.indexOf("Serialnumber");
    if (at < 0)
        return "?????";
    const QByteArray part = reply.mid(at + 12 + 10, 5);
    return part.toLower() == "fffff" ? QByteArray("FFFFF") : part;
}

QByteArray ToolVersionPart(const QByteArray &reply)
{
    const qsizetype at = reply.indexOf("V:");
    if (at < 0)
        return "?????";
    const QByteArray part = reply.mid(at + 3, 5);
    return part.toLower() == "fffff" ? QByteArray("FFFFF") : part;
}

// The value of the read-out line that starts with `label`: the text after its
// ": ". A line that is exactly `label` gives an empty value; none gives null.
QByteArray ValueOf(const QByteArray &answer, const QByteArray &label)
{
    const QList<QByteArray> lines = answer.split('\n');
    for (QByteArray line : lines) {
        // The prompt of an earlier answer precedes the first line of the next.
        while (line.startsWith('>'))
            line.remove(0, 1);
        line = line.trimmed();
        if (line == label)
            return QByteArray("");
        if (!line.startsWith(label))
            continue;
        const QByteArray rest = line.mid(label.size());
        const qsizetype colon = rest.indexOf(':');
        if (colon >= 0 && rest.left(colon).trimmed().isEmpty())
            return rest.mid(colon + 1).trimmed();
    }
    return {};
}

QByteArray WholeState(SimDevice &device)
{
    return device.HandleLine("snum") + device.HandleLine("mode") + device.HandleLine("type")
           + device.HandleLine("isp") + device.HandleLine("channel");
}

bool WriteAll(int fd, const QByteArray &bytes)
{
    return ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
}

void ReadAvailable(int fd, QByteArray &into)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        into.append(buf, n);
    }
}

// Reads from `fd`, serving the event loop meanwhile (the server lives on
// this thread), until the text holds `count` prompts or `msecs` ran out.
QByteArray ReadPrompts(int fd, int count = 1, int msecs = 3000)
{
    QByteArray out;
    (void)QTest::qWaitFor([&] {
        ReadAvailable(fd, out);
        return out.count('>') >= count;
    }, msecs);
    return out;
}

QByteArray ReadPrompts(QTcpSocket &socket, int count = 1, int msecs = 3000)
{
    QByteArray out;
    (void)QTest::qWaitFor([&] {
        out += socket.readAll();
        return out.count('>') >= count;
    }, msecs);
    return out;
}

bool Connect(QTcpSocket &socket, quint16 port)
{
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 3000);
}

} // namespace

class TestSimDevice : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void identification_data();
    void identification();
    void stateChanges_data();
    void stateChanges();
    void invalidArguments_data();
    void invalidArguments();
    void answersEndWithOnePrompt_data();
    void answersEndWithOnePrompt();
    void unknownCommand();
    void withheldPrompt_data();
    void withheldPrompt();
    void silentDevice();
    void feedAcrossCalls();
    void floodText();

    void serverServesPtyAndTcp();
    void serverLinkNumbers();
    void serverRefusesSecondClient();
    void serverDelayAndPieces();
    void serverFlood();
    void executableStartsAndCleansUp();
    void cablePulledAndPluggedBack_data();
    void cablePulledAndPluggedBack();
};

void TestSimDevice::identification_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<bool>("withWord");
    QTest::addColumn<QByteArray>("serialPart");
    QTest::addColumn<QByteArray>("versionPart");

    QTest::newRow("defaults") << QByteArray() << QByteArray() << true << QByteArray("00042")
                              << QByteArray("4.0.1");
    QTest::newRow("hex serial") << QByteArray("12ABC") << QByteArray("3.9.7") << true
                                << QByteArray("12ABC") << QByteArray("3.9.7");
    QTest::newRow("unset serial") << QByteArray("fffff") << QByteArray("4.0.1") << true
                                  << QByteArray("FFFFF") << QByteArray("4.0.1");
    QTest::newRow("unset version") << QByteArray("00007") << QByteArray("FfFfF") << true
                                   << QByteArray("00007") << QByteArray("FFFFF");
    QTest::newRow("word missing") << QByteArray("00042") << QByteArray("4.0.1") << false
                                  << QByteArray("?????") << QByteArray("4.0.1");
}

void TestSimDevice::identification()
{
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, version);
    QFETCH(bool, withWord);
    QFETCH(QByteArray, serialPart);
    QFETCH(QByteArray, versionPart);

    SimDevice device;
    if (!serial.isEmpty())
        device.SetSerialNumber(serial);
    if (!version.isEmpty())
        device.SetSoftwareVersion(version);
    device.SetSnumAnswerWord(withWord);

    const QByteArray snum = device.HandleLine("snum");
    const QByteArray ver = device.HandleLine("ver\r");
    QCOMPARE(ToolSerialPart(snum), serialPart);
    QCOMPARE(ToolVersionPart(ver), versionPart);
    // The tool keeps an answer that comes in several pieces only up to 60
    // characters; a longer one would lose the serial number.
    QVERIFY2(snum.size() <= 60, snum.constData());
}

void TestSimDevice::stateChanges_data()
{
    QTest::addColumn<QByteArrayList>("commands");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<QByteArray>("value");

    const QByteArray url = "http://203.0.113.7:8000/stream.mp3";
    QTest::newRow("mode") << QByteArrayList {"mode 2"} << QByteArray("mode") << QByteArray("Mode")
                          << QByteArray("2 (fixed ISP, channels from the web)");
    QTest::newRow("mode twice") << QByteArrayList {"mode 2", "mode 1"} << QByteArray("mode")
                                << QByteArray("Mode") << QByteArray("1 (ISP and channels from firmware)");
    QTest::newRow("type") << QByteArrayList {"type e"} << QByteArray("type") << QByteArray("Type")
                          << QByteArray("E (Ethernet)");
    QTest::newRow("isp name") << QByteArrayList {"isp 1 Dialnet"} << QByteArray("isp")
                              << QByteArray("1 ISP name") << QByteArray("Dialnet");
    QTest::newRow("isp value with blanks") << QByteArrayList {"isp 3 john q public"} << QByteArray("isp")
                                           << QByteArray("3 ISP username") << QByteArray("john q public");
    QTest::newRow("isp blank value empties") << QByteArrayList {"isp 4 secret", "isp 4  "}
                                             << QByteArray("isp") << QByteArray("4 ISP password")
                                             << QByteArray("");
    QTest::newRow("isp fixed address") << QByteArrayList {"isp 9 127.1.2.3"} << QByteArray("isp")
                                       << QByteArray("9 IP address") << QByteArray("127.1.2.3");
    QTest::newRow("isp dhcp") << QByteArrayList {"isp 9 127.1.2.3", "isp 9  "} << QByteArray("isp")
                              << QByteArray("9 IP address") << QByteArray("DHCP");
    QTest::newRow("isp key letter") << QByteArrayList {"isp A 127.1.2.254"} << QByteArray("isp")
                                    << QByteArray("A Gateway") << QByteArray("127.1.2.254");
    QTest::newRow("isp update flag") << QByteArrayList {"isp C T"} << QByteArray("isp")
                                     << QByteArray("C Remote update") << QByteArray("T");
    QTest::newRow("isp update url") << QByteArrayList {"isp B " + url} << QByteArray("isp")
                                    << QByteArray("B Update URL") << url;
    QTest::newRow("isp name at capacity") << QByteArrayList {"isp 1 ABCDEFGHIJKL"} << QByteArray("isp")
                                          << QByteArray("1 ISP name") << QByteArray("ABCDEFGHIJKL");
    QTest::newRow("channel name") << QByteArrayList {"channel 1 0 Radio One", "channel 2 0 " + url}
                                  << QByteArray("channel") << QByteArray("Channel 0 name")
                                  << QByteArray("Radio One");
    QTest::newRow("channel url") << QByteArrayList {"channel 1 0 Radio One", "channel 2 0 " + url}
                                 << QByteArray("channel") << QByteArray("Channel 0 url") << url;
    QTest::newRow("channel slot 16") << QByteArrayList {"channel 1 F Last", "channel 2 F " + url}
                                     << QByteArray("channel") << QByteArray("Channel F name")
                                     << QByteArray("Last");
    QTest::newRow("channel name at capacity")
        << QByteArrayList {"channel 1 A ABCDEFGHIJKL"} << QByteArray("channel") << QByteArray("Channel A name")
        << QByteArray("ABCDEFGHIJKL");
    QTest::newRow("channels erased") << QByteArrayList {"channel 1 0 One", "channel 1 1 Two", "channel 3 0"}
                                     << QByteArray("channel") << QByteArray("No channels") << QByteArray("");
    QTest::newRow("serial programmed") << QByteArrayList {"snum 000012ABC"} << QByteArray("snum")
                                       << QByteArray("Serialnumber") << QByteArray("12ABC");
    QTest::newRow("short serial") << QByteArrayList {"snum 00001A"} << QByteArray("snum")
                                  << QByteArray("Serialnumber") << QByteArray("0001A");
}

void TestSimDevice::stateChanges()
{
    QFETCH(QByteArrayList, commands);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, label);
    QFETCH(QByteArray, value);

    SimDevice device;
    for (const QByteArray &command : commands) {
        const QByteArray answer = device.HandleLine(command);
        QVERIFY2(!answer.contains("Invalid") && !answer.contains("Unknown"), answer.constData());
    }
    const QByteArray answer = device.HandleLine(query);
    QCOMPARE(ValueOf(answer, label), value);
}

void TestSimDevice::invalidArguments_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("mode out of range") << QByteArray("mode 7");
    QTest::newRow("type unknown") << QByteArray("type X");
    QTest::newRow("isp key without item") << QByteArray("isp 8 something");
    QTest::newRow("isp key too long") << QByteArray("isp 12 something");
    QTest::newRow("isp bad flag") << QByteArray("isp C maybe");
    QTest::newRow("channel slot not hex") << QByteArray("channel 1 G Name");
    QTest::newRow("channel unknown action") << QByteArray("channel 4 0 x");
    QTest::newRow("erase with a slot") << QByteArray("channel 3 5");
    QTest::newRow("serial not hex") << QByteArray("snum 000012XYZ");
    // A value longer than the device keeps is refused, not cut.
    QTest::newRow("channel name too long") << QByteArray("channel 1 5 ABCDEFGHIJKLM");
    QTest::newRow("channel url too long") << QByteArray("channel 2 5 http://" + QByteArray(138, 'u'));
    QTest::newRow("isp name too long") << QByteArray("isp 1 ABCDEFGHIJKLM");
    QTest::newRow("isp update url too long") << QByteArray("isp B http://" + QByteArray(200, 'u'));
}

void TestSimDevice::invalidArguments()
{
    QFETCH(QByteArray, line);

    SimDevice device;
    device.HandleLine("channel 1 5 Kept");
    const QByteArray before = WholeState(device);
    const QByteArray answer = device.HandleLine(line);
    QVERIFY2(answer.startsWith("Invalid "), answer.constData());
    QVERIFY(answer.endsWith("\r\n>"));
    QCOMPARE(WholeState(device), before);
}

void TestSimDevice::answersEndWithOnePrompt_data()
{
    QTest::addColumn<QByteArray>("line");

    const QByteArrayList lines {"snum", "ver", "mode", "type", "isp", "channel", "memory", "heap", "threads",
                                "timers", "vshow", "eeprom", "help", "reset", "mode 1", "isp 1 x",
                                "channel 1 0 x", "channel 3 0", "snum 000000001", "xyz", "", "   ", "SNUM"};
    for (const QByteArray &line : lines)
        QTest::newRow(line.isEmpty() ? "(empty)" : line.constData()) << line;
}

void TestSimDevice::answersEndWithOnePrompt()
{
    QFETCH(QByteArray, line);

    SimDevice device;
    device.SetChannel(0, "Bar", "http://203.0.113.7/a?b=c");
    const QByteArray answer = device.HandleLine(line);
    QVERIFY(answer.endsWith('>'));
    // The tool takes any '>' as the end of an answer.
    QCOMPARE(answer.count('>'), 1);
    const QByteArray text = answer.chopped(1);
    QVERIFY2(text.isEmpty() || text.endsWith("\r\n"), answer.constData());
    QVERIFY(!text.contains("\n\n") && text.count('\n') == text.count("\r\n"));

    const QByteArray word = line.trimmed().split(' ').value(0).toLower();
    if (!word.isEmpty() && word != "xyz") {
        QVERIFY2(!answer.startsWith("Unknown command"), answer.constData());
        const QRegularExpression listed(QStringLiteral("\\b%1\\b").arg(QString::fromLatin1(word)));
        QVERIFY(QString::fromLatin1(device.HandleLine("help")).contains(listed));
    }
}

void TestSimDevice::unknownCommand()
{
    SimDevice device;
    QCOMPARE(device.HandleLine("xyz"), QByteArray("Unknown command: xyz\r\n>"));
    QCOMPARE(device.HandleLine("Frob 1 2\r"), QByteArray("Unknown command: Frob\r\n>"));
    // Events are marked with '#' as the terminal expects them.
    QVERIFY(device.HandleLine("reset").contains('#'));
    QCOMPARE(device.ResetCount(), 1);
}

void TestSimDevice::withheldPrompt_data()
{
    QTest::addColumn<QByteArray>("withheld");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("prompt");

    QTest::newRow("command word, set") << QByteArray("mode") << QByteArray("mode 2") << false;
    QTest::newRow("command word, read") << QByteArray("mode") << QByteArray("mode") << false;
    QTest::newRow("command word, other") << QByteArray("mode") << QByteArray("ver") << true;
    QTest::newRow("whole line") << QByteArray("mode 2") << QByteArray("mode 2") << false;
    QTest::newRow("whole line, other value") << QByteArray("mode 2") << QByteArray("mode 1") << true;
    QTest::newRow("whole line, read") << QByteArray("mode 2") << QByteArray("mode") << true;
}

void TestSimDevice::withheldPrompt()
{
    QFETCH(QByteArray, withheld);
    QFETCH(QByteArray, line);
    QFETCH(bool, prompt);

    SimDevice device;
    device.SetWithheldCommand(withheld);
    const QByteArray answer = device.HandleLine(line);
    QCOMPARE(answer.contains('>'), prompt);
    QVERIFY(!answer.isEmpty());
    if (line.startsWith("mode ")) // the setting is stored all the same
        QCOMPARE(device.Mode(), line.mid(5));
}

void TestSimDevice::silentDevice()
{
    SimDevice device;
    device.SetSilent(true);
    QVERIFY(device.HandleLine("snum").isEmpty());
    QVERIFY(device.Feed("snum\nver\n").isEmpty());
    device.SetSilent(false);
    QVERIFY(device.HandleLine("snum").endsWith('>'));
}

void TestSimDevice::feedAcrossCalls()
{
    SimDevice device;
    SimDevice reference;
    QCOMPARE(device.Feed("sn"), QByteArray());
    QCOMPARE(device.Feed("um\r\nmo"), reference.HandleLine("snum"));
    QByteArray expected = reference.HandleLine("mode 2");
    expected += reference.HandleLine("mode");
    QCOMPARE(device.Feed("de 2\nmode\r"), expected);
    // The LF of a CR LF split across two reads is no empty command.
    QCOMPARE(device.Feed("\n"), QByteArray());
    QCOMPARE(device.Feed("\n"), QByteArray(">"));
    QCOMPARE(device.Mode(), QByteArray("2"));
}

void TestSimDevice::floodText()
{
    const qint64 size = 200000;
    const QByteArray flood = SimDevice::FloodText(size);
    QCOMPARE(flood.size(), size);
    QCOMPARE(SimDevice::FloodText(777), flood.left(777));
    QVERIFY(!flood.contains('>'));
    QVERIFY(flood.count('#') > 1000);
    QSet<qsizetype> lengths;
    for (const QByteArray &line : flood.split('\n'))
        lengths.insert(line.size());
    QVERIFY(lengths.size() > 20);
}

void TestSimDevice::serverServesPtyAndTcp()
{
    ScopedConfigHome home;
    QString link;
    QString slave;
    {
        SimServer server;
        QVERIFY2(server.StartSerial(4), qPrintable(server.ErrorString()));
        QVERIFY2(server.StartTcp(0), qPrintable(server.ErrorString()));
        QCOMPARE(server.ComPort(), 4);
        link = ComPortFolder() + QStringLiteral("/COM4");
        slave = server.SlavePath();
        QCOMPARE(server.LinkPath(), link);
        QCOMPARE(ComPortTarget(4), slave);
        QVERIFY(server.TcpPort() != 0);

        // Twice, as the tool closes and reopens its port.
        for (int round = 0; round < 2; ++round) {
            const int fd = OpenRawTerminal(link);
            QVERIFY(fd >= 0);
            QVERIFY(WriteAll(fd, "snum\n"));
            const QByteArray answer = ReadPrompts(fd);
            ::close(fd);
            QVERIFY2(answer.endsWith('>'), answer.constData());
            QCOMPARE(ToolSerialPart(answer), QByteArray("00042"));
        }

        const int fd = OpenRawTerminal(link);
        QVERIFY(fd >= 0);
        QVERIFY(WriteAll(fd, "mode 2\n"));
        QVERIFY(ReadPrompts(fd).endsWith('>'));
        ::close(fd);

        QTcpSocket socket;
        QVERIFY(Connect(socket, server.TcpPort()));
        QVERIFY(server.TcpClientConnected());
        socket.write("snum\nmode\n");
        const QByteArray answer = ReadPrompts(socket, 2);
        QCOMPARE(answer.count('>'), 2);
        QCOMPARE(ToolSerialPart(answer), QByteArray("00042"));
        // One device behind both links.
        QCOMPARE(ValueOf(answer, "Mode").left(1), QByteArray("2"));
        socket.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return !server.TcpClientConnected(); }, 3000));
    }
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestSimDevice::serverLinkNumbers()
{
    ScopedConfigHome home;
    const QString folder = ComPortFolder();
    QVERIFY(QDir().mkpath(folder));
    // An entry of a pseudo-terminal that has gone, and one left by a
    // simulator that was killed while its pseudo-terminal has gone to another
    // program: both are stale.
    QVERIFY(QFile::link(QStringLiteral("/dev/pts/99999"), folder + QStringLiteral("/COM1")));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), folder + QStringLiteral("/COM2")));
    QProcess ended;
    ended.start(QStringLiteral("true"), {});
    QVERIFY(ended.waitForStarted());
    const qint64 endedPid = ended.processId();
    QVERIFY(ended.waitForFinished());
    QFile staleMark(ComPortMarkPath(folder, 2));
    QVERIFY(staleMark.open(QIODevice::WriteOnly));
    staleMark.write(QByteArray::number(endedPid) + '\n');
    staleMark.close();
    // An entry of a device the tool found keeps its number.
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), folder + QStringLiteral("/COM3")));

    SimServer first;
    QVERIFY(first.StartSerial());
    QCOMPARE(first.ComPort(), 1);
    QVERIFY(!QFileInfo(folder + QStringLiteral("/COM2")).isSymLink());
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(folder, 2)));
    QVERIFY(QFileInfo(folder + QStringLiteral("/COM3")).isSymLink());
    // Marked as ours.
    QVERIFY(ComPortOwnerAlive(ComPortMarkPath(folder, 1)));
    QFile mark(ComPortMarkPath(folder, 1));
    QVERIFY(mark.open(QIODevice::ReadOnly));
    QCOMPARE(mark.readAll().split(' ').value(0).trimmed(), QByteArray::number(QCoreApplication::applicationPid()));

    SimServer second;
    QVERIFY(second.StartSerial(3));
    QCOMPARE(second.ComPort(), 2);

    // An entry that was pointed elsewhere meanwhile is not ours to remove;
    // the mark is.
    const QString secondLink = second.LinkPath();
    QVERIFY(QFile::remove(secondLink));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), secondLink));
    second.StopSerial();
    QCOMPARE(QFileInfo(secondLink).symLinkTarget(), QStringLiteral("/dev/null"));
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(folder, 2)));

    const QString firstLink = first.LinkPath();
    first.StopSerial();
    QVERIFY(!QFileInfo(firstLink).isSymLink());
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(folder, 1)));
    QVERIFY(QFileInfo(folder + QStringLiteral("/COM3")).isSymLink());
}

void TestSimDevice::serverRefusesSecondClient()
{
    SimServer server;
    QVERIFY(server.StartTcp(0));
    QTcpSocket first;
    QVERIFY(Connect(first, server.TcpPort()));
    QVERIFY(QTest::qWaitFor([&] { return server.TcpClientConnected(); }, 3000));

    QTcpSocket second;
    second.connectToHost(QHostAddress(QHostAddress::LocalHost), server.TcpPort());
    QVERIFY(QTest::qWaitFor([&] { return second.state() == QAbstractSocket::UnconnectedState; }, 3000));

    first.write("ver\n");
    QCOMPARE(ToolVersionPart(ReadPrompts(first)), QByteArray("4.0.1"));

    // Once the first has gone, the next one is served.
    first.disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { return !server.TcpClientConnected(); }, 3000));
    QTcpSocket third;
    QVERIFY(Connect(third, server.TcpPort()));
    third.write("ver\n");
    QVERIFY(ReadPrompts(third).endsWith('>'));
}

void TestSimDevice::serverDelayAndPieces()
{
    ScopedConfigHome home;
    SimServer server;
    QVERIFY(server.StartSerial());
    QVERIFY(server.StartTcp(0));
    server.Device().SetAnswerDelay(300);
    server.Device().SetPieceSize(7);
    SimDevice reference;
    QByteArray expected = reference.HandleLine("ver");
    expected += reference.HandleLine("snum");

    QTcpSocket socket;
    QVERIFY(Connect(socket, server.TcpPort()));
    QElapsedTimer clock;
    clock.start();
    socket.write("ver\nsnum\n");
    QTest::qWait(150);
    QVERIFY(socket.bytesAvailable() == 0);
    // Two delays and the gaps between pieces take about a second; far more
    // is allowed for a busy machine.
    constexpr int AnswersMs = 10000;
    const QByteArray answer = ReadPrompts(socket, 2, AnswersMs);
    // In order and whole, the pieces of one answer spaced out.
    QCOMPARE(answer, expected);
    const qint64 pieces = (expected.size() + 6) / 7;
    QVERIFY(clock.elapsed() >= 300 + (pieces - 2) * SimServer::PieceGapMs);

    const int fd = OpenRawTerminal(server.SlavePath());
    QVERIFY(fd >= 0);
    QVERIFY(WriteAll(fd, "ver\nsnum\n"));
    QCOMPARE(ReadPrompts(fd, 2, AnswersMs), expected);
    ::close(fd);
}

void TestSimDevice::serverFlood()
{
    ScopedConfigHome home;
    SimServer server;
    QVERIFY(server.StartSerial());
    QSignalSpy done(&server, &SimServer::floodDone);
    const qint64 size = 300000;
    QVERIFY(server.StartFlood(size, 1000));
    QVERIFY(server.FloodRunning());

    const int fd = OpenRawTerminal(server.SlavePath());
    QVERIFY(fd >= 0);
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] {
        ReadAvailable(fd, received);
        return received.size() >= size && !done.isEmpty();
    }, 20000));
    ::close(fd);
    QCOMPARE(done.count(), 1);
    QVERIFY(!server.FloodRunning());
    QCOMPARE(received.size(), size);
    QVERIFY(received == SimDevice::FloodText(size));
}

void TestSimDevice::executableStartsAndCleansUp()
{
    const QString program = qEnvironmentVariable("MIRTO_SIM");
    if (program.isEmpty())
        QSKIP("MIRTO_SIM is not set (run through ctest)");
    ScopedConfigHome home;
    QProcess sim;
    sim.start(program, {QStringLiteral("--tcp-port"), QStringLiteral("0"), QStringLiteral("--serial"),
                        QStringLiteral("12ABC")});
    QVERIFY(sim.waitForStarted());
    QVERIFY(sim.waitForReadyRead(5000));
    const QString line = QString::fromLocal8Bit(sim.readLine()).trimmed();
    const QRegularExpression form(QStringLiteral("^mirto-sim: COM(\\d+) -> (/dev/\\S+), TCP 127\\.0\\.0\\.1:(\\d+)$"));
    const QRegularExpressionMatch match = form.match(line);
    QVERIFY2(match.hasMatch(), qPrintable(line));
    const int com = match.captured(1).toInt();
    QCOMPARE(ComPortTarget(com), match.captured(2));

    const int fd = OpenRawTerminal(ComPortFolder() + QStringLiteral("/COM%1").arg(com));
    QVERIFY(fd >= 0);
    QVERIFY(WriteAll(fd, "snum\n"));
    QCOMPARE(ToolSerialPart(ReadPrompts(fd)), QByteArray("12ABC"));
    ::close(fd);

    QVERIFY(ComPortOwnerAlive(ComPortMarkPath(ComPortFolder(), com)));

    ::kill(pid_t(sim.processId()), SIGTERM);
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(ComPortFolder() + QStringLiteral("/COM%1").arg(com)).isSymLink());
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(ComPortFolder(), com)));

    // Killed without a chance to clean up: the next simulator (or the tool)
    // finds the owner gone and takes the number back.
    sim.start(program, {QStringLiteral("--no-tcp")});
    QVERIFY(sim.waitForStarted());
    QVERIFY(sim.waitForReadyRead(5000));
    const int killedCom = QRegularExpression(QStringLiteral("COM(\\d+)"))
                              .match(QString::fromLocal8Bit(sim.readLine()))
                              .captured(1)
                              .toInt();
    QVERIFY(killedCom > 0);
    sim.kill();
    QVERIFY(sim.waitForFinished(5000));
    QVERIFY(QFileInfo::exists(ComPortMarkPath(ComPortFolder(), killedCom)));
    QVERIFY(!ComPortOwnerAlive(ComPortMarkPath(ComPortFolder(), killedCom)));
    QCOMPARE(ComPortTarget(killedCom), QString());
    SimServer next;
    QVERIFY(next.StartSerial());
    QCOMPARE(next.ComPort(), killedCom);
    next.StopSerial();
    QVERIFY(!QFileInfo::exists(ComPortMarkPath(ComPortFolder(), killedCom)));
}

// The cable pulled and plugged back, as the two kinds of port do it: a port
// of its own that comes and goes with its COMn link, and a USB device whose
// COMn stays while it is out, pointing at a stable link that goes with it.
void TestSimDevice::cablePulledAndPluggedBack_data()
{
    QTest::addColumn<bool>("stable");
    QTest::addColumn<int>("replugMs");
    QTest::addColumn<QByteArray>("serialBack");
    for (const bool stable : {false, true}) {
        const char *model = stable ? "stable link" : "own link";
        QTest::newRow(qPrintable(QString("%1, plugged back by hand").arg(model))) << stable << -1 << QByteArray();
        QTest::newRow(qPrintable(QString("%1, another unit later").arg(model))) << stable << 50 << QByteArray("BBBBB");
        QTest::newRow(qPrintable(QString("%1, back at once").arg(model))) << stable << 0 << QByteArray();
    }
}

void TestSimDevice::cablePulledAndPluggedBack()
{
    QFETCH(bool, stable);
    QFETCH(int, replugMs);
    QFETCH(QByteArray, serialBack);
    ScopedConfigHome home;
    QTemporaryDir byId;
    const QString stablePath = byId.filePath(QStringLiteral("by-id/usb-Mirto_AAAAA-if00"));
    SimServer server;
    server.Device().SetSerialNumber("AAAAA");
    if (stable)
        server.SetStableLink(stablePath);
    server.SetReplug(replugMs, serialBack);
    QVERIFY(server.StartSerial());
    const QString entry = server.LinkPath();
    QCOMPARE(QFileInfo(entry).symLinkTarget(), stable ? stablePath : server.SlavePath());
    const QString before = server.SlavePath();
    int fd = OpenRawTerminal(entry);
    QVERIFY(fd >= 0);
    QSignalSpy unplugged(&server, &SimServer::unplugged);
    QSignalSpy plugged(&server, &SimServer::plugged);

    server.Unplug();
    QCOMPARE(unplugged.count(), 1);
    // The old port hangs up.
    QByteArray rest;
    ReadAvailable(fd, rest);
    pollfd p {fd, POLLIN, 0};
    QVERIFY(::poll(&p, 1, 1000) == 1 && (p.revents & POLLHUP));
    ::close(fd);
    if (replugMs != 0) {
        QVERIFY(!server.Plugged());
        QVERIFY(!QFileInfo::exists(before));
        // A USB device's number stays while it is out; its stable link goes,
        // as a port of its own takes its link with it.
        QCOMPARE(QFileInfo(entry).isSymLink(), stable);
        QVERIFY(!QFileInfo(stablePath).isSymLink());
        QVERIFY(!QFileInfo::exists(entry));
        // The pseudo-terminal's number is handed to the next program that
        // asks: nothing of the device leads there.
        const int other = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(other >= 0);
        QVERIFY(::grantpt(other) == 0 && ::unlockpt(other) == 0);
        const QString otherPath = QString::fromLocal8Bit(::ptsname(other));
        const bool reached = QFileInfo(entry).canonicalFilePath() == otherPath;
        ::close(other);
        QVERIFY2(!reached, qPrintable(otherPath));
        if (replugMs < 0)
            QVERIFY(server.Plug(serialBack));
    }
    QTRY_VERIFY(server.Plugged());
    QCOMPARE(plugged.count(), 1);
    QCOMPARE(server.LinkPath(), entry);
    QCOMPARE(QFileInfo(entry).symLinkTarget(), stable ? stablePath : server.SlavePath());
    QCOMPARE(QFileInfo(entry).canonicalFilePath(), QFileInfo(server.SlavePath()).canonicalFilePath());
    fd = OpenRawTerminal(entry);
    QVERIFY(fd >= 0);
    QVERIFY(WriteAll(fd, "snum\n"));
    QCOMPARE(ToolSerialPart(ReadPrompts(fd)), serialBack.isEmpty() ? QByteArray("AAAAA") : serialBack);
    ::close(fd);

    // The simulator takes what it made with it.
    server.StopSerial();
    QVERIFY(!QFileInfo(entry).isSymLink());
    QVERIFY(!QFileInfo(stablePath).isSymLink());
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
