#include "sim/core/SimDemoImage.h"
#include "sim/core/SimServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const QString &text)
{
    std::fprintf(stderr, "mirto-sim: %s\n", text.toLocal8Bit().constData());
    std::exit(1);
}

qint64 NumberOption(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high)
{
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (!ok || value < low || value > high)
        Fail(QStringLiteral("--%1 wants a number from %2 to %3").arg(name).arg(low).arg(high));
    return value;
}

QList<int> PageListOption(const QCommandLineParser &parser, const QString &name)
{
    QList<int> pages;
    const QStringList items = parser.value(name).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        bool ok = false;
        const int page = item.trimmed().toInt(&ok);
        if (!ok || page < 0 || page > 0xffff)
            Fail(QStringLiteral("--%1 wants page numbers from 0 to 65535, separated by commas").arg(name));
        pages.append(page);
    }
    return pages;
}

QString OutcomeText(const SimServer &server)
{
    const SimBootLoader &boot = server.BootLoader();
    const QString pages = QStringLiteral("%1 pages stored, %2 repeats asked")
                              .arg(boot.PagesStored())
                              .arg(boot.RepeatsAsked());
    switch (boot.LastOutcome()) {
    case SimBootLoader::Outcome::Completed:
        if (server.BootImagePath().isEmpty())
            return QStringLiteral("upload complete, %1").arg(pages);
        if (!server.BootImageError().isEmpty())
            return QStringLiteral("upload complete, %1; cannot write %2: %3")
                .arg(pages, server.BootImagePath(), server.BootImageError());
        return QStringLiteral("upload complete, %1, image written to %2").arg(pages, server.BootImagePath());
    case SimBootLoader::Outcome::Aborted:
        return QStringLiteral("upload aborted by the tool, %1; no image written").arg(pages);
    case SimBootLoader::Outcome::Left:
        return QStringLiteral("left at the tool's request, %1").arg(pages);
    case SimBootLoader::Outcome::TimedOut:
        return QStringLiteral("no '<' within %1 ms, firmware started").arg(SimBootLoader::TokenWaitMs);
    case SimBootLoader::Outcome::None:
        break;
    }
    return QStringLiteral("ended");
}

