#pragma once

#include "core/links/ClientSocket.h"
#include "core/links/SerialPort.h"
#include "core/DevicePorts.h"
#include "core/TerminalFormatter.h"
#include "core/ToolSettings.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QEventLoop;
class ReconnectPolicy;

// What the connection shows of itself: status panel 3 and the two buttons.
struct ConnectionState {
    QString ConnectionPanel;
    bool OpenEnabled = true;
    bool CloseEnabled = false;
    bool PortListEnabled = true;
};

// How the connection reaches the person in front of the tool. The main
// window implements it; tests and the command-line front end script it.
class DeviceUser {
public:
    virtual ~DeviceUser() = default;
    // A message with an OK button. Never called while a command waits for
    // its prompt.
    virtual void TellUser(const QString &text) = 0;
    // A window asked for the device while another job holds it. A notice
    // that does not stop the job, which goes on meanwhile.
    virtual void TellBusy(const QString &text) = 0;
    // A link error for the standard error display.
    virtual void ShowLinkError(const std::exception &error) = 0;
    // Asks for the device's network address, proposing `address`; false when
    // the user cancels.
    virtual bool AskHostAddress(QString &address) = 0;
    virtual void SetBusyCursor() = 0;
    virtual void RestoreCursor() = 0;
    // Text for the end of the terminal.
    virtual void AppendTerminal(const QByteArray &text) = 0;
    virtual void AddStatus(const QString &text) = 0;
    // Status panel 2.
    virtual void ShowIdentification(const QString &text) = 0;
    virtual void ShowConnectionState(const ConnectionState &state) = 0;
    // The system's serial ports may have changed: read the port list again.
    virtual void PortsChanged() = 0;
    // What an automatic reconnect just did, for a line the user sees.
    virtual void ShowReconnect(const QString &text) { AddStatus(text); }
    // The device's bytes as they came over `link`, untouched: the same bytes
    // from the cable and the network. A terminal turns them into its text
    // with a TerminalFormatter; the hex view shows them as they are.
    virtual void ShowReceived(const QByteArray &bytes, TerminalFormatter::Link link)
    {
        Q_UNUSED(bytes);
        Q_UNUSED(link);
    }
    // The hex view during a firmware update: while it is on, the boot
    // loader's bytes come here as they are.
    virtual bool ShowsRawBytes() const { return false; }
    virtual void ShowRawBytes(const QByteArray &bytes) { Q_UNUSED(bytes); }
};

// The link to the device without any window, and its one owner: the serial
// port, the network client and its connect time-out, the command exchange,
// identification, both receive paths, and which job holds the link.
//
// Who may write: with no job holding the link, any window may send or start
// an exchange. A job (an exchange, a sequence such as programming or the
// identification, the firmware update) holds the link until it ends; while
// it waits for the device, the tool's windows stay usable, and whatever they
// ask of the device meanwhile is refused with a notice naming the job. The
// holder itself never asks while it waits, so a request that arrives during
// a wait always comes from someone else. The firmware update holds the link
// from the moment its boot loader is awaited and only writes through the
// boot view.
//
// Which prompt answers what: every command line sent is owed one prompt, and
// prompts are credited in order. An exchange is confirmed only by the prompt
// owed to its own line, after those owed to earlier lines. Each prompt is
// written off when it has not come within the usual time-out of its line
// going out, or of the prompt before it when that one came later: with a
// device gone quiet, a wait ends one time-out after the last line sent.
class DeviceConnection : public QObject, public CommandPort {
    Q_OBJECT
public:
    static constexpr int ReplyCapacity = 999;
    static constexpr int PieceCapacity = 1023;
    static constexpr int NetworkReadSize = 210;
    static constexpr int ConnectTimeoutMs = 2000;
    static constexpr int NetworkPort = 9000;
    static constexpr int PromptTimeoutMs = 4000;
    // Receive buffers taken in one turn of the event loop.
    static constexpr int MaxPartsPerTurn = 16;

    // `settings` supplies the interface type; it outlives the connection.
    DeviceConnection(const ToolSettings &settings, DeviceUser &user, QObject *parent = nullptr);
    ~DeviceConnection() override;

    QString HostAddress;

