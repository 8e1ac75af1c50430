// Times a whole programming run against the device simulator over the serial
// link (a pseudo-terminal): mode 3, type TE, fixed addresses and 16 channels,
// that is 44 settings and 3 read-backs, each waiting for its own prompt.
// The simulator answers at once, so the figures are the tool's own cost per
// line plus the link's round trips.

#include "bench/BenchSupport.h"
#include "core/config/Programming.h"
#include "core/DeviceConnection.h"
#include "sim/core/SimLauncher.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Runs = 20;
constexpr double MedianLimitMs = 25.0;

class BenchSink : public ProgrammingSink {
public:
    QStringList messages;
    void ShowMessage(const QString &text, const QString &) override { messages << text; }
    void AddStatus(const QString &) override {}
    void SetBusyCursor() override {}
    void RestoreCursor() override {}
};

DeviceConfigRecord FullRecord()
{
    DeviceConfigRecord r;
    ResetConfigRecord(r);
    r.Mode.set("3");
    r.Type.set("TE");
    r.Network.set("F");
    r.IspUdEnable.set("T");
    r.IspUdUrl.set("http://192.0.2.9/firmware/update");
    r.IspName.set("Dialup");
    r.IspNumber.set("0123456789");
    r.IspUserName.set("mirto-user");
    r.IspPassword.set("secret");
    r.IPAddress.set("198.51.100.3");
    r.Gateway.set("198.51.100.1");
    r.DNS1.set("198.51.100.53");
    r.DNS2.set("198.51.100.54");
    for (int i = 0; i < ConfigChannelSlots; ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        r.Channels[size_t(i)].Name.set("Station " + n);
        r.Channels[size_t(i)].Url.set("http://192.0.2.1:8000/streams/station" + n + ".mp3");
    }
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QCoreApplication> app(argc, argv, "programming");
    if (!app.IsValid())
        return 2;

    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), {QStringLiteral("--no-tcp")});
    std::printf("programming: %s (load average %s)\n", qPrintable(sim.Banner()), qPrintable(LoadAverage()));
    if (sim.ComPort() <= 0) {
        std::printf("RESULT: FAIL (the simulator did not start)\n");
        return 1;
    }

    SerialBenchLink link("programming", sim.ComPort(), true);
    DeviceConnection &conn = link.conn;
    if (!conn.IsConnected() || !conn.PromptSeen()) {
        std::printf("RESULT: FAIL (could not open COM%d and identify the device)\n", sim.ComPort());
        return 1;
    }

    const ProgrammingPlan plan = ProgrammingSteps(FullRecord(), ConfigChannelSlots);
    const auto reads = std::count_if(plan.Steps.begin(), plan.Steps.end(), [](const ProgrammingStep &s) {
        return s.kind == ProgrammingStep::Kind::ReadBack;
    });
    std::printf("programming: %d runs of %lld settings and %lld read-backs after one untimed run\n", Runs,
                qlonglong(plan.Steps.size() - reads), qlonglong(reads));

    bool complete = true;
    const auto runOnce = [&] {
        BenchSink sink;
        const ProgrammingResult result = RunProgramming(conn, plan, sink);
        if (result != ProgrammingResult::Programmed || sink.messages != QStringList {ProgrammingOkText()}) {
            complete = false;
            std::printf("programming: a run did not end in \"Programming OK\" (%s)\n",
                        qPrintable(sink.messages.join(QStringLiteral(" / "))));
        }
    };
    runOnce();

    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        runOnce();
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const double median = (ms[Runs / 2 - 1] + ms[Runs / 2]) / 2;
    const double max = ms.back();
    std::printf("programming: median %.2f ms, max %.2f ms, fastest %.2f ms (%.3f ms per line at the median)\n",
                median, max, ms.front(), median / double(plan.Steps.size()));

    const bool medianOk = median <= MedianLimitMs;
    const bool pass = medianOk && complete && link.user.told.isEmpty();
    std::printf("RESULT: %s (median <= %.0f ms: %s, every run programmed: %s)\n", pass ? "PASS" : "FAIL",
                MedianLimitMs, medianOk ? "yes" : "no", complete && link.user.told.isEmpty() ? "yes" : "no");
    return pass ? 0 : 1;
}
