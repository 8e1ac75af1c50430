#include "core/config/Programming.h"
#include "core/DevicePorts.h"
#include "tests/TestHelpers.h"

#include <QElapsedTimer>
#include <algorithm>
#include <QSet>
#include <QtTest>

namespace {

struct Channel {
    QByteArray name;
    QByteArray url;
};

QList<Channel> Numbered(int count)
{
    QList<Channel> list;
    for (int i = 1; i <= count; ++i)
        list.append({"Radio " + QByteArray::number(i), "http://192.0.2.1/s" + QByteArray::number(i)});
    return list;
}

// A record filled as the configure dialog would fill it; fields left out
// stay as a reset left them.
struct Setup {
    Setup() = default;
    Setup(const QByteArray &mode, const QByteArray &type, const QByteArray &network,
               bool remoteUpdate = false, const QList<Channel> &channels = {})
        : mode(mode), type(type), network(network), remoteUpdate(remoteUpdate), channels(channels)
    {
    }
    QByteArray mode;
    QByteArray type;
    QByteArray network;
    bool remoteUpdate = false;
    QList<Channel> channels;
};

DeviceConfigRecord Record(const Setup &setup)
{
    DeviceConfigRecord r;
    ResetConfigRecord(r);
    r.Mode.set(setup.mode);
    r.Type.set(setup.type);
    r.Network.set(setup.network);
    r.IspUdEnable.set(setup.remoteUpdate ? "T" : "F");
    r.IspName.set("Dialup");
    r.IspNumber.set("0123456");
    r.IspUserName.set("user");
    r.IspPassword.set("secret");
    r.IspDbUrl.set("http://192.0.2.2/list.txt");
    r.IspUdUrl.set("http://192.0.2.9/update");
    r.IPAddress.set("198.51.100.3");
    r.Gateway.set("198.51.100.1");
    r.DNS1.set("198.51.100.53");
    r.DNS2.set("198.51.100.54");
    for (int i = 0; i < setup.channels.size(); ++i) {
        r.Channels[size_t(i)].Name.set(setup.channels[i].name);
        r.Channels[size_t(i)].Url.set(setup.channels[i].url);
    }
    return r;
}

// Command lines of a plan without their final LF; a read-back is marked "?".
QStringList Lines(const ProgrammingPlan &plan)
{
    QStringList out;
    for (const ProgrammingStep &step : plan.Steps) {
        QString line = QString::fromLatin1(step.Command.chopped(1));
        if (step.kind == ProgrammingStep::Kind::ReadBack)
            line += QLatin1Char('?');
        out << line;
    }
    return out;
}

const QStringList kFixed = {"isp 9 198.51.100.3", "isp A 198.51.100.1", "isp 5 198.51.100.53", "isp 6 198.51.100.54"};
const QStringList kAccount = {"isp 1 Dialup", "isp 2 0123456", "isp 3 user", "isp 4 secret", "isp?"};

QStringList ChannelLines(int count)
{
    QStringList out = {"channel 3 0"};
    for (int i = 0; i < count; ++i) {
        const QString d = QString::number(i, 16).toUpper();
        out << "channel 1 " + d + " Radio " + QString::number(i + 1)
            << "channel 2 " + d + " http://192.0.2.1/s" + QString::number(i + 1);
    }
    return out << "channel?";
}

// A command port whose device answers every line with its prompt, except
// the lines listed in `silent`; the lines in `answers` get that text before
// the prompt.
class FakePort : public CommandPort {
public:
    bool connected = true;
    bool connectOnOpen = false;
    int opens = 0;
    QSet<QByteArray> silent;
    QHash<QByteArray, QByteArray> answers;
    QList<QByteArray> exchanged;
    QList<QByteArray> sentWithoutWait;

    bool IsConnected() const override { return connected; }
    int Interface() const override { return 0; }
    void OpenConnection() override
    {
        ++opens;
        connected = connected || connectOnOpen;
    }
    bool SendCommand(const QByteArray &text) override
    {
        sentWithoutWait << text;
        return true;
    }
    bool ExchangeCommand(const QByteArray &text) override
    {
        exchanged << text;
        return !silent.contains(text.chopped(1));
    }
    QByteArray Reply() const override
    {
        return exchanged.isEmpty() ? QByteArray() : answers.value(exchanged.last().chopped(1), "OK\r\n") + '>';
    }
};

class FakeSink : public ProgrammingSink {
public:
    QStringList messages;
    QStringList captions;
    QStringList status; // oldest first
    int busy = 0;
    bool busyDuringMessage = false;

    // What happened in turn: "ended: ok" / "ended: <reason>", "message".
    QStringList order;

