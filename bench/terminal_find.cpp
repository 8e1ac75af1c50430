// Finds in a full terminal store: 100,000 kept lines (about 7 MB) with a
// match on every hundredth line, marked all at once as the find bar does
// when a pattern is typed, plainly, in any case and as a regular expression;
// and patterns that can match empty text, as typed on the way to
// `\s*underrun`: the whole search, and the longest step the window is held
// for when the search goes on in steps as the find bar runs it.

#include "core/TerminalBuffer.h"
#include "core/TerminalFind.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qsizetype Lines = 100'000;

QByteArray StoreText()
{
    QByteArray text;
    text.reserve(Lines * 72);
    for (qsizetype i = 0; i < Lines; ++i) {
        QByteArray line = "# [12:00:00] stream buffer " + QByteArray::number(i)
                          + " channel codec aac bitrate 128k level -12dB ok";
        if (i % 100 == 0)
            line += " underrun";
        line = line.leftJustified(68, '.');
        text += line + "\r\n";
    }
    return text;
}

// Best of a few rounds, in milliseconds, and the matches found.
double Measure(TerminalFind &find, const TerminalBuffer &buffer, const QString &pattern,
               bool matchCase, bool regex, qsizetype *count)
{
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer clock;
        clock.start();
        find.SetPattern(pattern, matchCase, regex, buffer);
        best = std::min(best, double(clock.nsecsElapsed()) / 1e6);
    }
    *count = find.Count();
    return best;
}

// The longest single step, in milliseconds, of a search run in steps of
// `stepMs` as the window runs it.
double LongestStep(TerminalFind &find, const TerminalBuffer &buffer, const QString &pattern,
                   int stepMs)
{
    double longest = 0;
    QElapsedTimer clock;
    clock.start();
    find.SetPattern(pattern, true, true, buffer, QDeadlineTimer(stepMs));
    longest = double(clock.nsecsElapsed()) / 1e6;
    while (!find.Done()) {
        clock.restart();
        find.Update(buffer, QDeadlineTimer(stepMs));
        longest = std::max(longest, double(clock.nsecsElapsed()) / 1e6);
    }
    return longest;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TerminalBuffer buffer;
    // The default limit, counting the empty line after the final break.
    buffer.SetLineLimit(Lines + 1);
    buffer.Append(StoreText());
    const qsizetype expected = Lines / 100;
    std::printf("terminal_find: %lld lines kept, %.1f MB, a match on every hundredth line\n",
                static_cast<long long>(buffer.LineCount() - 1), double(buffer.Size()) / 1e6);

    TerminalFind find;
    struct Case {
        const char *name;
        QString pattern;
        bool matchCase;
        bool regex;
        double limitMs;
    };
    const Case cases[] = {
        {"plain, match case", QStringLiteral("underrun"), true, false, 50},
        {"plain, any case", QStringLiteral("UNDERRUN"), false, false, 50},
        {"regular expression", QStringLiteral("under\\w+$"), true, true, 150},
        {"regular expression, any case", QStringLiteral("UNDER[a-z]+"), false, true, 150},
    };
    // Patterns that can match empty text: `x*` takes nothing here, `\s*`
    // every run of blanks (12 a line), of which the find keeps the first
    // TerminalFind::MatchLimit.
    struct EmptyCase {
        const char *name;
        QString pattern;
        qsizetype expected;
    };
    const EmptyCase emptyCases[] = {
        {"x*", QStringLiteral("x*"), 0},
        {"\\s*", QStringLiteral("\\s*"), -1},
    };
    bool pass = true;
    for (const Case &c : cases) {
        qsizetype count = 0;
        const double ms = Measure(find, buffer, c.pattern, c.matchCase, c.regex, &count);
        const bool ok = ms <= c.limitMs && count == expected;
        pass = pass && ok;
        std::printf("  %-30s %8.1f ms  %lld matches  (<= %.0f ms, %lld matches): %s\n", c.name, ms,
                    static_cast<long long>(count), c.limitMs, static_cast<long long>(expected),
                    ok ? "PASS" : "FAIL");
    }

    constexpr int StepMs = 30; // the window's step
    for (const EmptyCase &c : emptyCases) {
        qsizetype count = 0;
        const double ms = Measure(find, buffer, c.pattern, true, true, &count);
        const double step = LongestStep(find, buffer, c.pattern, StepMs);
        const bool countOk = c.expected < 0 ? count > 0 : count == c.expected;
        const bool ok = ms <= 150 && step <= 100 && countOk;
        pass = pass && ok;
        std::printf("  %-30s %8.1f ms  %lld matches  (<= 150 ms), longest step %.1f ms "
                    "(<= 100 ms): %s\n",
                    c.name, ms, static_cast<long long>(count), step, ok ? "PASS" : "FAIL");
    }

    // Text keeps arriving: catching up with one more line costs what the
    // line costs, not what the store holds.
    find.SetPattern(QStringLiteral("underrun"), true, false, buffer);
    QElapsedTimer clock;
    clock.start();
    constexpr int More = 1000;
    for (int i = 0; i < More; ++i) {
        buffer.Append("# stream buffer more text underrun\r\n");
        find.Update(buffer);
    }
    const double perLineUs = double(clock.nsecsElapsed()) / 1e3 / More;
    const bool updateOk = perLineUs <= 100 && find.Count() > expected;
    pass = pass && updateOk;
    std::printf("  catching up, per arriving line %8.1f us (<= 100 us): %s\n", perLineUs,
                updateOk ? "PASS" : "FAIL");
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
