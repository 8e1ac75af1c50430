// Lets the device simulator flood the main window's serial link with
// 20,000,000 bytes of event text (most lines carry a '#', which the terminal
// turns into a time stamp) and reports how fast the window takes it in and the
// longest time the user-interface thread went without handling its events;
// then the same in the terminal's hex view, where every byte shows as hex.

#include "bench/BenchSupport.h"
#include "desktop/Commainform.h"
#include "sim/core/SimLauncher.h"
#include "desktop/TerminalView.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 FloodBytes = 20'000'000;
constexpr double RateLimitMBs = 8.0; // MB = 1,000,000 bytes
// In the hex view the terminal takes nearly five bytes for every byte that
// arrives (a line of 78 for 16).
constexpr double HexRateLimitMBs = 5.0;
constexpr double StallLimitMs = 100.0;
// The flood counts as over once nothing has arrived for this long.
constexpr qint64 QuietNs = 500'000'000;
constexpr int TimeLimitMs = 120'000;

// One flood into a new window, as text or in the hex view; true when it
// met its figures.
bool runFlood(bool hex)
{
    std::printf("terminal_flood: %lld bytes of event text over the serial link%s (load average %s)\n",
                static_cast<long long>(FloodBytes), hex ? ", shown as hex" : "", qPrintable(LoadAverage()));
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), {QStringLiteral("--no-tcp"), QStringLiteral("--flood"),
                   QString::number(FloodBytes)});
    std::printf("  %s\n", qPrintable(sim.Banner()));
    if (sim.ComPort() <= 0) {
        std::printf("  the simulator did not start: FAIL\n");
        return false;
    }

    TMainForm form;
    // The start-up work (settings file, dialogs) is not what is measured here.
    form.FirstActivation = false;
    form.show();
    QCoreApplication::processEvents();
    // From the start, as a user who switched it on before opening the link.
    form.SetHexView(hex);

    // Every arrival, after the form has taken it in (this connection comes
    // after the form's own). The count is what the port announced, so it sums
    // to the raw bytes received, before the time stamps are added.
    QElapsedTimer clock;
    clock.start();
    qint64 firstNs = -1;
    qint64 lastNs = -1;
    qint64 rawBytes = 0;
    qint64 arrivals = 0;
    QObject::connect(&form.VaComm(), &SerialPort::OnRxChar, [&](SerialPort *, int count) {
        lastNs = clock.nsecsElapsed();
        if (firstNs < 0)
            firstNs = lastNs;
        rawBytes += count;
        ++arrivals;
    });

    form.VaComm().SetPortNum(sim.ComPort());
    const qint64 openStartNs = clock.nsecsElapsed();
    // Identifies the device ("snum", "ver"); the first command sets the flood off.
    form.OpenConnectionClicked(nullptr);
    const qint64 openNs = clock.nsecsElapsed() - openStartNs;
    if (!form.Connection().IsConnected() || !form.Connection().PromptSeen()) {
        std::printf("  could not open COM%d and identify the device: FAIL\n", sim.ComPort());
        return false;
    }

    // The event loop as the running tool has it. A 1 ms timer ticks whenever
    // the thread gets round to its events; the longest gap between two ticks
    // is the longest the window was frozen.
    QEventLoop loop;
    qint64 lastTickNs = clock.nsecsElapsed();
    qint64 longestStallNs = 0;
    qint64 stallAtNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (now - lastTickNs > longestStallNs) {
            longestStallNs = now - lastTickNs;
            stallAtNs = lastTickNs;
        }
        lastTickNs = now;
    });
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const bool quiet = lastNs >= 0 && now - lastNs >= QuietNs;
        if (quiet || now - openStartNs >= qint64(TimeLimitMs) * 1'000'000)
            loop.quit();
    });
    ticker.start();
    watch.start();
    loop.exec();
    ticker.stop();
    watch.stop();

    const double seconds = double(lastNs - firstNs) / 1e9;
    const double rate = seconds > 0 ? double(FloodBytes) / 1e6 / seconds : 0;
    const double stallMs = double(longestStallNs) / 1e6;
    const qsizetype shown = form.Memo()->Buffer().Size();
    const bool complete = rawBytes >= FloodBytes;
    const double limit = hex ? HexRateLimitMBs : RateLimitMBs;
    const bool rateOk = complete && rate >= limit;
    const bool stallOk = stallMs <= StallLimitMs;

    std::printf("  opening and identifying: %.1f ms (the window waits for the \"snum\" and "
                "\"ver\" exchanges)\n",
                double(openNs) / 1e6);
    std::printf("  raw bytes received: %lld in %lld arrivals (%lld per arrival); terminal holds "
                "%lld bytes, %lld lines\n",
                static_cast<long long>(rawBytes), static_cast<long long>(arrivals),
                static_cast<long long>(arrivals ? rawBytes / arrivals : 0),
                static_cast<long long>(shown), static_cast<long long>(form.Memo()->LineCount()));
    std::printf("  first to last arrival: %.3f s\n", seconds);
    std::printf("  rate: %.1f MB/s (MB = 1,000,000 bytes)\n", rate);
    std::printf("  longest stall: %.1f ms (at %.3f s after opening)\n", stallMs,
                double(stallAtNs - openStartNs) / 1e9);
    std::printf("  all %lld bytes arrived: %s\n", static_cast<long long>(FloodBytes),
                complete ? "PASS" : "FAIL");
    std::printf("  rate >= %.0f MB/s%s:          %s\n", limit, hex ? " of raw bytes shown as hex" : "",
                rateOk ? "PASS" : "FAIL");
    std::printf("  no stall over %.0f ms:     %s\n", StallLimitMs, stallOk ? "PASS" : "FAIL");
    return complete && rateOk && stallOk;
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QApplication> app(argc, argv, "terminal_flood");
    if (!app.IsValid())
        return 2;
    ModalGuard guard("terminal_flood");

    const bool text = runFlood(false);
    const bool hex = runFlood(true);
    const bool pass = text && hex && !guard.Seen();
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
