#pragma once

#include "sim/core/SimBootLoader.h"
#include "sim/core/SimDevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTimer;
class SimDeadlineTimer;

// Serves one SimDevice over a pseudo-terminal, registered as COMn in the
// ports folder, and over TCP on 127.0.0.1, both links sharing the device's
// state. Nothing here blocks: the pseudo-terminal is non-blocking and written
// when it has room, delays and pieces run on a timer.
//
// The pseudo-terminal also leads to the device's boot loader (SimBootLoader):
// "reset" twice within ResetWindowMs, or a power cycle, starts it. While it
// runs, its bytes travel both ways at the line rate, as on a real serial
// line: each byte reaches the other side 10 bit times after the line was
// free for it, on deadlines of the monotonic clock. Unless a rate is set,
// the line runs at the speed the tool set on its port.
class SimServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 DefaultTcpPort = 9000;
    // Pause between the pieces of an answer, so that the reader sees them
    // as separate arrivals.
    static constexpr int PieceGapMs = 10;
    // A reset's answer is held this long, the time the device takes to
    // restart; a second reset within it enters the boot loader instead.
    static constexpr int ResetWindowMs = 1000;
    // The port's speed until the tool sets one.
    static constexpr int DefaultLineRate = 115200;
    // SetLineRate's value for a line at the speed set on the port.
    static constexpr int PortLineRate = -1;

    explicit SimServer(QObject *parent = nullptr);
    ~SimServer() override;

    SimDevice &Device() { return m_device; }
    const SimDevice &Device() const { return m_device; }

    // Opens a pseudo-terminal and links its slave as COM`wantedPort` in the
    // ports folder, or as the lowest free COMn when that one is taken or
    // `wantedPort` is 0, after pruning the links whose device or owner has
    // gone; marks the link as this process's own. False (see ErrorString)
    // when a step fails.
    bool StartSerial(int wantedPort = 0);
    // Removes the COMn link (when it still points at our slave) and its
    // owner mark, and closes the pseudo-terminal. A boot loader session ends.
    void StopSerial();
    int ComPort() const { return m_comPort; }
    // The line settings the tool (or a serial server in between) set on the
    // pseudo-terminal, as "115200 8N1"; empty without one.
    QString LineSettings() const;
    QString SlavePath() const { return m_slavePath; }
    QString LinkPath() const { return m_linkPath; }

    // Listens on 127.0.0.1:`port`; 0 takes any free port. One client at a
    // time: a second one is closed at once while the first is connected.
    bool StartTcp(quint16 port = DefaultTcpPort);
    void StopTcp();
    // The port listened on; 0 when not listening.
    quint16 TcpPort() const;
    bool TcpClientConnected() const { return !m_client.isNull(); }

    QString ErrorString() const { return m_error; }

    // Writes `bytes` bytes of flood text to the pseudo-terminal as fast as
    // it takes them, at most `pieceSize` bytes per write (0: no limit).
    // floodDone() follows when all are written or a write error cut it short.
    // A flood asked for while one runs is added to it. False without a
    // pseudo-terminal.
    bool StartFlood(qint64 bytes, int pieceSize = 0);
    bool FloodRunning() const { return m_flooding; }

    // While set, bytes from the pseudo-terminal go to the handler instead of
    // the command interpreter, and what it returns goes straight back.
    using ByteHandler = std::function<QByteArray(const QByteArray &)>;
    void SetByteHandler(ByteHandler handler) { m_byteHandler = std::move(handler); }

    // The boot loader and its settings (chip, page size, refused pages,
    // start token).
    SimBootLoader &BootLoader() { return m_boot; }
    const SimBootLoader &BootLoader() const { return m_boot; }
    // Bit rate of the line while the boot loader runs; 0 passes its bytes
    // as fast as the pseudo-terminal takes them; PortLineRate (the default)
    // follows the speed set on the port, each byte at the speed in force
    // when it was sent. Commands are never paced. LineRate() is the rate in
    // force now.
    int LineRate() const;
    void SetLineRate(int bitsPerSecond) { m_lineRate = bitsPerSecond >= 0 ? bitsPerSecond : PortLineRate; }
    bool LineRateFollowsPort() const { return m_lineRate == PortLineRate; }
    // Where a completed upload's image goes (replaced whole); empty: nowhere.
    QString BootImagePath() const { return m_bootImagePath; }
    void SetBootImagePath(const QString &path) { m_bootImagePath = path; }
    // Why the last image could not be written; empty when it was (or none
    // was due).
    QString BootImageError() const { return m_bootImageError; }
    // The software version the firmware reports once an upload has
    // completed (it runs the new firmware); empty: the version stays.
    QByteArray SoftwareAfterUpdate() const { return m_softwareAfterUpdate; }
    void SetSoftwareAfterUpdate(const QByteArray &version) { m_softwareAfterUpdate = version; }
    // The firmware greets (a line and its prompt) this long after the boot
    // loader has ended, as it starts; until then it is restarting and takes
    // no commands. 0 (the default): it is ready at once and says nothing.
    int GreetingDelayMs() const { return m_greetingDelayMs; }
    void SetGreetingDelayMs(int ms) { m_greetingDelayMs = ms > 0 ? ms : 0; }
    static constexpr int DefaultGreetingDelayMs = 1000;
    static QByteArray Greeting() { return QByteArrayLiteral("\r\nMirto ready\r\n>"); }
    void SetSerialAfterUpdate(const QByteArray &serial) { m_serialAfterUpdate = serial; }
    // Power off and on: whatever the device was doing ends, its unsent
    // output is lost and the boot loader starts. False without a
    // pseudo-terminal.
    bool PowerCycle();
    bool InBootLoader() const { return m_boot.Active(); }

    // Faults, for trying the tool against a device that fails. Each is set
    // off by a command line whose whole text or command word equals the one
    // given (as with the withheld command); that line gets no answer.
    // Unplug: the pseudo-terminal closes as when the cable is pulled (the
    // COM link goes with it); on TCP the device closes the connection.
    void SetUnplugAt(const QByteArray &command) { m_unplugAt = command; }
    // TCP only: the connection is reset (RST) instead of closed.
    void SetResetAt(const QByteArray &command) { m_resetAt = command; }
    // `bytes` of flood text, as fast as the link takes them, on the link the
    // command came on.
    void SetFloodAt(const QByteArray &command, qint64 bytes)
    {
        m_floodAt = command;
        m_floodAtBytes = bytes;
    }
    // Zero bytes as fast as the link takes them, without end.
    void SetZerosAt(const QByteArray &command) { m_zerosAt = command; }
    // Lines of event text every EndlessLineMs, without end and without a
    // prompt.
    void SetEndlessAt(const QByteArray &command) { m_endlessAt = command; }
    static constexpr int EndlessLineMs = 20;
    // Boot loader: the device is unplugged when the first byte of page
    // `page`'s frame arrives (between pages), or with `midFrame` once the
    // frame's page number has arrived and before its data; -1: never.
    void SetBootDeath(int page, bool midFrame)
    {
        m_dieAtPage = page;
        m_dieMidFrame = midFrame;
    }
    // Pulls the cable: the pseudo-terminal closes as an unplugged device's
    // port does; the TCP side stays. Without a stable link the COMn link
    // goes with it; with one, only the port it points at goes (the link
    // dangles) and COMn stays. With a replug due at once, the new port is in
    // place before the old one hangs up.
    void Unplug();
    // Plugs the cable back: a new pseudo-terminal, reached by the same
    // stable link (or linked as the same COMn again), for the unit `serial`
    // (empty: the one that was unplugged). False when it cannot be opened.
    bool Plug(const QByteArray &serial = {});
    bool Plugged() const { return m_master >= 0; }
    // After each unplug the cable comes back after `ms` (0: at once), as
    // the unit `serial` (empty: the same one); -1 (the default): never.
    void SetReplug(int ms, const QByteArray &serial = {})
    {
        m_replugMs = ms;
        m_replugSerial = serial;
    }
    // A device on USB: its port is reached through the stable link `path`
    // outside the ports folder (made, pointed and removed by the simulator),
    // and COMn points at that link. Empty (the default): COMn points at the
    // pseudo-terminal itself. Set before StartSerial.
    void SetStableLink(const QString &path) { m_stableLink = path; }
    QString StableLink() const { return m_stableLink; }

