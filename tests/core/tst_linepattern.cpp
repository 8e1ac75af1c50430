#include "core/HighlightRules.h"
#include "core/LinePattern.h"
#include "core/TerminalBuffer.h"
#include "core/TerminalFind.h"

#include <QtTest>

namespace {


struct Found {
    qsizetype line;
    qsizetype start;
    qsizetype length;
    friend bool operator==(const Found &, const Found &) = default;
};

QList<Found> Matches(const TerminalFind &find)
{
    QList<Found> out;
    for (qsizetype i = 0; i < find.Count(); ++i)
        out.append({find.At(i).line, find.At(i).start, find.At(i).length});
    return out;
}

char *toString(const Found &f)
{
    return QTest::toString(QStringLiteral("(%1,%2,%3)").arg(f.line).arg(f.start).arg(f.length));
}

// Lines of a store with text that keeps a find busy for a while.
TerminalBuffer LongStore(qsizetype lines)
{
    TerminalBuffer buffer;
    QByteArray text;
    for (qsizetype i = 0; i < lines; ++i)
        text += "stream buffer " + QByteArray::number(i) + (i % 7 ? " ok\n" : " Error x\n");
    buffer.Append(text);
    return buffer;
}

} // namespace

Q_DECLARE_METATYPE(Found)

class TestLinePattern : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void findWithinLines_data();
    void findWithinLines();
    void highlightWithinLines_data();
    void highlightWithinLines();
    void searchInSteps_data();
    void searchInSteps();
    void matchesUpToTheLimit();
};

void TestLinePattern::findWithinLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<bool>("regex");
    QTest::addColumn<QList<Found>>("expected");
    QTest::addColumn<bool>("matchesEmpty");

    QTest::newRow("greedy class stops at the line end")
        << QByteArray("Error one\nError two") << "Error[^!]*" << true << true
        << QList<Found>{{0, 0, 9}, {1, 0, 9}} << false;
    QTest::newRow("blanks do not join lines")
        << QByteArray("level 12\n34 dB") << "\\d+\\s+\\d+" << true << true << QList<Found>{}
        << false;
    QTest::newRow("end of line anchors each line")
        << QByteArray("a ok\nb ok\n") << "ok$" << true << true
        << QList<Found>{{0, 2, 2}, {1, 2, 2}} << false;
    QTest::newRow("start of line anchors each line")
        << QByteArray("ok a\nok b") << "^ok" << true << true
        << QList<Found>{{0, 0, 2}, {1, 0, 2}} << false;
    QTest::newRow("matches only empty text")
        << QByteArray("abc\ndef\n\n") << "x*" << true << true << QList<Found>{} << true;
    QTest::newRow("line anchors alone") << QByteArray("abc\n\n") << "^$" << true << true
                                        << QList<Found>{} << true;
    QTest::newRow("word boundary alone") << QByteArray("ab cd") << "\\b" << true << true
                                         << QList<Found>{} << true;
    QTest::newRow("empty-capable pattern finds what it takes")
        << QByteArray("a  b\n c") << "\\s*" << true << true
        << QList<Found>{{0, 1, 2}, {1, 0, 1}} << true;
    QTest::newRow("star finds runs")
        << QByteArray("axxb\nx") << "x*" << true << true << QList<Found>{{0, 1, 2}, {1, 0, 1}}
        << true;
    QTest::newRow("any case expression") << QByteArray("ERROR\nerror") << "error" << false << true
                                         << QList<Found>{{0, 0, 5}, {1, 0, 5}} << false;
    QTest::newRow("plain text, any case, Latin-1")
        << QByteArray("Caf\xC9 caf\xE9") << QString::fromLatin1("CAF\xC9") << false << false
        << QList<Found>{{0, 0, 4}, {0, 5, 4}} << false;
    QTest::newRow("plain text, matching case")
        << QByteArray("fail FAIL\nfail") << "fail" << true << false
        << QList<Found>{{0, 0, 4}, {1, 0, 4}} << false;
    QTest::newRow("plain text never holds a line break")
        << QByteArray("a\nb") << "a\nb" << true << false << QList<Found>{} << false;
    QTest::newRow("plain text beyond Latin-1") << QByteArray("Radio \x80uro") << "€" << true
                                               << false << QList<Found>{} << false;
    QTest::newRow("plain text with expression characters")
        << QByteArray("a.b axb") << "a.b" << true << false << QList<Found>{{0, 0, 3}} << false;
}

