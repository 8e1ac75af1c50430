#include "core/firmware/UpdateSession.h"

#include "core/DevicePorts.h"

#include <QPointer>

#include <climits>
#include <exception>

UpdateSession::UpdateSession(BootPort &port, FileName file, QObject *parent)
    : UpdateSession(
          port, [file = std::move(file)](HexImage &image) { return LoadHexFile(file(), image); }, parent)
{
}

UpdateSession::UpdateSession(BootPort &port, const QByteArray &hexText, QObject *parent)
    : UpdateSession(
          port, [hexText](HexImage &image) { return ParseHexImage(hexText, image); }, parent)
{
}

UpdateSession::UpdateSession(BootPort &port, std::function<HexLoadResult(HexImage &)> load, QObject *parent)
    : QObject(parent), m_port(port), m_load(std::move(load)),
      m_protocol(
          m_image, [this] { return m_load(m_image); },
          [this](const QByteArray &bytes) {
              // A closed port takes nothing: that is a failure, not success.
              if (!m_port.PortOpen())
                  return false;
              m_port.WriteBytes(bytes);
              return true;
          }),
      m_link(m_port, m_protocol)
{
    // Children by name: the window that holds the session shows its timers.
    m_timer1.setParent(this);
    m_timer2.setParent(this);
    m_powerWait.setParent(this);
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer2.setObjectName(QStringLiteral("Timer2"));
    m_timer1.setSingleShot(true);
    m_timer1.setInterval(BootProtocol::Timer1Ms);
    m_timer2.setSingleShot(true);
    m_timer2.setInterval(BootProtocol::Timer2Ms);
    m_powerWait.setSingleShot(true);
    // No wait of its own until a front end without a prompt asks for one.
    m_powerWait.setInterval(0);
    m_endWait.setParent(this);
    m_endWait.setSingleShot(true);
    m_endWait.setInterval(BootProtocol::Timer1Ms);
    // A boot loader that went quiet after an aborted transfer never sends
    // its finish: the failure ends the update once the boot loader's own
    // time-out has passed, so nothing unattended waits for ever.
    connect(&m_endWait, &QTimer::timeout, this, [this] {
        if (!m_running)
            return;
        finish(false, m_lastProblem.isEmpty()
                          ? (m_protocol.ErrorCount() > 3
                                 ? QStringLiteral("Firmware update failed: the device refused pages %1 times, "
                                                  "the transfer was aborted")
                                       .arg(m_protocol.ErrorCount())
                                 : QStringLiteral("Firmware update failed: the transfer was aborted"))
                          : m_lastProblem);
    });
    connect(&m_timer1, &QTimer::timeout, this, [this] { applyEvents(m_protocol.Timer1Expired()); });
    connect(&m_timer2, &QTimer::timeout, this, [this] { applyEvents(m_protocol.Timer2Expired()); });
    // Without a prompt on a screen, the wait for the power cycle ends as a
    // closed prompt would.
    connect(&m_powerWait, &QTimer::timeout, this, [this] {
        m_lastProblem = QStringLiteral("No start-token received from device: the device was not power-cycled in time");
        applyEvents(m_protocol.PowerPromptClosed());
    });
}

UpdateSession::UpdateSession(BootPort &port, const QString &path, QObject *parent)
    : UpdateSession(port, [path] { return path; }, parent)
{
}

UpdateSession::~UpdateSession()
{
    if (m_running)
        m_link.Release();
}

bool UpdateSession::Start(bool reset, int powerCycleWaitMs)
{
    if (!m_port.PortOpen()) {
        finish(false, QStringLiteral("The port is not open"));
        return false;
    }
    // The file is checked before the device is touched.
    const HexLoadResult load = LoadImage();
    for (const QString &line : load.Messages)
        Q_EMIT Message(line);
    if (load.Result != 0) {
        finish(false, load.Result == -2 ? QStringLiteral("Flash File too large") : QStringLiteral("Error in Flash File"));
        return false;
    }
    m_powerWait.setInterval(qMax(1, powerCycleWaitMs));
    m_protocol.Activate();
    if (!Begin(reset ? BootProtocol::ResetSpeedIndex : 0)) {
        finish(false, QStringLiteral("The device is busy"));
        return false;
    }
    return true;
}

void UpdateSession::Activate()
{
    m_protocol.Activate();
}

HexLoadResult UpdateSession::LoadImage()
{
    return m_load(m_image);
}

bool UpdateSession::Begin(int speedIndex)
{
    // From here on a '>' is the boot loader's start token: the update takes
    // the link, unless another job holds it (the user has been told).
    const QPointer<UpdateSession> self(this);
    if (!m_link.Claim([self](int count) {
            if (self)
                self->Received(count);
        }))
        return false;
    m_running = true;
    m_lastProblem.clear();
    m_stoppedAt = {};
    m_stopReason.clear();
    applyEvents(m_protocol.Start(speedIndex));
    return true;
}

void UpdateSession::Stop()
{
    if (!m_running)
        return;
    m_stoppedAt.Stopped = true;
    if (!m_protocol.TransferRunning()) {
        // Before '<' the boot loader has erased nothing: ending the wait
        // leaves the device as it was.
        m_stopReason = QStringLiteral("Update stopped by the user before the transfer began: nothing was written");
        applyEvents(m_protocol.Closed());
        if (m_running)
            finish(false, m_stopReason);
        return;
    }
    m_stoppedAt.TransferBegun = true;
    m_stoppedAt.PagesSent = m_protocol.PageIndex();
    const quint32 pageSize = m_protocol.PageSize();
    m_stoppedAt.Pages = pageSize > 0 ? m_image.ImageHighAddress / pageSize + 1 : 0;
    m_stopReason = QStringLiteral("Update stopped by the user after page %1 of %2")
                       .arg(m_stoppedAt.PagesSent)
                       .arg(m_stoppedAt.Pages);
    applyEvents(m_protocol.Stop());
}

