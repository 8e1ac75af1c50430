#include "core/links/Rfc2217Codec.h"

#include <QtTest>

namespace {

using Codec = Rfc2217Codec;
using Kind = Codec::Event::Kind;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// What a serial server opens with: go-aheads suppressed both ways, echo
// offered and refused, binary both ways, and port control asked for.
const char *const ServerOpening = "fffb03 fffd03 fffb01 fffe01 fffd00 fffb00 fffd2c";

// Every byte fed on its own: splits inside commands, doubled bytes and
// subnegotiations must not change what comes out.
Codec::Feed takeByteByByte(Codec &codec, const QByteArray &wire)
{
    Codec::Feed all;
    for (const char c : wire) {
        const Codec::Feed feed = codec.Take(&c, 1);
        all.Data += feed.Data;
        all.Reply += feed.Reply;
        all.Events += feed.Events;
    }
    return all;
}

QString describe(const QList<Codec::Event> &events)
{
    QStringList out;
    for (const Codec::Event &e : events)
        out << QStringLiteral("%1/%2/%3/%4").arg(int(e.Type)).arg(e.Command).arg(e.Value).arg(e.Answer);
    return out.join(QLatin1Char(' '));
}

} // namespace

class TestRfc2217Codec : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void opening();
    void incoming_data();
    void incoming();
    void outgoing_data();
    void outgoing();
    void negotiation_data();
    void negotiation();
    void settingAnswers_data();
    void settingAnswers();
};

void TestRfc2217Codec::opening()
{
    Codec codec;
    QCOMPARE(codec.Start(), hex("fffb00 fffd00 fffb03 fffd03 fffb2c"));
    QVERIFY(!codec.HeardTelnet());
    const Codec::Feed feed = codec.Take(hex(ServerOpening));
    // Only the echo is refused; everything offered was asked for already.
    QCOMPARE(feed.Reply, hex("fffe01"));
    QVERIFY(feed.Data.isEmpty());
    QCOMPARE(describe(feed.Events), describe({Codec::Event {Kind::PortControlAccepted}}));
    QVERIFY(codec.HeardTelnet());
    QVERIFY(codec.PortControl());
    // The same offers again get no answer: no negotiation loop.
    const Codec::Feed again = codec.Take(hex(ServerOpening));
    QCOMPARE(again.Reply, hex("fffe01"));
    QVERIFY(again.Events.isEmpty());
}

void TestRfc2217Codec::incoming_data()
{
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("plain text") << true << QByteArray("help\r\n>") << QByteArray("help\r\n>");
    QTest::newRow("doubled 0xFF undoubled") << true << hex("41ffff42") << hex("41ff42");
    QTest::newRow("the abort, FF FF") << true << hex("ffffffff") << hex("ffff");
    QTest::newRow("a long run of erased flash") << true << QByteArray(512, char(0xFF)) << QByteArray(256, char(0xFF));
    QTest::newRow("commands between data") << true << hex("41 fff1 42 fffb03 43") << hex("414243");
    QTest::newRow("modem state between data") << true << hex("41 fffa2c6b30fff0 42") << hex("4142");
    QTest::newRow("0xFF inside a subnegotiation") << true << hex("fffa2c65000000ffff fff0 41") << hex("41");
    QTest::newRow("command inside an unfinished subnegotiation")
        << true << hex("fffa2c6b fffd03 41") << hex("41");
    QTest::newRow("overlong subnegotiation dropped")
        << true << (hex("fffa2c") + QByteArray(300, 'x') + hex("fff0") + "ok") << QByteArray("ok");
    QTest::newRow("binary keeps CR NUL") << true << hex("0d00") << hex("0d00");
    QTest::newRow("text mode drops NUL after CR") << false << hex("0d00 0d0a 00") << hex("0d 0d0a 00");
}

void TestRfc2217Codec::incoming()
{
    QFETCH(bool, binary);
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, data);
    for (const bool split : {false, true}) {
        Codec codec;
        codec.Start();
        codec.Take(binary ? hex(ServerOpening) : hex("fffd2c"));
        const Codec::Feed feed = split ? takeByteByByte(codec, wire) : codec.Take(wire);
        QCOMPARE(feed.Data, data);
    }
}

