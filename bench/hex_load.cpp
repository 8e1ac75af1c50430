// Loads a full 252 KB firmware image (addresses 0 to 258047) from a HEX file
// of 16-byte records, about 726 KB, as the update dialog does when the boot
// loader announces itself, and reports the time per load. The load sits
// between the start token and the boot loader's erase, so it must stay within
// a few milliseconds. When srec_cat is installed, its conversion of the same
// file to binary is timed for comparison.

#include "bench/BenchSupport.h"
#include "firmware/HexImage.h"

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

QByteArray Hex2(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    const char pair[2] = {digits[(value >> 4) & 0xF], digits[value & 0xF]};
    return QByteArray(pair, 2);
}

QByteArray Record(int type, quint32 address, const QByteArray &data)
{
    unsigned sum =
        unsigned(data.size()) + ((address >> 8) & 0xFF) + (address & 0xFF) + unsigned(type);
    QByteArray line = ":" + Hex2(unsigned(data.size())) + Hex2((address >> 8) & 0xFF)
                      + Hex2(address & 0xFF) + Hex2(unsigned(type));
    for (const char c : data) {
        line += Hex2(quint8(c));
        sum += quint8(c);
    }
    return line + Hex2((256 - sum % 256) % 256) + "\r\n";
}

QByteArray Image()
{
    QByteArray image(ImageBytes, Qt::Uninitialized);
    quint32 seed = 2024;
    for (quint32 i = 0; i < ImageBytes; ++i) {
        seed = seed * 1664525u + 1013904223u;
        image[i] = char(seed >> 24);
    }
    return image;
}

QByteArray HexFile(const QByteArray &image)
{
    QByteArray text;
    text.reserve(760 * 1024);
    for (quint32 address = 0; address < ImageBytes; address += 16) {
        if (address != 0 && (address & 0xFFFF) == 0)
            text += Record(4, 0, QByteArray(1, char(0)) + char(address >> 16));
        text += Record(0, address & 0xFFFF, image.mid(address, 16));
    }
    return text + ":00000001FF\r\n";
}

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
    const QByteArray image = Image();
    const QString path = dir.filePath(QStringLiteral("firmware.hex"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(HexFile(image)) < 0) {
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
