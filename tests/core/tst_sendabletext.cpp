#include "core/SendableText.h"

#include <QtTest>

using Kind = SendableFault::Kind;
Q_DECLARE_METATYPE(SendableFault::Kind)

class tst_sendabletext : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void line_data();
    void line();
    void text_data();
    void text();
    void decoding_data();
    void decoding();
};

void tst_sendabletext::line_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("column");
    QTest::addColumn<uint>("character");
    QTest::addColumn<QString>("named"); // part of the message

    QTest::newRow("plain command") << QStringLiteral("isp 1 My ISP") << Kind::None << 0 << 0u << QString();
    QTest::newRow("Latin-1 letters") << QStringLiteral("channel 1 0 Caf\u00e9 \u00c5rhus") << Kind::None << 0 << 0u
                                     << QString();
    QTest::newRow("empty") << QString() << Kind::None << 0 << 0u << QString();
    QTest::newRow("euro sign") << QStringLiteral("channel 1 0 Radio \u20acuro") << Kind::NotLatin1 << 19 << 0x20acu
                               << QStringLiteral("\"\u20ac\" (U+20AC)");
    QTest::newRow("CJK") << QStringLiteral("Radio \u65e5\u672c") << Kind::NotLatin1 << 7 << 0x65e5u
                         << QStringLiteral("\"\u65e5\" (U+65E5)");
    // Counted as one character, not two halves.
    QTest::newRow("beyond 16 bits") << QStringLiteral("a\U0001F600b>") << Kind::NotLatin1 << 2 << 0x1f600u
                                    << QStringLiteral("U+1F600");
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << Kind::NotLatin1 << 1 << 0xd800u
                                    << QStringLiteral("U+D800");
    QTest::newRow("prompt mark") << QStringLiteral("isp 7 http://a>b") << Kind::PromptMark << 15 << uint('>')
                                 << QStringLiteral("\">\"");
    QTest::newRow("ESC") << QStringLiteral("ver\x1b[A") << Kind::Control << 4 << 0x1bu << QStringLiteral("ESC (U+001B)");
    QTest::newRow("tab") << QStringLiteral("ver\tx") << Kind::Control << 4 << 9u << QStringLiteral("a tab");
    QTest::newRow("carriage return") << QStringLiteral("a\rb") << Kind::Control << 2 << 13u
                                     << QStringLiteral("a carriage return");
    QTest::newRow("line feed") << QStringLiteral("a\nb") << Kind::Control << 2 << 10u << QStringLiteral("a line feed");
    QTest::newRow("zero") << QString(QChar(0)) << Kind::Control << 1 << 0u << QStringLiteral("a zero byte");
    QTest::newRow("DEL") << QStringLiteral("\x7f") << Kind::Control << 1 << 0x7fu << QStringLiteral("U+007F");
    QTest::newRow("C1 control") << QStringLiteral("a\u0085") << Kind::Control << 2 << 0x85u << QStringLiteral("U+0085");
    QTest::newRow("longest") << QString(LongestSendableLine, QLatin1Char('a')) << Kind::None << 0 << 0u << QString();
    QTest::newRow("one too long") << QString(LongestSendableLine + 1, QLatin1Char('a')) << Kind::TooLong
                                  << LongestSendableLine + 1 << 0u << QStringLiteral("at most 1022 characters");
    // The character is told before the length: it is what the user fixes.
    QTest::newRow("long with a bad character") << QString(2000, QLatin1Char('a')) + QStringLiteral("\u20ac")
                                               << Kind::NotLatin1 << 2001 << 0x20acu << QStringLiteral("U+20AC");
}

void tst_sendabletext::line()
{
    QFETCH(QString, line);
    QFETCH(Kind, kind);
    QFETCH(int, column);
    QFETCH(uint, character);
    QFETCH(QString, named);

    const SendableFault fault = CheckSendableLine(line);
    QCOMPARE(fault.kind, kind);
    QCOMPARE(fault.IsFault(), kind != Kind::None);
    if (!fault.IsFault()) {
        QVERIFY(fault.Message().isEmpty());
        QCOMPARE(SendableBytes(line).size(), line.size());
        return;
    }
    QCOMPARE(fault.Column, column);
    QCOMPARE(uint(fault.Character), character);
    QVERIFY2(fault.Message().contains(named), qPrintable(fault.Message()));
    if (kind != Kind::TooLong)
        QVERIFY2(fault.Message().startsWith(QStringLiteral("Character %1: ").arg(column)), qPrintable(fault.Message()));
}

