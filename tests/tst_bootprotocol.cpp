#include "firmware/BootProtocol.h"
#include "links/SerialPortError.h"
#include "tests/HexFixtures.h"

#include <QtTest>

#include <algorithm>
#include <memory>

using namespace hexfix;

namespace {

// A boot protocol with files to load in turn (the last one stays) and a
// recording writer that can be told to fail.
struct Rig {
    HexImage image;
    QByteArrayList files;
    int loads = 0;
    QByteArrayList writes;
    int failAtWrite = -1; // index of the write that fails
    bool failByThrow = false;
    BootProtocol protocol{
        image,
        [this] {
            const QByteArray file = files.value(std::min<qsizetype>(loads++, files.size() - 1));
            return ParseHexImage(file, image);
        },
        [this](const QByteArray &bytes) {
            if (writes.size() == failAtWrite) {
                failAtWrite = -1; // one failure, then the link works again
                if (failByThrow)
                    throw SerialPortError(QStringLiteral(
                        "Output buffer is full. Please check comm status."));
                return false;
            }
            writes << bytes;
            return true;
        }};

    explicit Rig(QByteArrayList hexFiles) : files(std::move(hexFiles)) { protocol.Activate(); }
    QByteArray Sent() const { return writes.join(); }
};

QString Line(const BootEvent &e)
{
    using K = BootEvent::Kind;
    const QString timer = e.Timer == BootTimer::Timer1 ? "1" : "2";
    switch (e.Type) {
    case K::Message: return "msg:" + e.Text;
    case K::ClearMessages: return "clear";
    case K::Status: return "status:" + e.Text;
    case K::MessageBox: return "box:" + e.Text;
    case K::Progress: return QStringLiteral("progress:%1/%2").arg(e.Value).arg(e.Maximum);
    case K::Command: return "cmd:" + e.Text;
    case K::StartTimer: return "timer+" + timer;
    case K::StopTimer: return "timer-" + timer;
    case K::ShowPowerPrompt: return "prompt";
    case K::ClosePowerPrompt: return "prompt-close";
    case K::StartEnabled: return QStringLiteral("start:%1").arg(int(e.Flag));
    case K::TransferStarted: return "started";
    case K::TransferEnded: return QStringLiteral("ended:%1").arg(int(e.Flag));
    case K::Finished: return QStringLiteral("finished:%1").arg(int(e.Flag));
    }
    return "?";
}

void Log(QStringList &log, const QList<BootEvent> &events)
{
    for (const BootEvent &e : events)
        log << Line(e);
}

struct Outcome {
    QStringList log;
    QByteArray rest; // bytes the machine left for the terminal
    bool stalled = false;
};

// Feeds the device's bytes as the dialog does: when the machine stops taking
// bytes after a failed reload, the re-arm timer fires before the rest; after
// the finish byte the rest is left.
Outcome Feed(BootProtocol &protocol, const QByteArray &script, bool oneByte)
{
    Outcome out;
    qsizetype pos = 0;
    bool finished = false;
    while (pos < script.size() && !finished) {
        if (!protocol.AcceptBytes()) {
            Log(out.log, protocol.Timer2Expired());
            continue;
        }
        const qsizetype n = oneByte ? 1 : script.size() - pos;
        const BootFeed feed = protocol.ProcessBootBytes(script.constData() + pos, n);
        if (feed.Consumed == 0) {
            out.stalled = true;
            break;
        }
        pos += feed.Consumed;
        Log(out.log, feed.Events);
        for (const BootEvent &e : feed.Events)
            finished = finished || e.Type == BootEvent::Kind::Finished;
    }
    out.rest = script.mid(pos);
    return out;
}

// `wanted` appears in `log` in this order, with anything between.
bool InOrder(const QStringList &log, const QStringList &wanted)
{
    qsizetype at = 0;
    for (const QString &line : log) {
        if (at < wanted.size() && line == wanted[at])
            ++at;
    }
    return at == wanted.size();
}

QByteArray Frame(const QByteArray &flash, quint32 page, quint32 size)
{
    QByteArray frame = Bytes({int(page >> 8) & 0xFF, int(page & 0xFF)});
    const QByteArray data = flash.mid(qsizetype(page) * size, size);
    frame += data;
    unsigned sum = 0;
    for (const char c : data)
        sum += quint8(c);
    return frame + char(sum & 0xFF);
}

QByteArray Frames(const QByteArray &flash, quint32 first, quint32 last, quint32 size)
{
    QByteArray frames;
    for (quint32 page = first; page <= last; ++page)
        frames += Frame(flash, page, size);
    return frames;
}

const QByteArray EndMarker("\xFF\xFF", 2);
const QByteArray LockBits("\x00\xFF", 2);
const QByteArray AbortSequence = EndMarker + QByteArray(300, '-');

} // namespace

