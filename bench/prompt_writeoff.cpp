// How long a command waits for its prompt when the device has gone quiet
// with the lines of All still owed a prompt each (All pressed once and five
// times, over the serial link to a silent simulator). Each earlier prompt is
// written off within its own time, so the wait ends one time-out after the
// command went out. Limit: one and a half time-outs, so that any second
// time-out shows.

#include "bench/BenchSupport.h"
#include "desktop/Advanced.h"
#include "sim/core/SimLauncher.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>

#include <cstdio>

int main(int argc, char *argv[])
{
    BenchApp<QApplication> app(argc, argv, "prompt_writeoff");
    if (!app.IsValid())
        return 2;
    ModalGuard guard("prompt_writeoff");
    SimLauncher sim(QStringLiteral(MIRTO_SIM_PATH), {QStringLiteral("--no-tcp"), QStringLiteral("--silent")});
    if (sim.ComPort() <= 0) {
        std::printf("prompt_writeoff: FAIL (simulator did not start: %s)\n", qPrintable(sim.Banner()));
        return 1;
    }
    SerialBenchLink link("prompt_writeoff", sim.ComPort(), false);
    DeviceConnection &connection = link.conn;
    if (!connection.IsConnected()) {
        std::printf("prompt_writeoff: FAIL (COM%d did not open)\n", sim.ComPort());
        return 1;
    }
    TAdvancedForm form(connection);
    auto *all = form.findChild<QPushButton *>(QStringLiteral("AllButton"));
    if (!all) {
        std::printf("prompt_writeoff: FAIL (no All button)\n");
        return 1;
    }
    const qint64 limitMs = DeviceConnection::PromptTimeoutMs * 3 / 2;
    std::printf("prompt_writeoff: prompt time-out %d ms (load %s)\n", DeviceConnection::PromptTimeoutMs,
                qPrintable(LoadAverage()));
    bool pass = true;
    for (int presses : {1, 5}) {
        for (int i = 0; i < presses; ++i)
            all->click();
        const int owed = connection.PromptsOwed();
        QElapsedTimer clock;
        clock.start();
        const bool answered = connection.ExchangeCommand("ver\n");
        const qint64 waited = clock.elapsed();
        const bool ok = !answered && waited < limitMs && connection.PromptsOwed() == 0;
        std::printf("prompt_writeoff: All x%d, %d prompts owed before 'ver': waited %lld ms; limit %lld ms: %s\n",
                    presses, owed, static_cast<long long>(waited), static_cast<long long>(limitMs),
                    ok ? "PASS" : "FAIL");
        pass = pass && ok;
    }
    connection.CloseConnectionClicked();
    pass = pass && link.user.told.isEmpty() && !guard.Seen();
    std::printf("prompt_writeoff: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