    void ShowMessage(const QString &text, const QString &caption) override
    {
        messages << text;
        captions << caption;
        order << QStringLiteral("message");
        busyDuringMessage = busyDuringMessage || busy != 0;
    }
    void RunEnded(bool ok, const QString &reason) override
    {
        order << QStringLiteral("ended: ") + (ok ? QStringLiteral("ok") : reason);
    }
    void AddStatus(const QString &text) override { status << text; }
    void SetBusyCursor() override { ++busy; }
    void RestoreCursor() override { --busy; }
};

// The configuration a user would program after filling every page: mode 3,
// both lines, fixed addresses, 16 channels.
DeviceConfigRecord FullRecord()
{
    DeviceConfigRecord r = Record(Setup {"3", "TE", "F", true});
    for (int i = 0; i < ConfigChannelSlots; ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        r.Channels[size_t(i)].Name.set("Station " + n);
        r.Channels[size_t(i)].Url.set("http://192.0.2.1:8000/station" + n + ".mp3");
    }
    return r;
}

// Exchanges `command` and returns what the terminal showed of the answer.
QString Ask(ConnectionRig &rig, const QByteArray &command)
{
    rig.user.terminal.clear();
    if (!rig.conn.ExchangeCommand(command))
        return QStringLiteral("(no prompt)");
    return QString::fromLatin1(rig.user.terminal);
}

// One line of the simulator's read-outs: the label padded to 20 columns.
QString Item(const char *label, const char *value)
{
    return QString::fromLatin1(label).leftJustified(20) + QStringLiteral(": ") + QString::fromLatin1(value)
           + QStringLiteral("\r\n");
}

} // namespace

Q_DECLARE_METATYPE(Setup)

class tst_programming : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void steps_data();
    void steps();
    void statusTexts();
    void plansWithoutSteps_data();
    void plansWithoutSteps();
    void runConfirmsEveryLine();
    void missingPrompt_data();
    void missingPrompt();
    void deviceRefusesSetting_data();
    void deviceRefusesSetting();
    void refusesUnsendableValues_data();
    void refusesUnsendableValues();
    void openingTheLink_data();
    void openingTheLink();
    void simulatorIsProgrammed_data();
    void simulatorIsProgrammed();
    void simulatorWithholdsPrompt_data();
    void simulatorWithholdsPrompt();
    void simulatorRefusesLongName();
};

void tst_programming::steps_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<int>("channelCount");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("mode 1 T") << Setup {"1", "T", "D"} << 0 << QStringList {"mode 1", "mode?"};
    QTest::newRow("mode 1 E DHCP: IP address blank")
        << Setup {"1", "E", "D"} << 0 << QStringList {"mode 1", "mode?", "isp 9  "};
    QTest::newRow("mode 1 E network empty: fixed addresses in order 9 A 5 6")
        << Setup {"1", "E", ""} << 0 << QStringList {"mode 1", "mode?"} + kFixed;
    QTest::newRow("mode 1 TE network F") << Setup {"1", "TE", "F"} << 0
                                         << QStringList {"mode 1", "mode?"} + kFixed;
    QTest::newRow("mode 2 TE fixed, remote update on")
        << Setup {"2", "TE", "F", true} << 0
        << QStringList {"mode 2", "mode?", "isp 7 http://192.0.2.2/list.txt", "isp C T",
                        "isp B http://192.0.2.9/update"}
               + kFixed + kAccount;
    QTest::newRow("mode 2 E DHCP, remote update off, channels not sent")
        << Setup {"2", "E", "D", false, Numbered(2)} << 2
        << QStringList {"mode 2", "mode?", "isp 7 http://192.0.2.2/list.txt", "isp C F",
                        "isp B http://192.0.2.9/update", "isp 9  "};
    QTest::newRow("mode 2 T: account, no address")
        << Setup {"2", "T", "F"} << 0
        << QStringList {"mode 2", "mode?", "isp 7 http://192.0.2.2/list.txt", "isp C F",
                        "isp B http://192.0.2.9/update"}
               + kAccount;
    QTest::newRow("mode 3 T, no channels: erase only")
        << Setup {"3", "T", "F"} << 0
        << QStringList {"mode 3", "mode?", "isp C F", "isp B http://192.0.2.9/update"} + kAccount
               + QStringList {"channel 3 0", "channel?"};
    QTest::newRow("mode 3 TE fixed, 16 channels, slots 11 and 16 as A and F")
        << Setup {"3", "TE", "F", true, Numbered(16)} << 16
        << QStringList {"mode 3", "mode?", "isp C T", "isp B http://192.0.2.9/update"} + kAccount
               + ChannelLines(16) + kFixed;
    QTest::newRow("mode 3 E DHCP, account sent whatever the type")
        << Setup {"3", "E", "D", false, Numbered(1)} << 1
        << QStringList {"mode 3", "mode?", "isp C F", "isp B http://192.0.2.9/update"} + kAccount
               + ChannelLines(1) + QStringList {"isp 9  "};
    QTest::newRow("mode 3x counts as 3; type e is neither")
        << Setup {"3x", "e", "D"} << 0
        << QStringList {"mode 3", "mode?", "isp C F", "isp B http://192.0.2.9/update"} + kAccount
               + QStringList {"channel 3 0", "channel?"};
    QTest::newRow("only the channels in use")
        << Setup {"3", "T", "D", false, Numbered(3)} << 2
        << QStringList {"mode 3", "mode?", "isp C F", "isp B http://192.0.2.9/update"} + kAccount
               + ChannelLines(2);
    QTest::newRow("a count beyond 16 is bounded")
        << Setup {"3", "T", "D", false, Numbered(16)} << 40
        << QStringList {"mode 3", "mode?", "isp C F", "isp B http://192.0.2.9/update"} + kAccount
               + ChannelLines(16);
}