class tst_bootprotocol : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scripts_data();
    void scripts();
    void frameIsOneWrite();
    void pageSizeKeptBetweenUpdates();
    void controls_data();
    void controls();
    void linkFailures_data();
    void linkFailures();
    void linkLost_data();
    void linkLost();
};

// Device byte scripts and the exact bytes the tool answers with.
void tst_bootprotocol::scripts_data()
{
    QTest::addColumn<QByteArrayList>("files");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<QStringList>("seen");   // in this order
    QTest::addColumn<QStringList>("unseen"); // nowhere

    const QList<Span> a = {Filled(0, 300, 1)};
    const QList<Span> b = {Filled(0, 100, 2)};
    const QByteArray flashA = Flash(a), flashB = Flash(b);
    const QByteArray fileA = HexText(a), fileB = HexText(b);
    const QByteArray badFile = Join({Records(a)[0], ":10001000FF"});
    const QString allDone = "msg:All done....";
    const QString flashFail = "msg:Flash Fail";
    const QString aborted = "status:Errors occured aborted...";

    QTest::newRow("page size 256, lock bits, finish")
        << QByteArrayList{fileA} << QByteArray(">JT^!*!!%]")
        << "<" + Frames(flashA, 0, 1, 256) + EndMarker + LockBits << QByteArray()
        << QStringList{"clear", "msg:Open Flash Hex File", "msg:Flash Hex File OK 300 Bytes",
                       "status:starting procedure.... please wait", "started",
                       "msg:Mega256 detected", "status:Erasing flash.... please wait",
                       "msg:Sending Page #0", "progress:0/1",
                       "status:Programming flash.... please wait", "msg:Sending Page #1",
                       "progress:1/1", "ended:1", "msg:Programming Lockbits...", allDone,
                       "finished:1"}
        << QStringList{flashFail, "box:"};

    QTest::newRow("page size 32, last partial page")
        << QByteArrayList{fileA} << ">Q" + QByteArray(11, '!') + "%]"
        << "<" + Frames(flashA, 0, 9, 32) + EndMarker + LockBits << QByteArray()
        << QStringList{"msg:Sending Page #9", "progress:9/9", "ended:1", allDone, "finished:1"}
        << QStringList{};

    const QList<Span> page255 = {Filled(0, 256)};
    QTest::newRow("highest address 255: one frame")
        << QByteArrayList{HexText(page255)} << QByteArray(">T!!!")
        << "<" + Frame(Flash(page255), 0, 256) + EndMarker << QByteArray()
        << QStringList{"progress:0/0", "ended:1"} << QStringList{};
    const QList<Span> page256 = {Filled(0, 257)};
    QTest::newRow("highest address 256: second frame one byte")
        << QByteArrayList{HexText(page256)} << QByteArray(">T!!!")
        << "<" + Frames(Flash(page256), 0, 1, 256) + EndMarker << QByteArray()
        << QStringList{"progress:1/1", "ended:1"} << QStringList{};

    const QList<Span> wide = {Filled(0, 16), Filled(9000, 11)};
    QTest::newRow("page numbers above 255")
        << QByteArrayList{HexText(wide)} << ">Q" + QByteArray(283, '!')
        << "<" + Frames(Flash(wide), 0, 281, 32) + EndMarker << QByteArray()
        << QStringList{"msg:Sending Page #281", "progress:281/281", "ended:1"} << QStringList{};

    QTest::newRow("repeat sends the same page again")
        << QByteArrayList{fileA} << QByteArray(">T!@!!")
        << "<" + Frame(flashA, 0, 256) + Frame(flashA, 0, 256) + Frame(flashA, 1, 256) + EndMarker
        << QByteArray() << QStringList{"ended:1"} << QStringList{flashFail};
    QTest::newRow("repeat before any page sends page 0")
        << QByteArrayList{fileA} << QByteArray(">T@!!")
        << "<" + Frames(flashA, 0, 1, 256) + EndMarker << QByteArray()
        << QStringList{"msg:Sending Page #0", "ended:1"} << QStringList{flashFail};
    QTest::newRow("three repeats over the transfer do not abort")
        << QByteArrayList{fileA} << QByteArray(">Q!@!@!@!")
        << "<" + Frame(flashA, 0, 32) + Frame(flashA, 0, 32) + Frame(flashA, 1, 32)
               + Frame(flashA, 1, 32) + Frame(flashA, 2, 32) + Frame(flashA, 2, 32)
               + Frame(flashA, 3, 32)
        << QByteArray() << QStringList{} << QStringList{flashFail, "ended:0"};
    QTest::newRow("fourth repeat sends its page, then aborts")
        << QByteArrayList{fileA} << QByteArray(">Q!@!@@@!@%^]")
        << "<" + Frame(flashA, 0, 32) + Frame(flashA, 0, 32) + Frame(flashA, 1, 32)
               + Frame(flashA, 1, 32) + Frame(flashA, 1, 32) + Frame(flashA, 1, 32)
               + AbortSequence + LockBits
        << QByteArray()
        << QStringList{flashFail, aborted, "ended:0", "msg:Programming Lockbits...",
                       "status:Erasing flash.... please wait",
                       "box:Firmware update failed\n\nThe transfer was aborted. Please start the "
                       "update again....",
                       "finished:0"}
        << QStringList{allDone};

    QTest::newRow("page size never announced")
        << QByteArrayList{fileA} << QByteArray(">!!@%]") << "<" + AbortSequence + LockBits
        << QByteArray()
        << QStringList{"msg:No page size announced by device", flashFail, aborted, "ended:0",
                       "finished:0"}
        << QStringList{"msg:Sending Page #0", allDone};

    QTest::newRow("bytes before the start token dropped")
        << QByteArrayList{fileA} << QByteArray("reset\r\nok!@%]^*DQT>T!!!")
        << "<" + Frames(flashA, 0, 1, 256) + EndMarker << QByteArray()
        << QStringList{"clear", "started", "ended:1"}
        << QStringList{"msg:Mega128 detected", "status:Erasing flash.... please wait"};

    QTest::newRow("bytes after the finish go to the terminal")
        << QByteArrayList{HexText(page255)} << QByteArray(">T!!%]Mirto >\r\nok>")
        << "<" + Frame(Flash(page255), 0, 256) + EndMarker + LockBits
        << QByteArray("Mirto >\r\nok>")
        << QStringList{"finished:1"} << QStringList{};

    QTest::newRow("finish before the end marker is a failure")
        << QByteArrayList{fileA} << QByteArray(">T!%]") << "<" + Frame(flashA, 0, 256) + LockBits
        << QByteArray()
        << QStringList{"ended:0",
                       "box:Firmware update failed\n\nThe device finished before the whole file "
                       "was sent. Please start the update again....",
                       "finished:0"}
        << QStringList{allDone};

    QTest::newRow("start token mid-transfer restarts with the changed file")
        << QByteArrayList{fileA, fileB} << QByteArray(">T!!>!!%]")
        << "<" + Frames(flashA, 0, 1, 256) + "<" + Frame(flashB, 0, 256) + EndMarker + LockBits
        << QByteArray()
        << QStringList{"msg:Sending Page #1", "clear", "msg:Flash Hex File OK 100 Bytes",
                       "msg:Sending Page #0", "ended:1", allDone, "finished:1"}
        << QStringList{"ended:0"};

    QTest::newRow("failed reload answers nothing until a good token")
        << QByteArrayList{fileA, badFile, fileB} << QByteArray(">T!>!!@%^]>!!")
        << "<" + Frame(flashA, 0, 256) + "<" + Frame(flashB, 0, 256) + EndMarker << QByteArray()
        << QStringList{"msg:Error in Flash Hex File Line 2", "status:Error in Flash File",
                       "ended:0", "start:0", "timer+2", "start:1", "started",
                       "msg:Sending Page #0", "ended:1"}
        << QStringList{"finished:0", "finished:1", "msg:Programming Lockbits..."};

    const QByteArray tooLarge = HexText({Filled(0, 16), Filled(258048, 1)});
    QTest::newRow("reload of a file grown too large")
        << QByteArrayList{fileA, tooLarge} << QByteArray(">T!>!!") << "<" + Frame(flashA, 0, 256)
        << QByteArray() << QStringList{"status:Flash File too large", "timer+2", "start:1"}
        << QStringList{"msg:Sending Page #1"};

    const QList<Span> large = {Filled(0, 16), Filled(131072, 30)};
    QTest::newRow("Mega128 gets no page above 128 KB")
        << QByteArrayList{HexText(large)} << ">DU" + QByteArray(258, '!')
        << "<" + Frames(Flash(large), 0, 255, 512) + AbortSequence << QByteArray()
        << QStringList{"msg:Mega128 detected", "msg:Sending Page #255",
                       "msg:Flash File too large for Mega128", flashFail, "ended:0"}
        << QStringList{"msg:Sending Page #256"};
    QTest::newRow("Mega256 takes the same image")
        << QByteArrayList{HexText(large)} << ">JU" + QByteArray(258, '!')
        << "<" + Frames(Flash(large), 0, 256, 512) + EndMarker << QByteArray()
        << QStringList{"msg:Sending Page #256", "ended:1"} << QStringList{flashFail};
}

