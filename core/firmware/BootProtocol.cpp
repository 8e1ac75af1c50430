#include "core/firmware/BootProtocol.h"

#include <chrono>
#include <exception>
#include <utility>

namespace {

using Kind = BootEvent::Kind;

BootEvent Event(Kind type, const QString &text = {})
{
    BootEvent event;
    event.Type = type;
    event.Text = text;
    return event;
}

BootEvent FlagEvent(Kind type, bool flag)
{
    BootEvent event;
    event.Type = type;
    event.Flag = flag;
    return event;
}

BootEvent TimerEvent(Kind type, BootTimer timer)
{
    BootEvent event;
    event.Type = type;
    event.Timer = timer;
    return event;
}

BootEvent Message(const QString &text) { return Event(Kind::Message, text); }
BootEvent Status(const QString &text) { return Event(Kind::Status, text); }

const QString AbortedStatus = QStringLiteral("Errors occured aborted...");
// The boot loader erases the application area right after the handshake: a
// transfer that does not complete leaves the device without firmware.
const QString InBootLoader = QStringLiteral("the device stays in its boot loader until an update completes");
const QString StoppedStatus = QStringLiteral("Update stopped: ") + InBootLoader;
const QString FailedStatus = QStringLiteral("Update failed: ") + InBootLoader;
const QString RecoverMessage = QStringLiteral(
    "The device stays in its boot loader until an update completes. To recover, press Start "
    "Update to update it again; if no start-token comes, remove and re-apply the device's power.");
const QString WriteFailed = QStringLiteral("Unable to write to device");

} // namespace

BootProtocol::BootProtocol(const HexImage &image, Loader loader, Writer writer)
    : m_image(image), m_loader(std::move(loader)), m_writer(std::move(writer)),
      m_clock([] {
          return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
      })
{
}

void BootProtocol::Activate()
{
    m_acceptBytes = true;
    m_waitingForToken = false;
    m_inBootProtocol = false;
    m_stopped = false;
}

QList<BootEvent> BootProtocol::Start(int speedIndex)
{
    QList<BootEvent> events;
    // The image must not change under a running transfer, and after a failed
    // reload the start waits for the re-arm.
    if (m_running || m_waitingForToken || !m_acceptBytes)
        return events;
    if (m_stopped) {
        // A stopped boot loader that never finished: the new start takes over.
        m_stopped = false;
        events << TimerEvent(Kind::StopTimer, BootTimer::Timer1);
    }
    m_waitingForToken = true;
    m_inBootProtocol = false;
    if (speedIndex != ResetSpeedIndex) {
        m_resetWait = false;
        events << Event(Kind::ShowPowerPrompt);
        return events;
    }
    m_resetWait = true;
    events << Message(QStringLiteral("Resetting device...\r\n"));
    events << Event(Kind::Command, QStringLiteral("reset\n"))
           << Event(Kind::Command, QStringLiteral("reset\n"));
    events << TimerEvent(Kind::StartTimer, BootTimer::Timer1);
    m_acceptBytes = true;
    events << Status(QStringLiteral("Waiting for start-token from device"));
    return events;
}

QList<BootEvent> BootProtocol::Timer1Expired()
{
    QList<BootEvent> events;
    if (m_waitingForToken && m_resetWait) {
        // From now on a '>' is the firmware's again.
        m_waitingForToken = false;
        events << Status(QStringLiteral("No start-token received from device"));
        events << Event(Kind::MessageBox,
                        QStringLiteral("No start-token received from device\n\nPlease check your "
                                       "service cable or remove/attach power supply to start "
                                       "upload...."));
    } else if (m_stopped) {
        // The stopped boot loader has nothing more to say.
        m_stopped = false;
        m_inBootProtocol = false;
    }
    return events;
}

QList<BootEvent> BootProtocol::Timer2Expired()
{
    m_acceptBytes = true;
    return {FlagEvent(Kind::StartEnabled, true)};
}

QList<BootEvent> BootProtocol::PowerPromptClosed()
{
    QList<BootEvent> events;
    if (!m_waitingForToken || m_resetWait)
        return events;
    m_waitingForToken = false;
    events << Status(QStringLiteral("No start-token received from device"));
    return events;
}

