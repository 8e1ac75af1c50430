#include "core/links/ClientSocket.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QtGlobal>

#include <cerrno>
#include <climits>
#include <netdb.h>

namespace {

// The handlers see the system's error numbers, not Qt's error classes, so that
// the texts carry the number a network administrator can look up.
int systemErrorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError: return ECONNRESET;
    case QAbstractSocket::HostNotFoundError: return EHOSTUNREACH;
    case QAbstractSocket::SocketAccessError: return EACCES;
    case QAbstractSocket::SocketResourceError: return EMFILE;
    case QAbstractSocket::SocketTimeoutError: return ETIMEDOUT;
    case QAbstractSocket::DatagramTooLargeError: return EMSGSIZE;
    case QAbstractSocket::NetworkError: return ENETUNREACH;
    case QAbstractSocket::AddressInUseError: return EADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError: return EADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError: return EAFNOSUPPORT;
    case QAbstractSocket::UnfinishedSocketOperationError: return EALREADY;
    case QAbstractSocket::TemporaryError: return EAGAIN;
    case QAbstractSocket::OperationError: return EINVAL;
    default: return EIO; // proxy, TLS and unknown failures: never zero
    }
}

// Lookups fail with the resolver's own numbers (getaddrinfo's EAI_*).
int lookupErrorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::HostNotFoundError: return EAI_NONAME;
    case QAbstractSocket::TemporaryError: return EAI_AGAIN;
    default: return EAI_FAIL;
    }
}

bool isCreationFailure(QAbstractSocket::SocketError error)
{
    return error == QAbstractSocket::SocketResourceError
        || error == QAbstractSocket::UnsupportedSocketOperationError;
}

QString socketErrorText(const QString &systemText, int code, const QString &api)
{
    return QStringLiteral("Windows socket error: %1 (%2), on API '%3'")
        .arg(systemText, QString::number(code), api);
}

QString exceptionText(ErrorEvent kind, int code)
{
    switch (kind) {
    case ErrorEvent::Lookup:
        return socketErrorText(QString::fromLocal8Bit(gai_strerror(code)), code,
                               QStringLiteral("ASync Lookup"));
    case ErrorEvent::Send:
        return socketErrorText(qt_error_string(code), code, QStringLiteral("send"));
    case ErrorEvent::Receive:
        return socketErrorText(qt_error_string(code), code, QStringLiteral("recv"));
    default:
        return QStringLiteral("Asynchronous socket error %1").arg(code);
    }
}

} // namespace

TClientSocket::TClientSocket(QObject *parent)
    : QObject(parent)
{
    ErrorReporter = [](const QString &text) {
        if (DefaultErrorReporter)
            DefaultErrorReporter(text);
        else
            qWarning("%s", qUtf8Printable(text));
    };
}

TClientSocket::~TClientSocket()
{
    if (QTcpSocket *socket = detachSocket()) {
        // Hand over what the system takes at once; nobody is left to wait for the rest.
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->flush();
        socket->abort();
    }
}

void TClientSocket::requireNotConnected() const
{
    if (m_state == LinkState::Connected)
        throw SocketError(QStringLiteral("Can't change value while socket is active"));
}

void TClientSocket::SetHost(const QString &host)
{
    requireNotConnected();
    m_host = host;
}

void TClientSocket::SetPort(int port)
{
    requireNotConnected();
    m_port = port;
}

void TClientSocket::attachNewSocket()
{
    // Every attempt gets a socket of its own: whatever an abandoned attempt's
    // socket still reports cannot reach this link any more.
    m_socket = new QTcpSocket(this);
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QAbstractSocket::stateChanged, this, &TClientSocket::socketStateChanged);
    connect(m_socket, &QAbstractSocket::connected, this, &TClientSocket::socketConnected);
    connect(m_socket, &QIODevice::readyRead, this, &TClientSocket::socketReadyRead);
    connect(m_socket, &QAbstractSocket::disconnected, this, &TClientSocket::socketDisconnected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &TClientSocket::socketErrorOccurred);
    ++m_generation;
    m_furtherReadQueued = false;
    m_connectStarting = false;
}

QTcpSocket *TClientSocket::detachSocket()
{
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    if (socket)
        disconnect(socket, nullptr, this, nullptr);
    ++m_generation;
    m_state = LinkState::Idle;
    return socket;
}

void TClientSocket::abandonAttempt()
{
    if (QTcpSocket *socket = detachSocket()) {
        // abort() also cancels an outstanding lookup. The socket may be in the
        // middle of a signal of its own, so it is deleted later.
        socket->abort();
        socket->deleteLater();
    }
}

void TClientSocket::closeConnected()
{
    QTcpSocket *socket = detachSocket();
    Q_EMIT OnDisconnect(this);
    if (!socket)
        return;
    // Let output that is still queued reach the device before the socket goes.
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    else
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
}