// Each script runs once with all bytes in one call and once a byte per call;
// both must give the same bytes and the same events.
void tst_bootprotocol::scripts()
{
    QFETCH(QByteArrayList, files);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, rest);
    QFETCH(QStringList, seen);
    QFETCH(QStringList, unseen);

    QStringList firstLog;
    for (const bool oneByte : {false, true}) {
        auto rig = std::make_unique<Rig>(files);
        const Outcome out = Feed(rig->protocol, script, oneByte);
        QVERIFY(!out.stalled);
        QCOMPARE(rig->Sent().toHex(' '), expected.toHex(' '));
        QCOMPARE(out.rest, rest);
        QVERIFY2(InOrder(out.log, seen), qPrintable(out.log.join('\n')));
        for (const QString &prefix : unseen) {
            for (const QString &line : out.log)
                QVERIFY2(!line.startsWith(prefix), qPrintable(line));
        }
        if (oneByte)
            QCOMPARE(out.log, firstLog);
        firstLog = out.log;
    }
}

void tst_bootprotocol::frameIsOneWrite()
{
    const QList<Span> spans = {Filled(0, 600)};
    Rig rig({HexText(spans)});
    Feed(rig.protocol, ">U!!!%", false);
    const QByteArray flash = Flash(spans);
    QCOMPARE(rig.writes,
             QByteArrayList(
                 {"<", Frame(flash, 0, 512), Frame(flash, 1, 512), EndMarker, LockBits}));
}