QList<BootEvent> BootProtocol::Stop()
{
    QList<BootEvent> events;
    if (!m_running)
        return events;
    Abort(QStringLiteral("Update stopped by the user"), events, false);
    if (!m_inBootProtocol)
        return events; // the abort could not be written: the link is gone
    m_stopped = true;
    m_lastWordsSaid = true;
    events << Message(RecoverMessage) << Status(StoppedStatus)
           << Event(Kind::Terminal, QStringLiteral("Firmware update stopped by the user: ") + InBootLoader + '.')
           << TimerEvent(Kind::StartTimer, BootTimer::Timer1);
    return events;
}

BootFeed BootProtocol::ProcessBootBytes(const char *data, qsizetype size)
{
    BootFeed feed;
    // What the machine does not listen for stays where it is, for the terminal.
    while (feed.Consumed < size && m_acceptBytes && Listening()) {
        const char byte = data[feed.Consumed++];
        if (!HandleByte(byte, feed.Events))
            break;
    }
    return feed;
}

QList<BootEvent> BootProtocol::LinkLost(const QString &reason)
{
    QList<BootEvent> events;
    if (!m_running && !m_inBootProtocol && !m_waitingForToken)
        return events;
    EndWaits(events);
    events << Message(reason) << Message(QStringLiteral("Flash Fail")) << Status(AbortedStatus);
    // Once '<' went out the flash is being rewritten: unless the whole image
    // is in, the device is left in its boot loader.
    const bool leftInBootLoader = m_running || (m_inBootProtocol && !m_completed);
    m_failed = true;
    m_completed = false;
    m_inBootProtocol = false;
    EndTransfer(false, events);
    if (leftInBootLoader)
        LastWords(reason, events);
    return events;
}

QList<BootEvent> BootProtocol::CloseButtonPressed()
{
    QList<BootEvent> events;
    if (!m_transferDone)
        return events;
    QString error;
    try {
        if (!m_writer(QByteArray(1, ';')))
            error = WriteFailed;
    } catch (const std::exception &e) {
        error = QString::fromLocal8Bit(e.what());
    } catch (...) {
        error = WriteFailed;
    }
    if (!error.isEmpty())
        events << Message(error);
    return events;
}

QList<BootEvent> BootProtocol::Closed()
{
    QList<BootEvent> events;
    m_waitingForToken = false;
    m_inBootProtocol = false;
    m_stopped = false;
    events << TimerEvent(Kind::StopTimer, BootTimer::Timer1)
           << TimerEvent(Kind::StopTimer, BootTimer::Timer2);
    if (!m_acceptBytes) {
        m_acceptBytes = true;
        events << FlagEvent(Kind::StartEnabled, true);
    }
    EndTransfer(false, events);
    return events;
}

bool BootProtocol::HandleByte(char byte, QList<BootEvent> &events)
{
    if (byte == '>') {
        StartToken(events);
        return m_acceptBytes;
    }
    if (!m_inBootProtocol)
        return true; // before the token: the firmware's last words, dropped

    switch (byte) {
    case '!':
        if (!m_transferDone) {
            SendPage(events);
            ++m_pageIndex;
        }
        break;
    case '@':
        if (!m_transferDone) {
            // Before the first page there is nothing to repeat but page 0.
            if (m_pageIndex > 0)
                --m_pageIndex;
            ++m_errorCount;
            SendPage(events);
            ++m_pageIndex;
        }
        break;
    case '%':
        LockBits(events);
        break;
    case '^':
        events << Status(QStringLiteral("Erasing flash.... please wait"));
        KeepLastWords(events);
        break;
    case '*':
        events << Status(QStringLiteral("Programming flash.... please wait"));
        KeepLastWords(events);
        break;
    case ']':
        m_inBootProtocol = false;
        EndTransfer(false, events);
        Finish(events);
        return false;
    case 'D':
        events << Message(QStringLiteral("Mega128 detected"));
        // An image that would overwrite its boot loader is refused before a
        // page goes out. The boot loader has erased its application area on
        // its own right after the handshake: the device is left without
        // firmware all the same, and is told so.
        if (!m_transferDone && m_image.ImageHighAddress >= Mega128Limit)
            Abort(QStringLiteral("Flash File too large for Mega128"), events);
        break;
    case 'J':
        events << Message(QStringLiteral("Mega256 detected"));
        break;
    case 'Q':
    case 'R':
    case 'S':
    case 'T':
    case 'U':
        m_pageSize = 32u << (byte - 'Q');
        break;
    default:
        break;
    }
    if (m_errorCount > 3 && !m_transferDone)
        Abort({}, events);
    return true;
}

