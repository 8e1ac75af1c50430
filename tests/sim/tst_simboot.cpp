#include "sim/core/SimBootLoader.h"
#include "sim/core/SimDemoImage.h"
#include "sim/core/SimServer.h"

#include "core/firmware/HexImage.h"
#include "core/links/ComPorts.h"
#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Outcome = SimBootLoader::Outcome;

QByteArray PageData(int page, int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((page * 31 + i * 7 + 3) & 0xff);
    return data;
}

// A page frame as the tool sends it; `sumError` spoils the checksum.
QByteArray Frame(int page, const QByteArray &data, int sumError = 0)
{
    quint8 sum = 0;
    for (const char c : data)
        sum = quint8(sum + quint8(c));
    return QByteArray() + char(page >> 8) + char(page & 0xff) + data + char(quint8(sum + sumError));
}

QByteArray Frame(int page, int size, int sumError = 0)
{
    return Frame(page, PageData(page, size), sumError);
}

QByteArray Joined(const SimBootLoader::Outputs &outputs)
{
    QByteArray bytes;
    for (const SimBootLoader::Output &output : outputs)
        bytes += output.bytes;
    return bytes;
}

const QByteArray EndMarker("\xff\xff", 2);
const QByteArray LockBits("\x00\xff", 2);
const QByteArray Abort = EndMarker + QByteArray(300, '-');

struct Settings {
    int pageSize = 256;
    bool mega128 = false;
    QList<int> refused;
    int refuseTimes = 1;
    bool token = true;
};

void Apply(SimBootLoader &boot, const Settings &settings)
{
    QVERIFY(boot.SetPageSize(settings.pageSize));
    boot.SetChip(settings.mega128 ? SimBootLoader::Chip::Mega128 : SimBootLoader::Chip::Mega256);
    boot.SetRefusedPages(settings.refused, settings.refuseTimes);
    boot.SetSendsStartToken(settings.token);
}

// The tool's end of the simulator's line, for tests that run the server in
// this thread: reads serve the event loop while they wait.
class Line {
public:
    explicit Line(const QString &path) : m_fd(OpenRawTerminal(path)) {}
    ~Line()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool IsOpen() const { return m_fd >= 0; }
    void Write(const QByteArray &bytes)
    {
        QCOMPARE(::write(m_fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }
    // Far longer than anything here takes, the restart after a reset
    // included: a busy machine must not cut a read short.
    static constexpr int WaitMs = 10 * SimServer::ResetWindowMs;
    // Waits up to `msecs` until `count` bytes have come.
    QByteArray Read(qsizetype count, int msecs = WaitMs)
    {
        (void)QTest::qWaitFor([&] {
            Drain();
            return m_in.size() >= count;
        }, msecs);
        const QByteArray out = m_in.left(count);
        m_in.remove(0, out.size());
        return out;
    }
    // Waits until the text holds `what`; returns everything up to its end.
    QByteArray ReadUntil(const QByteArray &what, int msecs = WaitMs)
    {
        (void)QTest::qWaitFor([&] {
            Drain();
            return m_in.contains(what);
        }, msecs);
        const qsizetype at = m_in.indexOf(what);
        const QByteArray out = at < 0 ? m_in : m_in.left(at + what.size());
        m_in.remove(0, out.size());
        return out;
    }
    // What arrives within `msecs`.
    QByteArray Collect(int msecs)
    {
        QTest::qWait(msecs);
        Drain();
        const QByteArray out = m_in;
        m_in.clear();
        return out;
    }

private:
    void Drain()
    {
        char buf[4096];
        ssize_t n = 0;
        while ((n = ::read(m_fd, buf, sizeof buf)) > 0)
            m_in.append(buf, n);
    }
    int m_fd = -1;
    QByteArray m_in;
};

// Sends the pages of `image` one frame per request, as the tool does, and
// returns what the device answered to each; stops at the first answer that
// is not '!' or '@'.
QByteArray SendPages(Line &line, const QByteArray &image, int pageSize)
{
    QByteArray answers;
    for (int page = 0; page * pageSize < image.size();) {
        line.Write(Frame(page, image.mid(qsizetype(page) * pageSize, pageSize)));
        const QByteArray answer = line.Read(1);
        answers += answer;
        if (answer == "!")
            ++page;
        else if (answer != "@")
            break;
    }
    return answers;
}

} // namespace

class tst_simboot : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void conversation_data();
    void conversation();
    void announcementAndErasePause();
    void bytesWanted();
    void tokenTimeout();
    void newStartDropsSession();