// The page size is what the boot loader announced last, also in an earlier
// update; the transfer counters start again at each good start token.
void tst_bootprotocol::pageSizeKeptBetweenUpdates()
{
    const QList<Span> spans = {Filled(0, 200)};
    const QByteArray flash = Flash(spans);
    Rig rig({HexText(spans)});
    Feed(rig.protocol, ">R!@@@!!!!%]", false);
    QCOMPARE(rig.protocol.PageSize(), 64u);
    QCOMPARE(rig.protocol.ErrorCount(), 3);
    rig.protocol.Closed();
    rig.protocol.Activate();
    rig.writes.clear();
    const Outcome out = Feed(rig.protocol, ">@!!@!!!", false);
    QCOMPARE(rig.Sent(), "<" + Frames(flash, 0, 0, 64) + Frames(flash, 1, 2, 64)
                             + Frame(flash, 2, 64) + Frame(flash, 3, 64) + EndMarker);
    QVERIFY(!out.log.contains("msg:Flash Fail"));
}

// Start, the timers, the power-plug prompt, the Close button and closing.
// Steps: "start:N" (speed position), "timer1", "timer2", "bytes:...",
// "closebutton", "closed", "activate". The files loaded at the start tokens
// are a good one, one without data, and the good one again.
void tst_bootprotocol::controls_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QByteArray>("sent");

    const QByteArray page0 = Frame(Flash({Filled(0, 16)}), 0, 256);
    const QString noToken = "box:No start-token received from device\n\nPlease check your service "
                            "cable or remove/attach power supply to start upload....";
    const QStringList reset = {"msg:Resetting device...\r\n", "cmd:reset\n", "cmd:reset\n",
                               "timer+1", "status:Waiting for start-token from device"};
    const QStringList token = {"prompt-close", "clear", "msg:Open Flash Hex File",
                               "msg:Flash Hex File OK 16 Bytes",
                               "status:starting procedure.... please wait", "started"};
    const QStringList onePage = {"msg:Sending Page #0", "progress:0/0"};
    const QStringList closing = {"timer-1", "timer-2"};

    QTest::newRow("no token after reset warns once")
        << QStringList{"start:3", "timer1", "timer1"} << reset + QStringList{noToken}
        << QByteArray();
    QTest::newRow("token stops the warning")
        << QStringList{"start:3", "bytes:>", "timer1"} << reset + QStringList{"timer-1"} + token
        << QByteArray("<");
    QTest::newRow("late token still taken")
        << QStringList{"start:3", "timer1", "bytes:>"} << reset + QStringList{noToken} + token
        << QByteArray("<");
    QTest::newRow("other speeds ask for a power cycle")
        << QStringList{"start:0", "start:-1", "bytes:>"} << QStringList{"prompt", "prompt"} + token
        << QByteArray("<");
    QTest::newRow("closing stops the warning")
        << QStringList{"start:3", "closed", "timer1"} << reset + closing << QByteArray();
    QTest::newRow("start ignored during a transfer")
        << QStringList{"bytes:>", "start:3", "start:1"} << token << QByteArray("<");
    QTest::newRow("start again after the end")
        << QStringList{"bytes:>T!!", "start:3"} << token + onePage + QStringList{"ended:1"} + reset
        << "<" + page0 + EndMarker;
    QTest::newRow("close button after the end sends ';', also in a later showing")
        << QStringList{"bytes:>T!!%]", "closebutton", "closed", "activate", "closebutton", "closed"}
        << token + onePage
               + QStringList{"ended:1", "msg:Programming Lockbits...", "msg:All done....",
                             "finished:1"}
               + closing + closing
        << "<" + page0 + EndMarker + LockBits + ";;";
    QTest::newRow("close button during a transfer sends nothing")
        << QStringList{"bytes:>T!", "closebutton", "closed"}
        << token + onePage + closing + QStringList{"ended:0"}
        << "<" + page0;
    QTest::newRow("closing during the re-arm gives Start back")
        << QStringList{"bytes:>", "bytes:>", "start:3", "closed", "bytes:T!"}
        << token
               + QStringList{"prompt-close", "clear", "msg:Open Flash Hex File",
                             "msg:Error in Flash Hex File. No data records found",
                             "status:Error in Flash File", "ended:0", "start:0", "timer+2"}
               + closing + QStringList{"start:1"}
        << QByteArray("<");
}