void Report(const QString &text)
{
    std::fprintf(stderr, "mirto-sim: %s\n", text.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread exists, so that every thread leaves the
    // signals to the descriptor below and shutdown runs on the event loop,
    // where the COM link can be removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);

    // The boot loader's line is paced to the microsecond; the kernel's
    // default timer slack of 50 us would stretch every page.
    ::prctl(PR_SET_TIMERSLACK, 1UL);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mirto-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulated Mirto device on a pseudo-terminal (registered as COMn) and on TCP 127.0.0.1.\n"
            "\n"
            "Boot loader, on the pseudo-terminal only: \"reset\" twice within %1 ms, or a power cycle\n"
            "(kill -USR1 <pid>), starts it. It sends '>' and waits %2 ms for '<', then announces the chip\n"
            "and the page size, erases ('^'), takes the pages it asks for with '!', asks again with '@'\n"
            "for a bad one, takes FF FF as the end, asks for the lock bits ('%') and ends with ']',\n"
            "back in command mode.\n"
            "Fixed pauses of the simulator: a single reset is answered after %1 ms (the device\n"
            "restarting); the erase takes %3 ms, between '^' and '*'. Nothing else waits beyond\n"
            "the line rate.\n"
            "\n"
            "kill -USR2 <pid> pulls the serial cable, and plugs it back when it is out.")
            .arg(SimServer::ResetWindowMs)
            .arg(SimBootLoader::TokenWaitMs)
            .arg(SimBootLoader::EraseMs));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("com"), QStringLiteral("COM number wanted (default: lowest free)."), QStringLiteral("N")},
        {QStringLiteral("tcp-port"), QStringLiteral("TCP port on 127.0.0.1, 0 for any free (default 9000)."),
         QStringLiteral("P"), QString::number(SimServer::DefaultTcpPort)},
        {QStringLiteral("no-tcp"), QStringLiteral("Serve the serial side only.")},
        {QStringLiteral("delay"), QStringLiteral("Answer every command after MS milliseconds."), QStringLiteral("MS")},
        {QStringLiteral("withhold"),
         QStringLiteral("Answer CMD without the prompt (a command word, or a whole line)."), QStringLiteral("CMD")},
        {QStringLiteral("pieces"), QStringLiteral("Write answers (and the flood) in pieces of N bytes."),
         QStringLiteral("N")},
        {QStringLiteral("flood"),
         QStringLiteral("Send BYTES of event text over the serial side after answering the first command."),
         QStringLiteral("BYTES")},
        {QStringLiteral("serial"), QStringLiteral("Serial number (5 characters; fffff for an unset one)."),
         QStringLiteral("XXXXX")},
        {QStringLiteral("software"), QStringLiteral("Software version (5 characters)."), QStringLiteral("X.Y.Z")},
        {QStringLiteral("software-after-update"),
         QStringLiteral("Software version reported once an upload has completed (default: unchanged)."),
         QStringLiteral("X.Y.Z")},
        {QStringLiteral("greet-after-update"),
         QStringLiteral("The firmware greets (a line and its prompt) %1 ms after the boot loader ends, as it "
                        "starts; commands sent before are lost.")
             .arg(SimServer::DefaultGreetingDelayMs)},
        {QStringLiteral("serial-after-update"),
         QStringLiteral("Serial number reported once an upload has completed, as if another unit answered "
                        "(default: unchanged)."),
         QStringLiteral("XXXXX")},
        {QStringLiteral("no-serial-word"), QStringLiteral("Answer snum without the word Serialnumber.")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
        {QStringLiteral("chip"), QStringLiteral("Boot loader: chip with 128 or 256 KB of flash (default 256)."),
         QStringLiteral("KB"), QStringLiteral("256")},
        {QStringLiteral("page-size"),
         QStringLiteral("Boot loader: page size, 32, 64, 128, 256 or 512 bytes (default 256)."),
         QStringLiteral("BYTES"), QStringLiteral("256")},
        {QStringLiteral("refuse"),
         QStringLiteral("Boot loader: answer '@' to good frames of these pages (e.g. 3,7)."),
         QStringLiteral("PAGES")},
        {QStringLiteral("refuse-times"),
         QStringLiteral("Boot loader: how often each refused page is refused per upload (default 1)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("no-start-token"), QStringLiteral("Boot loader: never send the start token '>'.")},
        {QStringLiteral("mute-after-abort"),
         QStringLiteral("Boot loader: after the tool's abort say nothing more, never finish.")},
        {QStringLiteral("line-rate"),
         QStringLiteral("Boot loader: bit rate of its line both ways, 0 for unpaced (default: the speed the tool "
                        "set on the port, %1 until it sets one).")
             .arg(SimServer::DefaultLineRate),
         QStringLiteral("BPS")},
        {QStringLiteral("image"),
         QStringLiteral("Boot loader: write each completed upload's image to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("unplug-at"),
         QStringLiteral("Fault: on CMD (a command word, or a whole line) the pseudo-terminal closes as when the "
                        "cable is pulled; on TCP the device closes the connection."),
         QStringLiteral("CMD")},
        {QStringLiteral("reset-at"), QStringLiteral("Fault: on CMD over TCP the connection is reset."),
         QStringLiteral("CMD")},
        {QStringLiteral("flood-at"),
         QStringLiteral("Fault: CMD is answered by the flood (--flood BYTES, default 1000000) without a prompt, "
                        "on the link it came on."),
         QStringLiteral("CMD")},
        {QStringLiteral("zeros"), QStringLiteral("Fault: CMD is answered by zero bytes without end."),
         QStringLiteral("CMD")},
        {QStringLiteral("endless"),
         QStringLiteral("Fault: CMD is answered by a line of event text every %1 ms, without end and without a "
                        "prompt.")
             .arg(SimServer::EndlessLineMs),
         QStringLiteral("CMD")},
        {QStringLiteral("stable-link"),
         QStringLiteral("A USB device: its pseudo-terminal is reached through the link PATH (as a stable "
                        "/dev/serial/by-id path), which COMn points at. Pulling the cable removes PATH and "
                        "leaves COMn in place; plugging it back makes PATH again, pointing at a new "
                        "pseudo-terminal. Without it COMn points at the pseudo-terminal and goes and comes "
                        "with it."),
         QStringLiteral("PATH")},
        {QStringLiteral("replug-after"),
         QStringLiteral("After each unplug the cable is plugged back MS milliseconds later; 0: at once, the new "
                        "port in place before the old one hangs up."),
         QStringLiteral("MS")},
        {QStringLiteral("replug-serial"),
         QStringLiteral("The unit plugged back has this serial number, as if another unit came (default: the "
                        "same)."),
         QStringLiteral("XXXXX")},
        {QStringLiteral("die-at-page"),
         QStringLiteral("Boot loader: the device is unplugged as page N's frame begins to arrive."),
         QStringLiteral("N")},
        {QStringLiteral("write-demo-image"),
         QStringLiteral("Write a firmware image to try an update with (Intel HEX, %1 bytes of flash) to FILE and "
                        "exit.")
             .arg(DemoImageBytes),
         QStringLiteral("FILE")},
        {QStringLiteral("die-mid-frame"),
         QStringLiteral("Boot loader: the device is unplugged in the middle of the frame instead, after its page "
                        "number (page 0 unless --die-at-page says otherwise).")},
    });
    parser.process(app);

    if (parser.isSet(QStringLiteral("write-demo-image"))) {
        const QString path = parser.value(QStringLiteral("write-demo-image"));
        QString error;
        if (!WriteDemoImage(path, error))
            Fail(QStringLiteral("cannot write %1: %2").arg(path, error));
        std::printf("mirto-sim: demo firmware image written to %s\n", path.toLocal8Bit().constData());
        return 0;
    }

    SimServer server;
    SimDevice &device = server.Device();
    if (parser.isSet(QStringLiteral("delay")))
        device.SetAnswerDelay(int(NumberOption(parser, QStringLiteral("delay"), 0, 600000)));
    if (parser.isSet(QStringLiteral("withhold")))
        device.SetWithheldCommand(parser.value(QStringLiteral("withhold")).toLatin1());
    if (parser.isSet(QStringLiteral("pieces")))
        device.SetPieceSize(int(NumberOption(parser, QStringLiteral("pieces"), 1, 1 << 20)));
    if (parser.isSet(QStringLiteral("flood")))
        device.SetFloodSize(NumberOption(parser, QStringLiteral("flood"), 0, Q_INT64_C(1) << 40));
    if (parser.isSet(QStringLiteral("serial")))
        device.SetSerialNumber(parser.value(QStringLiteral("serial")).toLatin1());
    if (parser.isSet(QStringLiteral("software")))
        device.SetSoftwareVersion(parser.value(QStringLiteral("software")).toLatin1());
    device.SetSnumAnswerWord(!parser.isSet(QStringLiteral("no-serial-word")));
    device.SetSilent(parser.isSet(QStringLiteral("silent")));

    SimBootLoader &boot = server.BootLoader();
    const qint64 chipKb = NumberOption(parser, QStringLiteral("chip"), 128, 256);
    if (chipKb != 128 && chipKb != 256)
        Fail(QStringLiteral("--chip wants 128 or 256"));
    boot.SetChip(chipKb == 128 ? SimBootLoader::Chip::Mega128 : SimBootLoader::Chip::Mega256);
    if (!boot.SetPageSize(int(NumberOption(parser, QStringLiteral("page-size"), 32, 512))))
        Fail(QStringLiteral("--page-size wants 32, 64, 128, 256 or 512"));
    boot.SetRefusedPages(PageListOption(parser, QStringLiteral("refuse")),
                         int(NumberOption(parser, QStringLiteral("refuse-times"), 0, 1000000)));
    boot.SetSendsStartToken(!parser.isSet(QStringLiteral("no-start-token")));
    boot.SetMuteAfterAbort(parser.isSet(QStringLiteral("mute-after-abort")));
    if (parser.isSet(QStringLiteral("line-rate")))
        server.SetLineRate(int(NumberOption(parser, QStringLiteral("line-rate"), 0, 100000000)));
    if (parser.isSet(QStringLiteral("image")))
        server.SetBootImagePath(parser.value(QStringLiteral("image")));
    if (parser.isSet(QStringLiteral("software-after-update")))
        server.SetSoftwareAfterUpdate(parser.value(QStringLiteral("software-after-update")).toLatin1());
    if (parser.isSet(QStringLiteral("serial-after-update")))
        server.SetSerialAfterUpdate(parser.value(QStringLiteral("serial-after-update")).toLatin1());

    if (parser.isSet(QStringLiteral("greet-after-update")))
        server.SetGreetingDelayMs(SimServer::DefaultGreetingDelayMs);
    if (parser.isSet(QStringLiteral("unplug-at")))
        server.SetUnplugAt(parser.value(QStringLiteral("unplug-at")).toLatin1());
    if (parser.isSet(QStringLiteral("reset-at")))
        server.SetResetAt(parser.value(QStringLiteral("reset-at")).toLatin1());
    const bool floodAt = parser.isSet(QStringLiteral("flood-at"));
    if (floodAt)
        server.SetFloodAt(parser.value(QStringLiteral("flood-at")).toLatin1(),
                          device.FloodSize() > 0 ? device.FloodSize() : 1000000);
    if (parser.isSet(QStringLiteral("zeros")))
        server.SetZerosAt(parser.value(QStringLiteral("zeros")).toLatin1());
    if (parser.isSet(QStringLiteral("endless")))
        server.SetEndlessAt(parser.value(QStringLiteral("endless")).toLatin1());
    if (parser.isSet(QStringLiteral("die-at-page")) || parser.isSet(QStringLiteral("die-mid-frame"))) {
        const int page = parser.isSet(QStringLiteral("die-at-page"))
                             ? int(NumberOption(parser, QStringLiteral("die-at-page"), 0, 0xffff))
                             : 0;
        server.SetBootDeath(page, parser.isSet(QStringLiteral("die-mid-frame")));
    }

    if (parser.isSet(QStringLiteral("stable-link")))
        server.SetStableLink(QFileInfo(parser.value(QStringLiteral("stable-link"))).absoluteFilePath());
    const QByteArray replugSerial = parser.value(QStringLiteral("replug-serial")).toLatin1();
    if (parser.isSet(QStringLiteral("replug-after")))
        server.SetReplug(int(NumberOption(parser, QStringLiteral("replug-after"), 0, 600000)), replugSerial);
    else
        server.SetReplug(-1, replugSerial);

    const int wantedCom = parser.isSet(QStringLiteral("com"))
                              ? int(NumberOption(parser, QStringLiteral("com"), 1, 99))
                              : 0;
    const bool useTcp = !parser.isSet(QStringLiteral("no-tcp"));
    const auto tcpPort = quint16(NumberOption(parser, QStringLiteral("tcp-port"), 0, 65535));
    if (!server.StartSerial(wantedCom))
        Fail(server.ErrorString());
    if (wantedCom > 0 && server.ComPort() != wantedCom)
        std::fprintf(stderr, "mirto-sim: warning: COM%d is taken, using COM%d\n", wantedCom, server.ComPort());

    QString tcpText = QStringLiteral("no TCP");
    if (useTcp) {
        if (server.StartTcp(tcpPort))
            tcpText = QStringLiteral("TCP 127.0.0.1:%1").arg(server.TcpPort());
        else
            std::fprintf(stderr, "mirto-sim: warning: TCP port %u: %s; serving the serial side only\n",
                         unsigned(tcpPort), server.ErrorString().toLocal8Bit().constData());
    }

    if (device.FloodSize() > 0 && !floodAt) {
        QObject::connect(
            &server, &SimServer::serialDataReceived, &server,
            [&server] { server.StartFlood(server.Device().FloodSize(), server.Device().PieceSize()); },
            Qt::SingleShotConnection);
    }

    QObject::connect(&server, &SimServer::bootLoaderStarted, &server,
                     [] { Report(QStringLiteral("boot loader started")); });
    QObject::connect(&server, &SimServer::faultStarted, &server,
                     [](const QString &what) { Report(QStringLiteral("fault: ") + what); });
    QObject::connect(&server, &SimServer::bootLoaderEnded, &server,
                     [&server] { Report(QStringLiteral("boot loader: ") + OutcomeText(server)); });

    QObject::connect(&server, &SimServer::unplugged, &server, [] { Report(QStringLiteral("cable pulled")); });
    QObject::connect(&server, &SimServer::plugged, &server, [&server] {
        Report(QStringLiteral("cable plugged back: serial number %1 on %2")
                   .arg(QString::fromLatin1(server.Device().SerialNumber()), server.SlavePath()));
    });

    QSocketNotifier *signalNotifier = nullptr;
    if (signalFd >= 0) {
        signalNotifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &app);
        QObject::connect(signalNotifier, &QSocketNotifier::activated, &app, [signalFd, &server, replugSerial] {
            signalfd_siginfo info {};
            bool stop = false;
            while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
                if (info.ssi_signo == SIGUSR1) {
                    server.PowerCycle();
                } else if (info.ssi_signo == SIGUSR2) {
                    if (server.Plugged())
                        server.Unplug();
                    else if (!server.Plug(replugSerial))
                        Report(QStringLiteral("cannot plug the cable back: ") + server.ErrorString());
                } else {
                    stop = true;
                }
            }
            if (stop)
                QCoreApplication::quit();
        });
    }

    const QString through = server.StableLink().isEmpty() ? QString() : server.StableLink() + QStringLiteral(" -> ");
    std::printf("mirto-sim: COM%d -> %s%s, %s\n", server.ComPort(), through.toLocal8Bit().constData(),
                server.SlavePath().toLocal8Bit().constData(), tcpText.toLocal8Bit().constData());
    std::fflush(stdout);

    const int result = QCoreApplication::exec();
    server.StopSerial();
    server.StopTcp();
    if (signalFd >= 0)
        ::close(signalFd);
    return result;
}
