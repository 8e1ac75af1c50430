// A day of a device that never stops talking, in accelerated time: 115200
// bit/s is 11,520 bytes a second, about 1 GB a day, in device lines of 20..100
// characters (about 60), one in eight with a '#' event mark shown as the time
// stamp of its simulated moment. The text goes through TerminalView::AppendText
// in the pieces a serial read gives, with the default line limit, and the
// event loop runs once every simulated second so that the view keeps painting.
// Prints the resident memory at the start, every four simulated hours and at
// the end, and the wall time; passes when the memory at the end stays within
// what the line limit allows above the start, and has stopped growing after
// the first hours.

#include "bench/BenchSupport.h"
#include "desktop/TerminalView.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTime>

#include <cstdint>
#include <cstdio>

namespace {

constexpr qint64 BytesPerSecond = 115200 / 10; // 8 data bits, start and stop bit
constexpr qint64 Seconds = 24 * 3600;
constexpr qint64 ReportEverySeconds = 4 * 3600;
constexpr qsizetype Piece = 512; // one serial read
constexpr qsizetype LongestLine = 100 + 11; // text and a time stamp
constexpr qint64 MiB = 1024 * 1024;
// Allocator, fonts and the view's own needs beside the text.
constexpr qint64 SlackBytes = 8 * MiB;
// Once the limit is reached the memory must stay put: a creep past this from
// the first report to the end is a leak, whatever the bound.
constexpr qint64 CreepBytes = 4 * MiB;

// The device's lines, without their event mark; some end in a prompt.
QList<QByteArray> DeviceLines()
{
    const QByteArray words = QByteArray(
        "stream buffer channel codec mp3 aac ok error retry connect http rtsp dhcp "
        "gateway 192 168 10 mask 255 level -12dB bitrate 128k underrun reconnect ").repeated(3);
    QList<QByteArray> lines;
    std::uint32_t seed = 4711;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return qsizetype(seed >> 8);
    };
    for (int i = 0; i < 4096; ++i) {
        QByteArray line(words.constData() + next() % (words.size() - 100), 20 + next() % 81);
        if (next() % 16 == 0)
            line[line.size() - 1] = '>';
        lines.append(line + "\r\n");
    }
    return lines;
}

void Report(const char *when, qint64 seconds, qint64 rss, const TerminalView &view)
{
    std::printf("  %-6s %2lld h: RSS %7lld KB, %lld lines held, %lld dropped\n", when,
                static_cast<long long>(seconds / 3600), static_cast<long long>(rss / 1024),
                static_cast<long long>(view.LineCount()),
                static_cast<long long>(view.DroppedLines()));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QApplication> app(argc, argv, "terminal_soak");
    if (!app.IsValid())
        return 2;

    TerminalView view;
    ShowAtTerminalSize(view);
    const QList<QByteArray> lines = DeviceLines();

    std::printf("terminal_soak: %lld simulated hours at %lld bytes/s (%.0f MB), line limit %lld\n",
                static_cast<long long>(Seconds / 3600), static_cast<long long>(BytesPerSecond),
                double(BytesPerSecond * Seconds) / 1e6, static_cast<long long>(view.LineLimit()));
    const qint64 rssStart = ResidentBytes();
    Report("start", 0, rssStart, view);

    QElapsedTimer wall;
    wall.start();
    QByteArray pending;
    pending.reserve(2 * Piece);
    qint64 fed = 0;
    qint64 firstReportRss = -1;
    std::uint32_t seed = 99;
    std::size_t lineIndex = 0;
    for (qint64 second = 1; second <= Seconds; ++second) {
        // The device's '#' shows as the time it arrived: the simulated time.
        const QByteArray stamp =
            '[' + QTime(0, 0).addSecs(int(second % 86400)).toString(QStringLiteral("HH:mm:ss")).toLatin1()
            + "] ";
        const qint64 due = second * BytesPerSecond;
        while (fed < due) {
            seed = seed * 1664525u + 1013904223u;
            if ((seed >> 8) % 8 == 0) {
                pending += stamp;
                fed += 1; // the '#' on the wire
            }
            const QByteArray &line = lines.at(lineIndex++ % lines.size());
            pending += line;
            fed += line.size();
            while (pending.size() >= Piece) {
                view.AppendText(QByteArrayView(pending).first(Piece));
                pending.remove(0, Piece);
            }
        }
        QCoreApplication::processEvents();
        if (second % ReportEverySeconds == 0 && second < Seconds) {
            const qint64 rss = ResidentBytes();
            if (firstReportRss < 0)
                firstReportRss = rss;
            Report("after", second, rss, view);
        }
    }
    view.AppendText(pending);
    QCoreApplication::processEvents();
    const qint64 wallMs = wall.elapsed();
    const qint64 rssEnd = ResidentBytes();
    Report("end", Seconds, rssEnd, view);

    // What the limit lets the text take: every line as long as the longest,
    // with its index entry, twice over for the arrays' room to grow.
    const qint64 allowed = 2 * view.LineLimit() * (LongestLine + 1 + qint64(sizeof(qsizetype))) + SlackBytes;
    const bool boundOk = rssEnd - rssStart <= allowed;
    const bool creepOk = rssEnd - firstReportRss <= CreepBytes;
    std::printf("  fed %.1f MB in %.1f s wall time (%.0f MB/s, a day in %.4f of a day)\n",
                double(fed) / 1e6, double(wallMs) / 1000, double(fed) / 1e3 / double(std::max<qint64>(1, wallMs)),
                double(wallMs) / 1000 / double(Seconds));
    std::printf("  growth %lld KB, allowed %lld KB (start + limit x (%lld + 1 + %d) x 2 + %lld KB): %s\n",
                static_cast<long long>((rssEnd - rssStart) / 1024), static_cast<long long>(allowed / 1024),
                static_cast<long long>(LongestLine), int(sizeof(qsizetype)),
                static_cast<long long>(SlackBytes / 1024), boundOk ? "PASS" : "FAIL");
    std::printf("  from the first report to the end %lld KB, at most %lld KB: %s\n",
                static_cast<long long>((rssEnd - firstReportRss) / 1024),
                static_cast<long long>(CreepBytes / 1024), creepOk ? "PASS" : "FAIL");
    const bool pass = boundOk && creepOk;
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