void tst_bootprotocol::controls()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, log);
    QFETCH(QByteArray, sent);

    const QByteArray good = HexText({Filled(0, 16)});
    Rig rig({good, ":00000001FF", good});
    QStringList actual;
    for (const QString &step : steps) {
        if (step.startsWith("start:"))
            Log(actual, rig.protocol.Start(step.mid(6).toInt()));
        else if (step == "timer1")
            Log(actual, rig.protocol.Timer1Expired());
        else if (step == "timer2")
            Log(actual, rig.protocol.Timer2Expired());
        else if (step.startsWith("bytes:"))
            Log(actual, rig.protocol.ProcessBootBytes(step.mid(6).toLatin1()).Events);
        else if (step == "closebutton")
            Log(actual, rig.protocol.CloseButtonPressed());
        else if (step == "closed")
            Log(actual, rig.protocol.Closed());
        else if (step == "activate")
            rig.protocol.Activate();
    }
    QCOMPARE(actual, log);
    QCOMPARE(rig.Sent().toHex(' '), sent.toHex(' '));
}

// A write that fails or throws ends the transfer with the link's message;
// nothing is answered until the next start token.
void tst_bootprotocol::linkFailures_data()
{
    QTest::addColumn<int>("failAt");
    QTest::addColumn<bool>("byThrow");
    QTest::addColumn<QString>("message");
    QTest::newRow("start token answer refused") << 0 << false << "Unable to write to device";
    QTest::newRow("page frame refused") << 2 << false << "Unable to write to device";
    QTest::newRow("queue full while sending a page")
        << 2 << true << "Output buffer is full. Please check comm status.";
}