void tst_programming::steps()
{
    QFETCH(Setup, setup);
    QFETCH(int, channelCount);
    QFETCH(QStringList, lines);
    const ProgrammingPlan plan = ProgrammingSteps(Record(setup), channelCount);
    QCOMPARE(plan.outcome, ProgrammingPlan::Outcome::Ready);
    QCOMPARE(Lines(plan), lines);
    QCOMPARE(plan.ChannelsChecked, setup.mode.startsWith('3'));
    for (const ProgrammingStep &step : plan.Steps) {
        QVERIFY(step.Command.endsWith('\n') && !step.Command.contains('\r'));
        QCOMPARE(step.Status.isEmpty(), step.kind == ProgrammingStep::Kind::ReadBack);
    }
}

void tst_programming::statusTexts()
{
    DeviceConfigRecord r = Record(Setup {"3", "TE", "D", true, Numbered(11)});
    r.IspPassword.set("");
    const ProgrammingPlan plan = ProgrammingSteps(r, 11);
    QStringList seen;
    for (const ProgrammingStep &step : plan.Steps)
        seen << step.Status + " | " + QString::fromLatin1(step.Command);
    const QStringList expectedHead = {
        "Programming Mode | mode 3\n",
        " | mode\n",
        "Programming ISP Enable Remote Update flag | isp C T\n",
        "Programming ISP Remote Update URL | isp B http://192.0.2.9/update\n",
        "Programming ISP Name | isp 1 Dialup\n",
        "Programming ISP Number | isp 2 0123456\n",
        "Programming ISP Username | isp 3 user\n",
        "Programming ISP Password | isp 4  \n",
        " | isp\n",
        "erasing all channels | channel 3 0\n",
        "Programming Channel Name on Channel 1 | channel 1 0 Radio 1\n",
        "Programming Channel URL on Channel 1 | channel 2 0 http://192.0.2.1/s1\n",
    };
    QCOMPARE(seen.mid(0, expectedHead.size()), expectedHead);
    const QStringList expectedTail = {
        "Programming Channel Name on Channel 11 | channel 1 A Radio 11\n",
        "Programming Channel URL on Channel 11 | channel 2 A http://192.0.2.1/s11\n",
        " | channel\n",
        "Programming DHCP mode | isp 9  \n",
    };
    QCOMPARE(seen.mid(seen.size() - expectedTail.size()), expectedTail);

    const ProgrammingPlan fixed = ProgrammingSteps(Record(Setup {"1", "E", "F"}), 0);
    QStringList fixedStatus;
    for (const ProgrammingStep &step : fixed.Steps)
        fixedStatus << step.Status;
    QCOMPARE(fixedStatus, (QStringList {"Programming Mode", "", "Programming IP address", "Programming Gateway",
                                        "Programming DNS 1", "Programming DNS 2"}));
}

void tst_programming::plansWithoutSteps_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<int>("channelCount");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("statusLine");

    using O = ProgrammingPlan::Outcome;
    QTest::newRow("mode empty") << Setup {"", "E", "D"} << 0 << int(O::NoValidMode) << QString() << QString();
    QTest::newRow("mode 4") << Setup {"4", "E", "D"} << 0 << int(O::NoValidMode) << QString() << QString();
    QTest::newRow("mode 3, channel 2 without name")
        << Setup {"3", "TE", "D", false, {{"One", "u1"}, {"", "u2"}}} << 2 << int(O::ChannelIncomplete)
        << "Channel 2 has no name" << "empty name string";
    QTest::newRow("mode 3, channel 1 without URL")
        << Setup {"3", "TE", "D", false, {{"One", ""}, {"", "u2"}}} << 2 << int(O::ChannelIncomplete)
        << "Channel 1 has no URL" << "empty URL string";
}

