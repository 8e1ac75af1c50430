// Appends 20 MB of device-like text to the terminal in 32-byte pieces that
// split lines anywhere, with the event loop running every 64 KB so that the
// view really paints, and reports the append rate at the start and at the end
// and how much memory the text costs (with the terminal's default line limit,
// which the 20 MB exceed), with the default highlight rules on, and how fast
// the same text goes without them.

#include "core/HighlightRules.h"
#include "bench/BenchSupport.h"
#include "desktop/TerminalView.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdint>
#include <limits>
#include <cstdio>

namespace {

constexpr qsizetype MiB = 1024 * 1024;
constexpr qsizetype Total = 20 * MiB;
constexpr qsizetype Piece = 32;
constexpr qsizetype EventsEvery = 64 * 1024;

// Lines of 20..100 characters ending in CR LF, now and then with a '#' as the
// device prints it before a time-stamped event.
QByteArray DeviceText(qsizetype size)
{
    const QByteArray words = QByteArray(
        "stream buffer channel codec mp3 aac ok error retry connect http rtsp dhcp "
        "gateway 192 168 10 mask 255 level -12dB bitrate 128k underrun reconnect ").repeated(3);
    QByteArray text;
    text.reserve(size + 256);
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return qsizetype(seed >> 8);
    };
    while (text.size() < size) {
        const qsizetype from = text.size();
        const qsizetype length = 20 + next() % 81;
        if (next() % 8 == 0)
            text.append("# ");
        text.append(words.constData() + next() % (words.size() - 100), 100);
        text.truncate(from + length);
        if (next() % 16 == 0)
            text[text.size() - 1] = '>';
        text.append("\r\n");
    }
    text.truncate(size);
    return text;
}

// Counts the terminal's repaints, to show that the view really paints while
// the text pours in.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

// Average time of a full repaint of the view as it stands, in milliseconds.
double RepaintMs(TerminalView &view)
{
    constexpr int Rounds = 50;
    // Let the view catch up first (it updates at most once a frame).
    QEventLoop settle;
    QTimer::singleShot(50, &settle, &QEventLoop::quit);
    settle.exec();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < Rounds; ++i)
        view.viewport()->repaint();
    return double(clock.nsecsElapsed()) / 1e6 / Rounds;
}

struct Times {
    qint64 warmNs = 0;
    qint64 secondNs = 0;
    qint64 lastNs = 0;
    qint64 totalNs = 0;
};

