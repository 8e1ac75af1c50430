// A device reached through a serial server (ser2net with RFC 2217 on
// 127.0.0.1) against the same device on its own pseudo-terminal, side by
// side in one run: the firmware update of a full 252 KB image at 115200
// bit/s must take at most 1.05 times as long through the server, and the
// command exchange through it must answer within 1 ms at the median.
//
// The server is set up for interactive service (chardelay off): by default
// ser2net holds every piece the device sends for at least 1 ms to gather
// more, a wait of the server's that no client can take back. The exchange
// is also measured through a server with that default, for comparison.

#include "bench/BenchSupport.h"
#include "core/DeviceConnection.h"
#include "core/firmware/UpdateSession.h"
#include "core/links/ComPorts.h"
#include "core/links/RemotePorts.h"
#include "sim/core/SimLauncher.h"
#include "sim/core/SimSerialServer.h"
#include "tests/HexFixtures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr quint32 ImageBytes = 258048;
constexpr int LineRate = 115200;
constexpr double UploadLimit = 1.05;
constexpr int Exchanges = 300;
constexpr int WarmUp = 10;
constexpr double MedianLimitMs = 1.0;
constexpr int GiveUpMs = 180000;
constexpr int ServerPort = 60;
constexpr int DefaultServerPort = 61;

// One whole update on COM`port`; its time in seconds, or -1 when it failed.
double Upload(int port, const QString &hexPath)
{
    SerialBenchLink link("serial_server", port, false);
    if (!link.conn.VaComm().Active())
        return -1;
    UpdateSession session(link.conn.Boot(), hexPath);
    QEventLoop loop;
    bool ok = false;
    QString why;
    QObject::connect(&session, &UpdateSession::Finished, [&](bool success, const QString &error) {
        ok = success;
        why = error;
        loop.quit();
    });
    QTimer::singleShot(GiveUpMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    if (!session.Start(true, 60000))
        return -1;
    loop.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!ok)
        std::printf("serial_server: the update on COM%d failed: %s\n", port, qPrintable(why));
    return ok ? seconds : -1;
}

// The median of `Exchanges` command exchanges on COM`port`, in ms; -1 when
// one went unanswered.
double ExchangeMedian(int port)
{
    SerialBenchLink link("serial_server", port, false);
    if (!link.conn.VaComm().Active())
        return -1;
    std::vector<double> times;
    for (int i = 0; i < WarmUp + Exchanges; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!link.conn.ExchangeCommand("ver\n")) {
            std::printf("serial_server: exchange %d on COM%d went unanswered%s%s\n", i + 1, port,
                        link.user.told.isEmpty() ? "" : ": ", qPrintable(link.user.told.join(QLatin1String("; "))));
            return -1;
        }
        if (i >= WarmUp)
            times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QCoreApplication> app(argc, argv, "serial_server");
    if (!app.IsValid())
        return 2;
    if (SimSerialServer::Program().isEmpty()) {
        std::printf("serial_server: FAIL (ser2net is not installed: scripts/ensure-deps.sh installs it)\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("full.hex"));
    {
        QFile hex(hexPath);
        if (!hex.open(QIODevice::WriteOnly)
            || hex.write(hexfix::HexText({{0, hexfix::Pattern(0, ImageBytes, 7)}})) < 0) {
            std::printf("serial_server: FAIL (cannot write %s)\n", qPrintable(hexPath));
            return 1;
        }
    }
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH),
                    {QStringLiteral("--no-tcp"), QStringLiteral("--page-size"), QStringLiteral("256"),
                     QStringLiteral("--line-rate"), QString::number(LineRate)});
    SimSerialServer server;
    server.SetCharDelay(false);
    if (sim.ComPort() <= 0 || !server.Start(ComPortTarget(sim.ComPort()))) {
        std::printf("serial_server: FAIL (no simulator or no ser2net: %s)\n", qPrintable(server.ErrorString()));
        return 1;
    }
    const QString added = AddRemoteComPort(ComPortFolder(), ServerPort, server.Target());
    if (!added.isEmpty()) {
        std::printf("serial_server: FAIL (%s)\n", qPrintable(added));
        return 1;
    }
    std::printf("serial_server: %s; COM%d -> %s (load average %s)\n", qPrintable(sim.Banner()), ServerPort,
                qPrintable(server.Target()), qPrintable(LoadAverage()));

    // The exchanges first: after an update the device restarts.
    const double directMedian = ExchangeMedian(sim.ComPort());
    const double remoteMedian = ExchangeMedian(ServerPort);
    const bool exchangeOk = remoteMedian >= 0 && remoteMedian <= MedianLimitMs;
    std::printf("serial_server: command exchange, median of %d: pseudo-terminal %.3f ms, through ser2net %.3f ms "
                "(limit %.1f ms) %s\n",
                Exchanges, directMedian, remoteMedian, MedianLimitMs, exchangeOk ? "PASS" : "FAIL");
    // The same through a second server on the port, left at ser2net's
    // default delay (it opens the port only for its client).
    SimSerialServer defaults;
    if (defaults.Start(ComPortTarget(sim.ComPort()))
        && AddRemoteComPort(ComPortFolder(), DefaultServerPort, defaults.Target()).isEmpty())
        std::printf("serial_server: command exchange through ser2net with its default chardelay: median %.3f ms "
                    "(for comparison, not judged)\n",
                    ExchangeMedian(DefaultServerPort));
    defaults.Stop();

    const double direct = Upload(sim.ComPort(), hexPath);
    const double remote = Upload(ServerPort, hexPath);
    const double ratio = direct > 0 && remote > 0 ? remote / direct : 0;
    const bool uploadOk = ratio > 0 && ratio <= UploadLimit;
    std::printf("serial_server: update of %u bytes at %d bit/s: pseudo-terminal %.2f s, through ser2net %.2f s, "
                "ratio %.3f (limit %.2f) %s\n",
                ImageBytes, LineRate, direct, remote, ratio, UploadLimit, uploadOk ? "PASS" : "FAIL");

    return uploadOk && exchangeOk ? 0 : 1;
}