void tst_programming::plansWithoutSteps()
{
    QFETCH(Setup, setup);
    QFETCH(int, channelCount);
    QFETCH(int, outcome);
    QFETCH(QString, message);
    QFETCH(QString, statusLine);
    const ProgrammingPlan plan = ProgrammingSteps(Record(setup), channelCount);
    QCOMPARE(int(plan.outcome), outcome);
    QVERIFY(plan.Steps.isEmpty());
    QCOMPARE(plan.Gap.IsGap(), !message.isEmpty());
    if (plan.Gap.IsGap()) {
        QCOMPARE(plan.Gap.Message(), message);
        QCOMPARE(plan.Gap.StatusLine(), statusLine);
    }

    // Whatever the device would answer, nothing goes out.
    FakePort port;
    FakeSink sink;
    const ProgrammingResult result = RunProgramming(port, plan, sink);
    QVERIFY(port.exchanged.isEmpty() && port.sentWithoutWait.isEmpty());
    if (message.isEmpty()) {
        QCOMPARE(result, ProgrammingResult::NoValidMode);
        QVERIFY(sink.messages.isEmpty() && sink.status.isEmpty());
    } else {
        QCOMPARE(result, ProgrammingResult::ChannelIncomplete);
        QCOMPARE(sink.messages, QStringList {message});
        QCOMPARE(sink.status, (QStringList {"checking for empty Channel strings", statusLine}));
    }
}

void tst_programming::runConfirmsEveryLine()
{
    const ProgrammingPlan plan = ProgrammingSteps(Record(Setup {"3", "TE", "F", true, Numbered(16)}), 16);
    FakePort port;
    FakeSink sink;
    QCOMPARE(RunProgramming(port, plan, sink), ProgrammingResult::Programmed);

    // Every line, the read-backs included, went through the exchange, which
    // forgets an earlier prompt, so each is confirmed by its own.
    QCOMPARE(port.exchanged.size(), 47);
    QVERIFY(port.sentWithoutWait.isEmpty());
    int i = 0;
    for (const ProgrammingStep &step : plan.Steps)
        QCOMPARE(port.exchanged.at(i++), step.Command);
    QCOMPARE(port.opens, 0);

    QCOMPARE(sink.messages, QStringList {"Programming OK"});
    QCOMPARE(sink.captions, QStringList {"Program Mirto Configuration"});
    // The job is recorded as it ends, not once the user has read the box.
    QCOMPARE(sink.order, (QStringList {"ended: ok", "message"}));
    QCOMPARE(sink.status.size(), 1 + 44);
    QCOMPARE(sink.status.first(), QStringLiteral("checking for empty Channel strings"));
    QCOMPARE(sink.status.at(1), QStringLiteral("Programming Mode"));
    QCOMPARE(sink.status.last(), QStringLiteral("Programming DNS 2"));
    QCOMPARE(sink.busy, 0);
    QVERIFY(!sink.busyDuringMessage);
}

void tst_programming::missingPrompt_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QByteArray>("silentLine");
    QTest::addColumn<int>("linesSent");
    QTest::addColumn<QString>("lastStatus");

    QTest::newRow("after mode 2: not even mode follows")
        << Setup {"2", "TE", "F"} << QByteArray("mode 2") << 1 << "Programming Mode";
    QTest::newRow("mode read-back ends the run like a setting")
        << Setup {"2", "TE", "F"} << QByteArray("mode") << 2 << "Programming Mode";
    QTest::newRow("isp read-back in mode 3: channels untouched")
        << Setup {"3", "T", "D", false, Numbered(2)} << QByteArray("isp") << 9 << "Programming ISP Password";
    QTest::newRow("channel read-back: no address after it")
        << Setup {"3", "E", "F", false, Numbered(1)} << QByteArray("channel") << 13
        << "Programming Channel URL on Channel 1";
    QTest::newRow("last line of the run")
        << Setup {"1", "E", "F"} << QByteArray("isp 6 198.51.100.54") << 6 << "Programming DNS 2";
}

void tst_programming::missingPrompt()
{
    QFETCH(Setup, setup);
    QFETCH(QByteArray, silentLine);
    QFETCH(int, linesSent);
    QFETCH(QString, lastStatus);
    const ProgrammingPlan plan = ProgrammingSteps(Record(setup), int(setup.channels.size()));
    FakePort port;
    port.silent.insert(silentLine);
    FakeSink sink;
    QCOMPARE(RunProgramming(port, plan, sink), ProgrammingResult::NoResponse);
    QCOMPARE(port.exchanged.size(), linesSent);
    QCOMPARE(port.exchanged.last(), silentLine + '\n');
    QVERIFY(port.sentWithoutWait.isEmpty());
    QCOMPARE(sink.messages, QStringList {"No response from Mirto....  "});
    QCOMPARE(sink.captions, QStringList {QString()});
    QCOMPARE(sink.order, (QStringList {"ended: No response from Mirto....  ", "message"}));
    QCOMPARE(sink.status.last(), QStringLiteral("Programming failed"));
    QCOMPARE(sink.status.at(sink.status.size() - 2), lastStatus);
    QCOMPARE(sink.busy, 0);
    QVERIFY(!sink.busyDuringMessage);
}

