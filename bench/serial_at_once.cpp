// What the serial port does at once, without waiting for its time-outs: a
// read with nothing waiting returns empty, a write larger than the queue is
// refused. Each is timed 200 times against a silent simulator on a
// pseudo-terminal. Limit: the slowest call under a tenth of the port's
// time-out (1000 ms for reads and for writes).

#include "bench/BenchSupport.h"
#include "core/links/SerialPort.h"
#include "sim/core/SimLauncher.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Calls = 200;

struct Timing {
    double medianMs = 0;
    double maxMs = 0;
};

// Returns false when a call did not do what it should.
bool TimeCalls(const std::function<bool()> &call, Timing &timing)
{
    std::vector<double> ms;
    for (int i = 0; i < Calls; ++i) {
        QElapsedTimer clock;
        clock.start();
        const bool ok = call();
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!ok)
            return false;
    }
    std::sort(ms.begin(), ms.end());
    timing.medianMs = ms[ms.size() / 2];
    timing.maxMs = ms.back();
    return true;
}

bool Report(const char *what, const Timing &timing, int timeoutMs)
{
    const double limitMs = timeoutMs / 10.0;
    const bool pass = timing.maxMs < limitMs;
    std::printf("serial_at_once: %s: median %.3f ms, slowest %.3f ms; time-out %d ms, limit %.0f ms: %s\n", what,
                timing.medianMs, timing.maxMs, timeoutMs, limitMs, pass ? "PASS" : "FAIL");
    return pass;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchApp<QCoreApplication> app(argc, argv, "serial_at_once");
    if (!app.IsValid())
        return 2;
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), {QStringLiteral("--no-tcp"), QStringLiteral("--silent")});
    if (sim.ComPort() <= 0) {
        std::printf("serial_at_once: FAIL (simulator did not start: %s)\n", qPrintable(sim.Banner()));
        return 1;
    }
    SerialPort port;
    port.SetPortNum(sim.ComPort());
    port.Open();
    if (!port.Active()) {
        std::printf("serial_at_once: FAIL (COM%d did not open)\n", sim.ComPort());
        return 1;
    }
    std::printf("serial_at_once: COM%d, %d calls each (load %s)\n", sim.ComPort(), Calls, qPrintable(LoadAverage()));

    char buffer[10];
    Timing read;
    if (!TimeCalls([&] { return port.ReadBuf(buffer, sizeof buffer) == 0; }, read)) {
        std::printf("serial_at_once: FAIL (a read found bytes from a silent device)\n");
        return 1;
    }
    const QByteArray tooMuch(port.Buffers().WriteSize + 1, 'b');
    Timing write;
    const auto refused = [&] {
        try {
            port.WriteBuf(tooMuch.constData(), int(tooMuch.size()));
            return false;
        } catch (const SerialPortError &) {
            return true;
        }
    };
    if (!TimeCalls(refused, write)) {
        std::printf("serial_at_once: FAIL (a write larger than the queue was taken)\n");
        return 1;
    }
    bool pass = Report("read with nothing waiting", read, port.Buffers().ReadTimeout);
    pass = Report("write larger than the queue", write, port.Buffers().WriteTimeout) && pass;
    port.Close();
    std::printf("serial_at_once: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