    SerialPort &VaComm() { return m_vaComm; }
    TClientSocket &ClientSocket() { return m_clientSocket; }
    QTimer &TOTimer() { return m_toTimer; }
    // A command is waiting for its prompt.
    bool Waiting() const { return m_waitLoop != nullptr; }
    // A network attempt is under way (between the open and its outcome).
    bool Trying() const { return m_toTimer.isActive(); }
    // The last exchange's outcome; between exchanges, whether a prompt came.
    bool PromptSeen() const { return m_promptSeen; }
    // Prompts owed to command lines sent and not yet answered or written off.
    int PromptsOwed() const { return int(m_owed.size()); }
    // The firmware update holds the link.
    bool BootActive() const { return bool(m_uploadReceiver); }
    // The open link went away (cable pulled, device closed the connection)
    // since it was last opened.
    bool LinkLost() const { return m_linkLost; }
    // The last open of the serial port failed because another program holds
    // it (a wait for it may succeed where a cable check would not help).
    bool PortInUse() const { return m_portInUse; }

    // Opens the link. Serial and USB identify the device unless `identify`
    // is false (the port is handed back after a firmware update).
    void OpenConnectionClicked(bool identify = true);
    void CloseConnectionClicked();
    // Asks the open link for the device's serial number and software version
    // and shows them, as a job of its own unless the caller holds the link.
    // False when the device did not answer (the terminal and the status list
    // say so) or the link is busy or closed.
    bool Identify();
    // Identifies the device once it has restarted (its new firmware after an
    // update): waits until its line has been quiet for a while, so that a
    // greeting it sends as it starts has ended, and asks again while the
    // answer is not whole, for up to RestartIdentifyMs. False when the
    // device did not identify itself (the user has been told).
    bool IdentifyAfterRestart();
    static constexpr int RestartQuietMs = 1500;
    static constexpr int QuietMs = 500;
    static constexpr int RestartIdentifyMs = 10000;
    // What the last identification since the link opened read: the status
    // bar's parts ("12345", "FFFFF", "?????"); empty when none succeeded.
    QByteArray IdentifiedSerial() const { return m_identity.readSerial; }
    QByteArray IdentifiedVersion() const { return m_identity.readVersion; }
    // The device's own serial number and software version as last read: a
    // value the device does not have ("FFFFF") or that could not be read
    // keeps the one before, across links; empty until one was read.
    QByteArray SerialNumber() const { return m_identity.serial; }
    QByteArray SoftwareVersion() const { return m_identity.version; }
    // Switches the serial port to `number` and opens it; false when that
    // failed (the user has been told).
    bool ChangePort(int number);
    void UpdateConnectionStatus();
    // Tools - Reconnect Automatically (core/ReconnectPolicy.h): once a link
    // went away without the user closing it, a serial or USB device is
    // opened and identified again when it comes back; the network link is
    // tried again until it connects or the user closes or opens it.
    void SetAutoReconnect(bool on);
    bool AutoReconnect() const;
    // A reconnect waits for the device or for its next attempt.
    bool Reconnecting() const;

    // CommandPort
    bool IsConnected() const override { return m_connected; }
    int Interface() const override { return m_settings.InterfaceType; }
    void OpenConnection() override { OpenConnectionClicked(true); }
    bool SendCommand(const QByteArray &text) override;
    bool ExchangeCommand(const QByteArray &text) override;
    QByteArray Reply() const override { return m_reply; }
    QString BusyWith() const override;
    bool BeginSequence(const QString &job) override;
    void EndSequence() override;
    void Reidentify() override;
    bool WhenConnected(std::function<void()> then) override;

    // The link as the firmware update sees it.
    BootPort &Boot();

    // Closes whatever is open as the tool ends; a command waiting for its
    // prompt stops waiting.
    void Shutdown();

    // Receive paths and link notifications.
    void VaCommRxChar(SerialPort *sender, int count);
    void ClientSocketRead(TClientSocket *sender);
    void ClientSocketConnect(TClientSocket *sender);
    void ClientSocketDisconnect(TClientSocket *sender);
    void ClientSocketError(TClientSocket *sender, ErrorEvent kind, int &errorCode);
    void TOTimerTimer();

Q_SIGNALS:
    // The device's text as it came over the link (up to a zero byte), the
    // same whichever link is used; the terminal's mark-up is no part of it.
    void Received(const QByteArray &bytes);
    // A command line went out to the device, whoever sent it (a window, a
    // command file, programming, identification, the update's reset): the
    // one place a terminal learns what was sent, to echo it.
    void LineSent(const QByteArray &line);

private:
    // The owner's side of handing the port to the firmware update and
    // taking it back (core/DeviceConnectionUpdate.h).
    class UpdateHandOver;
    friend class UpdateHandOver;
    friend class ReconnectPolicy;