void TestRfc2217Codec::outgoing_data()
{
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("plain text") << true << QByteArray("reset\n") << QByteArray("reset\n");
    QTest::newRow("0xFF doubled") << true << hex("00ff01") << hex("00ffff01");
    QTest::newRow("end marker FF FF") << true << hex("ffff") << hex("ffffffff");
    QTest::newRow("lock bits 00 FF") << true << hex("00ff") << hex("00ffff");
    QTest::newRow("binary CR alone") << true << hex("0d") << hex("0d");
    QTest::newRow("text mode CR alone") << false << hex("0d41") << hex("0d0041");
    QTest::newRow("text mode CR LF") << false << hex("0d0a") << hex("0d0a");
}

void TestRfc2217Codec::outgoing()
{
    QFETCH(bool, binary);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, wire);
    Codec codec;
    codec.Start();
    codec.Take(binary ? hex(ServerOpening) : hex("fffe00 fffd2c"));
    QCOMPARE(codec.EncodeData(data), wire);
    // What goes out comes back as it was sent.
    Codec peer;
    peer.Start();
    peer.Take(binary ? hex(ServerOpening) : hex("fffc00 fffd2c"));
    QCOMPARE(peer.Take(wire).Data, data);
}

void TestRfc2217Codec::negotiation_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("event"); // -1: none
    QTest::addColumn<bool>("portControl");
    QTest::newRow("port control accepted") << hex("fffd2c") << QByteArray() << int(Kind::PortControlAccepted) << true;
    QTest::newRow("port control refused") << hex("fffe2c") << QByteArray() << int(Kind::PortControlRefused) << false;
    QTest::newRow("accepted, then withdrawn")
        << hex("fffd2c fffe2c") << hex("fffc2c") << int(Kind::PortControlRefused) << false;
    QTest::newRow("unknown option asked of us") << hex("fffd18") << hex("fffc18") << -1 << false;
    QTest::newRow("unknown option offered") << hex("fffb05") << hex("fffe05") << -1 << false;
    QTest::newRow("binary agreed, then withdrawn") << hex("fffb00 fffc00") << hex("fffe00") << -1 << false;
    QTest::newRow("no-op and go-ahead") << hex("fff1 fff9") << QByteArray() << -1 << false;
}

void TestRfc2217Codec::negotiation()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, reply);
    QFETCH(int, event);
    QFETCH(bool, portControl);
    for (const bool split : {false, true}) {
        Codec codec;
        codec.Start();
        const Codec::Feed feed = split ? takeByteByByte(codec, wire) : codec.Take(wire);
        QCOMPARE(feed.Reply, reply);
        QVERIFY(feed.Data.isEmpty());
        QCOMPARE(feed.Events.isEmpty() ? -1 : int(feed.Events.constLast().Type), event);
        QCOMPARE(codec.PortControl(), portControl);
        QVERIFY(codec.HeardTelnet());
    }
}

