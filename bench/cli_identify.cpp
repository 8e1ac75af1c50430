// mirto-cli identify as a whole process, start to exit, against the
// simulator on a pseudo-terminal. Limit: median at most 50 ms.

#include "BenchSupport.h"
#include "CliBench.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    BenchEnvironment environment;
    constexpr int Runs = 40;
    constexpr double LimitMs = 50;
    const auto sims = StartSims(1, {QStringLiteral("--no-tcp")});
    if (sims.empty())
        return 1;
    const QString port = QStringLiteral("COM%1").arg(sims.front()->ComPort());
    std::vector<double> ms;
    for (int i = 0; i < Runs + 3; ++i) {
        const CliRun run = RunCli({QStringLiteral("--port"), port, QStringLiteral("identify")});
        if (run.exitCode != 0) {
            std::printf("cli_identify: FAIL (exit %d): %s\n", run.exitCode, run.output.constData());
            return 1;
        }
        if (i >= 3) // the first runs fill the file cache
            ms.push_back(run.ms);
    }
    const double median = Median(ms);
    std::printf("cli_identify: %d runs of 'mirto-cli --port %s identify' (load %s)\n", Runs, qPrintable(port),
                qPrintable(LoadAverage()));
    std::printf("cli_identify: min %.1f ms, median %.1f ms, max %.1f ms; limit: median <= %.0f ms\n",
                *std::min_element(ms.begin(), ms.end()), median, *std::max_element(ms.begin(), ms.end()), LimitMs);
    const bool pass = median <= LimitMs;
    std::printf("cli_identify: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
