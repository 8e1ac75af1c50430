#pragma once

#include "core/firmware/HexImage.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// The update dialog's two one-shot timers.
enum class BootTimer {
    Timer1, // 3000 ms: the start token did not come after the reset command
    Timer2, // 1000 ms: bytes are taken again after a failed reload
};

// One thing the update dialog has to do for the boot loader conversation.
struct BootEvent {
    enum class Kind {
        Message,          // append Text to the message list
        ClearMessages,    // empty the message list
        Status,           // Text becomes the status line
        MessageBox,       // tell the user Text in a message box with OK
        Progress,         // progress bar: position Value, maximum Maximum
        Command,          // send Text through the main window's send operation
        StartTimer,       // start Timer
        StopTimer,        // stop Timer
        ShowPowerPrompt,  // show the power-plug prompt modally
        ClosePowerPrompt, // close the power-plug prompt if it is showing
        StartEnabled,     // enable ("Start Update") when Flag, else disable it
        TransferStarted,  // lock file choice and Start until TransferEnded
        TransferEnded,    // Flag: the end marker went out; false: aborted or cut off
        Finished,         // the boot loader is done: close the dialog; Flag: success
        Terminal,         // show Text in the main window's terminal as well
    };

    Kind Type = Kind::Message;
    QString Text;
    quint32 Value = 0;
    quint32 Maximum = 0;
    bool Flag = false;
    BootTimer Timer = BootTimer::Timer1;

    bool operator==(const BootEvent &) const = default;
};

// What one call with received bytes did.
struct BootFeed {
    // Bytes taken from the front of the data handed in. Reading stops after
    // the finish byte ']' (the rest belongs to the terminal) and when bytes
    // are no longer accepted (the rest waits in the port).
    qsizetype Consumed = 0;
    QList<BootEvent> Events;
};

// The tool's side of the device's boot loader conversation, without a window
// or a port. The device leads; each byte it sends is handled as it comes,
// however the bytes are split into calls. Answers go out through the writer,
// page frames as one write each. Everything the dialog must show comes back
// as events, to be carried out after the call returns, so that a message box
// never runs while the machine is in the middle of a byte.
//
// The machine lives as long as the dialog: the page size and whether a
// transfer is done carry over from one showing to the next.
//
// A '>' is the boot loader's start token only while one is awaited: after
// Start (until Timer1 runs out, or while the power-plug prompt shows) and
// during a transfer. At any other time it is the running firmware's prompt,
// and the machine leaves it, and every other byte, to the terminal: the
// dialog holds the link exactly while Listening() is true.
class BootProtocol {
public:
    // Reloads the HEX file into the image the machine was given.
    using Loader = std::function<HexLoadResult()>;
    // Writes bytes to the device in one write; returns false, or throws, when
    // the link fails. Exceptions end at the machine.
    using Writer = std::function<bool(const QByteArray &bytes)>;
    // Milliseconds of a steady clock, for the duration of an update.
    using Clock = std::function<qint64()>;

    // Position of "115200" in the speed list: the only speed at which the
    // device is entered by a reset command instead of a power cycle.
    static constexpr int ResetSpeedIndex = 3;
    static constexpr int Timer1Ms = 3000;
    static constexpr int Timer2Ms = 1000;
    static constexpr int AbortFillBytes = 300;
    // A Mega128 keeps its top 4 KB for the boot loader: no image may reach it.
    static constexpr quint32 Mega128Limit = 131072 - 4096;

    BootProtocol(const HexImage &image, Loader loader, Writer writer);