void TClientSocket::Open()
{
    if (m_state == LinkState::Connected)
        return;
    if (m_state != LinkState::Idle)
        abandonAttempt();

    attachNewSocket();
    const quint64 generation = m_generation;
    const QString host = m_host.trimmed();

    if (host.isEmpty()) {
        // Nothing to look up: fail as a lookup of an unknown name does, as an
        // event, without troubling the resolver.
        m_state = LinkState::LookingUp;
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == m_generation && m_state == LinkState::LookingUp)
                    raiseError(ErrorEvent::Lookup, EAI_NONAME);
            },
            Qt::QueuedConnection);
        return;
    }

    QHostAddress address;
    const bool dotted = address.setAddress(host);
    m_state = dotted ? LinkState::Connecting : LinkState::LookingUp;
    m_openFailed = false;
    m_openConnected = false;
    {
        QScopedValueRollback<bool> inOpen(m_inOpen, true);
        if (dotted)
            m_socket->connectToHost(address, quint16(m_port));
        else
            m_socket->connectToHost(host, quint16(m_port), QIODevice::ReadWrite,
                                    QAbstractSocket::IPv4Protocol);
    }

    if (m_openFailed) {
        const QAbstractSocket::SocketError error = m_openError;
        if (isCreationFailure(error)) {
            abandonAttempt();
            throw SocketError(QStringLiteral("Can't create new socket"));
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, error] {
                if (generation == m_generation)
                    handleError(error, true);
            },
            Qt::QueuedConnection);
    } else if (m_openConnected) {
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == m_generation)
                    finishConnect();
            },
            Qt::QueuedConnection);
    }
}

void TClientSocket::Close()
{
    switch (m_state) {
    case LinkState::Idle:
        return;
    case LinkState::Connected:
        closeConnected();
        return;
    case LinkState::LookingUp:
    case LinkState::Connecting:
        abandonAttempt();
        return;
    }
}

int TClientSocket::SendString(const QByteArray &text)
{
    if (m_state != LinkState::Connected)
        return 0;
    if (text.isEmpty())
        return 0;
    // A text that does not fit whole is not sent at all: a command cut in
    // two would reach the device as two different ones.
    const qint64 room = SendBufferSize - m_socket->bytesToWrite();
    if (room < text.size())
        return -1;

    const quint64 generation = m_generation;
    QTcpSocket *socket = m_socket;
    qint64 written = 0;
    {
        QScopedValueRollback<bool> sending(m_sending, true);
        written = socket->write(text.constData(), text.size());
        if (written > 0)
            socket->flush(); // hand it to the system now; the rest drains in the background
    }
    if (generation != m_generation)
        return -1; // sending failed and has ended the connection
    if (written < 0) {
        raiseError(ErrorEvent::Send, systemErrorNumber(socket->error()));
        return -1;
    }
    return written > 0 ? int(written) : -1;
}

int TClientSocket::ReceiveBytes(char *buffer, int count)
{
    if (m_state != LinkState::Connected)
        return 0;
    if (count <= 0)
        return 0;
    if (m_socket->bytesAvailable() <= 0)
        return -1;

    const quint64 generation = m_generation;
    QTcpSocket *socket = m_socket;
    qint64 got = 0;
    {
        QScopedValueRollback<bool> receiving(m_receiving, true);
        got = socket->read(buffer, count);
    }
    if (got > 0) {
        m_bytesTaken += quint64(got);
        return int(got);
    }
    if (got < 0 && generation == m_generation && m_state == LinkState::Connected)
        raiseError(ErrorEvent::Receive, systemErrorNumber(socket->error()));
    return -1;
}

bool TClientSocket::WaitForData(int msecs)
{
    if (m_state != LinkState::Connected)
        return false;
    const quint64 generation = m_generation;
    const quint64 readsBefore = m_readEvents;
    if (m_socket->bytesAvailable() > 0) {
        raiseRead();
        return true;
    }

    QScopedValueRollback<bool> waiting(m_waiting, true);
    const QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                            : QDeadlineTimer(msecs));
    while (generation == m_generation && m_readEvents == readsBefore) {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            break;
        // Raises OnRead through socketReadyRead(), or OnDisconnect when the
        // device goes away meanwhile; both end the loop through the counters.
        if (!m_socket->waitForReadyRead(left < 0 ? -1 : int(qMin<qint64>(left, INT_MAX))))
            break;
    }
    return m_readEvents != readsBefore;
}

void TClientSocket::socketStateChanged(QAbstractSocket::SocketState state)
{
    if (state != QAbstractSocket::ConnectingState || m_state != LinkState::LookingUp)
        return;
    m_state = LinkState::Connecting;
    if (m_inOpen)
        return;
    // The lookup has just finished and the connection starts right now; an
    // error before control gets back to the event loop is the system refusing
    // the connection outright.
    m_connectStarting = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation)
                m_connectStarting = false;
        },
        Qt::QueuedConnection);
}

