#include "sim/core/SimServer.h"

#include "sim/core/SimDeadlineTimer.h"
#include "sim/core/SimLineSpeed.h"

#include "core/links/ComPorts.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr qsizetype FloodChunk = 64 * 1024;
constexpr qint64 NsPerMs = 1000000;
// Start bit, eight data bits, stop bit.
constexpr qint64 BitsPerByte = 10;
constexpr qint64 NsPerSecond = 1000000000;

constexpr int StreamTickMs = 5;
constexpr qsizetype StreamChunk = 16 * 1024;
// A stream adds to the link's output only while less than this waits, so
// that it never fills the memory when the tool reads slowly or not at all.
constexpr qsizetype StreamBacklog = 64 * 1024;

// The same test as the withheld command's: the whole line, or its command
// word in any case.
bool LineMatches(const QByteArray &line, const QByteArray &command)
{
    if (command.isEmpty())
        return false;
    const QByteArray text = line.trimmed();
    if (text == command)
        return true;
    const qsizetype blank = text.indexOf(' ');
    const QByteArray word = blank < 0 ? text : text.left(blank);
    return word.compare(command, Qt::CaseInsensitive) == 0;
}

} // namespace

SimServer::SimServer(QObject *parent)
    : QObject(parent),
      m_answerTimer(new QTimer(this)),
      m_inTimer(new SimDeadlineTimer(this)),
      m_outTimer(new SimDeadlineTimer(this)),
      m_tokenTimer(new QTimer(this)),
      m_streamTimer(new QTimer(this))
{
    m_replugTimer = new QTimer(this);
    m_replugTimer->setSingleShot(true);
    connect(m_replugTimer, &QTimer::timeout, this, [this] { Plug(m_replugSerial); });
    m_streamTimer->setInterval(StreamTickMs);
    connect(m_streamTimer, &QTimer::timeout, this, &SimServer::FeedStreams);
    m_clock.start();
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setTimerType(Qt::PreciseTimer);
    connect(m_answerTimer, &QTimer::timeout, this, &SimServer::SendDue);
    connect(m_inTimer, &SimDeadlineTimer::timeout, this, &SimServer::DeliverBootInput);
    connect(m_outTimer, &SimDeadlineTimer::timeout, this, &SimServer::FlushBootOutput);
    m_tokenTimer->setSingleShot(true);
    connect(m_tokenTimer, &QTimer::timeout, this, &SimServer::BootTokenTimeout);
}

SimServer::~SimServer()
{
    StopSerial();
    StopTcp();
}