    void serverSingleResetIsHeld();
    void serverUploadUnpaced();
    void serverUploadTakesLineTime();
    void serverLineFollowsPortSpeed_data();
    void serverLineFollowsPortSpeed();
    void serverPowerCycleAndTimeout();
    void serverNoStartToken();
    void executablePowerCycle();
    void demoImageIsTaken();
    void executableWritesDemoImage();
};

void tst_simboot::conversation_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<bool>("mega128");
    QTest::addColumn<QList<int>>("refused");
    QTest::addColumn<int>("refuseTimes");
    QTest::addColumn<QByteArrayList>("steps");
    QTest::addColumn<QByteArrayList>("answers");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("pagesStored");
    QTest::addColumn<int>("lockBits");

    const QByteArray ready = "JT^*!";
    const auto none = QList<int>();
    const int completed = int(Outcome::Completed);

    QTest::newRow("two pages of 256")
        << 256 << false << none << 0
        << QByteArrayList {"<", Frame(0, 256), Frame(1, 256), EndMarker, LockBits}
        << QByteArrayList {ready, "!", "!", "%", "]"} << completed << 2 << 0;
    QTest::newRow("pages of 32 on the 128 KB chip, page numbers above 255")
        << 32 << true << none << 0
        << [] {
               QByteArrayList steps {"<"};
               for (int page = 0; page < 300; ++page)
                   steps << Frame(page, 32);
               return steps << EndMarker << LockBits;
           }()
        << [] {
               QByteArrayList answers {"DQ^*!"};
               for (int page = 0; page < 300; ++page)
                   answers << "!";
               return answers << "%" << "]";
           }()
        << completed << 300 << 0;
    QTest::newRow("pages of 64, other lock bits")
        << 64 << false << none << 0 << QByteArrayList {"<", EndMarker, "\x3c\xc3"}
        << QByteArrayList {"JR^*!", "%", "]"} << completed << 0 << 0x3c;
    QTest::newRow("512") << 512 << false << none << 0 << QByteArrayList {"<", EndMarker, LockBits}
                         << QByteArrayList {"JU^*!", "%", "]"} << completed << 0 << 0;
    QTest::newRow("bytes before '<' are ignored")
        << 128 << false << none << 0
        << QByteArrayList {"reset\nreset\n!@%]", "<", Frame(0, 128), EndMarker, LockBits}
        << QByteArrayList {"", "JS^*!", "!", "%", "]"} << completed << 1 << 0;
    QTest::newRow("bad checksum asks again")
        << 256 << false << none << 0
        << QByteArrayList {"<", Frame(0, 256, 1), Frame(0, 256), EndMarker, LockBits}
        << QByteArrayList {ready, "@", "!", "%", "]"} << completed << 1 << 0;
    QTest::newRow("a page other than the one asked for")
        << 256 << false << none << 0
        << QByteArrayList {"<", Frame(1, 256), Frame(0, 256), Frame(0, 256), Frame(1, 256), EndMarker,
                           LockBits}
        << QByteArrayList {ready, "@", "!", "@", "!", "%", "]"} << completed << 2 << 0;
    QTest::newRow("refused page, three times")
        << 256 << false << QList<int> {1} << 3
        << QByteArrayList {"<", Frame(0, 256), Frame(1, 256), Frame(1, 256), Frame(1, 256), Frame(1, 256),
                           EndMarker, LockBits}
        << QByteArrayList {ready, "!", "@", "@", "@", "!", "%", "]"} << completed << 2 << 0;
    QTest::newRow("the tool's abort")
        << 256 << false << QList<int> {0} << 9
        << QByteArrayList {"<", Frame(0, 256), Frame(0, 256), Frame(0, 256), Frame(0, 256) + Abort, LockBits}
        << QByteArrayList {ready, "@", "@", "@", "@%", "]"} << int(Outcome::Aborted) << 0 << 0;
    QTest::newRow("';' where a frame starts leaves")
        << 256 << false << none << 0 << QByteArrayList {"<", Frame(0, 256), ";"}
        << QByteArrayList {ready, "!", ""} << int(Outcome::Left) << 1 << -1;
    QTest::newRow("';' instead of lock bits leaves")
        << 256 << false << none << 0 << QByteArrayList {"<", EndMarker, ";"}
        << QByteArrayList {ready, "%", ""} << int(Outcome::Left) << 0 << -1;
    Q_ASSERT(PageData(0, 32).contains(';'));
    QTest::newRow("';' inside a frame is data")
        << 32 << false << none << 0 << QByteArrayList {"<", Frame(0, 32), EndMarker, LockBits}
        << QByteArrayList {"JQ^*!", "!", "%", "]"} << completed << 1 << 0;
    QTest::newRow("pages may not reach the boot loader's area")
        << 512 << true << none << 0
        << [] {
               QByteArrayList steps {"<"};
               for (int page = 0; page <= 248; ++page)
                   steps << Frame(page, 512);
               return steps;
           }()
        << [] {
               QByteArrayList answers {"DU^*!"};
               for (int page = 0; page < 248; ++page)
                   answers << "!";
               return answers << "@";
           }()
        << int(Outcome::None) << 248 << -1;
    QTest::newRow("still waiting for the rest of a frame")
        << 256 << false << none << 0 << QByteArrayList {"<", Frame(0, 256).left(200)}
        << QByteArrayList {ready, ""} << int(Outcome::None) << 0 << -1;
}

