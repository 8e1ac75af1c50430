// mirto-cli --serial as a whole process over 16 numbered ports: 15 simulated
// devices answer, the 16th port is held by another program. Against
// 'identify' on one port named by number. Limit: the search by serial
// number takes at most 1.2 times the one identification (the ports are
// identified all at once).

#include "BenchSupport.h"
#include "CliBench.h"

#include "core/links/ComPorts.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    BenchEnvironment environment;
    constexpr int Ports = 16;
    constexpr int Runs = 15;
    constexpr double Limit = 1.2;
    const auto sims = StartSims(Ports, [](int i) {
        return QStringList {QStringLiteral("--no-tcp"), QStringLiteral("--serial"), QStringLiteral("%1").arg(20001 + i)};
    });
    if (sims.empty()) {
        std::printf("serial_probe: FAIL (a simulator did not start)\n");
        return 1;
    }
    // The 16th port is open in another program: it cannot be opened, and
    // the search must not wait for it.
    QSerialPort held(ComPortTarget(sims.back()->ComPort()));
    if (!held.open(QIODevice::ReadWrite)) {
        std::printf("serial_probe: FAIL (cannot hold the 16th port: %s)\n", qPrintable(held.errorString()));
        return 1;
    }
    const QString wanted = QStringLiteral("%1").arg(20001 + Ports / 2 - 1);
    const QString port = QStringLiteral("COM%1").arg(sims[Ports / 2 - 1]->ComPort());
    std::vector<double> byPort;
    std::vector<double> bySerial;
    for (int i = 0; i < Runs + 2; ++i) {
        const CliRun one = RunCli({QStringLiteral("--port"), port, QStringLiteral("identify")});
        const CliRun search = RunCli({QStringLiteral("--serial"), wanted, QStringLiteral("identify")});
        if (one.exitCode != 0 || search.exitCode != 0) {
            std::printf("serial_probe: FAIL (exit %d, %d): %s%s\n", one.exitCode, search.exitCode,
                        one.output.constData(), search.output.constData());
            return 1;
        }
        if (!search.output.contains(wanted.toLatin1())) {
            std::printf("serial_probe: FAIL (found another device): %s\n", search.output.constData());
            return 1;
        }
        if (i >= 2) { // the first runs fill the file cache
            byPort.push_back(one.ms);
            bySerial.push_back(search.ms);
        }
    }
    const double oneMs = Median(byPort);
    const double searchMs = Median(bySerial);
    std::printf("serial_probe: %d ports, %d answering, %d runs each (load %s)\n", Ports, Ports - 1, Runs,
                qPrintable(LoadAverage()));
    std::printf("serial_probe: 'identify' on %s %.1f ms, '--serial %s identify' %.1f ms (medians): ratio %.2f; "
                "limit %.1f\n",
                qPrintable(port), oneMs, qPrintable(wanted), searchMs, searchMs / oneMs, Limit);
    // What opening a serial port costs on this machine, for reading the
    // figure above: every open writes a lock file and syncs it to disk, every
    // close removes it, and the search opens all the ports that the one
    // identification does not.
    QElapsedTimer clock;
    clock.start();
    int opened = 0;
    for (int i = 0; i + 1 < Ports; ++i) {
        QSerialPort port(ComPortTarget(sims[i]->ComPort()));
        if (port.open(QIODevice::ReadWrite)) {
            ++opened;
            port.close();
        }
    }
    const double openMs = double(clock.nsecsElapsed()) / 1e6;
    std::printf("serial_probe: opening and closing the %d free ports one after another: %.1f ms (%.2f ms each)\n",
                opened, openMs, opened > 0 ? openMs / opened : 0.0);
    const bool pass = searchMs <= Limit * oneMs;
    std::printf("serial_probe: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