void tst_sendabletext::text_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<int>>("numbers"); // of the lines taken
    QTest::addColumn<QByteArrayList>("sent");
    QTest::addColumn<QString>("message"); // empty when the text is good

    QTest::newRow("comments and blank lines") << QByteArray("# setup\nver\n\n   \t\nsnum\n#ver\n") << QList<int>{2, 5}
                                              << QByteArrayList{"ver", "snum"} << QString();
    QTest::newRow("CR LF") << QByteArray("ver\r\nsnum\r\n") << QList<int>{1, 2} << QByteArrayList{"ver", "snum"}
                           << QString();
    // Not a command: the mark would reach the device as three bytes ahead of
    // the comment and the comment would be sent.
    QTest::newRow("byte-order mark before a comment") << QByteArray("\xEF\xBB\xBF# bench\nver\n") << QList<int>{2}
                                                      << QByteArrayList{"ver"} << QString();
    QTest::newRow("byte-order mark before a command") << QByteArray("\xEF\xBB\xBFver\n") << QList<int>{1}
                                                      << QByteArrayList{"ver"} << QString();
    // A UTF-8 file's é goes out as the one byte the device stores.
    QTest::newRow("UTF-8 Latin-1 letter") << QByteArray("channel 1 0 Caf\xC3\xA9\n") << QList<int>{1}
                                          << QByteArrayList{"channel 1 0 Caf\xE9"} << QString();
    QTest::newRow("Latin-1 file") << QByteArray("channel 1 0 Caf\xE9\n") << QList<int>{1}
                                  << QByteArrayList{"channel 1 0 Caf\xE9"} << QString();
    QTest::newRow("euro sign in UTF-8") << QByteArray("ver\n# x\nchannel 1 0 Radio \xE2\x82\xACuro\n") << QList<int>{}
                                        << QByteArrayList{}
                                        << QStringLiteral("Line 3, character 19: \"\u20ac\" (U+20AC) is not a single-byte "
                                                          "(Latin-1) character; Mirto cannot take it");
    QTest::newRow("ESC") << QByteArray("ver\n\x1b[2J\n") << QList<int>{} << QByteArrayList{}
                         << QStringLiteral("Line 2, character 1: ESC (U+001B) cannot be sent to Mirto: a command is one "
                                           "line of printable characters");
    QTest::newRow("prompt mark") << QByteArray("ver\nisp 7 a>b\n") << QList<int>{} << QByteArrayList{}
                                 << QStringLiteral("Line 2, character 8: \">\" cannot be sent to Mirto: it would be "
                                                   "taken for the end of Mirto's answer");
    QTest::newRow("carriage return inside") << QByteArray("ver\rsnum\n") << QList<int>{} << QByteArrayList{}
                                            << QStringLiteral("Line 1, character 4: a carriage return (U+000D) cannot "
                                                              "be sent to Mirto: a command is one line of printable "
                                                              "characters");
    QTest::newRow("zero byte") << QByteArray("ver\nsn\0um\n", 10) << QList<int>{} << QByteArrayList{}
                               << QStringLiteral("Line 2, character 3: a zero byte (U+0000) cannot be sent to Mirto: a "
                                                 "command is one line of printable characters");
    QTest::newRow("too long") << QByteArray("ver\n") + QByteArray(1023, 'a') << QList<int>{} << QByteArrayList{}
                              << QStringLiteral("Line 2: a command line has at most 1022 characters; this one has 1023");
    // Only the first character: a comment may say anything.
    QTest::newRow("comment with anything") << QByteArray("# \xE2\x82\xAC > \x1b\nver") << QList<int>{2}
                                           << QByteArrayList{"ver"} << QString();
    QTest::newRow("nothing") << QByteArray() << QList<int>{} << QByteArrayList{} << QString();
}

void tst_sendabletext::text()
{
    QFETCH(QByteArray, file);
    QFETCH(QList<int>, numbers);
    QFETCH(QByteArrayList, sent);
    QFETCH(QString, message);

    QList<SendableLine> lines{{99, "stale"}};
    const SendableFault fault = CheckSendableText(file, lines);
    QCOMPARE(fault.Message(), message);
    QList<int> gotNumbers;
    QByteArrayList gotSent;
    for (const SendableLine &l : std::as_const(lines)) {
        gotNumbers << l.Number;
        gotSent << l.Bytes;
    }
    QCOMPARE(gotNumbers, numbers);
    QCOMPARE(gotSent, sent);
}

void tst_sendabletext::decoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("ASCII") << QByteArray("mode=3") << QStringLiteral("mode=3");
    QTest::newRow("UTF-8") << QByteArray("Radio \xE6\x97\xA5\xE6\x9C\xAC \xE2\x82\xAC")
                           << QStringLiteral("Radio \u65e5\u672c \u20ac");
    QTest::newRow("UTF-8 with mark") << QByteArray("\xEF\xBB\xBF" "Caf\xC3\xA9") << QStringLiteral("Caf\u00e9");
    QTest::newRow("Latin-1") << QByteArray("Caf\xE9 \xC5rhus") << QStringLiteral("Caf\u00e9 \u00c5rhus");
    // A sequence cut at the end is no UTF-8.
    QTest::newRow("cut UTF-8 sequence") << QByteArray("ab\xE2\x82") << QStringLiteral("ab\u00e2\u0082");
    QTest::newRow("mark alone") << QByteArray("\xEF\xBB\xBF") << QString();
}

void tst_sendabletext::decoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(DecodeDeviceText(bytes), text);
}

QTEST_GUILESS_MAIN(tst_sendabletext)
#include "tst_sendabletext.moc"