void TestLinePattern::findWithinLines()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, pattern);
    QFETCH(bool, matchCase);
    QFETCH(bool, regex);
    QFETCH(QList<Found>, expected);
    QFETCH(bool, matchesEmpty);

    // The same in one piece and arriving a byte at a time, searched after
    // every byte as the window does.
    TerminalBuffer whole;
    whole.Append(text);
    TerminalFind find;
    QVERIFY(find.SetPattern(pattern, matchCase, regex, whole));
    QVERIFY(find.Done());
    QCOMPARE(Matches(find), expected);
    QCOMPARE(find.MatchesEmpty(), matchesEmpty);

    TerminalBuffer pieces;
    TerminalFind following;
    QVERIFY(following.SetPattern(pattern, matchCase, regex, pieces));
    for (char byte : text) {
        pieces.Append(QByteArrayView(&byte, 1));
        following.Update(pieces);
    }
    QCOMPARE(Matches(following), expected);
}

void TestLinePattern::highlightWithinLines_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("coloured");
    QTest::newRow("match in the line") << "Error[^!]*" << QByteArray("Error one") << true;
    QTest::newRow("only empty text") << "x*" << QByteArray("abc") << false;
    QTest::newRow("empty-capable pattern that takes text") << "x*" << QByteArray("axc") << true;
    QTest::newRow("line anchors alone") << "^" << QByteArray("abc") << false;
    QTest::newRow("case matters") << "error" << QByteArray("ERROR") << false;
}

void TestLinePattern::highlightWithinLines()
{
    QFETCH(QString, pattern);
    QFETCH(QByteArray, line);
    QFETCH(bool, coloured);

    // A rule colours a line exactly where find would mark something in it.
    HighlightRules rules;
    rules.SetRules({{pattern, QStringLiteral("Red")}});
    QCOMPARE(rules.Match(line) == 0, coloured);
    TerminalBuffer buffer;
    buffer.Append(line);
    TerminalFind find;
    QVERIFY(find.SetPattern(pattern, true, true, buffer));
    QCOMPARE(find.Count() > 0, coloured);
}

void TestLinePattern::searchInSteps_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("regex");
    QTest::newRow("plain") << "Error" << false;
    QTest::newRow("matches only empty text") << "y*" << true;
    QTest::newRow("empty-capable pattern") << "\\s*" << true;
    QTest::newRow("anchored") << "Error x$" << true;
}

void TestLinePattern::searchInSteps()
{
    QFETCH(QString, pattern);
    QFETCH(bool, regex);

    // A search whose time is up stops between lines and goes on where it
    // stopped; step by step it finds what one search finds, text that
    // arrives and lines that go meanwhile included.
    TerminalBuffer buffer = LongStore(5000);
    buffer.SetLineLimit(6000);
    TerminalFind reference;
    TerminalFind stepped;
    QVERIFY(stepped.SetPattern(pattern, true, regex, buffer, QDeadlineTimer(0)));
    QVERIFY(!stepped.Done());
    int steps = 1;
    for (; !stepped.Done(); ++steps) {
        if (steps == 5)
            buffer.Append("more Error x text\nand a line with Error that goes on");
        if (steps == 10)
            buffer.SetLineLimit(4000);
        stepped.Update(buffer, QDeadlineTimer(0));
        QVERIFY(steps < 1000);
    }
    QVERIFY(steps > 10);
    QVERIFY(reference.SetPattern(pattern, true, regex, buffer));
    QCOMPARE(Matches(stepped), Matches(reference));
    QVERIFY(reference.Count() > 0 || reference.MatchesEmpty());
}

void TestLinePattern::matchesUpToTheLimit()
{
    // A pattern that matches nearly everywhere keeps the oldest matches up
    // to the limit and goes on as lines are dropped.
    TerminalBuffer buffer = LongStore(30'000);
    TerminalFind find;
    QVERIFY(find.SetPattern(QStringLiteral("\\S"), true, true, buffer));
    QVERIFY(find.Done());
    QVERIFY(find.Full());
    QVERIFY(find.Count() >= TerminalFind::MatchLimit);
    QVERIFY(find.Count() < TerminalFind::MatchLimit + 30);
    QVERIFY(find.At(find.Count() - 1).line < buffer.LineCount() - 1);

    buffer.SetLineLimit(5'000);
    buffer.Append("x y\n");
    find.Update(buffer);
    QVERIFY(!find.Full());
    TerminalFind reference;
    QVERIFY(reference.SetPattern(QStringLiteral("\\S"), true, true, buffer));
    QCOMPARE(Matches(find), Matches(reference));
    QCOMPARE(find.At(find.Count() - 1).start, 2);
}

QTEST_GUILESS_MAIN(TestLinePattern)
#include "tst_linepattern.moc"
