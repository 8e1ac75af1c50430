#include "sim/core/SimServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
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
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mirto-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated Mirto device on a pseudo-terminal (registered as COMn) and on TCP 127.0.0.1."));
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
        {QStringLiteral("no-serial-word"), QStringLiteral("Answer snum without the word Serialnumber.")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
    });
    parser.process(app);

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

    if (device.FloodSize() > 0) {
        QObject::connect(
            &server, &SimServer::serialDataReceived, &server,
            [&server] { server.StartFlood(server.Device().FloodSize(), server.Device().PieceSize()); },
            Qt::SingleShotConnection);
    }

    QSocketNotifier *signalNotifier = nullptr;
    if (signalFd >= 0) {
        signalNotifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &app);
        QObject::connect(signalNotifier, &QSocketNotifier::activated, &app, [signalFd] {
            signalfd_siginfo info {};
            while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
            }
            QCoreApplication::quit();
        });
    }

    std::printf("mirto-sim: COM%d -> %s, %s\n", server.ComPort(), server.SlavePath().toLocal8Bit().constData(),
                tcpText.toLocal8Bit().constData());
    std::fflush(stdout);

    const int result = QCoreApplication::exec();
    server.StopSerial();
    server.StopTcp();
    if (signalFd >= 0)
        ::close(signalFd);
    return result;
}