    enum class Job { None, Exchange, Sequence, Boot };

    bool WaitForPrompt(quint64 own);
    bool refuseWhileBusy();
    // Tells the user which job holds the link; nothing was sent.
    void tellBusy();
    void beginJob(Job job, const QString &name);
    void endJob();
    bool writeLine(const QByteArray &text);
    void linkGone();
    // Closes the network link on the tool's own account: the device did not
    // close it, so the user is not told it did.
    void closeSocket();
    // Starts a network attempt to HostAddress, the user's open and the
    // automatic reconnect alike. When the socket cannot even begin, the
    // time-out is stopped and `failed` tells of it as its caller does.
    void openNetworkAttempt(const std::function<void(const std::exception &)> &failed);
    // What waited for a network attempt is dropped with it.
    void dropWhenConnected() { m_whenConnected.clear(); }
    void forgetOwedPrompts();
    void dropExpiredPrompts();
    // The oldest prompt owed has come.
    void promptCredited();
    void creditPrompts(const QByteArray &piece);
    void collectReply(const QByteArray &piece);
    // Both receive paths end here with what they read.
    void passOn(const QByteArray &bytes, TerminalFormatter::Link link);
    void wakeWait();
    void VaCommDeviceLost();
    bool identify();
    enum class IdentOutcome { NoAnswer, Partial, Whole };
    // Asks for the serial number and the version; shows them unless a part
    // is missing and `showPartial` is false.
    IdentOutcome readIdentification(bool showPartial);
    // Waits until nothing has arrived for `quietMs`; false when the deadline
    // came first or the link went away.
    bool waitForQuiet(int quietMs, const QDeadlineTimer &deadline);
    void noResponse();
    void tellUser(const QString &text);
    void flushMessages();
    void portOpenFailed(const SerialPortError &error);
    // A send found the serial port closed: nothing went out.
    void portNotOpen();
    bool linkAlive() const;
    bool network() const { return m_settings.InterfaceType == InterfaceNetwork; }
    // A line of the tool's own in the terminal (and so in its log).
    void markTerminal(const QString &text);

    const ToolSettings &m_settings;
    DeviceUser &m_user;
    SerialPort m_vaComm;
    TClientSocket m_clientSocket;
    QTimer m_toTimer;
    // Sends asked for while the network attempt runs, in order.
    std::vector<std::function<void()>> m_whenConnected;
    // The tool itself is closing the network link.
    bool m_closingSocket = false;
    std::unique_ptr<UpdateHandOver> m_handOver;
    std::function<void(int)> m_uploadReceiver;

    bool m_connected = false;
    // What the device said of itself: the last identification's reading
    // since the link opened, and its own values kept from the last reading
    // that had them.
    struct Identity {
        QByteArray readSerial;
        QByteArray readVersion;
        QByteArray serial;
        QByteArray version;
    } m_identity;
    bool m_promptSeen = false;
    QByteArray m_reply;

    // The job holding the link and its name for the user.
    Job m_job = Job::None;
    QString m_jobName;
    // Prompts: lines sent and prompts credited since the link opened; the
    // time-outs of the prompts still owed, oldest first.
    quint64 m_sent = 0;
    quint64 m_answered = 0;
    std::deque<QDeadlineTimer> m_owed;
    // The exchange waiting: the count of credited prompts that means its own
    // prompt came, and the loop it waits in.
    quint64 m_target = 0;
    // The waiting exchange's own prompt was credited (not written off, not
    // forgotten with the link).
    bool m_ownArrived = false;
    QEventLoop *m_waitLoop = nullptr;
    // A restarted device's line is awaited to go quiet; the link is held.
    QEventLoop *m_settleLoop = nullptr;
    QElapsedTimer m_lastReceived;
    QTimer m_waitTimer;
    bool m_shutDown = false;
    QStringList m_heldMessages;

    // The open link went away; cleared when a link opens again.
    bool m_linkLost = false;
    bool m_portInUse = false;
    bool m_portListEnabled = true;
    bool m_userClosing = false;
    ReconnectPolicy *m_reconnect = nullptr;
};
