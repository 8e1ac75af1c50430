#pragma once

#include "sim/core/SimLauncher.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

// The command-line program as a whole process: start to exit, with what it
// printed kept for a failed run.
struct CliRun {
    double ms = 0;
    int exitCode = -1;
    QByteArray output;
};

inline CliRun RunCli(const QStringList &arguments, int timeoutMs = 600000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(MIRTO_CLI_PATH), arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    CliRun run;
    run.ms = double(clock.nsecsElapsed()) / 1e6;
    if (!finished)
        process.kill();
    run.exitCode = finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = process.readAll();
    return run;
}

// `count` simulators, the i-th (from 0) with `argumentsOf(i)`; empty when
// one did not start (what it said is printed).
inline std::vector<std::unique_ptr<SimLauncher>> StartSims(int count,
                                                          const std::function<QStringList(int)> &argumentsOf)
{
    std::vector<std::unique_ptr<SimLauncher>> sims;
    for (int i = 0; i < count; ++i) {
        sims.push_back(std::make_unique<SimLauncher>(QStringLiteral(MIRTO_SIM_PATH), argumentsOf(i)));
        if (sims.back()->ComPort() <= 0 && sims.back()->TcpPort() <= 0) {
            std::printf("simulator %d did not start: %s\n", i + 1, qPrintable(sims.back()->Banner()));
            return {};
        }
    }
    return sims;
}

// `count` simulators with the same `arguments`.
inline std::vector<std::unique_ptr<SimLauncher>> StartSims(int count, const QStringList &arguments)
{
    return StartSims(count, [&arguments](int) { return arguments; });
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}