void TestRfc2217Codec::settingAnswers_data()
{
    QTest::addColumn<int>("command"); // 0: nothing sent
    QTest::addColumn<quint32>("setting");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("event"); // -1: none
    QTest::addColumn<quint32>("value");
    QTest::addColumn<int>("unanswered");
    const int speed = Codec::SetBaudrate;
    const int control = Codec::SetControl;
    QTest::newRow("speed taken") << speed << 115200u << hex("fffa2c010001c200fff0") << hex("fffa2c650001c200fff0")
                                 << int(Kind::Acknowledged) << 115200u << 0;
    QTest::newRow("speed refused") << speed << 115200u << hex("fffa2c010001c200fff0")
                                   << hex("fffa2c6500002580fff0") << int(Kind::SettingRefused) << 9600u << 0;
    QTest::newRow("speed asked for") << speed << 0u << hex("fffa2c0100000000fff0") << hex("fffa2c6500002580fff0")
                                     << int(Kind::Acknowledged) << 9600u << 0;
    QTest::newRow("speed with an 0xFF byte") << speed << 0x1FFu << hex("fffa2c01000001fffffff0")
                                             << hex("fffa2c65000001fffffff0") << int(Kind::Acknowledged) << 0x1FFu
                                             << 0;
    QTest::newRow("data bits taken") << int(Codec::SetDatasize) << 8u << hex("fffa2c0208fff0")
                                     << hex("fffa2c6608fff0") << int(Kind::Acknowledged) << 8u << 0;
    QTest::newRow("parity refused") << int(Codec::SetParity) << 1u << hex("fffa2c0301fff0") << hex("fffa2c6703fff0")
                                    << int(Kind::SettingRefused) << 3u << 0;
    QTest::newRow("stop bits taken") << int(Codec::SetStopsize) << 1u << hex("fffa2c0401fff0")
                                     << hex("fffa2c6801fff0") << int(Kind::Acknowledged) << 1u << 0;
    QTest::newRow("flow control refused") << control << 1u << hex("fffa2c0501fff0") << hex("fffa2c6903fff0")
                                          << int(Kind::SettingRefused) << 3u << 0;
    QTest::newRow("DTR is not waited for") << control << 9u << hex("fffa2c0509fff0") << hex("fffa2c6909fff0") << -1
                                           << 0u << 0;
    QTest::newRow("answer nobody asked for") << 0 << 0u << QByteArray() << hex("fffa2c6608fff0") << -1 << 0u << 0;
    QTest::newRow("no answer yet") << int(Codec::SetDatasize) << 8u << hex("fffa2c0208fff0") << QByteArray() << -1
                                   << 0u << 1;
    QTest::newRow("short answer ignored") << speed << 9600u << hex("fffa2c0100002580fff0") << hex("fffa2c650025fff0")
                                          << -1 << 0u << 1;
    QTest::newRow("line state") << 0 << 0u << QByteArray() << hex("fffa2c6a60fff0") << int(Kind::LineState) << 0x60u
                                << 0;
    QTest::newRow("modem state") << 0 << 0u << QByteArray() << hex("fffa2c6bb0fff0") << int(Kind::ModemState)
                                 << 0xB0u << 0;
}

void TestRfc2217Codec::settingAnswers()
{
    QFETCH(int, command);
    QFETCH(quint32, setting);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, answer);
    QFETCH(int, event);
    QFETCH(quint32, value);
    QFETCH(int, unanswered);
    Codec codec;
    codec.Start();
    codec.Take(hex(ServerOpening));
    QByteArray made;
    switch (command) {
    case 0: break;
    case Codec::SetBaudrate: made = codec.SetBaudrateCommand(setting); break;
    case Codec::SetDatasize: made = codec.SetDatasizeCommand(quint8(setting)); break;
    case Codec::SetParity: made = codec.SetParityCommand(Codec::Parity(setting)); break;
    case Codec::SetStopsize: made = codec.SetStopsizeCommand(Codec::Stopsize(setting)); break;
    case Codec::SetControl: made = codec.SetControlCommand(Codec::Control(setting)); break;
    default: QFAIL("unexpected command");
    }
    QCOMPARE(made, sent);
    for (const bool split : {false, true}) {
        Codec copy = codec;
        const Codec::Feed feed = split ? takeByteByByte(copy, answer) : copy.Take(answer);
        QVERIFY(feed.Data.isEmpty());
        if (event < 0) {
            QVERIFY2(feed.Events.isEmpty(), qPrintable(describe(feed.Events)));
        } else {
            QCOMPARE(feed.Events.size(), 1);
            const Codec::Event &e = feed.Events.constFirst();
            QCOMPARE(int(e.Type), event);
            QCOMPARE(e.Type == Kind::LineState || e.Type == Kind::ModemState ? e.Value : e.Answer, value);
        }
        QCOMPARE(copy.Unanswered(), unanswered);
    }
}

QTEST_APPLESS_MAIN(TestRfc2217Codec)
#include "tst_rfc2217codec.moc"