void TClientSocket::socketConnected()
{
    if (m_inOpen) {
        m_openConnected = true;
        return;
    }
    finishConnect();
}

void TClientSocket::finishConnect()
{
    if (m_state != LinkState::LookingUp && m_state != LinkState::Connecting)
        return;
    m_connectStarting = false;
    m_state = LinkState::Connected;
    Q_EMIT OnConnect(this);
}

void TClientSocket::socketReadyRead()
{
    if (m_state == LinkState::Connected)
        raiseRead();
}

void TClientSocket::raiseRead()
{
    const quint64 generation = m_generation;
    const quint64 takenBefore = m_bytesTaken;
    ++m_readEvents;
    Q_EMIT OnRead(this);
    // A handler that took part of the data gets the rest in further events. One
    // that took nothing is not pestered until more data arrives.
    if (generation == m_generation && m_state == LinkState::Connected
        && m_bytesTaken != takenBefore && m_socket->bytesAvailable() > 0)
        scheduleFurtherRead();
}

void TClientSocket::scheduleFurtherRead()
{
    if (m_furtherReadQueued)
        return;
    m_furtherReadQueued = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation)
                return;
            m_furtherReadQueued = false;
            if (m_state == LinkState::Connected && m_socket->bytesAvailable() > 0)
                raiseRead();
        },
        Qt::QueuedConnection);
}

void TClientSocket::socketDisconnected()
{
    if (m_state != LinkState::Connected)
        return;
    // The device closed the connection. What it sent before is still buffered;
    // hand it out first, for as long as the handler keeps taking it.
    const quint64 generation = m_generation;
    while (m_socket->bytesAvailable() > 0) {
        const quint64 takenBefore = m_bytesTaken;
        raiseRead();
        if (generation != m_generation)
            return;
        if (m_bytesTaken == takenBefore)
            break;
    }
    closeConnected();
}

void TClientSocket::socketErrorOccurred(QAbstractSocket::SocketError error)
{
    if (m_inOpen) {
        if (!m_openFailed) {
            m_openFailed = true;
            m_openError = error;
        }
        return;
    }
    handleError(error, m_connectStarting);
}

void TClientSocket::handleError(QAbstractSocket::SocketError error, bool atOnce)
{
    switch (m_state) {
    case LinkState::Idle:
        return;
    case LinkState::LookingUp:
        raiseError(ErrorEvent::Lookup, lookupErrorNumber(error));
        return;
    case LinkState::Connecting:
        connectFailed(error, atOnce);
        return;
    case LinkState::Connected:
        // The device closing (or resetting) the connection is its normal end;
        // the disconnected signal that follows takes care of it.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        // WaitForData ran out of time: not a fault of the connection.
        if (error == QAbstractSocket::SocketTimeoutError && m_waiting)
            return;
        raiseError(m_sending     ? ErrorEvent::Send
                   : m_receiving ? ErrorEvent::Receive
                                 : ErrorEvent::Disconnect,
                   systemErrorNumber(error));
        return;
    }
}

void TClientSocket::connectFailed(QAbstractSocket::SocketError error, bool atOnce)
{
    if (isCreationFailure(error)) {
        abandonAttempt();
        report(QStringLiteral("Can't create new socket"));
        return;
    }
    // A refusal or a time-out is the device's (or the network's) answer and
    // always comes as an event. Anything else the system reports before the
    // attempt even got going ends it without an event.
    if (atOnce && error != QAbstractSocket::ConnectionRefusedError
        && error != QAbstractSocket::SocketTimeoutError) {
        const int code = systemErrorNumber(error);
        abandonAttempt();
        report(socketErrorText(qt_error_string(code), code, QStringLiteral("connect")));
        return;
    }
    // The link stays "connecting" with nothing more to come, until Close or Open.
    raiseError(ErrorEvent::Connect, systemErrorNumber(error));
}

void TClientSocket::raiseError(ErrorEvent kind, int code)
{
    const quint64 generation = m_generation;
    int errorCode = code;
    Q_EMIT OnError(this, kind, errorCode);
    // The handler may have closed or reopened the link itself.
    if (generation == m_generation) {
        if (kind == ErrorEvent::Lookup)
            abandonAttempt();
        else if (m_state == LinkState::Connected)
            closeConnected();
    }
    if (errorCode != 0)
        report(exceptionText(kind, errorCode));
}

void TClientSocket::report(const QString &text) const
{
    // A copy: the reporter may show a modal box, during which anything can happen.
    const std::function<void(const QString &)> reporter = ErrorReporter;
    if (reporter)
        reporter(text);
}