// A setting the device answers with an error was not kept: the run stops
// there, says which and what the device said, and never "Programming OK".
// Read-backs show the device's values and are never taken for an error.
void tst_programming::deviceRefusesSetting_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("linesSent"); // 0: programmed
    QTest::addColumn<QString>("told");

    QTest::newRow("channel name too long")
        << QByteArray("channel 1 1 Radio 2") << QByteArray("Invalid channel name: longer than 12 characters\r\n")
        << 13 << "Mirto refused Channel Name on Channel 2: Invalid channel name: longer than 12 characters";
    QTest::newRow("first line, unknown to the device")
        << QByteArray("mode 3") << QByteArray("Unknown command: mode\r\n") << 1
        << "Mirto refused Mode: Unknown command: mode";
    QTest::newRow("refusal after an event line")
        << QByteArray("isp 1 Dialup") << QByteArray("# link up\r\nInvalid ISP item: 1\r\n") << 5
        << "Mirto refused ISP Name: Invalid ISP item: 1";
    QTest::newRow("read-back holding the word")
        << QByteArray("channel") << QByteArray("Channel 0 name: Invalid \r\n") << 0 << QString();
    QTest::newRow("other answers are taken") << QByteArray("channel 1 1 Radio 2")
                                             << QByteArray("# stored, Invalid entries dropped\r\n") << 0 << QString();
}

void tst_programming::deviceRefusesSetting()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, answer);
    QFETCH(int, linesSent);
    QFETCH(QString, told);
    const ProgrammingPlan plan = ProgrammingSteps(Record(Setup {"3", "TE", "F", true, Numbered(2)}), 2);
    FakePort port;
    port.answers.insert(line, answer);
    FakeSink sink;
    const ProgrammingResult result = RunProgramming(port, plan, sink);
    if (told.isEmpty()) {
        QCOMPARE(result, ProgrammingResult::Programmed);
        QCOMPARE(sink.messages, QStringList {"Programming OK"});
        return;
    }
    QCOMPARE(result, ProgrammingResult::DeviceRefused);
    QCOMPARE(port.exchanged.size(), linesSent);
    QCOMPARE(port.exchanged.last(), line + '\n');
    QCOMPARE(sink.messages, QStringList {told});
    QCOMPARE(sink.status.last(), QStringLiteral("Programming failed"));
    QCOMPARE(sink.busy, 0);

    // A single setting sent on its own is told the same way.
    FakeSink single;
    const auto step = std::find_if(plan.Steps.cbegin(), plan.Steps.cend(),
                                   [&](const ProgrammingStep &s) { return s.Command == line + '\n'; });
    QVERIFY(step != plan.Steps.cend());
    QCOMPARE(SendSetting(port, *step, single), -1);
    QCOMPARE(single.messages, QStringList {told});
    QCOMPARE(single.status, QStringList {"Programming failed"});
}

// A value that would reach the device as more than one line, or with a '>'
// the device's answer could not tell from its prompt, refuses the whole run:
// nothing goes out and no link is opened for it.
void tst_programming::refusesUnsendableValues_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("told"); // empty: programmed

    const QString prompt = QStringLiteral(": \">\" cannot be sent to Mirto: it would be taken for the end of "
                                          "Mirto's answer; nothing was sent");
    const auto control = [](const QString &name) {
        return QStringLiteral(": ") + name
               + QStringLiteral(" cannot be sent to Mirto: a command is one line of printable characters; nothing "
                                "was sent");
    };
    QTest::newRow("CR") << "isp name" << QByteArray("Dial\rup") << "ISP Name" + control("a carriage return (U+000D)");
    QTest::newRow("LF") << "isp name" << QByteArray("Dial\nmode 1") << "ISP Name" + control("a line feed (U+000A)");
    QTest::newRow("CR LF at the end") << "isp name" << QByteArray("Dialup\r\n")
                                      << "ISP Name" + control("a carriage return (U+000D)");
    // The device would store a byte no one can see; typing refuses it too.
    QTest::newRow("tab") << "isp name" << QByteArray("Dial\tup") << "ISP Name" + control("a tab (U+0009)");
    QTest::newRow("ESC in a channel URL") << "channel 1 url" << QByteArray("http://h/\x1b[2J")
                                          << "Channel URL on Channel 1" + control("ESC (U+001B)");
    QTest::newRow("C1 byte from a file") << "isp password" << QByteArray("se\x85t")
                                         << "ISP Password" + control("a control character (U+0085)");
    QTest::newRow("Latin-1 letters pass") << "isp name" << QByteArray("Caf\xe9") << QString();
    QTest::newRow("'>' in a channel name") << "channel 2 name" << QByteArray("Rock>Pop")
                                           << "Channel Name on Channel 2" + prompt;
    QTest::newRow("'>' at the end of a channel URL")
        << "channel 1 url" << QByteArray("http://192.0.2.1/a>") << "Channel URL on Channel 1" + prompt;
    QTest::newRow("'>' in the ISP password") << "isp password" << QByteArray(">secret") << "ISP Password" + prompt;
    QTest::newRow("'>' in the update URL") << "update url" << QByteArray("http://h/>") << "ISP Remote Update URL" + prompt;
    QTest::newRow("'>' in an address from a file") << "gateway" << QByteArray("198.51.100.1>")
                                                   << "Gateway" + prompt;
    QTest::newRow("'<' and other marks pass") << "channel 2 name" << QByteArray("Rock<Pop&Co") << QString();
}