void UpdateSession::Pause()
{
    m_paused = true;
    m_protocol.PauseClock(true);
}

void UpdateSession::Resume()
{
    m_paused = false;
    m_protocol.PauseClock(false);
    if (!m_bytesHeld)
        return;
    m_bytesHeld = false;
    // The port does not announce again what it announced already.
    if (m_port.UploadActive())
        Received(INT_MAX);
}

void UpdateSession::PowerPromptClosed()
{
    applyEvents(m_protocol.PowerPromptClosed());
}

void UpdateSession::CloseButtonPressed()
{
    applyEvents(m_protocol.CloseButtonPressed());
}

void UpdateSession::Closed()
{
    m_paused = false;
    m_bytesHeld = false;
    applyEvents(m_protocol.Closed());
    m_powerWait.stop();
    m_running = false;
    m_link.Release();
}

void UpdateSession::Received(int count)
{
    // The device's bytes wait in the port while the user is asked; a device
    // that went away is heard of at once.
    if (count >= 0 && m_paused) {
        m_bytesHeld = true;
        return;
    }
    const BootLink::Taken taken = m_link.Take(count);
    // A lost or unreadable line is the reason the update ends, whatever the
    // conversation was waiting for at the time.
    if (!taken.Error.isEmpty())
        m_lastProblem = taken.Error;
    applyEvents(taken.Events, true);
    if (taken.Error.isEmpty())
        return;
    if (count >= 0)
        Q_EMIT ReadFailed(taken.Error);
    if (m_running)
        finish(false, taken.Error);
}

void UpdateSession::applyEvents(const QList<BootEvent> &events, bool insideReceive)
{
    // The machine's state is final by now: once it no longer listens, the
    // device's next bytes (also those behind a message box about to show)
    // are the terminal's.
    m_link.ReleaseWhenDone();
    Q_EMIT StateChanged();
    for (qsizetype i = 0; i < events.size(); ++i) {
        const BootEvent::Kind type = events[i].Type;
        const bool needsUser = type == BootEvent::Kind::MessageBox || type == BootEvent::Kind::Finished
                               || type == BootEvent::Kind::ShowPowerPrompt;
        if (insideReceive && needsUser) {
            // The port does not announce data again while its own
            // notification runs: what waits for the user waits for the
            // event loop, and what follows it keeps its place.
            const QList<BootEvent> rest = events.mid(i);
            QMetaObject::invokeMethod(this, [this, rest] { applyEvents(rest); }, Qt::QueuedConnection);
            return;
        }
        if (!applyEvent(events[i]))
            return;
    }
    // A wait that ran out without a start token ends the attempt.
    if (m_running && !m_protocol.Listening() && !m_timer2.isActive())
        finish(false, m_lastProblem.isEmpty() ? QStringLiteral("No start-token received from device") : m_lastProblem);
}

bool UpdateSession::applyEvent(const BootEvent &event)
{
    using Kind = BootEvent::Kind;
    switch (event.Type) {
    case Kind::Message:
        Q_EMIT Message(event.Text);
        break;
    case Kind::ClearMessages:
        Q_EMIT MessagesCleared();
        break;
    case Kind::Status:
        Q_EMIT Status(event.Text);
        break;
    case Kind::MessageBox:
        m_lastProblem = event.Text;
        Q_EMIT Problem(event.Text);
        break;
    case Kind::Progress:
        Q_EMIT Progress(event.Value, event.Maximum);
        break;
    case Kind::Command:
        try {
            m_port.SendCommand(event.Text.toLatin1());
        } catch (const std::exception &error) {
            m_lastProblem = QString::fromLocal8Bit(error.what());
            Q_EMIT Problem(m_lastProblem);
        }
        break;
    case Kind::StartTimer:
        (event.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2).start();
        break;
    case Kind::StopTimer:
        (event.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2).stop();
        break;
    case Kind::ShowPowerPrompt:
        if (m_powerWait.interval() > 0)
            m_powerWait.start();
        Q_EMIT PowerCycleNeeded();
        break;
    case Kind::ClosePowerPrompt:
        m_powerWait.stop();
        Q_EMIT PowerCycleSeen();
        break;
    case Kind::StartEnabled:
        Q_EMIT StartAllowed(event.Flag);
        break;
    case Kind::TransferStarted:
        // The device in its boot loader is not the firmware identified before.
        m_port.ForgetIdentification();
        Q_EMIT TransferRunning(true);
        break;
    case Kind::TransferEnded:
        if (!event.Flag)
            m_endWait.start();
        Q_EMIT TransferRunning(false);
        break;
    case Kind::Finished:
        finish(event.Flag, event.Flag ? QString() : m_lastProblem);
        Q_EMIT BootLoaderDone(event.Flag);
        return false;
    case Kind::Terminal:
        m_port.ShowInTerminal("\r\n" + event.Text.toLatin1() + "\r\n");
        break;
    }
    return true;
}

void UpdateSession::finish(bool success, const QString &reason)
{
    // A stopped update ends because it was stopped: a wait that runs out
    // or a message of the wind-down after the stop is no reason of its own.
    const QString error = !success && !m_stopReason.isEmpty() ? m_stopReason : reason;
    const bool wasRunning = m_running;
    m_running = false;
    m_timer1.stop();
    m_timer2.stop();
    m_powerWait.stop();
    m_endWait.stop();
    if (wasRunning)
        m_link.Release();
    Q_EMIT Finished(success, error);
}