QString SimServer::LineSettings() const
{
    termios tio {};
    if (m_slaveHold < 0 || ::tcgetattr(m_slaveHold, &tio) != 0)
        return {};
    static const struct {
        speed_t code;
        int rate;
    } rates[] = {{B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
                 {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    int rate = 0;
    for (const auto &r : rates)
        if (r.code == ::cfgetospeed(&tio))
            rate = r.rate;
    const tcflag_t size = tio.c_cflag & CSIZE;
    const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const char parity = !(tio.c_cflag & PARENB) ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
    return QStringLiteral("%1 %2%3%4").arg(rate).arg(bits).arg(QLatin1Char(parity)).arg((tio.c_cflag & CSTOPB) ? 2 : 1);
}

bool SimServer::StartSerial(int wantedPort)
{
    StopSerial();
    if (!OpenPty())
        return false;
    // A USB device's COMn points at its stable link, which points at the
    // port of the moment.
    QString target = m_slavePath;
    if (!m_stableLink.isEmpty()) {
        if (!PointLink(m_stableLink, m_slavePath)) {
            StopSerial();
            return false;
        }
        target = m_stableLink;
    }
    const QString folder = ComPortFolder();
    const int n = AssignComPort(folder, target, wantedPort);
    if (n <= 0) {
        m_error = QStringLiteral("cannot create a COM link in %1").arg(folder);
        StopSerial();
        return false;
    }
    m_comPort = n;
    m_plugComPort = n;
    m_linkPath = folder + QStringLiteral("/COM%1").arg(n);
    if (!MarkComPortOwner(folder, n)) {
        m_error = QStringLiteral("cannot mark %1 as ours").arg(m_linkPath);
        StopSerial();
        return false;
    }
    WatchPty();
    return true;
}

void SimServer::StopSerial()
{
    m_replugTimer->stop();
    // The slave must still exist here, or the link cannot be told ours.
    if (m_comPort > 0)
        ReleaseComPort(ComPortFolder(), m_comPort, m_stableLink.isEmpty() ? m_slavePath : m_stableLink);
    // The stable link is the simulator's own: it goes when it ends.
    if (!m_stableLink.isEmpty() && QFileInfo(m_stableLink).isSymLink())
        QFile::remove(m_stableLink);
    ClosePty();
    m_linkPath.clear();
    m_comPort = 0;
}

void SimServer::ClosePty()
{
    m_boot.Leave();
    ClearBootLine();
    m_tokenTimer->stop();
    m_lastResetNs = -1;
    DropPty(m_master, m_slaveHold, m_readNotifier, m_writeNotifier);
    m_master = -1;
    m_slaveHold = -1;
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_slavePath.clear();
    m_serialLines.Clear();
    m_serialOut.clear();
    m_serialOutPos = 0;
    ++m_serialGeneration;
    m_flooding = false;
    m_floodRemaining = 0;
    m_floodBuffer.clear();
    m_floodPos = 0;
}

bool SimServer::StartTcp(quint16 port)
{
    StopTcp();
    m_tcpServer = new QTcpServer(this);
    if (!m_tcpServer->listen(QHostAddress(QHostAddress::LocalHost), port)) {
        m_error = m_tcpServer->errorString();
        delete m_tcpServer;
        m_tcpServer = nullptr;
        return false;
    }
    connect(m_tcpServer, &QTcpServer::newConnection, this, &SimServer::AcceptClient);
    return true;
}

void SimServer::StopTcp()
{
    DropClient();
    delete m_tcpServer;
    m_tcpServer = nullptr;
}

quint16 SimServer::TcpPort() const
{
    return m_tcpServer ? m_tcpServer->serverPort() : 0;
}

bool SimServer::StartFlood(qint64 bytes, int pieceSize)
{
    if (m_master < 0)
        return false;
    m_floodPiece = std::max(0, pieceSize);
    m_floodRemaining += std::max<qint64>(0, bytes);
    if (!m_flooding) {
        m_flooding = true;
        m_floodLine = 0;
    }
    FlushSerial();
    return true;
}

void SimServer::ReadSerial()
{
    QByteArray input;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            input.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // Cannot happen while the slave is held open; if it does, stop
            // listening rather than spin on a descriptor that stays readable.
            m_readNotifier->setEnabled(false);
        }
        break;
    }
    if (input.isEmpty())
        return;
    if (m_byteHandler)
        Send(Link::Serial, m_serialGeneration, m_byteHandler(input));
    else
        TakeSerialInput(input);
    Q_EMIT serialDataReceived();
}

void SimServer::TakeSerialInput(const QByteArray &input)
{
    // A firmware that is still starting hears nothing.
    if (m_restartingUntilNs >= 0 && SimDeadlineTimer::NowNs() < m_restartingUntilNs && !m_boot.Active())
        return;
    qsizetype pos = 0;
    QByteArray line;
    while (pos < input.size() && m_master >= 0) {
        // A second reset hands the rest of the bytes to the boot loader.
        if (m_boot.Active()) {
            QueueBootInput(input.mid(pos));
            return;
        }
        if (!m_serialLines.TakeLine(input, pos, line))
            return;
        HandleSerialLine(line);
    }
}

void SimServer::HandleSerialLine(const QByteArray &line)
{
    if (TakeFault(Link::Serial, line))
        return;
    const int resets = m_device.ResetCount();
    const QByteArray answer = m_device.HandleLine(line);
    if (m_device.ResetCount() == resets) {
        Answer(Link::Serial, answer);
        return;
    }
    Q_EMIT resetRequested();
    const qint64 now = SimDeadlineTimer::NowNs();
    if (m_lastResetNs >= 0 && now - m_lastResetNs <= ResetWindowMs * NsPerMs) {
        EnterBootLoader();
        return;
    }
    m_lastResetNs = now;
    // One millisecond more, as the answer clock counts whole milliseconds:
    // a reset sent after the answer came is never a second one.
    Answer(Link::Serial, answer, ResetWindowMs + 1);
}

bool SimServer::PowerCycle()
{
    if (m_master < 0)
        return false;
    EnterBootLoader();
    return true;
}

void SimServer::ClearBootLine()
{
    m_bootIn.clear();
    m_bootOut.clear();
    m_inTimer->Stop();
    m_outTimer->Stop();
}

void SimServer::EnterBootLoader()
{
    // The restart loses what the firmware was about to say.
    ++m_serialGeneration;
    m_serialOut.clear();
    m_serialOutPos = 0;
    if (m_flooding) {
        m_floodRemaining = 0;
        m_floodBuffer.clear();
        m_floodPos = 0;
        EndFlood();
    }
    m_serialLines.Clear();
    m_lastResetNs = -1;
    m_restartingUntilNs = -1;
    m_bootImageError.clear();
    ClearBootLine();
    const qint64 now = SimDeadlineTimer::NowNs();
    m_inLineFreeNs = now;
    m_outLineFreeNs = now;
    const SimBootLoader::Outputs start = m_boot.Start();
    if (m_boot.TimeoutMs() >= 0)
        m_tokenTimer->start(m_boot.TimeoutMs());
    else
        m_tokenTimer->stop();
    Q_EMIT bootLoaderStarted();
    QueueBootOutput(start, now);
}

void SimServer::BootTokenTimeout()
{
    m_boot.TimeOut();
    if (!m_boot.Active())
        EndBootLoader();
}

void SimServer::EndBootLoader()
{
    m_tokenTimer->stop();
    m_inTimer->Stop();
    // The device's last bytes are still on their way; what the tool sent
    // after the end reaches the firmware's command reader.
    QByteArray rest;
    for (const WireChunk &chunk : std::as_const(m_bootIn))
        rest += chunk.bytes.mid(chunk.done);
    m_bootIn.clear();
    if (m_boot.LastOutcome() == SimBootLoader::Outcome::Completed) {
        WriteBootImage();
        if (!m_softwareAfterUpdate.isEmpty())
            m_device.SetSoftwareVersion(m_softwareAfterUpdate);
        if (!m_serialAfterUpdate.isEmpty())
            m_device.SetSerialNumber(m_serialAfterUpdate);
    }
    Q_EMIT bootLoaderEnded();
    if (m_greetingDelayMs > 0) {
        m_restartingUntilNs = SimDeadlineTimer::NowNs() + qint64(m_greetingDelayMs) * NsPerMs;
        Answer(Link::Serial, Greeting(), m_greetingDelayMs);
    }
    if (!rest.isEmpty())
        TakeSerialInput(rest);
}

void SimServer::WriteBootImage()
{
    m_bootImageError.clear();
    if (m_bootImagePath.isEmpty())
        return;
    QSaveFile file(m_bootImagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(m_boot.Image()) != m_boot.Image().size()
        || !file.commit())
        m_bootImageError = file.errorString();
}

int SimServer::LineRate() const
{
    if (m_lineRate != PortLineRate)
        return m_lineRate;
    const int rate = TerminalBitRate(m_slaveHold);
    return rate > 0 ? rate : DefaultLineRate;
}

qint64 SimServer::ByteEndNs(const WireChunk &chunk, qsizetype count) const
{
    if (chunk.rate <= 0)
        return chunk.startNs;
    return chunk.startNs + qint64(count) * BitsPerByte * NsPerSecond / chunk.rate;
}

qsizetype SimServer::BytesCarried(const WireChunk &chunk, qint64 nowNs) const
{
    if (nowNs < chunk.startNs)
        return 0;
    if (chunk.rate <= 0)
        return chunk.bytes.size();
    const qint64 carried = (nowNs - chunk.startNs) * chunk.rate / (BitsPerByte * NsPerSecond);
    return qsizetype(std::min<qint64>(carried, chunk.bytes.size()));
}

void SimServer::QueueBootInput(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 start = std::max(SimDeadlineTimer::NowNs(), m_inLineFreeNs);
    m_bootIn.append({bytes, start, 0, LineRate()});
    m_inLineFreeNs = ByteEndNs(m_bootIn.last(), bytes.size());
    DeliverBootInput();
}

void SimServer::DeliverBootInput()
{
    m_inTimer->Stop();
    const qint64 now = SimDeadlineTimer::NowNs();
    while (m_boot.Active() && !m_bootIn.isEmpty()) {
        if (BootDies())
            return;
        WireChunk &chunk = m_bootIn.first();
        const qsizetype wanted = std::max<qsizetype>(1, m_boot.BytesWanted());
        const qsizetype arrived = BytesCarried(chunk, now);
        if (arrived <= chunk.done) {
            // Wake when the boot loader can react, or when this chunk has
            // arrived whole and the rest of what it waits for is in the next.
            const qsizetype until = std::min(chunk.done + wanted, chunk.bytes.size());
            m_inTimer->StartAt(ByteEndNs(chunk, until));
            return;
        }
        // No more than it waits for at a time, so that each reaction leaves
        // at the moment its last byte arrived, not at the timer's.
        const qsizetype take = std::min(arrived - chunk.done, wanted);
        qsizetype used = 0;
        const SimBootLoader::Outputs outputs = m_boot.Feed(chunk.bytes.mid(chunk.done, take), &used);
        chunk.done += used;
        const qint64 reaction = ByteEndNs(chunk, chunk.done);
        if (chunk.done >= chunk.bytes.size())
            m_bootIn.removeFirst();
        QueueBootOutput(outputs, reaction);
    }
    if (!m_boot.Active())
        EndBootLoader();
}

void SimServer::QueueBootOutput(const SimBootLoader::Outputs &outputs, qint64 reactionNs)
{
    qint64 ready = reactionNs;
    for (const SimBootLoader::Output &output : outputs) {
        ready += qint64(output.pauseMs) * NsPerMs;
        if (output.bytes.isEmpty())
            continue;
        m_bootOut.append({output.bytes, std::max(ready, m_outLineFreeNs), 0, LineRate()});
        m_outLineFreeNs = ByteEndNs(m_bootOut.last(), output.bytes.size());
        ready = m_outLineFreeNs;
    }
    FlushBootOutput();
}

void SimServer::FlushBootOutput()
{
    m_outTimer->Stop();
    const qint64 now = SimDeadlineTimer::NowNs();
    bool wrote = false;
    while (!m_bootOut.isEmpty()) {
        WireChunk &chunk = m_bootOut.first();
        const qsizetype arrived = BytesCarried(chunk, now);
        if (arrived > chunk.done) {
            m_serialOut += chunk.bytes.mid(chunk.done, arrived - chunk.done);
            chunk.done = arrived;
            wrote = true;
        }
        if (chunk.done < chunk.bytes.size()) {
            m_outTimer->StartAt(ByteEndNs(chunk, chunk.done + 1));
            break;
        }
        m_bootOut.removeFirst();
    }
    if (wrote)
        FlushSerial();
}

bool SimServer::SerialHasOutput() const
{
    return m_serialOutPos < m_serialOut.size() || m_floodPos < m_floodBuffer.size()
           || m_floodRemaining > 0;
}

void SimServer::RefillFlood()
{
    m_floodBuffer.clear();
    m_floodPos = 0;
    while (m_floodBuffer.size() < std::min<qint64>(FloodChunk, m_floodRemaining))
        m_floodBuffer += SimDevice::FloodLine(m_floodLine++);
    if (m_floodBuffer.size() > m_floodRemaining)
        m_floodBuffer.truncate(qsizetype(m_floodRemaining));
    m_floodRemaining -= m_floodBuffer.size();
}

void SimServer::FlushSerial()
{
    if (m_master < 0)
        return;
    bool failed = false;
    while (!failed) {
        const char *data = nullptr;
        qsizetype size = 0;
        bool answer = false;
        if (m_serialOutPos < m_serialOut.size()) {
            data = m_serialOut.constData() + m_serialOutPos;
            size = m_serialOut.size() - m_serialOutPos;
            answer = true;
        } else {
            if (m_floodPos >= m_floodBuffer.size() && m_floodRemaining > 0)
                RefillFlood();
            if (m_floodPos >= m_floodBuffer.size())
                break;
            data = m_floodBuffer.constData() + m_floodPos;
            size = m_floodBuffer.size() - m_floodPos;
            if (m_floodPiece > 0)
                size = std::min<qsizetype>(size, m_floodPiece);
        }
        const ssize_t n = ::write(m_master, data, size_t(size));
        if (n > 0) {
            (answer ? m_serialOutPos : m_floodPos) += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        failed = true;
    }
    if (failed) {
        m_floodRemaining = 0;
        m_floodBuffer.clear();
        m_floodPos = 0;
        m_serialOutPos = m_serialOut.size();
    }
    if (m_serialOutPos >= m_serialOut.size()) {
        m_serialOut.clear();
        m_serialOutPos = 0;
    }
    m_writeNotifier->setEnabled(SerialHasOutput());
    if (m_flooding && m_floodRemaining == 0 && m_floodPos >= m_floodBuffer.size())
        EndFlood();
}

void SimServer::EndFlood()
{
    m_flooding = false;
    m_floodBuffer.clear();
    m_floodPos = 0;
    Q_EMIT floodDone();
}

void SimServer::AcceptClient()
{
    while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
        if (m_client) {
            // The device serves one connection; a second caller is turned away.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_client = socket;
        m_tcpLines.Clear();
        ++m_tcpGeneration;
        connect(socket, &QTcpSocket::readyRead, this, &SimServer::ReadClient);
        connect(socket, &QTcpSocket::disconnected, this, &SimServer::DropClient);
    }
}

void SimServer::ReadClient()
{
    if (!m_client)
        return;
    HandleLines(Link::Tcp, m_tcpLines.Take(m_client->readAll()));
}

void SimServer::DropClient()
{
    if (QTcpSocket *socket = m_client.data()) {
        m_client = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_tcpLines.Clear();
    ++m_tcpGeneration;
}

void SimServer::HandleLines(Link link, const QList<QByteArray> &lines)
{
    for (const QByteArray &line : lines) {
        if (TakeFault(link, line)) {
            if (link == Link::Tcp && !m_client)
                return;
            continue;
        }
        const int resets = m_device.ResetCount();
        Answer(link, m_device.HandleLine(line));
        if (m_device.ResetCount() != resets)
            Q_EMIT resetRequested();
    }
}

quint64 SimServer::Generation(Link link) const
{
    return link == Link::Serial ? m_serialGeneration : m_tcpGeneration;
}

void SimServer::Answer(Link link, const QByteArray &answer, int atLeastMs)
{
    if (answer.isEmpty())
        return;
    const int delay = std::max({0, m_device.AnswerDelay(), atLeastMs});
    const int piece = std::max(0, m_device.PieceSize());
    if (delay == 0 && piece == 0 && m_pending.isEmpty()) {
        Send(link, Generation(link), answer);
        return;
    }
    const qsizetype step = piece > 0 ? piece : answer.size();
    const qint64 due = m_clock.elapsed() + delay;
    for (qsizetype pos = 0; pos < answer.size(); pos += step)
        m_pending.append({due, answer.mid(pos, step), link, Generation(link), pos > 0});
    ScheduleNext();
}

void SimServer::Send(Link link, quint64 generation, const QByteArray &bytes)
{
    if (bytes.isEmpty() || generation != Generation(link))
        return;
    if (link == Link::Tcp) {
        if (m_client)
            m_client->write(bytes);
        return;
    }
    if (m_master < 0)
        return;
    m_serialOut += bytes;
    FlushSerial();
}

void SimServer::SendDue()
{
    // One item per turn: pieces must leave with a gap between them even when
    // the timer fired late.
    if (m_pending.isEmpty())
        return;
    const qint64 now = m_clock.elapsed();
    if (m_pending.first().notBefore > now) {
        ScheduleNext();
        return;
    }
    const Pending item = m_pending.takeFirst();
    Send(item.link, item.generation, item.bytes);
    if (!m_pending.isEmpty() && m_pending.first().continuation)
        m_pending.first().notBefore = std::max(m_pending.first().notBefore, now + PieceGapMs);
    ScheduleNext();
}

void SimServer::ScheduleNext()
{
    if (m_pending.isEmpty()) {
        m_answerTimer->stop();
        return;
    }
    const qint64 wait = m_pending.first().notBefore - m_clock.elapsed();
    m_answerTimer->start(int(std::max<qint64>(0, wait)));
}

bool SimServer::TakeFault(Link link, const QByteArray &line)
{
    if (LineMatches(line, m_unplugAt)) {
        Q_EMIT faultStarted(QStringLiteral("unplugged at \"%1\"").arg(QString::fromLatin1(line)));
        if (link == Link::Serial)
            Unplug();
        else if (m_client)
            m_client->disconnectFromHost();
        return true;
    }
    if (LineMatches(line, m_resetAt)) {
        if (link != Link::Tcp)
            return false;
        Q_EMIT faultStarted(QStringLiteral("connection reset at \"%1\"").arg(QString::fromLatin1(line)));
        ResetClient();
        return true;
    }
    if (LineMatches(line, m_floodAt)) {
        Q_EMIT faultStarted(QStringLiteral("flood at \"%1\"").arg(QString::fromLatin1(line)));
        StartStream(link, StreamKind::Flood, m_floodAtBytes);
        return true;
    }
    if (LineMatches(line, m_zerosAt)) {
        Q_EMIT faultStarted(QStringLiteral("zero bytes at \"%1\"").arg(QString::fromLatin1(line)));
        StartStream(link, StreamKind::Zeros, -1);
        return true;
    }
    if (LineMatches(line, m_endlessAt)) {
        Q_EMIT faultStarted(QStringLiteral("endless answer at \"%1\"").arg(QString::fromLatin1(line)));
        StartStream(link, StreamKind::Text, -1);
        return true;
    }
    return false;
}

bool SimServer::BootDies()
{
    if (m_dieAtPage < 0 || m_boot.CurrentPhase() != SimBootLoader::Phase::ReceivingPages
        || m_boot.ExpectedPage() != m_dieAtPage)
        return false;
    // Mid-frame: the frame's page number is in, its data is not.
    const qsizetype received = m_boot.FrameReceived();
    if (m_dieMidFrame ? received < 2 : received != 0)
        return false;
    Q_EMIT faultStarted(QStringLiteral("boot loader died %1 page %2")
                            .arg(m_dieMidFrame ? QStringLiteral("in the middle of") : QStringLiteral("before"))
                            .arg(m_dieAtPage));
    Unplug();
    return true;
}


void SimServer::ResetClient()
{
    QTcpSocket *socket = m_client.data();
    if (!socket)
        return;
    // Lingering for no time turns the close into a reset.
    const linger hard {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    DropClient();
}

void SimServer::StartStream(Link link, StreamKind kind, qint64 bytes)
{
    m_streams.append({link, Generation(link), kind, bytes, 0, m_clock.elapsed()});
    FeedStreams();
    if (!m_streamTimer->isActive())
        m_streamTimer->start();
}

void SimServer::FeedStreams()
{
    const qint64 now = m_clock.elapsed();
    for (qsizetype i = 0; i < m_streams.size();) {
        Stream &s = m_streams[i];
        const bool open = s.generation == Generation(s.link)
                          && (s.link == Link::Serial ? m_master >= 0 : !m_client.isNull());
        if (!open || s.remaining == 0) {
            m_streams.removeAt(i);
            continue;
        }
        const qsizetype waiting = s.link == Link::Serial ? m_serialOut.size() - m_serialOutPos
                                                         : qsizetype(m_client->bytesToWrite());
        QByteArray bytes;
        if (s.kind == StreamKind::Text) {
            if (now >= s.nextMs && waiting < StreamBacklog) {
                bytes = SimDevice::FloodLine(s.line++);
                s.nextMs = now + EndlessLineMs;
            }
        } else if (waiting < StreamBacklog) {
            const qsizetype size = s.remaining < 0 ? StreamChunk : qsizetype(std::min<qint64>(StreamChunk, s.remaining));
            if (s.kind == StreamKind::Zeros) {
                bytes = QByteArray(size, '\0');
            } else {
                while (bytes.size() < size)
                    bytes += SimDevice::FloodLine(s.line++);
                bytes.truncate(size);
            }
        }
        if (s.remaining > 0)
            s.remaining -= std::min<qint64>(s.remaining, bytes.size());
        const Stream copy = s;
        ++i;
        Send(copy.link, copy.generation, bytes);
    }
    if (m_streams.isEmpty())
        m_streamTimer->stop();
}