void tst_programming::refusesUnsendableValues()
{
    QFETCH(QString, field);
    QFETCH(QByteArray, value);
    QFETCH(QString, told);
    DeviceConfigRecord r = Record(Setup {"3", "TE", "F", true, Numbered(2)});
    if (field == "isp name")
        r.IspName.set(value);
    else if (field == "isp password")
        r.IspPassword.set(value);
    else if (field == "update url")
        r.IspUdUrl.set(value);
    else if (field == "gateway")
        r.Gateway.set(value);
    else if (field == "channel 1 url")
        r.Channels[0].Url.set(value);
    else if (field == "channel 2 name")
        r.Channels[1].Name.set(value);
    else
        QFAIL("unknown field");
    const ProgrammingPlan plan = ProgrammingSteps(r, 2);
    FakePort port;
    port.connected = false;
    port.connectOnOpen = true;
    FakeSink sink;
    const ProgrammingResult result = RunProgramming(port, plan, sink);
    if (told.isEmpty()) {
        QCOMPARE(result, ProgrammingResult::Programmed);
        QVERIFY(std::any_of(port.exchanged.cbegin(), port.exchanged.cend(),
                            [&](const QByteArray &line) { return line.endsWith(' ' + value + '\n'); }));
        return;
    }
    QCOMPARE(plan.outcome, ProgrammingPlan::Outcome::ValueRefused);
    QCOMPARE(result, ProgrammingResult::ValueRefused);
    QCOMPARE(port.opens, 0);
    QVERIFY2(port.exchanged.isEmpty() && port.sentWithoutWait.isEmpty(),
             "not even the mode goes out before the refusal");
    QCOMPARE(sink.messages, QStringList {told});
    QCOMPARE(sink.status, QStringList {"Programming failed"});

    // The per-line send refuses on its own too, a zero byte included.
    const ProgrammingStep *bad = nullptr;
    for (const ProgrammingStep &step : plan.Steps)
        if (Unsendable(step) && !bad)
            bad = &step;
    QVERIFY(bad);
    for (const QByteArray &command : {bad->Command, QByteArray("isp 1 a\0b\n", 10)}) {
        FakePort single;
        FakeSink singleSink;
        QCOMPARE(SendSetting(single, {ProgrammingStep::Kind::Setting, {}, bad->Label, command}, singleSink), -1);
        QVERIFY(single.exchanged.isEmpty());
        QCOMPARE(singleSink.messages.size(), 1);
        QCOMPARE(singleSink.status, QStringList {"Programming failed"});
    }
}

void tst_programming::openingTheLink_data()
{
    QTest::addColumn<bool>("connectOnOpen");
    QTest::newRow("the open fails or only starts a network attempt") << false;
    QTest::newRow("the open succeeds") << true;
}

void tst_programming::openingTheLink()
{
    QFETCH(bool, connectOnOpen);
    FakePort port;
    port.connected = false;
    port.connectOnOpen = connectOnOpen;
    FakeSink sink;
    const ProgrammingResult result =
        RunProgramming(port, ProgrammingSteps(Record(Setup {"1", "T", "D"}), 0), sink);
    QCOMPARE(port.opens, 1);
    if (!connectOnOpen) {
        QCOMPARE(result, ProgrammingResult::NotConnected);
        QVERIFY(port.exchanged.isEmpty() && sink.messages.isEmpty() && sink.status.isEmpty());
    } else {
        QCOMPARE(result, ProgrammingResult::Programmed);
        QCOMPARE(port.exchanged, (QList<QByteArray> {"mode 1\n", "mode\n"}));
    }
}