void BootProtocol::Finish(QList<BootEvent> &events)
{
    if (m_stopped) {
        // The user stopped it and has been told how to recover; the dialog
        // stays, and the wind-down's lines do not have the last word.
        m_stopped = false;
        events << TimerEvent(Kind::StopTimer, BootTimer::Timer1) << Message(RecoverMessage)
               << Status(StoppedStatus);
        return;
    }
    if (m_lastWordsSaid)
        KeepLastWords(events);
    else if (!m_completed || m_failed)
        LastWords(m_abortReason, events);
    if (m_failed) {
        events << Event(Kind::MessageBox,
                        m_abortReason.isEmpty()
                            ? QStringLiteral("Firmware update failed\n\nThe transfer was aborted. "
                                             "Please start the update again....")
                            : QStringLiteral("Firmware update failed\n\n") + m_abortReason);
    } else if (!m_completed) {
        events << Event(Kind::MessageBox,
                        QStringLiteral("Firmware update failed\n\nThe device finished before "
                                       "the whole file was sent. Please start the update "
                                       "again...."));
    } else {
        // The time the user spent on the stop question is no time the
        // update took.
        const double seconds = double(qMax<qint64>(0, m_clock() - m_startedMs - PausedMs())) / 1000.0;
        const QString done = QStringLiteral("Firmware updated: %1 bytes in %2 pages, %3 s")
                                 .arg(m_sentBytes)
                                 .arg(m_sentPages)
                                 .arg(QString::number(seconds, 'f', 1));
        events << Message(done) << Event(Kind::Terminal, done);
    }
    events << FlagEvent(Kind::Finished, m_completed && !m_failed);
}

void BootProtocol::EndWaits(QList<BootEvent> &events)
{
    // The token awaited after a reset, and the wind-down after a stop, both
    // end here; each had Timer1 running.
    if (m_waitingForToken) {
        m_waitingForToken = false;
        if (m_resetWait)
            events << TimerEvent(Kind::StopTimer, BootTimer::Timer1);
    }
    if (m_stopped) {
        m_stopped = false;
        events << TimerEvent(Kind::StopTimer, BootTimer::Timer1);
    }
}

void BootProtocol::StartToken(QList<BootEvent> &events)
{
    m_inBootProtocol = true;
    EndWaits(events);
    events << Event(Kind::ClosePowerPrompt) << Event(Kind::ClearMessages);

    // A new start token is a boot loader that starts over: whatever the
    // last transfer reached, it is not done for this one until it is sent.
    m_transferDone = false;
    // The file is read before the boot loader hears from us: it erases the
    // flash on '<', so '<' goes out only for an image that can be sent.
    const HexLoadResult load = m_loader();
    for (const QString &text : load.Messages)
        events << Message(text);
    if (load.Result != 0) {
        events << Status(load.Result == -2 ? QStringLiteral("Flash File too large")
                                           : QStringLiteral("Error in Flash File"));
        // Nothing of this image, nor of an earlier one, may reach the device
        // until a start token brings a good load.
        m_inBootProtocol = false;
        m_completed = false;
        m_acceptBytes = false;
        EndTransfer(false, events);
        events << FlagEvent(Kind::StartEnabled, false)
               << TimerEvent(Kind::StartTimer, BootTimer::Timer2);
        return;
    }
    // A boot loader that never got this '<' is no transfer under way, even
    // when the one before it was: a failed write must not mark it done.
    const bool wasRunning = std::exchange(m_running, false);
    if (!Write(QByteArray(1, '<'), events)) {
        m_running = wasRunning;
        EndTransfer(false, events);
        return;
    }
    m_running = wasRunning;
    m_pageIndex = 0;
    m_errorCount = 0;
    m_transferDone = false;
    m_completed = false;
    m_failed = false;
    m_abortReason.clear();
    m_lastWordsSaid = false;
    m_startedMs = m_clock();
    m_pausedMs = 0;
    if (m_pausedSinceMs >= 0)
        m_pausedSinceMs = m_startedMs;
    events << Status(QStringLiteral("starting procedure.... please wait"));
    if (!m_running) {
        m_running = true;
        events << Event(Kind::TransferStarted);
    }
}

