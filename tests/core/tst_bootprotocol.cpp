#include "core/firmware/BootProtocol.h"
#include "core/links/SerialPortError.h"
#include "tests/HexFixtures.h"

#include <QtTest>

#include <algorithm>
#include <memory>

using namespace hexfix;

namespace {

// A boot protocol with files to load in turn (the last one stays), a
// recording writer that can be told to fail, and a clock that moves only
// when the test moves it.
struct Rig {
    HexImage image;
    qint64 now = 0;
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

    explicit Rig(QByteArrayList hexFiles) : files(std::move(hexFiles))
    {
        protocol.SetClock([this] { return now; });
        protocol.Activate();
    }
    QByteArray Sent() const { return writes.join(); }
    // Start with "115200": the device is reset and its start token awaited.
    void Start() { protocol.Start(BootProtocol::ResetSpeedIndex); }
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
    case K::Terminal: return "term:" + e.Text;
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
// the finish byte, and once the machine no longer listens, the rest is left.
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
        if (!protocol.Listening())
            break;
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
    void successReport();
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
                       "msg:Firmware updated: 300 bytes in 2 pages, 0.0 s",
                       "term:Firmware updated: 300 bytes in 2 pages, 0.0 s", "finished:1"}
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

    // The boot loader got nothing after its token and starts the firmware:
    // what follows is the terminal's.
    QTest::newRow("failed reload answers nothing and leaves the rest")
        << QByteArrayList{fileA, badFile, fileB} << QByteArray(">T!>!!@%^]>!!")
        << "<" + Frame(flashA, 0, 256) << QByteArray("!!@%^]>!!")
        << QStringList{"msg:Error in Flash Hex File Line 2", "status:Error in Flash File",
                       "ended:0", "start:0", "timer+2", "start:1"}
        << QStringList{"finished:0", "finished:1", "msg:Programming Lockbits...",
                       "msg:Sending Page #1"};

    const QByteArray tooLarge = HexText({Filled(0, 16), Filled(258048, 1)});
    QTest::newRow("reload of a file grown too large")
        << QByteArrayList{fileA, tooLarge} << QByteArray(">T!>!!") << "<" + Frame(flashA, 0, 256)
        << QByteArray("!!") << QStringList{"status:Flash File too large", "timer+2", "start:1"}
        << QStringList{"msg:Sending Page #1"};

    // A Mega128 keeps its top 4 KB (from 126976) for its boot loader: the
    // chip byte comes before the erase, and a larger image ends there.
    const QList<Span> fits128 = {Filled(0, 16), Filled(126975, 1)};
    const QList<Span> over128 = {Filled(0, 16), Filled(126976, 1)};
    const QByteArray tooLarge128 = "Flash File too large for Mega128";
    QTest::newRow("Mega128 refuses an image into its boot area before the erase")
        << QByteArrayList{HexText(over128)} << ">DU^*" + QByteArray(3, '!') + "%]"
        << "<" + AbortSequence + LockBits << QByteArray()
        << QStringList{"msg:Mega128 detected", "msg:" + tooLarge128, flashFail, aborted,
                       "ended:0", "box:Firmware update failed\n\n" + tooLarge128, "finished:0"}
        << QStringList{"msg:Sending Page", allDone};
    QTest::newRow("Mega128 takes an image up to 126975")
        << QByteArrayList{HexText(fits128)} << ">DU" + QByteArray(126975 / 512 + 2, '!')
        << "<" + Frames(Flash(fits128), 0, 126975 / 512, 512) + EndMarker << QByteArray()
        << QStringList{"msg:Mega128 detected", "ended:1"} << QStringList{flashFail};
    QTest::newRow("Mega256 takes the larger image")
        << QByteArrayList{HexText(over128)} << ">JU" + QByteArray(126976 / 512 + 2, '!')
        << "<" + Frames(Flash(over128), 0, 126976 / 512, 512) + EndMarker << QByteArray()
        << QStringList{"msg:Mega256 detected", "ended:1"} << QStringList{flashFail};
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
        rig->Start();
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
    rig.Start();
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
    rig.Start();
    Feed(rig.protocol, ">R!@@@!!!!%]", false);
    QCOMPARE(rig.protocol.PageSize(), 64u);
    QCOMPARE(rig.protocol.ErrorCount(), 3);
    rig.protocol.Closed();
    rig.protocol.Activate();
    rig.Start();
    rig.writes.clear();
    const Outcome out = Feed(rig.protocol, ">@!!@!!!", false);
    QCOMPARE(rig.Sent(), "<" + Frames(flash, 0, 0, 64) + Frames(flash, 1, 2, 64)
                             + Frame(flash, 2, 64) + Frame(flash, 3, 64) + EndMarker);
    QVERIFY(!out.log.contains("msg:Flash Fail"));
}

