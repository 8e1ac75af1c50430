#include "core/links/Rfc2217Link.h"

#include "core/links/SerialPortError.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <cstring>

namespace {

using Codec = Rfc2217Codec;

// Longest wait between two looks at the negotiation's progress.
constexpr int LookMs = 50;
// The most of a refusal's text a message quotes.
constexpr qsizetype QuotedText = 80;

Codec::Parity parityOf(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::EvenParity: return Codec::ParityEven;
    case QSerialPort::OddParity: return Codec::ParityOdd;
    case QSerialPort::SpaceParity: return Codec::ParitySpace;
    case QSerialPort::MarkParity: return Codec::ParityMark;
    default: return Codec::ParityNone;
    }
}

Codec::Stopsize stopOf(QSerialPort::StopBits stop)
{
    switch (stop) {
    case QSerialPort::TwoStop: return Codec::StopTwo;
    case QSerialPort::OneAndHalfStop: return Codec::StopOneAndHalf;
    default: return Codec::StopOne;
    }
}

Codec::Control flowOf(QSerialPort::FlowControl flow)
{
    switch (flow) {
    case QSerialPort::HardwareControl: return Codec::HardwareFlowControl;
    case QSerialPort::SoftwareControl: return Codec::XonXoffFlowControl;
    default: return Codec::NoFlowControl;
    }
}

// A setting's value as said to the user ("9600 bit/s", "even").
QString plainValue(quint8 command, quint32 value)
{
    static const char *const parities[] = {"asked", "none", "odd", "even", "mark", "space"};
    static const char *const stops[] = {"asked", "1", "2", "1.5"};
    static const char *const flows[] = {"asked", "none", "XON/XOFF", "hardware (RTS/CTS)"};
    switch (command) {
    case Codec::SetBaudrate: return QStringLiteral("%1 bit/s").arg(value);
    case Codec::SetParity: return QLatin1String(value < 6 ? parities[value] : "unknown");
    case Codec::SetStopsize: return QLatin1String(value < 4 ? stops[value] : "unknown");
    case Codec::SetControl: return QLatin1String(value < 4 ? flows[value] : "unknown");
    default: return QString::number(value);
    }
}

// The setting with its value ("the line speed 9600 bit/s").
QString valueText(quint8 command, quint32 value)
{
    switch (command) {
    case Codec::SetBaudrate: return QStringLiteral("the line speed ") + plainValue(command, value);
    case Codec::SetDatasize: return QStringLiteral("%1 data bits").arg(value);
    case Codec::SetParity: return QStringLiteral("parity ") + plainValue(command, value);
    case Codec::SetStopsize: return plainValue(command, value) + QStringLiteral(" stop bits");
    case Codec::SetControl: return QStringLiteral("flow control ") + plainValue(command, value);
    default: return QStringLiteral("setting %1 = %2").arg(command).arg(value);
    }
}

} // namespace

Rfc2217Link::Rfc2217Link(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &Rfc2217Link::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, &Rfc2217Link::onGone);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &Rfc2217Link::onGone);
}

