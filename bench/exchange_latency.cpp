// Times the command exchange of the main window against the device simulator:
// 500 "ver" exchanges over the serial link (a pseudo-terminal) and 500 over
// TCP on 127.0.0.1, each call timed on its own, and reports median, p90, p99,
// the slowest call and the exchanges that never saw the prompt.

#include "bench/BenchSupport.h"
#include "desktop/Commainform.h"
#include "sim/core/SimLauncher.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

constexpr int Exchanges = 500;
// Exchanges before the timed ones, so that first-use costs (thread start-up,
// allocations, the simulator's own warm-up) do not count.
constexpr int WarmUp = 10;
constexpr double MedianLimitMs = 0.5;
constexpr double SerialMaxLimitMs = 5.0;

struct Figures {
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
    int misses = 0;
    int count = 0;
    // Where the slow calls lost their time: waiting for the answer to arrive,
    // or after the prompt had been taken in, until the call returned.
    int slow = 0;
    int slowBeforePrompt = 0;
    int slowAfterPrompt = 0;
    double worstBeforePrompt = 0;
    double worstAfterPrompt = 0;
    long preempted = 0; // involuntary context switches of this thread in slow calls
};

constexpr double SlowMs = 1.0;

// The value below which `fraction` of the sorted samples lie (nearest rank).
double Percentile(const std::vector<double> &sorted, double fraction)
{
    const auto rank = std::size_t(std::max(1.0, fraction * double(sorted.size()) + 0.999999));
    return sorted[std::min(rank, sorted.size()) - 1];
}

long InvoluntarySwitches()
{
    rusage usage {};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
}

Figures TimeExchanges(TMainForm &form)
{
    for (int i = 0; i < WarmUp; ++i)
        form.ExchangeCommand("ver\n");

    // Connected after the form's own handlers, so these run once the form has
    // taken the data in and can tell whether the prompt was among it.
    QElapsedTimer clock;
    qint64 promptNs = -1;
    const auto notePrompt = [&] {
        if (promptNs < 0 && form.Connection().PromptsOwed() == 0)
            promptNs = clock.nsecsElapsed();
    };
    const QMetaObject::Connection serialNote =
        QObject::connect(&form.VaComm(), &SerialPort::OnRxChar, notePrompt);
    const QMetaObject::Connection tcpNote =
        QObject::connect(&form.ClientSocket(), &TClientSocket::OnRead, notePrompt);

    Figures figures;
    std::vector<double> ms;
    ms.reserve(Exchanges);
    for (int i = 0; i < Exchanges; ++i) {
        promptNs = -1;
        const long switchesBefore = InvoluntarySwitches();
        clock.start();
        form.ExchangeCommand("ver\n");
        const qint64 totalNs = clock.nsecsElapsed();
        const long switches = InvoluntarySwitches() - switchesBefore;
        const double total = double(totalNs) / 1e6;
        ms.push_back(total);
        if (!form.Connection().PromptSeen() || !form.Connection().Reply().contains("V:"))
            ++figures.misses;
        if (total > SlowMs && promptNs >= 0) {
            ++figures.slow;
            figures.preempted += switches;
            const double before = double(promptNs) / 1e6;
            const double after = double(totalNs - promptNs) / 1e6;
            (before >= after ? figures.slowBeforePrompt : figures.slowAfterPrompt) += 1;
            figures.worstBeforePrompt = std::max(figures.worstBeforePrompt, before);
            figures.worstAfterPrompt = std::max(figures.worstAfterPrompt, after);
        }
    }
    QObject::disconnect(serialNote);
    QObject::disconnect(tcpNote);

    std::sort(ms.begin(), ms.end());
    figures.count = int(ms.size());
    const std::size_t n = ms.size();
    figures.median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    figures.p90 = Percentile(ms, 0.90);
    figures.p99 = Percentile(ms, 0.99);
    figures.max = ms.back();
    return figures;
}

