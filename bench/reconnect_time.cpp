// How soon Reconnect Automatically has a device open and identified again
// after its cable is plugged back: a device on USB, reached through a stable
// link that the COM entry points at, and a port of its own whose COM entry
// goes and comes with it. The simulator runs in-process; the time runs from
// the plug to the device's serial number read. Limit: 2 s, the time a user
// waits for a device that was plugged back before trying by hand.

#include "BenchSupport.h"

#include "core/DeviceConnection.h"
#include "sim/core/SimServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr qint64 LimitMs = 2000;
constexpr int Rounds = 8;
constexpr int GiveUpMs = 20000;

class QuietUser : public DeviceUser {
public:
    void TellUser(const QString &text) override { std::fprintf(stderr, "reconnect_time: told: %s\n", qPrintable(text)); }
    void TellBusy(const QString &) override {}
    void ShowLinkError(const std::exception &error) override
    {
        std::fprintf(stderr, "reconnect_time: link error: %s\n", error.what());
    }
    bool AskHostAddress(QString &) override { return false; }
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
    void AppendTerminal(const QByteArray &) override {}
    void AddStatus(const QString &) override {}
    void ShowIdentification(const QString &) override {}
    void ShowConnectionState(const ConnectionState &) override {}
    void PortsChanged() override {}
};

// The times from each plug to the device identified, in ms; empty when a
// round failed.
std::vector<qint64> Measure(bool stable)
{
    QTemporaryDir devices;
    SimServer server;
    server.Device().SetSerialNumber("AAAAA");
    if (stable)
        server.SetStableLink(devices.filePath(QStringLiteral("serial/by-id/usb-Mirto_AAAAA-if00-port0")));
    if (!server.StartSerial())
        return {};
    ToolSettings settings;
    settings.InterfaceType = InterfaceSerial;
    QuietUser user;
    DeviceConnection conn(settings, user);
    conn.VaComm().SetPortNum(server.ComPort());
    conn.SetAutoReconnect(true);
    conn.OpenConnectionClicked();
    if (conn.IdentifiedSerial() != "AAAAA")
        return {};
    std::vector<qint64> times;
    for (int round = 0; round < Rounds; ++round) {
        server.Unplug();
        if (!RunUntil([&] { return conn.Reconnecting(); }, GiveUpMs, 1))
            return {};
        // Out for a while, as a cable is.
        RunUntil([] { return false; }, 300, 1);
        QElapsedTimer clock;
        clock.start();
        if (!server.Plug())
            return {};
        if (!RunUntil([&] { return conn.IsConnected() && conn.IdentifiedSerial() == "AAAAA"; }, GiveUpMs, 1))
            return {};
        times.push_back(clock.elapsed());
    }
    conn.Shutdown();
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchApp<QCoreApplication> app(argc, argv, "reconnect_time");
    if (!app.IsValid())
        return 2;
    bool pass = true;
    for (const bool stable : {true, false}) {
        std::vector<qint64> times = Measure(stable);
        const char *model = stable ? "USB device on a stable link" : "port with a COM entry of its own";
        if (times.empty()) {
            std::printf("reconnect_time: %s: FAIL (not reconnected within %d ms)\n", model, GiveUpMs);
            pass = false;
            continue;
        }
        std::sort(times.begin(), times.end());
        const qint64 worst = times.back();
        const bool ok = worst <= LimitMs;
        pass = pass && ok;
        std::printf("reconnect_time: %s: plugged back to identified, median %lld ms, worst %lld ms of %d "
                    "(limit %lld ms) %s\n",
                    model, static_cast<long long>(times[times.size() / 2]), static_cast<long long>(worst),
                    int(times.size()), static_cast<long long>(LimitMs), ok ? "PASS" : "FAIL");
    }
    std::printf("reconnect_time: load average %s\n", qPrintable(LoadAverage()));
    return pass ? 0 : 1;
}