    // The activation work of a new showing of the dialog, once per showing.
    void Activate();
    // "Start Update" or Space, with the position of the chosen speed (-1 for
    // none). Ignored while a transfer runs, while a start token is awaited
    // already, or while bytes are not accepted.
    QList<BootEvent> Start(int speedIndex);
    QList<BootEvent> Timer1Expired();
    QList<BootEvent> Timer2Expired();
    // The power-plug prompt closed: without a start token, none is awaited
    // any longer.
    QList<BootEvent> PowerPromptClosed();
    // The user stops a running transfer: the boot loader gets the abort, and
    // the machine stays with it until it finishes (or says nothing for
    // Timer1's time), so that it is not left waiting for its lock bits.
    QList<BootEvent> Stop();
    // Bytes received from the device. Takes nothing while bytes are not
    // accepted, and stops at the first byte that is not the boot loader's.
    BootFeed ProcessBootBytes(const char *data, qsizetype size);
    BootFeed ProcessBootBytes(const QByteArray &data)
    {
        return ProcessBootBytes(data.constData(), data.size());
    }
    // The link went away or cannot be read: whatever was under way ends
    // with `reason`, as a failure.
    QList<BootEvent> LinkLost(const QString &reason);
    // The "Close" button, before the dialog closes: tells a boot loader that
    // has finished to start the firmware.
    QList<BootEvent> CloseButtonPressed();
    // The dialog closed, whatever closed it.
    QList<BootEvent> Closed();

    void SetClock(Clock clock) { m_clock = std::move(clock); }
    // While paused (the user is asked whether to stop), the clock of the
    // update's duration stands still.
    void PauseClock(bool paused);

    bool AcceptBytes() const { return m_acceptBytes; }
    bool WaitingForToken() const { return m_waitingForToken; }
    bool InBootProtocol() const { return m_inBootProtocol; }
    bool TransferDone() const { return m_transferDone; }
    bool TransferRunning() const { return m_running; }
    // Bytes from the device are the boot loader's (a start token is awaited
    // or its conversation runs); otherwise they belong to the terminal.
    bool Listening() const { return m_waitingForToken || m_inBootProtocol; }
    quint32 PageSize() const { return m_pageSize; }
    quint32 PageIndex() const { return m_pageIndex; }
    int ErrorCount() const { return m_errorCount; }

private:
    // Returns false when reading has to stop after this byte.
    bool HandleByte(char byte, QList<BootEvent> &events);
    void StartToken(QList<BootEvent> &events);
    void EndWaits(QList<BootEvent> &events);
    void SendPage(QList<BootEvent> &events);
    void LockBits(QList<BootEvent> &events);
    void Abort(const QString &reason, QList<BootEvent> &events, bool sayLastWords = true);
    // Once per transfer that failed after '<': the status line and the
    // terminal say that the device stays in its boot loader.
    void LastWords(const QString &reason, QList<BootEvent> &events);
    void KeepLastWords(QList<BootEvent> &events);
    qint64 PausedMs() const;
    void Finish(QList<BootEvent> &events);
    void EndTransfer(bool completed, QList<BootEvent> &events);
    bool Write(const QByteArray &bytes, QList<BootEvent> &events);

    const HexImage &m_image;
    Loader m_loader;
    Writer m_writer;
    Clock m_clock;

    bool m_acceptBytes = true;
    bool m_waitingForToken = false;
    // The token is awaited after a reset command (Timer1 bounds the wait),
    // not after a power-plug prompt (the prompt does).
    bool m_resetWait = false;
    bool m_stopped = false;
    bool m_inBootProtocol = false;
    bool m_transferDone = false;
    bool m_running = false;
    // The end marker went out and nothing failed since the start token.
    bool m_completed = false;
    bool m_failed = false;
    quint32 m_pageSize = 0;
    quint32 m_pageIndex = 0;
    int m_errorCount = 0;
    // Why the transfer was aborted, for the message at the finish.
    QString m_abortReason;
    // When the good start token came, and what the end marker closed.
    qint64 m_startedMs = 0;
    qint64 m_pausedMs = 0;
    qint64 m_pausedSinceMs = -1;
    bool m_lastWordsSaid = false;
    quint32 m_sentBytes = 0;
    quint32 m_sentPages = 0;
};