void tst_bootprotocol::linkFailures()
{
    QFETCH(int, failAt);
    QFETCH(bool, byThrow);
    QFETCH(QString, message);

    const QList<Span> spans = {Filled(0, 1000)};
    const QByteArray flash = Flash(spans);
    Rig rig({HexText(spans)});
    rig.failAtWrite = failAt;
    rig.failByThrow = byThrow;
    Outcome out = Feed(rig.protocol, ">T!!!!%]", false);
    QCOMPARE(out.rest, QByteArray());
    const QStringList failure = {"msg:" + message, "msg:Flash Fail",
                                 "status:Errors occured aborted..."};
    QVERIFY2(InOrder(out.log, failure), qPrintable(out.log.join('\n')));
    QVERIFY(!out.log.contains("msg:Programming Lockbits..."));
    QVERIFY(!out.log.contains("finished:1"));
    QCOMPARE(rig.Sent(), failAt == 0 ? QByteArray() : "<" + Frame(flash, 0, 256));
    QCOMPARE(out.log.contains("ended:0"), failAt != 0);
    QVERIFY(!rig.protocol.TransferRunning());
    // A boot loader that never got its '<' is not told the update is over.
    QCOMPARE(rig.protocol.TransferDone(), failAt != 0);

    // A new start token starts over.
    rig.writes.clear();
    out = Feed(rig.protocol, ">T!!!!!", false);
    QVERIFY(out.log.contains("ended:1"));
    QCOMPARE(rig.Sent(), "<" + Frames(flash, 0, 3, 256) + EndMarker);
}

void tst_bootprotocol::linkLost_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("reported");
    QTest::newRow("in the middle of a transfer") << QByteArray(">T!") << true;
    QTest::newRow("before the start token") << QByteArray() << false;
    QTest::newRow("after the finish") << QByteArray(">T!!!!%]") << false;
}

// A device that goes away ends what was under way, as a failure; with
// nothing under way there is nothing to say.
void tst_bootprotocol::linkLost()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, reported);
    const QList<Span> spans = {Filled(0, 1000)};
    Rig rig({HexText(spans)});
    rig.protocol.Activate();
    Feed(rig.protocol, script, false);
    QStringList log;
    Log(log, rig.protocol.LinkLost(QStringLiteral("Device disconnected")));
    if (reported) {
        QVERIFY2(InOrder(log, {"msg:Device disconnected", "msg:Flash Fail",
                               "status:Errors occured aborted...", "ended:0"}),
                 qPrintable(log.join('\n')));
    } else {
        QVERIFY2(log.isEmpty(), qPrintable(log.join('\n')));
    }
    QVERIFY(!rig.protocol.TransferRunning());
    QVERIFY(!rig.protocol.InBootProtocol());
    QVERIFY(!log.contains("msg:All done...."));
}

QTEST_GUILESS_MAIN(tst_bootprotocol)
#include "tst_bootprotocol.moc"