// A completed update tells what went out and how long it took, from the start
// token to the finish byte, in the list and in the terminal; a failed one
// does not.
void tst_bootprotocol::successReport()
{
    const QList<Span> spans = {Filled(0x10000 - 100, 300)};
    Rig rig({HexText(spans)});
    rig.now = 5000;
    rig.Start();
    Feed(rig.protocol, ">S" + QByteArray(3, '!'), false);
    rig.now = 5000 + 12340;
    // 514 pages of 128 bytes for addresses 0 to 65735, then the end marker.
    const Outcome out = Feed(rig.protocol, QByteArray(514 + 1 - 3, '!') + "%]", false);
    const QString done = "Firmware updated: 65736 bytes in 514 pages, 12.3 s";
    QCOMPARE(out.log.mid(out.log.size() - 3),
             QStringList({"msg:" + done, "term:" + done, "finished:1"}));

    // The time the stop question stood open (answered No) is no time the
    // update took.
    Rig asked({HexText(spans)});
    asked.now = 1000;
    asked.Start();
    Feed(asked.protocol, ">S!", false);
    asked.now += 2000;
    asked.protocol.PauseClock(true);
    asked.now += 60000;
    asked.protocol.PauseClock(false);
    asked.now += 1000;
    const Outcome resumed = Feed(asked.protocol, QByteArray(514, '!') + "%]", false);
    QVERIFY2(resumed.log.contains("term:Firmware updated: 65736 bytes in 514 pages, 3.0 s"),
             qPrintable(resumed.log.join('\n')));

    // A failure after '<' says where the device is, in the status line and
    // the terminal, once, and keeps it the status line's last word.
    Rig failed({HexText(spans)});
    failed.Start();
    const Outcome aborted = Feed(failed.protocol, ">S!@@@@%^]", false);
    QVERIFY(aborted.log.contains("finished:0"));
    QVERIFY(aborted.log.filter("Firmware updated").isEmpty());
    const QString inBootLoader = "the device stays in its boot loader until an update completes";
    QCOMPARE(aborted.log.filter("term:"),
             QStringList({"term:Firmware update failed: " + inBootLoader + "."}));
    QCOMPARE(aborted.log.filter("status:").constLast(), "status:Update failed: " + inBootLoader);

    // The Mega128 has erased its application area by the time it names
    // itself: its refusal is no harmless one.
    Rig mega128({HexText({Filled(0, 16), Filled(126976 - 9, 10)})});
    mega128.Start();
    const Outcome refused = Feed(mega128.protocol, ">DT^", false);
    QCOMPARE(refused.log.filter("term:"),
             QStringList({"term:Firmware update failed (Flash File too large for Mega128): " + inBootLoader + "."}));
    QCOMPARE(refused.log.filter("status:").constLast(), "status:Update failed: " + inBootLoader);

    // Nothing is said of the boot loader when it never got its '<'.
    Rig unsent({HexText(spans)});
    unsent.failAtWrite = 0;
    unsent.Start();
    const Outcome noHandshake = Feed(unsent.protocol, ">", false);
    QVERIFY2(noHandshake.log.filter(inBootLoader).isEmpty(), qPrintable(noHandshake.log.join('\n')));
}

