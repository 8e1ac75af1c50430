// 64 simulated devices on TCP programmed at once by one mirto-cli, against
// one device alone. Limit: at most 2 times the one-device time on this
// two-core machine.

#include "BenchSupport.h"
#include "CliBench.h"

#include <QCoreApplication>

namespace {

// Mode 3 with all 16 channels: the longest run there is.
QByteArray FullConfiguration()
{
    QByteArray text = "12345\r\n16\r\ntype=TE\r\nmode=3\r\nwebmethod=F\r\nispname=Dialup\r\nispnumber=0123456\r\n"
                      "ispusername=user\r\nisppassword=secret\r\nispudurl=http://192.0.2.9/update\r\nispudenable=T\r\n"
                      "IPAddress=198.51.100.3\r\nGateway=198.51.100.1\r\nDNS1=198.51.100.53\r\nDNS2=198.51.100.54\r\n"
                      "Network=F\r\n";
    for (int i = 1; i <= 16; ++i)
        text += "ch" + QByteArray::number(i) + "name=Station" + QByteArray::number(i) + "\r\nch" + QByteArray::number(i)
                + "url=http://192.0.2.1:8000/station" + QByteArray::number(i) + ".mp3\r\n";
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    BenchEnvironment environment;
    constexpr int Devices = 64;
    constexpr double Limit = 2.0;
    constexpr int Rounds = 3;
    QTemporaryDir dir;
    const QString cfg = dir.filePath(QStringLiteral("full.cfg"));
    {
        QFile file(cfg);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(FullConfiguration());
    }
    // The device takes a little time for each line, as a real one does.
    const QStringList simArguments {QStringLiteral("--tcp-port"), QStringLiteral("0"), QStringLiteral("--delay"),
                                    QStringLiteral("5")};
    const auto sims = StartSims(Devices, simArguments);
    if (sims.empty())
        return 1;
    const auto timeRun = [&](int devices, std::vector<double> &ms) {
        QStringList arguments;
        for (int i = 0; i < devices; ++i)
            arguments << QStringLiteral("--host") << QStringLiteral("127.0.0.1:%1").arg(sims[i]->TcpPort());
        arguments << QStringLiteral("--json") << QStringLiteral("program") << cfg;
        const CliRun run = RunCli(arguments);
        if (run.exitCode != 0) {
            std::printf("parallel_program: FAIL (%d devices, exit %d): %s\n", devices, run.exitCode,
                        run.output.left(2000).constData());
            return false;
        }
        ms.push_back(run.ms);
        return true;
    };
    std::vector<double> one;
    std::vector<double> all;
    for (int round = 0; round < Rounds; ++round) {
        if (!timeRun(1, one) || !timeRun(Devices, all))
            return 1;
    }
    const double oneMs = Median(one);
    const double allMs = Median(all);
    std::printf("parallel_program: full mode 3 configuration (16 channels), simulators answering after 5 ms, "
                "%d rounds (load %s)\n",
                Rounds, qPrintable(LoadAverage()));
    std::printf("parallel_program: one device %.0f ms, %d devices at once %.0f ms (medians): ratio %.2f; limit %.1f\n",
                oneMs, Devices, allMs, allMs / oneMs, Limit);
    const bool pass = allMs <= Limit * oneMs;
    std::printf("parallel_program: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