bool Report(const char *name, const Figures &f, bool limitMax)
{
    std::printf("%s: median %.3f ms, max %.3f ms\n", name, f.median, f.max);
    std::printf("%s: p90 %.3f ms, p99 %.3f ms, %d of %d exchanges without the prompt\n", name,
                f.p90, f.p99, f.misses, f.count);
    std::printf("%s: %d calls over %.0f ms: %d lost most time before the prompt arrived (worst "
                "%.3f ms), %d after it (worst %.3f ms); %ld involuntary switches meanwhile\n",
                name, f.slow, SlowMs, f.slowBeforePrompt, f.worstBeforePrompt, f.slowAfterPrompt,
                f.worstAfterPrompt, f.preempted);
    const bool medianOk = f.median <= MedianLimitMs;
    const bool maxOk = !limitMax || f.max <= SerialMaxLimitMs;
    const bool complete = f.count == Exchanges && f.misses == 0;
    const bool pass = medianOk && maxOk && complete;
    if (limitMax)
        std::printf("%s: %s (median <= %.1f ms: %s, no call above %.0f ms: %s, no misses: %s)\n",
                    name, pass ? "PASS" : "FAIL", MedianLimitMs, medianOk ? "yes" : "no",
                    SerialMaxLimitMs, maxOk ? "yes" : "no", complete ? "yes" : "no");
    else
        std::printf("%s: %s (median <= %.1f ms: %s, no misses: %s)\n", name,
                    pass ? "PASS" : "FAIL", MedianLimitMs, medianOk ? "yes" : "no",
                    complete ? "yes" : "no");
    return pass;
}


std::unique_ptr<TMainForm> NewForm()
{
    auto form = std::make_unique<TMainForm>();
    // The start-up work (settings file, dialogs) is not what is measured here.
    form->FirstActivation = false;
    form->show();
    QCoreApplication::processEvents();
    return form;
}

bool SerialRun()
{
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), {QStringLiteral("--no-tcp")});
    std::printf("serial: %s\n", qPrintable(sim.Banner()));
    if (sim.ComPort() <= 0) {
        std::printf("serial: FAIL (the simulator did not start)\n");
        return false;
    }
    auto form = NewForm();
    form->InterfaceType = InterfaceSerial;
    form->VaComm().SetPortNum(sim.ComPort());
    form->OpenConnectionClicked(nullptr);
    if (!form->Connection().IsConnected() || !form->Connection().PromptSeen()) {
        std::printf("serial: FAIL (could not open COM%d and identify the device)\n", sim.ComPort());
        return false;
    }
    const Figures figures = TimeExchanges(*form);
    return Report("serial", figures, true);
}

bool TcpRun()
{
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), {QStringLiteral("--tcp-port"), QStringLiteral("0")});
    std::printf("tcp: %s\n", qPrintable(sim.Banner()));
    if (sim.TcpPort() <= 0) {
        std::printf("tcp: FAIL (the simulator did not listen on TCP)\n");
        return false;
    }
    auto form = NewForm();
    form->InterfaceType = InterfaceNetwork;
    form->ClientSocket().SetPort(sim.TcpPort());
    form->ClientSocket().SetHost(QStringLiteral("127.0.0.1"));
    form->ClientSocket().Open();
    QDeadlineTimer deadline(5000);
    while (!form->ClientSocket().Active() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!form->ClientSocket().Active()) {
        std::printf("tcp: FAIL (no connection to 127.0.0.1:%d)\n", sim.TcpPort());
        return false;
    }
    const Figures figures = TimeExchanges(*form);
    // The form goes before the simulator; closing the link here instead
    // would announce the end of the connection with a message box.
    return Report("tcp", figures, false);
}

} // namespace

int main(int argc, char **argv)
{
    BenchApp<QApplication> app(argc, argv, "exchange_latency");
    if (!app.IsValid())
        return 2;
    ModalGuard guard("exchange_latency");

    // The slowest calls depend on how busy the machine is: a call waits for
    // the simulator and for the exchange's own wait thread to get a processor.
    std::printf("exchange_latency: %d timed \"ver\" exchanges per link after %d untimed "
                "(load average %s)\n",
                Exchanges, WarmUp, qPrintable(LoadAverage()));
    const bool serialOk = SerialRun();
    const bool tcpOk = TcpRun();
    const bool pass = serialOk && tcpOk && !guard.Seen();
    std::printf("RESULT: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
