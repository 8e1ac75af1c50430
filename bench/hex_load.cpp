// Loads a full 252 KB firmware image (addresses 0 to 258047) from a HEX file
// of 16-byte records, about 726 KB, as the update dialog does when the boot
// loader announces itself, and reports the time per load. The load sits
// between the start token and the boot loader's erase, so it must stay within
// a few milliseconds. When srec_cat is installed, its conversion of the same
// file to binary is timed for comparison.

#include "tests/HexFixtures.h"
#include "bench/BenchSupport.h"
#include "core/firmware/HexImage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr quint32 ImageBytes = 258048;
constexpr int WarmUp = 3;
constexpr int Loads = 50;
constexpr double LimitMs = 10.0;
constexpr int ToolRuns = 5;

double Median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// srec_cat, when present, converting the same file; informational only.
void TimeConverter(const QString &hexPath, const QString &dir)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    if (tool.isEmpty()) {
        std::printf("srec_cat: not installed, not measured\n");
        return;
    }
    std::vector<double> runs;
    for (int i = 0; i < ToolRuns; ++i) {
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        process.start(tool, {hexPath, QStringLiteral("-Intel"), QStringLiteral("-o"),
                             dir + QStringLiteral("/image.bin"), QStringLiteral("-Binary")});
        if (!process.waitForFinished(30000) || process.exitCode() != 0) {
            std::printf("srec_cat: did not convert the file, not measured\n");
            return;
        }
        runs.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::printf("srec_cat: median %.2f ms per conversion over %d runs (process start included)\n",
                Median(runs), ToolRuns);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "hex_load: no temporary folder\n");
        return 2;
    }
    // The image and its HEX file of 16-byte records, made as the tests make them.
    const QByteArray image = hexfix::Pattern(0, ImageBytes, 2024);
    const QString path = dir.filePath(QStringLiteral("firmware.hex"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(hexfix::HexText({{0, image}})) < 0) {
            std::fprintf(stderr, "hex_load: cannot write %s\n", qPrintable(path));
            return 2;
        }
    }
    std::printf("hex_load: %lld-byte HEX file, image 0..%u, load average %s\n",
                qlonglong(QFile(path).size()), ImageBytes - 1, qPrintable(LoadAverage()));

    HexImage loaded;
    std::vector<double> times;
    bool correct = true;
    for (int i = 0; i < WarmUp + Loads; ++i) {
        QElapsedTimer clock;
        clock.start();
        const HexLoadResult result = LoadHexFile(path, loaded);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (i >= WarmUp)
            times.push_back(ms);
        correct = correct && result.Result == 0
                  && result.Messages.value(1) == QStringLiteral("Flash Hex File OK 258048 Bytes");
    }
    correct = correct && loaded.ImageHighAddress == ImageBytes - 1
              && std::equal(image.begin(), image.end(), loaded.FlashImage.begin(),
                            [](char a, quint8 b) { return quint8(a) == b; });

    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("hex_load: %d loads: min %.2f ms, median %.2f ms, max %.2f ms\n", Loads,
                times.front(), median, times.back());
    TimeConverter(path, dir.path());

    const bool pass = correct && median <= LimitMs;
    std::printf("RESULT: %s (median <= %.0f ms: %s, image loaded correctly: %s)\n",
                pass ? "PASS" : "FAIL", LimitMs, median <= LimitMs ? "yes" : "no",
                correct ? "yes" : "no");
    return pass ? 0 : 1;
}