// Each script runs twice: every step in one call, and one byte per call.
void tst_simboot::conversation()
{
    QFETCH(int, pageSize);
    QFETCH(bool, mega128);
    QFETCH(QList<int>, refused);
    QFETCH(int, refuseTimes);
    QFETCH(QByteArrayList, steps);
    QFETCH(QByteArrayList, answers);
    QFETCH(int, outcome);
    QFETCH(int, pagesStored);
    QFETCH(int, lockBits);
    QCOMPARE(steps.size(), answers.size());

    for (const bool bytewise : {false, true}) {
        SimBootLoader boot;
        Apply(boot, {pageSize, mega128, refused, refuseTimes, true});
        QCOMPARE(Joined(boot.Start()), QByteArray(">"));
        QByteArray expectedImage;
        for (qsizetype s = 0; s < steps.size(); ++s) {
            QByteArray said;
            if (bytewise) {
                for (const char b : steps.at(s))
                    said += Joined(boot.Feed(QByteArray(1, b)));
            } else {
                qsizetype consumed = -1;
                said = Joined(boot.Feed(steps.at(s), &consumed));
                QCOMPARE(consumed, steps.at(s).size());
            }
            QVERIFY2(said == answers.at(s), qPrintable(QStringLiteral("step %1 (%2): %3")
                                                           .arg(s)
                                                           .arg(bytewise ? "bytewise" : "whole")
                                                           .arg(QString::fromLatin1(said.toHex()))));
        }
        QCOMPARE(int(boot.LastOutcome()), outcome);
        QCOMPARE(boot.Active(), outcome == int(Outcome::None));
        QCOMPARE(boot.PagesStored(), pagesStored);
        QCOMPARE(boot.LockBits(), lockBits);
        for (int page = 0; page < pagesStored; ++page)
            expectedImage += PageData(page, pageSize);
        if (outcome != int(Outcome::Aborted))
            QCOMPARE(boot.Image(), expectedImage);
    }
}

void tst_simboot::announcementAndErasePause()
{
    SimBootLoader boot;
    boot.SetChip(SimBootLoader::Chip::Mega128);
    QVERIFY(!boot.SetPageSize(100));
    QCOMPARE(boot.PageSize(), 256);
    QVERIFY(boot.SetPageSize(32));
    boot.Start();
    const SimBootLoader::Outputs expected {{0, "DQ^"}, {SimBootLoader::EraseMs, "*!"}};
    QCOMPARE(boot.Feed("<"), expected);

    // The end stops taking bytes; what follows is the firmware's.
    boot.Feed(EndMarker);
    qsizetype consumed = 0;
    QCOMPARE(Joined(boot.Feed(LockBits + "snum\n", &consumed)), QByteArray("]"));
    QCOMPARE(consumed, 2);
    QVERIFY(boot.Feed("<", &consumed).isEmpty());
    QCOMPARE(consumed, 0);
}