Q_SIGNALS:
    void floodDone();
    // Bytes arrived on the pseudo-terminal; emitted after they were handled.
    void serialDataReceived();
    // The cable was pulled, or plugged back in.
    void unplugged();
    void plugged();
    // The device was told to restart ("reset").
    void resetRequested();
    void bootLoaderStarted();
    // The boot loader has ended (see BootLoader().LastOutcome()); a
    // completed image has been written by now.
    void bootLoaderEnded();
    // A fault set off by a command line, or the boot loader's death, has
    // happened; `what` names it.
    void faultStarted(const QString &what);

private:
    enum class Link { Serial, Tcp };
    struct Pending {
        qint64 notBefore;
        QByteArray bytes;
        Link link;
        quint64 generation;
        bool continuation;
    };

    struct WireChunk {
        QByteArray bytes;
        qint64 startNs; // when the line began to carry its first byte
        qsizetype done; // bytes already handed on
        int rate;       // bit/s it travels at; 0: at once
    };

    // The pseudo-terminal's side (SimServerCable.cpp).
    bool OpenPty();
    void WatchPty();
    void ClosePty();
    void DropPty(int master, int slaveHold, QSocketNotifier *read, QSocketNotifier *write);
    // Points the link at `path` to `target` in one step, replacing it.
    bool PointLink(const QString &path, const QString &target);
    // A new port in place before the old one hangs up.
    bool SwapPty();
    void ReadSerial();
    void TakeSerialInput(const QByteArray &input);
    void HandleSerialLine(const QByteArray &line);
    void EnterBootLoader();
    void EndBootLoader();
    void QueueBootInput(const QByteArray &bytes);
    void DeliverBootInput();
    void QueueBootOutput(const SimBootLoader::Outputs &outputs, qint64 reactionNs);
    void FlushBootOutput();
    void BootTokenTimeout();
    void WriteBootImage();
    void ClearBootLine();
    qint64 ByteEndNs(const WireChunk &chunk, qsizetype count) const;
    qsizetype BytesCarried(const WireChunk &chunk, qint64 nowNs) const;
    void FlushSerial();
    bool SerialHasOutput() const;
    void RefillFlood();
    void EndFlood();
    void AcceptClient();
    void ReadClient();
    void DropClient();
    void HandleLines(Link link, const QList<QByteArray> &lines);
    enum class StreamKind { Flood, Zeros, Text };
    struct Stream {
        Link link;
        quint64 generation;
        StreamKind kind;
        qint64 remaining; // -1: without end
        qint64 line;
        qint64 nextMs;
    };
    bool TakeFault(Link link, const QByteArray &line);
    bool BootDies();
    void ResetClient();
    void StartStream(Link link, StreamKind kind, qint64 bytes);
    void FeedStreams();
    void Answer(Link link, const QByteArray &answer, int atLeastMs = 0);
    void Send(Link link, quint64 generation, const QByteArray &bytes);
    void SendDue();
    void ScheduleNext();
    quint64 Generation(Link link) const;

    SimDevice m_device;
    ByteHandler m_byteHandler;
    QString m_error;
    QElapsedTimer m_clock;
    QTimer *m_answerTimer = nullptr;
    QList<Pending> m_pending;

    int m_master = -1;
    int m_slaveHold = -1;
    QString m_slavePath;
    QString m_linkPath;
    int m_comPort = 0;
    int m_plugComPort = 0;
    QString m_stableLink;
    int m_replugMs = -1;
    QByteArray m_replugSerial;
    QTimer *m_replugTimer = nullptr;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    SimLineBuffer m_serialLines;
    QByteArray m_serialOut;
    qsizetype m_serialOutPos = 0;
    quint64 m_serialGeneration = 0;

    bool m_flooding = false;
    qint64 m_floodRemaining = 0;
    qint64 m_floodLine = 0;
    int m_floodPiece = 0;
    QByteArray m_floodBuffer;
    qsizetype m_floodPos = 0;

    SimBootLoader m_boot;
    int m_lineRate = PortLineRate;
    QString m_bootImagePath;
    QString m_bootImageError;
    QByteArray m_softwareAfterUpdate;
    int m_greetingDelayMs = 0;
    // Until then the firmware is restarting: what the tool sends is lost.
    qint64 m_restartingUntilNs = -1;
    QByteArray m_serialAfterUpdate;
    qint64 m_lastResetNs = -1;
    QList<WireChunk> m_bootIn;
    QList<WireChunk> m_bootOut;
    qint64 m_inLineFreeNs = 0;
    qint64 m_outLineFreeNs = 0;
    SimDeadlineTimer *m_inTimer = nullptr;
    SimDeadlineTimer *m_outTimer = nullptr;
    QTimer *m_tokenTimer = nullptr;

    QByteArray m_unplugAt;
    QByteArray m_resetAt;
    QByteArray m_floodAt;
    qint64 m_floodAtBytes = 0;
    QByteArray m_zerosAt;
    QByteArray m_endlessAt;
    int m_dieAtPage = -1;
    bool m_dieMidFrame = false;
    QList<Stream> m_streams;
    QTimer *m_streamTimer = nullptr;

    QTcpServer *m_tcpServer = nullptr;
    QPointer<QTcpSocket> m_client;
    SimLineBuffer m_tcpLines;
    quint64 m_tcpGeneration = 0;
};
