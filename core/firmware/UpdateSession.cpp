#include "core/firmware/UpdateSession.h"

#include "core/DevicePorts.h"

#include <QPointer>

#include <exception>

UpdateSession::UpdateSession(BootPort &port, const QString &path, QObject *parent)
    : QObject(parent), m_port(port), m_path(path),
      m_protocol(
          m_image, [this] { return LoadHexFile(m_path, m_image); },
          [this](const QByteArray &bytes) {
              if (!m_port.PortOpen())
                  return false;
              m_port.WriteBytes(bytes);
              return true;
          }),
      m_link(m_port, m_protocol)
{
    m_timer1.setSingleShot(true);
    m_timer1.setInterval(BootProtocol::Timer1Ms);
    m_timer2.setSingleShot(true);
    m_timer2.setInterval(BootProtocol::Timer2Ms);
    m_powerWait.setSingleShot(true);
    m_endWait.setSingleShot(true);
    m_endWait.setInterval(BootProtocol::Timer1Ms);
    // A boot loader that went quiet after an aborted transfer never sends
    // its finish: nobody is there to close a dialog, so the failure ends the
    // update once the boot loader's own time-out has passed.
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
    connect(&m_timer1, &QTimer::timeout, this, [this] { carry(m_protocol.Timer1Expired()); });
    connect(&m_timer2, &QTimer::timeout, this, [this] { carry(m_protocol.Timer2Expired()); });
    // Without a prompt on a screen, the wait for the power cycle ends as a
    // closed prompt would.
    connect(&m_powerWait, &QTimer::timeout, this, [this] {
        m_lastProblem = QStringLiteral("No start-token received from device: the device was not power-cycled in time");
        carry(m_protocol.PowerPromptClosed());
    });
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
    const HexLoadResult load = LoadHexFile(m_path, m_image);
    for (const QString &line : load.Messages)
        Q_EMIT Message(line);
    if (load.Result != 0) {
        finish(false, load.Result == -2 ? QStringLiteral("Flash File too large") : QStringLiteral("Error in Flash File"));
        return false;
    }
    const QPointer<UpdateSession> self(this);
    if (!m_link.Claim([self](int count) {
            if (self)
                self->received(count);
        })) {
        finish(false, QStringLiteral("The device is busy"));
        return false;
    }
    m_running = true;
    m_powerWait.setInterval(powerCycleWaitMs);
    m_protocol.Activate();
    carry(m_protocol.Start(reset ? BootProtocol::ResetSpeedIndex : 0));
    return true;
}

void UpdateSession::Stop()
{
    if (m_running)
        carry(m_protocol.Stop());
}

void UpdateSession::received(int count)
{
    const BootLink::Taken taken = m_link.Take(count);
    // A lost or unreadable line is the reason the update ends, whatever the
    // conversation was waiting for at the time.
    if (!taken.Error.isEmpty())
        m_lastProblem = taken.Error;
    carry(taken.Events);
    if (!taken.Error.isEmpty() && m_running)
        finish(false, taken.Error);
}

void UpdateSession::carry(const QList<BootEvent> &events)
{
    using Kind = BootEvent::Kind;
    for (const BootEvent &event : events) {
        switch (event.Type) {
        case Kind::Message:
            Q_EMIT Message(event.Text);
            break;
        case Kind::Status:
            Q_EMIT Status(event.Text);
            break;
        case Kind::MessageBox:
            m_lastProblem = event.Text;
            Q_EMIT Message(event.Text);
            break;
        case Kind::Progress:
            Q_EMIT Progress(event.Value, event.Maximum);
            break;
        case Kind::Command:
            try {
                m_port.SendCommand(event.Text.toLatin1());
            } catch (const std::exception &error) {
                m_lastProblem = QString::fromLocal8Bit(error.what());
            }
            break;
        case Kind::StartTimer:
            (event.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2).start();
            break;
        case Kind::StopTimer:
            (event.Timer == BootTimer::Timer1 ? m_timer1 : m_timer2).stop();
            break;
        case Kind::ShowPowerPrompt:
            m_powerWait.start();
            Q_EMIT PowerCycleNeeded();
            break;
        case Kind::ClosePowerPrompt:
            m_powerWait.stop();
            break;
        case Kind::TransferEnded:
            if (!event.Flag)
                m_endWait.start();
            break;
        case Kind::Finished:
            finish(event.Flag, event.Flag ? QString() : m_lastProblem);
            return;
        default:
            break;
        }
    }
    // A wait that ran out without a start token ends the attempt.
    if (m_running && !m_protocol.Listening() && !m_timer2.isActive())
        finish(false, m_lastProblem.isEmpty() ? QStringLiteral("No start-token received from device") : m_lastProblem);
}

void UpdateSession::finish(bool success, const QString &error)
{
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