void tst_simboot::bytesWanted()
{
    SimBootLoader boot;
    QVERIFY(boot.SetPageSize(64));
    QCOMPARE(boot.BytesWanted(), 0);
    QCOMPARE(boot.TimeoutMs(), -1);
    boot.Start();
    QCOMPARE(boot.BytesWanted(), 1);
    QCOMPARE(boot.TimeoutMs(), SimBootLoader::TokenWaitMs);
    boot.Feed("<");
    QCOMPARE(boot.TimeoutMs(), -1);
    // Two bytes tell a frame from the end marker, then the rest of the frame.
    QCOMPARE(boot.BytesWanted(), 2);
    boot.Feed(Frame(0, 64).left(1));
    QCOMPARE(boot.BytesWanted(), 1);
    boot.Feed(Frame(0, 64).mid(1, 1));
    QCOMPARE(boot.BytesWanted(), 65);
    boot.Feed(Frame(0, 64).mid(2));
    QCOMPARE(boot.BytesWanted(), 2);
    boot.Feed(EndMarker);
    QCOMPARE(boot.BytesWanted(), 1);
}

void tst_simboot::tokenTimeout()
{
    SimBootLoader boot;
    boot.TimeOut();
    QCOMPARE(boot.LastOutcome(), Outcome::None);
    boot.Start();
    boot.TimeOut();
    QVERIFY(!boot.Active());
    QCOMPARE(boot.LastOutcome(), Outcome::TimedOut);

    // Once the transfer runs, the time-out no longer applies.
    boot.Start();
    boot.Feed("<");
    boot.TimeOut();
    QVERIFY(boot.Active());

    boot.SetSendsStartToken(false);
    QVERIFY(boot.Start().isEmpty());
    QCOMPARE(boot.CurrentPhase(), SimBootLoader::Phase::WaitingForToken);
}

void tst_simboot::newStartDropsSession()
{
    SimBootLoader boot;
    boot.Start();
    boot.Feed("<" + Frame(0, 256) + Frame(1, 256).left(100));
    QCOMPARE(boot.PagesStored(), 1);
    // A power cycle in the middle of a frame: the next '<' starts afresh,
    // from page 0 and with the flash erased.
    QCOMPARE(Joined(boot.Start()), QByteArray(">"));
    QCOMPARE(Joined(boot.Feed("<" + Frame(0, 256, 1))), QByteArray("JT^*!@"));
    QCOMPARE(boot.PagesStored(), 0);
    QCOMPARE(boot.Image(), QByteArray());
}

void tst_simboot::serverSingleResetIsHeld()
{
    ScopedConfigHome home;
    SimServer server;
    QVERIFY2(server.StartSerial(), qPrintable(server.ErrorString()));
    Line line(server.SlavePath());
    QVERIFY(line.IsOpen());

    QElapsedTimer clock;
    clock.start();
    line.Write("reset\n");
    // The restart's text and prompt come only when no second reset can.
    QCOMPARE(line.Collect(SimServer::ResetWindowMs / 2), QByteArray());
    const QByteArray answer = line.ReadUntil(">");
    QVERIFY(clock.elapsed() >= SimServer::ResetWindowMs);
    QCOMPARE(answer, SimDevice().HandleLine("reset"));
    QVERIFY(!server.InBootLoader());

    // Two resets further apart than the window are two restarts.
    line.Write("reset\n");
    QVERIFY(line.ReadUntil(">").contains("restart"));
    line.Write("reset\n");
    QVERIFY(line.ReadUntil(">").contains("restart"));
    QVERIFY(!server.InBootLoader());
}

