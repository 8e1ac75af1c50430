#include "core/DeviceConnection.h"

#include "core/ReconnectPolicy.h"

#include <QDeadlineTimer>
#include <QEventLoop>

#include <utility>

// ---------------------------------------------------------------------------
// Who holds the link

QString DeviceConnection::BusyWith() const
{
    return m_job == Job::None ? QString() : m_jobName;
}

bool DeviceConnection::refuseWhileBusy()
{
    // The holder of the link never asks while it waits, and the firmware
    // update writes through its own view: a request now is someone else's.
    if (!m_waitLoop && !m_settleLoop && m_job != Job::Boot)
        return false;
    tellBusy();
    return true;
}

void DeviceConnection::tellBusy()
{
    m_user.TellBusy(QStringLiteral("Mirto is busy with %1. Nothing was sent; try again when it has finished.")
                        .arg(m_jobName));
}

void DeviceConnection::beginJob(Job job, const QString &name)
{
    m_job = job;
    m_jobName = name;
    UpdateConnectionStatus();
}

void DeviceConnection::endJob()
{
    m_job = Job::None;
    m_jobName.clear();
    UpdateConnectionStatus();
    m_reconnect->JobEnded();
}

bool DeviceConnection::BeginSequence(const QString &job)
{
    if (m_job != Job::None) {
        tellBusy();
        return false;
    }
    beginJob(Job::Sequence, job);
    return true;
}

void DeviceConnection::EndSequence()
{
    if (m_job == Job::Sequence)
        endJob();
}

// ---------------------------------------------------------------------------
// Sending and the exchange

bool DeviceConnection::SendCommand(const QByteArray &text)
{
    if (refuseWhileBusy())
        return false;
    return writeLine(text);
}

bool DeviceConnection::writeLine(const QByteArray &text)
{
    if (network()) {
        if (!m_clientSocket.Active())
            return false;
        // A line that does not go out whole is not sent at all: a cut
        // command could do something else in the device.
        if (m_clientSocket.SendString(text) != text.size()) {
            if (m_clientSocket.Active())
                tellUser(QStringLiteral("The command could not be sent: the network connection takes no more "
                                        "data. Nothing of it was sent."));
            return false;
        }
    } else if (m_vaComm.Active()) {
        try {
            if (m_vaComm.WriteBuf(text.constData(), int(qMin<qsizetype>(text.size(), PieceCapacity)))
                != qMin<qsizetype>(text.size(), PieceCapacity))
                return false;
        } catch (const SerialPortError &error) {
            m_user.ShowLinkError(error);
            return false;
        }
    } else {
        portNotOpen();
        return false;
    }
    Q_EMIT LineSent(text);
    // The device answers every command line with one prompt.
    dropExpiredPrompts();
    for (char c : text) {
        if (c == '\n') {
            ++m_sent;
            m_owed.emplace_back(PromptTimeoutMs);
        }
    }
    return true;
}

void DeviceConnection::forgetOwedPrompts()
{
    m_owed.clear();
    m_answered = m_sent;
}

void DeviceConnection::dropExpiredPrompts()
{
    // A prompt that did not come in time is written off, so that it cannot
    // be taken for the answer of a later command when the device stays
    // silent; one that arrives later still is credited to the next line.
    // Each keeps the deadline it got when its line went out: a quiet device
    // costs one time-out after the last line, not one per line.
    while (!m_owed.empty() && m_owed.front().hasExpired()) {
        m_owed.pop_front();
        ++m_answered;
    }
}

void DeviceConnection::promptCredited()
{
    m_owed.pop_front();
    ++m_answered;
    // A device that answers is working through the lines queued in it: the
    // next one is owed its usual time from this answer on, even when its own
    // deadline is nearer. Only an answer earns this, so silence never does.
    if (!m_owed.empty()) {
        const QDeadlineTimer usual(PromptTimeoutMs);
        if (m_owed.front() < usual)
            m_owed.front() = usual;
    }
}

