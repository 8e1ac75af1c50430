// Eight simulated devices updated at once by one mirto-cli, each boot loader
// paced at 115200 bit/s, against one device alone. Limit: the
// eight-device run takes at most 1.1 times the one-device time.

#include "BenchSupport.h"
#include "CliBench.h"
#include "tests/HexFixtures.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    BenchEnvironment environment;
    constexpr int Devices = 8;
    constexpr double Limit = 1.1;
    constexpr quint32 ImageBytes = 48 * 1024;
    QTemporaryDir dir;
    const QString hex = dir.filePath(QStringLiteral("image.hex"));
    {
        QFile file(hex);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(hexfix::HexText({hexfix::Filled(0, ImageBytes, 5)}));
    }
    const QStringList simArguments {QStringLiteral("--no-tcp"), QStringLiteral("--line-rate"), QStringLiteral("115200")};

    const auto timeRun = [&](int devices, double &ms) {
        const auto sims = StartSims(devices, simArguments);
        if (sims.empty())
            return false;
        QStringList arguments;
        for (const auto &sim : sims)
            arguments << QStringLiteral("--port") << QStringLiteral("COM%1").arg(sim->ComPort());
        arguments << QStringLiteral("--reset") << QStringLiteral("--json") << QStringLiteral("update") << hex;
        const CliRun run = RunCli(arguments);
        if (run.exitCode != 0) {
            std::printf("parallel_update: FAIL (%d devices, exit %d): %s\n", devices, run.exitCode,
                        run.output.constData());
            return false;
        }
        ms = run.ms;
        return true;
    };
    double one = 0;
    double all = 0;
    if (!timeRun(1, one) || !timeRun(Devices, all))
        return 1;
    std::printf("parallel_update: %u-byte image, page size 256, boot loaders paced at 115200 bit/s (load %s)\n",
                ImageBytes, qPrintable(LoadAverage()));
    std::printf("parallel_update: one device %.0f ms, %d devices at once %.0f ms: ratio %.3f; limit %.2f\n", one,
                Devices, all, all / one, Limit);
    const bool pass = all <= Limit * one;
    std::printf("parallel_update: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