void tst_simboot::serverUploadUnpaced()
{
    ScopedConfigHome home;
    QTemporaryDir dir;
    SimServer server;
    QVERIFY(server.StartSerial());
    server.SetLineRate(0);
    server.SetBootImagePath(dir.filePath("image.bin"));
    QVERIFY(server.BootLoader().SetPageSize(128));
    server.BootLoader().SetRefusedPages({2}, 1);
    server.SetSoftwareAfterUpdate("4.2.0");
    QSignalSpy started(&server, &SimServer::bootLoaderStarted);
    QSignalSpy ended(&server, &SimServer::bootLoaderEnded);
    Line line(server.SlavePath());

    // Whatever the firmware meant to say about the first reset is lost in
    // the second.
    line.Write("reset\nreset\n");
    QCOMPARE(line.Read(1), QByteArray(">"));
    QCOMPARE(started.count(), 1);
    QVERIFY(server.InBootLoader());
    line.Write("<");
    QCOMPARE(line.Read(5), QByteArray("JS^*!"));

    QByteArray image;
    for (int page = 0; page < 5; ++page)
        image += PageData(page, 128);
    QCOMPARE(SendPages(line, image, 128), QByteArray("!!@!!!"));
    line.Write(EndMarker);
    QCOMPARE(line.Read(1), QByteArray("%"));
    // Bytes after the lock bits reach the firmware's command reader, and the
    // tool's leave byte from a later close does no harm.
    line.Write(LockBits + ";snum\n");
    const QByteArray after = line.ReadUntil(">");
    QVERIFY2(after.startsWith("]") && after.contains("Serialnumber"), after.constData());
    // The new firmware runs.
    line.Write("ver\n");
    const QByteArray version = line.ReadUntil(">");
    QVERIFY2(version.contains("Mirto V: 4.2.0"), version.constData());
    QCOMPARE(line.Collect(50), QByteArray());
    QCOMPARE(ended.count(), 1);
    QVERIFY(!server.InBootLoader());
    QCOMPARE(server.BootLoader().LastOutcome(), Outcome::Completed);

    QFile written(dir.filePath("image.bin"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), image);
    QCOMPARE(server.BootImageError(), QString());
}

void tst_simboot::serverUploadTakesLineTime()
{
    ScopedConfigHome home;
    SimServer server;
    QVERIFY(server.StartSerial());
    QCOMPARE(server.LineRate(), SimServer::DefaultLineRate);
    QVERIFY(server.BootLoader().SetPageSize(256));
    server.SetSoftwareAfterUpdate("9.9.9");
    Line line(server.SlavePath());
    QVERIFY(server.PowerCycle());
    QCOMPARE(line.Read(1), QByteArray(">"));
    line.Write("<");
    QCOMPARE(line.Read(5), QByteArray("JT^*!"));

    // Each page is a 259-byte frame one way and one byte back: the device
    // cannot have read a frame, let alone answered it, before the line
    // carried it.
    constexpr int Pages = 12;
    QByteArray image;
    for (int page = 0; page < Pages; ++page)
        image += PageData(page, 256);
    const double byteMs = 10.0 * 1000.0 / SimServer::DefaultLineRate;
    const double lineMs = Pages * (259 + 1) * byteMs;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(SendPages(line, image, 256), QByteArray(Pages, '!'));
    const double wallMs = double(clock.nsecsElapsed()) / 1e6;
    QVERIFY2(wallMs >= lineMs, qPrintable(QStringLiteral("%1 ms for %2 ms of line").arg(wallMs).arg(lineMs)));
    // Generous: the point is that the pace is not wildly off on a busy
    // machine; the benchmark holds the tight figure.
    QVERIFY2(wallMs < lineMs * 10, qPrintable(QStringLiteral("%1 ms for %2 ms of line").arg(wallMs).arg(lineMs)));

    // The abort's filler reaches the device at the line's pace too: the
    // lock bits behind it are read only after all of it.
    clock.restart();
    line.Write(Abort + LockBits);
    QCOMPARE(line.Read(2), QByteArray("%]"));
    QVERIFY(double(clock.nsecsElapsed()) / 1e6 >= (Abort.size() + LockBits.size() + 1) * byteMs);
    QCOMPARE(server.BootLoader().LastOutcome(), Outcome::Aborted);
    // An aborted upload leaves the old firmware's version.
    QCOMPARE(server.Device().SoftwareVersion(), SimDevice().SoftwareVersion());
}