bool DeviceConnection::ExchangeCommand(const QByteArray &text)
{
    if (refuseWhileBusy())
        return false;
    const bool ownJob = m_job == Job::None;
    if (ownJob)
        beginJob(Job::Exchange, QStringLiteral("a command"));
    m_promptSeen = false;
    m_reply.clear();
    bool seen = false;
    if (writeLine(text))
        seen = WaitForPrompt(m_sent);
    m_promptSeen = seen;
    if (ownJob)
        endJob();
    return seen;
}

bool DeviceConnection::WaitForPrompt(quint64 own)
{
    m_target = own;
    m_ownArrived = false;
    QEventLoop loop;
    m_waitLoop = &loop;
    // The loop serves everything (input, painting, other windows), so the
    // tool never freezes while the device thinks; what others ask of the
    // device meanwhile is refused.
    QMetaObject::invokeMethod(this, &DeviceConnection::wakeWait, Qt::QueuedConnection);
    loop.exec();
    m_waitLoop = nullptr;
    m_waitTimer.stop();
    const bool seen = std::exchange(m_ownArrived, false);
    m_target = 0;
    if (!m_heldMessages.isEmpty())
        QTimer::singleShot(0, this, &DeviceConnection::flushMessages);
    return seen;
}

void DeviceConnection::wakeWait()
{
    if (!m_waitLoop)
        return;
    if (m_answered >= m_target || m_shutDown || !linkAlive() || m_owed.empty()) {
        m_waitLoop->quit();
        return;
    }
    // Prompts owed to earlier lines come first, each within its own time;
    // the oldest one still owed sets the next wake-up.
    while (!m_owed.empty() && m_owed.front().hasExpired()) {
        m_owed.pop_front();
        ++m_answered;
        if (m_answered >= m_target) {
            m_waitLoop->quit(); // the own prompt did not come: written off
            return;
        }
        // An earlier line's prompt did not come: written off, with its text.
        m_reply.clear();
    }
    if (m_owed.empty()) {
        m_waitLoop->quit();
        return;
    }
    m_waitTimer.start(int(qMax<qint64>(0, m_owed.front().remainingTime())));
}

void DeviceConnection::collectReply(const QByteArray &piece)
{
    if (m_reply.size() + 40 > 100)
        m_reply.clear();
    qsizetype from = 0;
    bool credited = false;
    for (qsizetype i = 0; i < piece.size(); ++i) {
        if (piece.at(i) != '>')
            continue;
        m_promptSeen = true;
        if (m_owed.empty())
            continue; // owed to no line: the device's own text
        promptCredited();
        credited = true;
        if (m_waitLoop && m_answered == m_target)
            m_ownArrived = true;
        if (m_waitLoop && m_answered < m_target) {
            // An earlier line's prompt: its text is not the waiting
            // exchange's answer.
            m_reply.clear();
            from = i + 1;
        }
    }
    m_reply += piece.mid(from);
    // The buffer keeps the newest text: the prompt and the lines before it
    // are what an exchange reads.
    if (m_reply.size() > ReplyCapacity)
        m_reply.remove(0, m_reply.size() - ReplyCapacity);
    if (credited)
        wakeWait();
}

// ---------------------------------------------------------------------------
// Messages while a command waits

void DeviceConnection::tellUser(const QString &text)
{
    // A message box runs an event loop of its own, which would hold the
    // waiting command's loop until the box is closed: the box waits for the
    // wait's end.
    if (m_waitLoop)
        m_heldMessages << text;
    else
        m_user.TellUser(text);
}

void DeviceConnection::flushMessages()
{
    // Another wait may have begun since this was posted; its end posts again.
    if (m_waitLoop)
        return;
    const QStringList texts = std::exchange(m_heldMessages, {});
    for (const QString &text : texts)
        m_user.TellUser(text);
}
