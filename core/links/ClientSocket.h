#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <stdexcept>

class QTcpSocket;

// The network link's one error type: it carries the text the user is shown.
class SocketError : public std::runtime_error {
public:
    explicit SocketError(const QString &message)
        : std::runtime_error(message.toLocal8Bit().toStdString()), m_message(message) {}
    QString message() const { return m_message; }

private:
    QString m_message;
};

// What went wrong, as OnError reports it. The numbering is fixed (0..6).
enum class ErrorEvent { General, Send, Receive, Connect, Disconnect, Accept, Lookup };

// The TCP client link to a device's command port. Opening returns at once;
// the outcome of the lookup and of the connection attempt, arriving data, the
// end of the connection and every error come later as signals on the thread
// that owns the object. The link has exactly one connection, so the sending and
// receiving operations live on the link itself.
//
// Errors are reported through OnError first. A handler that leaves ErrorCode
// other than 0 makes the link report the error text through ErrorReporter
// afterwards; that text never travels as an exception, because it arises in the
// middle of the event loop. Only SetHost/SetPort on a connected link and Open
// throw SocketError, synchronously, to their caller.
class TClientSocket : public QObject {
    Q_OBJECT
public:
    enum class LinkState { Idle, LookingUp, Connecting, Connected };

    static constexpr int DefaultPort = 9000;
    // The most that may wait in the link's own send buffer. Beyond it
    // SendString takes nothing, instead of queueing without
    // bound behind a device that no longer reads.
    static constexpr qint64 SendBufferSize = 64 * 1024;

    explicit TClientSocket(QObject *parent = nullptr);
    // Closes an open connection quietly: no signal is raised.
    ~TClientSocket() override;

    TClientSocket(const TClientSocket &) = delete;
    TClientSocket &operator=(const TClientSocket &) = delete;

    QString Host() const { return m_host; }
    // Throws SocketError("Can't change value while socket is active") when connected.
    void SetHost(const QString &host);
    int Port() const { return m_port; }
    // Throws like SetHost when connected.
    void SetPort(int port);

    bool Active() const { return m_state == LinkState::Connected; }
    LinkState State() const { return m_state; }

    // Starts a connection to Host:Port and returns at once. Nothing when
    // connected; an attempt in progress is abandoned first and raises nothing
    // more. A dotted address is connected to directly; anything else is looked
    // up first. Throws SocketError("Can't create new socket") when the system
    // has no socket to give.
    void Open();
    // Connected: raises OnDisconnect before it returns. During an attempt:
    // abandons it without any signal, now or later. Idle: nothing.
    void Close();

    // Hands the text to the connection without waiting for the network.
    // Returns the number of bytes taken: the whole text or nothing. 0 when
    // not connected, -1 when the text does not fit the send buffer whole at
    // the moment or sending failed (the failure is reported through OnError).
    int SendString(const QByteArray &text);
    // Takes up to count received bytes. Returns their number, 0 when not
    // connected, -1 when nothing has arrived.
    int ReceiveBytes(char *buffer, int count);

    // Blocks the calling thread until data has arrived and OnRead has been
    // raised (inside this call), the connection ended, or msecs ran out; -1
    // waits without limit. Nothing but this link is served meanwhile; pending
    // output is sent. Returns true when OnRead was raised.
    bool WaitForData(int msecs);

    // Receives the text of every error whose handler left ErrorCode other than
    // 0. The default hands it to DefaultErrorReporter, or to the warning log
    // while none is set.
    std::function<void(const QString &)> ErrorReporter;
    // The application's standard error display, installed once at start-up.
    static inline void (*DefaultErrorReporter)(const QString &text) = nullptr;

Q_SIGNALS:
    void OnConnect(TClientSocket *sender);
    void OnRead(TClientSocket *sender);
    void OnDisconnect(TClientSocket *sender);
    // ErrorCode is the system's error number; set it to 0 to mark the error as
    // handled. Connect handlers directly (same thread) so the change is seen.
    void OnError(TClientSocket *sender, ErrorEvent kind, int &ErrorCode);

private:
    void socketStateChanged(QAbstractSocket::SocketState state);
    void socketConnected();
    void socketReadyRead();
    void socketDisconnected();
    void socketErrorOccurred(QAbstractSocket::SocketError error);

    void requireNotConnected() const;
    void attachNewSocket();
    QTcpSocket *detachSocket();
    void abandonAttempt();
    void closeConnected();
    void finishConnect();
    void handleError(QAbstractSocket::SocketError error, bool atOnce);
    void connectFailed(QAbstractSocket::SocketError error, bool atOnce);
    void raiseError(ErrorEvent kind, int code);
    void raiseRead();
    void scheduleFurtherRead();
    void report(const QString &text) const;

    QString m_host;
    int m_port = DefaultPort;
    LinkState m_state = LinkState::Idle;
    QTcpSocket *m_socket = nullptr;
    // Changes whenever the current attempt or connection ends, so that queued
    // work of an ended one can tell it is stale.
    quint64 m_generation = 0;

    // Signals that QTcpSocket raises from inside connectToHost() are kept here
    // and acted upon later, so that Open() itself never raises an event.
    bool m_inOpen = false;
    bool m_openFailed = false;
    QAbstractSocket::SocketError m_openError = QAbstractSocket::UnknownSocketError;
    bool m_openConnected = false;
    // From the end of a lookup until control returns to the event loop: errors
    // then come from the system refusing the connection outright.
    bool m_connectStarting = false;

    bool m_sending = false;
    bool m_receiving = false;
    bool m_waiting = false;
    bool m_furtherReadQueued = false;
    quint64 m_readEvents = 0;
    quint64 m_bytesTaken = 0;
};