// Appends the whole text to the view in pieces, running the event loop
// every EventsEvery bytes.
Times AppendAll(TerminalView &view, const QByteArray &text)
{
    Times t;
    QElapsedTimer clock;
    qint64 markNs = 0;
    clock.start();
    for (qsizetype at = 0; at < Total; at += Piece) {
        view.AppendText(QByteArrayView(text.constData() + at, std::min(Piece, Total - at)));
        const qsizetype done = at + Piece;
        if (done % EventsEvery == 0)
            QCoreApplication::processEvents();
        // The first megabyte warms caches and allocators up; the second is
        // the one a gradual slowdown is measured against.
        if (done == MiB)
            t.warmNs = clock.nsecsElapsed();
        if (done == 2 * MiB)
            t.secondNs = clock.nsecsElapsed() - t.warmNs;
        if (done == Total - MiB)
            markNs = clock.nsecsElapsed();
    }
    QCoreApplication::processEvents();
    t.lastNs = clock.nsecsElapsed() - markNs;
    t.totalNs = clock.nsecsElapsed();
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QApplication> app(argc, argv, "terminal_append");
    if (!app.IsValid())
        return 2;

    TerminalView view;
    ShowAtTerminalSize(view);
    PaintCounter counter;
    view.viewport()->installEventFilter(&counter);

    const QByteArray text = DeviceText(Total);
    QCoreApplication::processEvents();
    const qint64 rssBefore = ResidentBytes();

    // As the window runs it: the default highlight rules on.
    view.SetHighlightRules(HighlightRules::Defaults());
    const Times timed = AppendAll(view, text);
    const qint64 warmNs = timed.warmNs;
    const qint64 secondNs = timed.secondNs;
    const qint64 lastNs = timed.lastNs;
    const qint64 totalNs = timed.totalNs;
    const int paints = counter.paints;

    const qint64 rssAfter = ResidentBytes();

    // The same text with the rules off and on again, in turns, each on a
    // fresh view, best of each kept: on a busy machine the turns see the
    // same load. Run after the memory is measured, so that they count no
    // memory of their own.
    qint64 plainNs = std::numeric_limits<qint64>::max();
    qint64 rulesNs = timed.totalNs;
    for (int round = 0; round < 2; ++round) {
        for (const bool rules : {false, true}) {
            TerminalView other;
            ShowAtTerminalSize(other);
            if (rules)
                other.SetHighlightRules(HighlightRules::Defaults());
            const qint64 ns = AppendAll(other, text).totalNs;
            qint64 &best = rules ? rulesNs : plainNs;
            best = std::min(best, ns);
        }
    }

    // Painting must not depend on how much text there is either: repaint
    // the full view holding what the line limit kept, then holding the
    // first megabyte.
    const qsizetype lines = view.LineCount();
    const double repaintFull = RepaintMs(view);
    view.Clear();
    view.AppendText(QByteArrayView(text.constData(), MiB));
    const double repaintSmall = RepaintMs(view);

    const double secondRate = 1e9 / double(secondNs);
    const double lastRate = 1e9 / double(lastNs);
    const double ratio = lastRate / secondRate;
    const double perByte = double(rssAfter - rssBefore) / double(Total);
    const bool rateOk = secondRate >= 20 && lastRate >= 20;
    const bool ratioOk = ratio >= 0.8;
    const bool memoryOk = perByte <= 3.0;
    const double rulesRatio = double(plainNs) / double(rulesNs);
    const bool rulesOk = rulesRatio >= 0.9;

    std::printf("terminal_append: %lld MB in %lld-byte pieces, %lld lines, events every %lld KB\n",
                static_cast<long long>(Total / MiB), static_cast<long long>(Piece),
                static_cast<long long>(lines),
                static_cast<long long>(EventsEvery / 1024));
    std::printf("  first MB (warm-up): %8.1f MB/s\n", 1e9 / double(warmNs));
    std::printf("  second MB: %8.1f MB/s\n", secondRate);
    std::printf("  last MB:  %8.1f MB/s\n", lastRate);
    std::printf("  repaints during the run: %d\n", paints);
    std::printf("  full repaint: %.3f ms holding the newest %lld lines, %.3f ms holding 1 MB\n",
                repaintFull, static_cast<long long>(lines), repaintSmall);
    std::printf("  overall:  %8.1f MB/s\n", double(Total) / MiB * 1e9 / double(totalNs));
    std::printf("  last/second ratio: %.2f\n", ratio);
    std::printf("  best of runs in turns: %.1f MB/s without highlight rules, %.1f MB/s with the "
                "default rules: %.2f x\n",
                double(Total) / MiB * 1e9 / double(plainNs),
                double(Total) / MiB * 1e9 / double(rulesNs), rulesRatio);
    std::printf("  memory growth: %.2f bytes per byte of text (RSS %lld -> %lld KB)\n", perByte,
                static_cast<long long>(rssBefore / 1024), static_cast<long long>(rssAfter / 1024));
    std::printf("  rate >= 20 MB/s both:   %s\n", rateOk ? "PASS" : "FAIL");
    std::printf("  last within 20%% of second (last >= 0.8 x second): %s\n", ratioOk ? "PASS" : "FAIL");
    std::printf("  memory <= 3 bytes/byte:  %s\n", memoryOk ? "PASS" : "FAIL");
    std::printf("  default highlight rules >= 0.9 x without: %s\n", rulesOk ? "PASS" : "FAIL");
    const bool pass = rateOk && ratioOk && memoryOk && rulesOk;
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