Rfc2217Link::~Rfc2217Link()
{
    disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

QString Rfc2217Link::Server() const
{
    return m_host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2").arg(m_host).arg(m_port)
                                             : QStringLiteral("%1:%2").arg(m_host).arg(m_port);
}

void Rfc2217Link::fail(const QString &what)
{
    throw SerialPortError(what, SerialPortError::Cause::Server);
}

void Rfc2217Link::Open(const QString &name, const QString &host, quint16 port, const LineSettings &settings)
{
    Close();
    m_name = name;
    m_host = host;
    m_port = port;
    m_codec = Codec();
    m_lostReason.clear();
    m_refusal.clear();
    m_opening = true;
    try {
        const QString cannot = QStringLiteral("Can't open %1: ").arg(name);
        // Commands and boot loader answers are small and wait for their
        // reply: each goes out at once.
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket.connectToHost(host, port);
        if (!m_socket.waitForConnected(ConnectTimeoutMs)) {
            switch (m_socket.error()) {
            case QAbstractSocket::ConnectionRefusedError:
                fail(cannot + QStringLiteral("the serial server %1 refused the connection (is it running, "
                                             "and is this its port?).")
                                  .arg(Server()));
            case QAbstractSocket::HostNotFoundError:
                fail(cannot + QStringLiteral("the serial server's host %1 was not found.").arg(host));
            case QAbstractSocket::SocketTimeoutError:
                fail(cannot + QStringLiteral("the serial server %1 did not answer within %2 s.")
                                  .arg(Server())
                                  .arg(ConnectTimeoutMs / 1000));
            default:
                fail(cannot + QStringLiteral("the connection to the serial server %1 failed: %2.")
                                  .arg(Server(), m_socket.errorString()));
            }
        }
        m_socket.write(m_codec.Start());
        QElapsedTimer since;
        since.start();
        bool sent = false;
        awaitNegotiation(SettingsTimeoutMs, [&] {
            if (!m_codec.HeardTelnet() && since.elapsed() >= TelnetTimeoutMs)
                fail(cannot + QStringLiteral("%1 does not speak RFC 2217: it gave no Telnet answer within %2 s. "
                                             "It is no serial server port, or one without RFC 2217 "
                                             "(telnet(rfc2217) in ser2net) switched on.")
                                  .arg(Server())
                                  .arg(TelnetTimeoutMs / 1000));
            if (m_codec.PortControl() && !sent) {
                sendSettings(settings);
                sent = true;
            }
            return sent && m_codec.Unanswered() == 0;
        }, cannot);
        m_socket.write(m_codec.PurgeDataCommand(Codec::PurgeBoth));
        m_socket.flush();
    } catch (...) {
        m_opening = false;
        m_socket.abort();
        m_rx.clear();
        throw;
    }
    m_opening = false;
    m_open = true;
    // The device's bytes that came with the negotiation are announced as
    // any others, once the caller has the open port.
    if (BytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this] {
            if (m_open && BytesAvailable() > 0)
                Q_EMIT ReadyRead();
        }, Qt::QueuedConnection);
}

void Rfc2217Link::awaitNegotiation(int timeoutMs, const std::function<bool()> &done, const QString &prefix)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        takeIncoming();
        if (!m_refusal.isEmpty())
            fail(prefix + m_refusal);
        if (done())
            return;
        if (m_socket.state() != QAbstractSocket::ConnectedState && m_socket.bytesAvailable() == 0) {
            // A server that turns a client away says why in plain text
            // before it closes ("Port already in use").
            const QByteArray said = m_rx.mid(m_rxPos).trimmed().left(QuotedText);
            if (!said.isEmpty()) {
                const bool inUse = said.contains("in use") || said.contains("In use");
                fail(prefix + QStringLiteral("the serial server %1 turned the connection away: \"%2\".%3")
                                  .arg(Server(), QString::fromLatin1(said),
                                       inUse ? QStringLiteral(" Another client holds its port.") : QString()));
            }
            fail(prefix + QStringLiteral("the serial server %1 closed the connection.").arg(Server()));
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        m_socket.waitForReadyRead(int(qMin<qint64>(left, LookMs)));
    }
    if (!m_codec.PortControl())
        fail(prefix + QStringLiteral("the server at %1 speaks Telnet but did not take serial port control "
                                     "(RFC 2217) within %2 s.")
                          .arg(Server())
                          .arg(timeoutMs / 1000));
    fail(prefix + QStringLiteral("the serial server %1 did not answer the line settings within %2 s.")
                      .arg(Server())
                      .arg(timeoutMs / 1000));
}

void Rfc2217Link::sendSettings(const LineSettings &settings)
{
    QByteArray out = m_codec.SetBaudrateCommand(quint32(qMax(0, settings.Baudrate)));
    out += m_codec.SetDatasizeCommand(quint8(settings.DataBits));
    out += m_codec.SetParityCommand(parityOf(settings.Parity));
    out += m_codec.SetStopsizeCommand(stopOf(settings.StopBits));
    out += m_codec.SetControlCommand(flowOf(settings.Flow));
    // Modem lines are set, not waited for: a server whose port has none
    // (a pseudo-terminal) does not answer for them.
    out += m_codec.SetControlCommand(settings.Dtr ? Codec::DtrOn : Codec::DtrOff);
    if (settings.Flow != QSerialPort::HardwareControl)
        out += m_codec.SetControlCommand(settings.Rts ? Codec::RtsOn : Codec::RtsOff);
    m_socket.write(out);
    m_socket.flush();
}

