#pragma once

#include "core/firmware/BootLink.h"
#include "core/firmware/BootProtocol.h"
#include "core/firmware/HexImage.h"

#include <QObject>
#include <QTimer>

#include <functional>

class BootPort;

// A firmware update on a serial link: the boot loader conversation from the
// reset (or the power cycle the user makes) to the boot loader's finish. The
// session carries out every event of the conversation (the answers, the
// timers, the reset command, the link's hand-over, the terminal's line) and
// keeps their order; a front end shows what it reports and asks the user.
// The update dialog and the command line drive the same session.
//
// While a received-data notification runs, what needs the user (a message
// box, the power-plug prompt, the finish) and everything after it is carried
// out from the event loop, in order: nothing modal runs inside the port's own
// notification.
class UpdateSession : public QObject {
    Q_OBJECT
public:
    // Names the HEX file each time it is read (at Start and at every start
    // token), so that the image sent is the file as it is then.
    using FileName = std::function<QString()>;
    UpdateSession(BootPort &port, FileName file, QObject *parent = nullptr);
    UpdateSession(BootPort &port, const QString &path, QObject *parent = nullptr);
    // Sends `hexText`, a HEX file as read once when the job started: the
    // device gets exactly these bytes, whatever happens to the file
    // meanwhile, and nothing is read again at the start token.
    UpdateSession(BootPort &port, const QByteArray &hexText, QObject *parent = nullptr);
    ~UpdateSession() override;

    // Without a window: checks the file, takes the link and enters the boot
    // loader. With `reset` the device is sent "reset" twice; otherwise the
    // user power-cycles it, and the token is awaited for `powerCycleWaitMs`.
    // False when the file is bad or the link busy or closed (Finished
    // follows with the reason).
    bool Start(bool reset, int powerCycleWaitMs = 60000);

    // A window's showing begins: the boot loader is awaited afresh.
    void Activate();
    // Reads the file into the image now.
    HexLoadResult LoadImage();
    // Start Update with the speed at `speedIndex` in the speed list (-1 for
    // none): takes the link and enters the boot loader. False when another
    // job holds the link (the user has been told).
    bool Begin(int speedIndex);
    // Stops the update: a running transfer the way the tool stops on its own
    // errors (the boot loader's abort, after the page on its way); a start
    // token still awaited is awaited no longer, and nothing is written.
    // Finished follows with the stop as its reason, whatever the boot
    // loader's wind-down says after it.
    void Stop();
    // Where a stop by the user came: the pages sent before it, of how many
    // (both 0 when it came before the transfer began).
    struct StopPoint {
        bool Stopped = false;
        bool TransferBegun = false;
        quint32 PagesSent = 0;
        quint32 Pages = 0;
    };
    StopPoint StoppedAt() const { return m_stoppedAt; }
    // The user is being asked something (whether to stop): the device's
    // bytes wait in the port, and the update's clock stands still.
    void Pause();
    void Resume();
    // The power-plug prompt closed: without a start token, none is awaited.
    void PowerPromptClosed();
    // The "Close" button: a boot loader that has finished is told to start
    // the firmware.
    void CloseButtonPressed();
    // The window closed, whatever closed it: the link is given back.
    void Closed();
    // `count` bytes from the device are waiting (-1: the device went away).
    void Received(int count);

    bool Running() const { return m_running; }
    const HexImage &Image() const { return m_image; }
    const BootProtocol &Protocol() const { return m_protocol; }

Q_SIGNALS:
    // Before each batch of events: the conversation's state may have changed.
    void StateChanged();
    void Message(const QString &text);
    void MessagesCleared();
    void Status(const QString &text);
    void Progress(quint32 value, quint32 maximum);
    // A failure for a message box.
    void Problem(const QString &text);
    // The user is to remove the device's power and apply it again; a window
    // shows its prompt until PowerCycleSeen or the user closes it.
    void PowerCycleNeeded();
    void PowerCycleSeen();
    void StartAllowed(bool allowed);
    // A transfer runs (from a good start token to its end).
    void TransferRunning(bool running);
    // The line could not be read: the update ended for this reason.
    void ReadFailed(const QString &error);
    // The boot loader sent its finish byte; `success`: a complete image.
    void BootLoaderDone(bool success);
    // The attempt is over (the finish, a wait that ran out, a lost link);
    // `error` says why when it failed.
    void Finished(bool success, const QString &error);

private:
    UpdateSession(BootPort &port, std::function<HexLoadResult(HexImage &)> load, QObject *parent);
    void applyEvents(const QList<BootEvent> &events, bool insideReceive = false);
    // False when the events after this one must not run.
    bool applyEvent(const BootEvent &event);
    void finish(bool success, const QString &reason);

    BootPort &m_port;
    // Fills the image from where the session's HEX text comes from.
    std::function<HexLoadResult(HexImage &image)> m_load;
    HexImage m_image;
    BootProtocol m_protocol;
    BootLink m_link;
    QTimer m_timer1;
    QTimer m_timer2;
    QTimer m_powerWait;
    // After a failed transfer: how long the boot loader has to finish.
    QTimer m_endWait;
    bool m_running = false;
    bool m_paused = false;
    bool m_bytesHeld = false;
    QString m_lastProblem;
    StopPoint m_stoppedAt;
    QString m_stopReason;
};