// The boot loader's line runs at the speed the tool set on its port, as a
// device's line runs at the speed both ends were set to, unless the
// simulator is told a rate of its own.
void tst_simboot::serverLineFollowsPortSpeed_data()
{
    QTest::addColumn<int>("portSpeed"); // 0: the tool leaves it as it is
    QTest::addColumn<int>("setRate");   // SetLineRate's value; PortLineRate: none given
    QTest::addColumn<int>("lineRate");

    QTest::newRow("port as the simulator opened it") << 0 << SimServer::PortLineRate << SimServer::DefaultLineRate;
    QTest::newRow("tool set 9600") << 9600 << SimServer::PortLineRate << 9600;
    QTest::newRow("tool set 38400") << 38400 << SimServer::PortLineRate << 38400;
    QTest::newRow("a rate given wins over the port") << 4800 << 115200 << 115200;
    QTest::newRow("unpaced whatever the port") << 9600 << 0 << 0;
}

void tst_simboot::serverLineFollowsPortSpeed()
{
    QFETCH(int, portSpeed);
    QFETCH(int, setRate);
    QFETCH(int, lineRate);
    ScopedConfigHome home;
    SimServer server;
    QVERIFY(server.StartSerial());
    server.SetLineRate(setRate);
    QVERIFY(server.BootLoader().SetPageSize(256));
    Line line(server.SlavePath());
    if (portSpeed > 0) {
        // As the tool opens its port: another descriptor of the same line.
        const int port = OpenRawTerminal(server.SlavePath());
        QVERIFY(port >= 0);
        termios tio {};
        QCOMPARE(::tcgetattr(port, &tio), 0);
        QCOMPARE(::cfsetspeed(&tio, portSpeed == 9600 ? B9600 : portSpeed == 38400 ? B38400 : B4800), 0);
        QCOMPARE(::tcsetattr(port, TCSANOW, &tio), 0);
        ::close(port);
    }
    QCOMPARE(server.LineRate(), lineRate);

    QVERIFY(server.PowerCycle());
    QCOMPARE(line.Read(1), QByteArray(">"));
    line.Write("<");
    QCOMPARE(line.Read(5), QByteArray("JT^*!"));
    constexpr int Pages = 2;
    QByteArray image;
    for (int page = 0; page < Pages; ++page)
        image += PageData(page, 256);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(SendPages(line, image, 256), QByteArray(Pages, '!'));
    const double wallMs = double(clock.nsecsElapsed()) / 1e6;
    const double lineMs = lineRate > 0 ? Pages * (259 + 1) * 10.0 * 1000.0 / lineRate : 0.0;
    QVERIFY2(wallMs >= lineMs, qPrintable(QStringLiteral("%1 ms for %2 ms of line").arg(wallMs).arg(lineMs)));
}

void tst_simboot::serverPowerCycleAndTimeout()
{
    ScopedConfigHome home;
    SimServer server;
    QVERIFY(server.StartSerial());
    server.SetLineRate(0);
    QSignalSpy ended(&server, &SimServer::bootLoaderEnded);
    Line line(server.SlavePath());

    // A power cycle cuts a pending answer short.
    server.Device().SetAnswerDelay(300);
    line.Write("help\n");
    QTest::qWait(50);
    QVERIFY(server.PowerCycle());
    QCOMPARE(line.Read(1), QByteArray(">"));
    QCOMPARE(line.Collect(400), QByteArray());
    server.Device().SetAnswerDelay(0);

    // Without '<' the firmware starts again and answers commands.
    line.Write("snum\n");
    QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 10 * SimBootLoader::TokenWaitMs));
    QCOMPARE(server.BootLoader().LastOutcome(), Outcome::TimedOut);
    line.Write("ver\n");
    const QByteArray answer = line.ReadUntil(">");
    QVERIFY2(answer.contains("Mirto V:"), answer.constData());
    QVERIFY(!answer.contains("Serialnumber"));
}

void tst_simboot::serverNoStartToken()
{
    ScopedConfigHome home;
    SimServer server;
    QVERIFY(server.StartSerial());
    server.BootLoader().SetSendsStartToken(false);
    QSignalSpy ended(&server, &SimServer::bootLoaderEnded);
    Line line(server.SlavePath());
    line.Write("reset\nreset\n");
    QVERIFY(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 10 * SimBootLoader::TokenWaitMs));
    QCOMPARE(line.Collect(0), QByteArray());
    QCOMPARE(server.BootLoader().LastOutcome(), Outcome::TimedOut);
}