// Start, the timers, the power-plug prompt, the user's stop, the Close button
// and closing. Steps: "start:N" (speed position), "timer1", "timer2",
// "promptclosed", "stop", "bytes:...", "closebutton", "closed", "activate".
// Bytes the machine leaves for the terminal log as "left:...". The files
// loaded at the start tokens are a good one, one without data, and the good
// one again; after "goodfile" every load is the good one.
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
    // The reset's start token: Timer1 stops.
    const QStringList token = {"timer-1", "prompt-close", "clear", "msg:Open Flash Hex File",
                               "msg:Flash Hex File OK 16 Bytes",
                               "status:starting procedure.... please wait", "started"};
    const QStringList onePage = {"msg:Sending Page #0", "progress:0/0"};
    const QStringList closing = {"timer-1", "timer-2"};
    const QStringList stopped = {
        "msg:Update stopped by the user", "msg:Flash Fail", "status:Errors occured aborted...",
        "ended:0",
        "msg:The device stays in its boot loader until an update completes. To recover, press "
        "Start Update to update it again; if no start-token comes, remove and re-apply the "
        "device's power.",
        "status:Update stopped: the device stays in its boot loader until an update completes",
        "term:Firmware update stopped by the user: the device stays in its boot loader until an "
        "update completes.",
        "timer+1"};

    // Before Start, and once the wait ran out, a '>' is the firmware's prompt.
    QTest::newRow("a ready dialog leaves the firmware's text alone")
        << QStringList{"bytes:Mirto >\r\nok>!", "activate", "bytes:>"}
        << QStringList{"left:Mirto >\r\nok>!", "left:>"} << QByteArray();
    QTest::newRow("no token after reset warns once, and the wait is over")
        << QStringList{"start:3", "timer1", "timer1", "bytes:>T!"}
        << reset
               + QStringList{"status:No start-token received from device", noToken, "left:>T!"}
        << QByteArray();
    QTest::newRow("token stops the warning")
        << QStringList{"start:3", "bytes:>", "timer1"} << reset + token << QByteArray("<");
    QTest::newRow("the firmware's last words before the token are dropped")
        << QStringList{"start:3", "bytes:reset\r\nok!@%]^*", "bytes:>"} << reset + token
        << QByteArray("<");
    QTest::newRow("other speeds: the token counts while the prompt shows")
        << QStringList{"start:0", "promptclosed", "bytes:>", "start:-1", "bytes:>",
                       "promptclosed"}
        << QStringList{"prompt", "status:No start-token received from device", "left:>", "prompt"}
               + token.mid(1)
        << QByteArray("<");
    QTest::newRow("closing stops the warning")
        << QStringList{"start:3", "closed", "timer1", "bytes:>"}
        << reset + closing + QStringList{"left:>"} << QByteArray();
    QTest::newRow("start ignored while waiting and during a transfer")
        << QStringList{"start:3", "start:3", "bytes:>", "start:3", "start:1"} << reset + token
        << QByteArray("<");
    QTest::newRow("start again after the end")
        << QStringList{"start:3", "bytes:>T!!", "start:3"}
        << reset + token + onePage + QStringList{"ended:1"} + reset << "<" + page0 + EndMarker;
    QTest::newRow("close button after the end sends ';', also in a later showing")
        << QStringList{"start:3", "bytes:>T!!%]", "closebutton", "closed", "activate",
                       "closebutton", "closed"}
        << reset + token + onePage
               + QStringList{"ended:1", "msg:Programming Lockbits...", "msg:All done....",
                             "msg:Firmware updated: 16 bytes in 1 pages, 0.0 s",
                             "term:Firmware updated: 16 bytes in 1 pages, 0.0 s", "finished:1"}
               + closing + closing
        << "<" + page0 + EndMarker + LockBits + ";;";
    QTest::newRow("close button during a transfer sends nothing")
        << QStringList{"start:3", "bytes:>T!", "closebutton", "closed"}
        << reset + token + onePage + closing + QStringList{"ended:0"} << "<" + page0;
    QTest::newRow("closing during the re-arm gives Start back")
        << QStringList{"start:3", "bytes:>", "bytes:>", "start:3", "closed", "bytes:T!"}
        << reset + token
               + QStringList{"prompt-close", "clear", "msg:Open Flash Hex File",
                             "msg:Error in Flash Hex File. No data records found",
                             "status:Error in Flash File", "ended:0", "start:0", "timer+2"}
               + closing + QStringList{"start:1", "left:T!"}
        << QByteArray("<");
    // The boot loader got nothing after its token; a '>' is the firmware's
    // again until the user starts once more.
    QTest::newRow("after a failed reload the next token needs Start")
        << QStringList{"start:3", "bytes:>", "bytes:>", "timer2", "bytes:>T!", "start:3",
                       "bytes:>T!!"}
        << reset + token
               + QStringList{"prompt-close", "clear", "msg:Open Flash Hex File",
                             "msg:Error in Flash Hex File. No data records found",
                             "status:Error in Flash File", "ended:0", "start:0", "timer+2",
                             "start:1", "left:>T!"}
               + reset + token + onePage + QStringList{"ended:1"}
        << "<<" + page0 + EndMarker;
    // Stopped by the user: the abort, then the boot loader's lock bits are
    // still answered so that it can finish; its finish closes nothing.
    QTest::newRow("stop aborts and sees the boot loader to its end")
        << QStringList{"start:3", "bytes:>T!", "stop", "stop", "bytes:!@%", "bytes:]>ok",
                       "timer1"}
        << reset + token + onePage + stopped
               + QStringList{"msg:Programming Lockbits...", "timer-1", stopped[4], stopped[5],
                             "left:>ok"}
        << "<" + page0 + AbortSequence + LockBits;
    QTest::newRow("a stopped boot loader that says nothing is let go after Timer1")
        << QStringList{"start:3", "bytes:>T!", "stop", "timer1", "bytes:%]"}
        << reset + token + onePage + stopped + QStringList{"left:%]"}
        << "<" + page0 + AbortSequence;
    QTest::newRow("a stopped boot loader restarted by the user updates again")
        << QStringList{"goodfile", "start:3", "bytes:>T!", "stop", "bytes:>"}
        << reset + token + onePage + stopped + token
        << "<" + page0 + AbortSequence + "<";
    QTest::newRow("stop without a transfer does nothing")
        << QStringList{"stop", "start:3", "stop", "bytes:>T!!", "stop"}
        << reset + token + onePage + QStringList{"ended:1"} << "<" + page0 + EndMarker;
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
        else if (step == "promptclosed")
            Log(actual, rig.protocol.PowerPromptClosed());
        else if (step == "stop")
            Log(actual, rig.protocol.Stop());
        else if (step.startsWith("bytes:")) {
            const QByteArray bytes = step.mid(6).toLatin1();
            const BootFeed feed = rig.protocol.ProcessBootBytes(bytes);
            Log(actual, feed.Events);
            if (feed.Consumed < bytes.size())
                actual << "left:" + QString::fromLatin1(bytes.mid(feed.Consumed));
        }
        else if (step == "closebutton")
            Log(actual, rig.protocol.CloseButtonPressed());
        else if (step == "closed")
            Log(actual, rig.protocol.Closed());
        else if (step == "activate")
            rig.protocol.Activate();
        else if (step == "goodfile")
            rig.files = {good};
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
    rig.Start();
    Outcome out = Feed(rig.protocol, ">T!!!!%]", false);
    // Nothing more is the boot loader's: the rest goes to the terminal.
    QCOMPARE(out.rest, failAt == 0 ? QByteArray("T!!!!%]") : QByteArray("!!%]"));
    QVERIFY(!rig.protocol.Listening());
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

    // A new start starts over.
    rig.writes.clear();
    rig.Start();
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
    if (!script.isEmpty())
        rig.Start();
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