void Rfc2217Link::Apply(const LineSettings &settings)
{
    if (!m_open)
        return;
    m_refusal.clear();
    const quint64 before = m_received;
    sendSettings(settings);
    m_opening = true;
    try {
        awaitNegotiation(SettingsTimeoutMs, [this] { return m_codec.Unanswered() == 0; },
                         QStringLiteral("%1: ").arg(m_name));
    } catch (...) {
        m_opening = false;
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            // Gone while it was being set: the owner hears of it as of any
            // other loss, once the refusal has been reported.
            m_open = false;
            m_lostReason = QStringLiteral("The serial server %1 closed the connection to %2").arg(Server(), m_name);
            QMetaObject::invokeMethod(this, &Rfc2217Link::Lost, Qt::QueuedConnection);
        }
        throw;
    }
    m_opening = false;
    if (m_received != before)
        Q_EMIT ReadyRead();
}

void Rfc2217Link::Close()
{
    m_open = false;
    m_opening = false;
    if (m_socket.state() != QAbstractSocket::UnconnectedState) {
        m_socket.flush();
        m_socket.abort();
    }
    m_rx.clear();
    m_rxPos = 0;
}

bool Rfc2217Link::takeIncoming()
{
    const QByteArray wire = m_socket.readAll();
    if (wire.isEmpty())
        return false;
    const Codec::Feed feed = m_codec.Take(wire);
    if (!feed.Reply.isEmpty())
        m_socket.write(feed.Reply);
    for (const Codec::Event &event : feed.Events) {
        if (event.Type == Codec::Event::Kind::PortControlRefused)
            m_refusal = QStringLiteral("the server at %1 speaks Telnet but refuses serial port control "
                                       "(RFC 2217).")
                            .arg(Server());
        else if (event.Type == Codec::Event::Kind::SettingRefused)
            m_refusal = settingText(event);
    }
    if (feed.Data.isEmpty())
        return false;
    m_rx += feed.Data;
    m_received += quint64(feed.Data.size());
    return true;
}

QString Rfc2217Link::settingText(const Rfc2217Codec::Event &event) const
{
    return QStringLiteral("the serial server %1 refused %2 (it answered %3).")
        .arg(Server(), valueText(event.Command, event.Value), plainValue(event.Command, event.Answer));
}

void Rfc2217Link::onReadyRead()
{
    if (!m_open || m_opening)
        return;
    if (takeIncoming())
        Q_EMIT ReadyRead();
}

void Rfc2217Link::onGone()
{
    if (!m_open || m_opening)
        return;
    if (m_socket.state() == QAbstractSocket::ConnectedState && m_socket.error() == QAbstractSocket::SocketTimeoutError)
        return; // a wait that ran out, not a link that broke
    m_open = false;
    m_lostReason = m_socket.error() == QAbstractSocket::RemoteHostClosedError
                       ? QStringLiteral("The serial server %1 closed the connection to %2").arg(Server(), m_name)
                       : QStringLiteral("The connection to the serial server %1 (%2) broke: %3")
                             .arg(Server(), m_name, m_socket.errorString());
    Q_EMIT Lost();
}

qint64 Rfc2217Link::Read(char *buffer, qint64 size)
{
    const qint64 n = qMin(size, BytesAvailable());
    if (n <= 0)
        return 0;
    std::memcpy(buffer, m_rx.constData() + m_rxPos, size_t(n));
    m_rxPos += n;
    // One byte at a time (the boot loader's reads) must not move the rest
    // each time: the buffer is compacted only once half of it is read.
    if (m_rxPos == m_rx.size()) {
        m_rx.clear();
        m_rxPos = 0;
    } else if (m_rxPos > m_rx.size() / 2) {
        m_rx.remove(0, m_rxPos);
        m_rxPos = 0;
    }
    return n;
}

bool Rfc2217Link::Write(const char *data, qint64 size)
{
    if (!m_open)
        return false;
    const QByteArray wire = m_codec.EncodeData(data, size);
    return m_socket.write(wire) == wire.size();
}

qint64 Rfc2217Link::BytesToWrite() const
{
    return m_socket.bytesToWrite();
}

bool Rfc2217Link::WaitForBytesWritten(int msecs)
{
    return m_open && m_socket.waitForBytesWritten(msecs);
}

void Rfc2217Link::Flush()
{
    if (m_open)
        m_socket.flush();
}

bool Rfc2217Link::WaitForReadyRead(int msecs)
{
    const quint64 before = m_received;
    const QDeadlineTimer deadline(msecs);
    while (m_open && m_received == before) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        if (!m_socket.waitForReadyRead(int(left)))
            break;
        // Inside a handler of our own notification the socket does not
        // notify again; the bytes are there all the same.
        if (m_open && takeIncoming())
            Q_EMIT ReadyRead();
    }
    return m_received != before;
}