void tst_simboot::executablePowerCycle()
{
    if (qEnvironmentVariableIsEmpty("MIRTO_SIM"))
        QSKIP("MIRTO_SIM is not set (run through ctest)");
    ScopedConfigHome home;
    QTemporaryDir dir;
    SimProcess sim({"--no-tcp", "--page-size", "32", "--chip", "128", "--line-rate", "0", "--image",
                    dir.filePath("flash.bin")});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    Line line(ComPortTarget(sim.comPort()));
    QVERIFY(line.IsOpen());
    QVERIFY(sim.PowerCycle());
    QCOMPARE(line.Read(1), QByteArray(">"));
    line.Write("<");
    QCOMPARE(line.Read(5), QByteArray("DQ^*!"));
    const QByteArray image = PageData(0, 32) + PageData(1, 32);
    QCOMPARE(SendPages(line, image, 32), QByteArray("!!"));
    line.Write(EndMarker);
    QCOMPARE(line.Read(1), QByteArray("%"));
    line.Write(LockBits);
    QCOMPARE(line.Read(1), QByteArray("]"));
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(dir.filePath("flash.bin")); }, Line::WaitMs));
    QFile written(dir.filePath("flash.bin"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), image);
}

// The demo image loads as the tool loads a file, and the boot loader takes
// it whole with the smaller chip and a small page.
void tst_simboot::demoImageIsTaken()
{
    HexImage image;
    const HexLoadResult load = ParseHexImage(DemoImageHex(), image);
    QCOMPARE(load.Result, 0);
    QCOMPARE(image.ImageLowAddress, 0u);
    QCOMPARE(image.ImageHighAddress, quint32(DemoImageBytes - 1));
    const QByteArray flash = DemoImageFlash();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(image.FlashImage.data()), DemoImageBytes), flash);
    QVERIFY(flash.startsWith("Mirto demo firmware"));

    ScopedConfigHome home;
    QTemporaryDir dir;
    SimServer server;
    QVERIFY(server.StartSerial());
    server.SetLineRate(0);
    server.SetBootImagePath(dir.filePath("image.bin"));
    QVERIFY(server.BootLoader().SetPageSize(128));
    server.BootLoader().SetChip(SimBootLoader::Chip::Mega128);
    Line line(server.SlavePath());
    QVERIFY(server.PowerCycle());
    QCOMPARE(line.Read(1), QByteArray(">"));
    line.Write("<");
    QCOMPARE(line.Read(5), QByteArray("DS^*!"));
    QCOMPARE(SendPages(line, flash, 128), QByteArray(DemoImageBytes / 128, '!'));
    line.Write(EndMarker);
    QCOMPARE(line.Read(1), QByteArray("%"));
    line.Write(LockBits);
    QCOMPARE(line.Read(1), QByteArray("]"));
    QCOMPARE(server.BootLoader().LastOutcome(), Outcome::Completed);
    QFile written(dir.filePath("image.bin"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), flash);
}

void tst_simboot::executableWritesDemoImage()
{
    const QString program = qEnvironmentVariable("MIRTO_SIM");
    if (program.isEmpty())
        QSKIP("MIRTO_SIM is not set (run through ctest)");
    QTemporaryDir dir;
    const auto run = [&](const QString &path, QString &err) {
        QProcess sim;
        sim.start(program, {QStringLiteral("--write-demo-image"), path});
        if (!sim.waitForFinished(30000))
            return -1;
        err = QString::fromLocal8Bit(sim.readAllStandardError());
        return sim.exitStatus() == QProcess::NormalExit ? sim.exitCode() : -1;
    };
    QString err;
    const QString path = dir.filePath("demo.hex");
    QCOMPARE(run(path, err), 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), DemoImageHex());

    // A file it cannot write is a failure that names it, and no port is made.
    const QString nowhere = dir.filePath("missing/demo.hex");
    QCOMPARE(run(nowhere, err), 1);
    QVERIFY2(err.contains("cannot write " + nowhere), qPrintable(err));
}

QTEST_GUILESS_MAIN(tst_simboot)
#include "tst_simboot.moc"