void tst_programming::simulatorIsProgrammed_data()
{
    QTest::addColumn<bool>("network");
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<bool>("commandBefore");
    QTest::newRow("serial") << false << QStringList {"--no-tcp"} << false;
    QTest::newRow("serial, device answering after 20 ms")
        << false << QStringList {"--no-tcp", "--delay", "20"} << false;
    QTest::newRow("serial, a command's answer still on its way")
        << false << QStringList {"--no-tcp", "--delay", "100"} << true;
    QTest::newRow("tcp") << true << QStringList {"--tcp-port", "0"} << false;
    QTest::newRow("tcp, a command's answer still on its way")
        << true << QStringList {"--tcp-port", "0", "--delay", "100"} << true;
}

void tst_programming::simulatorIsProgrammed()
{
    QFETCH(bool, network);
    QFETCH(QStringList, simOptions);
    QFETCH(bool, commandBefore);
    StartDirectoryEnv env;
    SimProcess sim(simOptions);
    QVERIFY2(network ? sim.tcpPort() > 0 : sim.comPort() > 0, qPrintable(sim.banner()));
    ConnectionRig rig(network ? InterfaceNetwork : InterfaceSerial);
    rig.conn.VaComm().SetPortNum(sim.comPort());
    rig.conn.ClientSocket().SetPort(sim.tcpPort());
    rig.user.hostAnswer = QStringLiteral("127.0.0.1");

    if (!network) {
        // A device that holds something else, and a link that is closed
        // again, so that programming has to open it. (The simulator serves
        // one network caller at a time and may turn away a quick reconnect,
        // so the network run starts from the device's own settings.)
        rig.conn.OpenConnectionClicked();
        QVERIFY(rig.conn.IsConnected());
        QVERIFY(!Ask(rig, "mode 1\n").contains("(no prompt)"));
        QVERIFY(!Ask(rig, "channel 1 0 Old\n").contains("(no prompt)"));
        rig.conn.CloseConnectionClicked();
        QVERIFY(!rig.conn.IsConnected());
    }

    const ProgrammingPlan plan = ProgrammingSteps(FullRecord(), ConfigChannelSlots);
    FakeSink sink;
    if (network) {
        // Over the network the open only starts the attempt: nothing is sent
        // and nothing shown until the user programs again.
        QCOMPARE(RunProgramming(rig.conn, plan, sink), ProgrammingResult::NotConnected);
        QVERIFY(sink.messages.isEmpty() && sink.status.isEmpty());
        QTRY_VERIFY(rig.conn.IsConnected());
    }
    if (commandBefore) {
        // Its prompt arrives while the first line of the run waits.
        if (!rig.conn.IsConnected())
            rig.conn.OpenConnectionClicked();
        QVERIFY(rig.conn.SendCommand("ver\n"));
    }
    rig.user.terminal.clear();
    QCOMPARE(RunProgramming(rig.conn, plan, sink), ProgrammingResult::Programmed);
    QCOMPARE(sink.messages, QStringList {"Programming OK"});
    QCOMPARE(sink.captions, QStringList {"Program Mirto Configuration"});
    // The three read-backs reached the terminal.
    const QString shown = QString::fromLatin1(rig.user.terminal);
    QVERIFY2(shown.contains(Item("Mode", "3 (fixed ISP, fixed channels)")), qPrintable(shown));
    QVERIFY(shown.contains(Item("4 ISP password", "secret")));
    QVERIFY(shown.contains("Channel F url : http://192.0.2.1:8000/station16.mp3"));

    // What the device now holds, as its own read-outs tell.
    QVERIFY(Ask(rig, "mode\n").contains(Item("Mode", "3 (fixed ISP, fixed channels)")));
    const QString channels = Ask(rig, "channel\n");
    for (int i = 0; i < ConfigChannelSlots; ++i) {
        const QString d = QString::number(i, 16).toUpper();
        const QString n = QString::number(i + 1);
        QVERIFY2(channels.contains("Channel " + d + " name: Station " + n + "\r\n"), qPrintable(channels));
        QVERIFY(channels.contains("Channel " + d + " url : http://192.0.2.1:8000/station" + n + ".mp3\r\n"));
    }
    const QString isp = Ask(rig, "isp\n");
    for (const QString &item : {Item("1 ISP name", "Dialup"), Item("2 ISP number", "0123456"),
                                Item("3 ISP username", "user"), Item("4 ISP password", "secret"),
                                Item("5 DNS 1", "198.51.100.53"), Item("6 DNS 2", "198.51.100.54"),
                                Item("9 IP address", "198.51.100.3"), Item("A Gateway", "198.51.100.1"),
                                Item("B Update URL", "http://192.0.2.9/update"), Item("C Remote update", "T")})
        QVERIFY2(isp.contains(item), qPrintable(item + " in " + isp));
}