void BootProtocol::SendPage(QList<BootEvent> &events)
{
    if (m_pageSize == 0) {
        Abort(QStringLiteral("No page size announced by device"), events);
        return;
    }
    const quint64 start = quint64(m_pageIndex) * m_pageSize;
    if (start > m_image.ImageHighAddress) {
        if (!Write(QByteArray(2, '\xFF'), events))
            return;
        m_pageIndex = 0;
        m_transferDone = true;
        m_completed = true;
        m_sentBytes = m_image.ImageHighAddress + 1;
        m_sentPages = m_image.ImageHighAddress / m_pageSize + 1;
        EndTransfer(true, events);
        return;
    }

    QByteArray frame(qsizetype(m_pageSize) + 3, Qt::Uninitialized);
    frame[0] = char((m_pageIndex >> 8) & 0xFF);
    frame[1] = char(m_pageIndex & 0xFF);
    const std::vector<quint8> &flash = m_image.FlashImage;
    unsigned sum = 0;
    for (quint32 k = 0; k < m_pageSize; ++k) {
        const quint64 address = start + k;
        const quint8 byte = address < flash.size() ? flash[std::size_t(address)] : quint8(0xFF);
        frame[2 + k] = char(byte);
        sum += byte;
    }
    frame[2 + m_pageSize] = char(sum & 0xFF);
    if (!Write(frame, events))
        return;

    events << Message(QStringLiteral("Sending Page #") + QString::number(m_pageIndex));
    BootEvent progress;
    progress.Type = Kind::Progress;
    progress.Value = m_pageIndex;
    progress.Maximum = m_image.ImageHighAddress / m_pageSize;
    events << progress;
}

void BootProtocol::LockBits(QList<BootEvent> &events)
{
    events << Message(QStringLiteral("Programming Lockbits..."));
    if (!Write(QByteArray("\x00\xFF", 2), events))
        return;
    if (m_completed && !m_failed)
        events << Message(QStringLiteral("All done...."));
}

void BootProtocol::LastWords(const QString &reason, QList<BootEvent> &events)
{
    if (m_lastWordsSaid)
        return;
    m_lastWordsSaid = true;
    events << Status(FailedStatus)
           << Event(Kind::Terminal, QStringLiteral("Firmware update failed")
                                        + (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + ')')
                                        + QStringLiteral(": ") + InBootLoader + '.');
}

void BootProtocol::KeepLastWords(QList<BootEvent> &events)
{
    // Whatever the boot loader announces after a failure, the status line
    // keeps saying where the device is.
    if (m_lastWordsSaid && m_failed)
        events << Status(m_stopped ? StoppedStatus : FailedStatus);
}

void BootProtocol::PauseClock(bool paused)
{
    if (paused && m_pausedSinceMs < 0)
        m_pausedSinceMs = m_clock();
    else if (!paused && m_pausedSinceMs >= 0) {
        m_pausedMs += m_clock() - m_pausedSinceMs;
        m_pausedSinceMs = -1;
    }
}

qint64 BootProtocol::PausedMs() const
{
    return m_pausedMs + (m_pausedSinceMs >= 0 ? m_clock() - m_pausedSinceMs : 0);
}

void BootProtocol::Abort(const QString &reason, QList<BootEvent> &events, bool sayLastWords)
{
    if (!reason.isEmpty())
        events << Message(reason);
    m_abortReason = reason;
    m_transferDone = true;
    m_failed = true;
    m_completed = false;
    QByteArray sequence(2 + AbortFillBytes, '-');
    sequence[0] = '\xFF';
    sequence[1] = '\xFF';
    if (Write(sequence, events))
        events << Message(QStringLiteral("Flash Fail")) << Status(AbortedStatus);
    EndTransfer(false, events);
    if (sayLastWords)
        LastWords(reason, events);
}

void BootProtocol::EndTransfer(bool completed, QList<BootEvent> &events)
{
    if (!m_running)
        return;
    m_running = false;
    events << FlagEvent(Kind::TransferEnded, completed);
}

bool BootProtocol::Write(const QByteArray &bytes, QList<BootEvent> &events)
{
    QString error;
    try {
        if (m_writer(bytes))
            return true;
        error = WriteFailed;
    } catch (const std::exception &e) {
        error = QString::fromLocal8Bit(e.what());
    } catch (...) {
        error = WriteFailed;
    }
    // The link is gone or stuck: the transfer cannot go on, and nothing more
    // is answered until a new start token.
    events << Message(error) << Message(QStringLiteral("Flash Fail")) << Status(AbortedStatus);
    // Only a transfer that was under way is over; a boot loader that never
    // got its '<' still waits for it and must not be sent the closing ';'.
    const bool wasRunning = m_running;
    if (m_running)
        m_transferDone = true;
    m_failed = true;
    m_completed = false;
    m_inBootProtocol = false;
    m_stopped = false;
    EndTransfer(false, events);
    if (wasRunning)
        LastWords(error, events);
    return false;
}