void tst_programming::simulatorWithholdsPrompt_data()
{
    QTest::addColumn<bool>("network");
    QTest::addColumn<int>("earlier");
    QTest::newRow("no prompt after mode 2") << false << 0;
    QTest::newRow("no prompt after mode 2, an earlier prompt left over") << false << 1;
    QTest::newRow("no prompt after mode 2, an earlier prompt still on its way") << false << 2;
    QTest::newRow("tcp, no prompt after mode 2, an earlier prompt still on its way") << true << 2;
}

void tst_programming::simulatorWithholdsPrompt()
{
    // An earlier command's prompt, whether it came before the run or comes
    // during it, never confirms a line of the run.
    QFETCH(bool, network);
    QFETCH(int, earlier);
    StartDirectoryEnv env;
    const QStringList link = network ? QStringList {"--tcp-port", "0"} : QStringList {"--no-tcp"};
    SimProcess sim(link + QStringList {"--delay", "100", "--withhold", "mode 2"});
    QVERIFY2(network ? sim.tcpPort() > 0 : sim.comPort() > 0, qPrintable(sim.banner()));
    ConnectionRig rig(network ? InterfaceNetwork : InterfaceSerial);
    rig.conn.VaComm().SetPortNum(sim.comPort());
    rig.conn.ClientSocket().SetPort(sim.tcpPort());
    rig.user.hostAnswer = QStringLiteral("127.0.0.1");
    rig.conn.OpenConnectionClicked();
    QTRY_VERIFY(rig.conn.IsConnected());
    if (earlier > 0) {
        // A direct command that nobody waits for.
        QVERIFY(rig.conn.SendCommand("ver\n"));
        QCOMPARE(rig.conn.PromptsOwed(), 1);
        if (earlier == 1)
            QTRY_COMPARE(rig.conn.PromptsOwed(), 0);
    }

    const ProgrammingPlan plan = ProgrammingSteps(Record(Setup {"2", "TE", "F", true}), 0);
    FakeSink sink;
    rig.user.terminal.clear();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(RunProgramming(rig.conn, plan, sink), ProgrammingResult::NoResponse);
    QVERIFY2(clock.elapsed() >= 3900, "the prompt of mode 2 was waited for");
    QCOMPARE(sink.messages, QStringList {"No response from Mirto....  "});
    QCOMPARE(sink.status, (QStringList {"Programming Mode", "Programming failed"}));
    // Only the answer to mode 2 came; no read-back followed it.
    const QString shown = QString::fromLatin1(rig.user.terminal);
    QCOMPARE(shown.count(QStringLiteral("Mode                : 2")), 1);

    // Nothing after mode 2 reached the device: the web URL and the update
    // settings are as they were.
    const QString isp = Ask(rig, "isp\n");
    QVERIFY2(isp.contains(Item("7 Web URL", "")), qPrintable(isp));
    QVERIFY(isp.contains(Item("C Remote update", "F")));
    QVERIFY(isp.contains(Item("9 IP address", "DHCP")));
}

// Over the real link, the simulator refuses a channel name longer than it
// keeps, as a device does, and the run reports the failure.
void tst_programming::simulatorRefusesLongName()
{
    StartDirectoryEnv env;
    SimProcess sim({"--no-tcp"});
    QVERIFY2(sim.comPort() > 0, qPrintable(sim.banner()));
    ConnectionRig rig(InterfaceSerial);
    rig.conn.VaComm().SetPortNum(sim.comPort());
    rig.conn.OpenConnectionClicked();
    QVERIFY(rig.conn.IsConnected());

    ProgrammingPlan plan;
    plan.outcome = ProgrammingPlan::Outcome::Ready;
    ProgrammingStep step;
    step.Status = QStringLiteral("Programming Channel Name on Channel 1");
    step.Label = QStringLiteral("Channel Name on Channel 1");
    step.Command = "channel 1 0 Thirteen char\n";
    plan.Steps << step;
    step.Command = "channel 2 0 http://192.0.2.1/one\n";
    step.Label = QStringLiteral("Channel URL on Channel 1");
    plan.Steps << step;
    FakeSink sink;
    QCOMPARE(RunProgramming(rig.conn, plan, sink), ProgrammingResult::DeviceRefused);
    QCOMPARE(sink.messages, QStringList {"Mirto refused Channel Name on Channel 1: Invalid channel name: longer "
                                        "than 12 characters"});
    QCOMPARE(sink.status.last(), QStringLiteral("Programming failed"));
    // Nothing of the name was kept, and the run stopped before the URL.
    const QString channels = Ask(rig, "channel\n");
    QVERIFY2(channels.contains("No channels"), qPrintable(channels));
}

QTEST_MAIN(tst_programming)
#include "tst_programming.moc"
