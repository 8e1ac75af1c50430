#include "core/DeviceConnection.h"

#include "core/Identification.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

bool DeviceConnection::Identify()
{
    if (refuseWhileBusy())
        return false;
    if (!m_connected)
        return false;
    // Inside a job (programming opens the link first) the identification
    // is part of that job; otherwise it is one of its own.
    const bool ownJob = m_job == Job::None;
    if (ownJob)
        beginJob(Job::Sequence, QStringLiteral("identifying the device"));
    m_user.SetBusyCursor();
    const bool identified = identify();
    if (ownJob)
        endJob();
    if (!identified) {
        noResponse();
        return false;
    }
    m_user.RestoreCursor();
    UpdateConnectionStatus();
    return true;
}

void DeviceConnection::Reidentify()
{
    // Only serial and USB identify; a job that holds the link keeps it.
    if (!network() && m_job == Job::None)
        Identify();
}

bool DeviceConnection::identify()
{
    return readIdentification(true) != IdentOutcome::NoAnswer;
}

DeviceConnection::IdentOutcome DeviceConnection::readIdentification(bool showPartial)
{
    if (!ExchangeCommand("snum\n"))
        return IdentOutcome::NoAnswer;
    const IdentPart serial = ParseIdentPart(m_reply, "Serialnumber", 22);
    if (!ExchangeCommand("ver\n"))
        return IdentOutcome::NoAnswer;
    const IdentPart version = ParseIdentPart(m_reply, "V:", 3);
    const bool whole = serial.text != UnknownIdentPart && version.text != UnknownIdentPart;
    if (!whole && !showPartial)
        return IdentOutcome::Partial;
    // A value is kept whole: a shorter one must not leave the end of the
    // one before behind it.
    if (serial.store)
        m_identity.serial = serial.text;
    if (version.store)
        m_identity.version = version.text;
    m_identity.readSerial = serial.text;
    m_identity.readVersion = version.text;
    m_user.ShowIdentification(QString::fromLatin1(" SN: [" + serial.text + "]   SW: [" + version.text + "]"));
    return whole ? IdentOutcome::Whole : IdentOutcome::Partial;
}

bool DeviceConnection::IdentifyAfterRestart()
{
    if (refuseWhileBusy() || network() || !m_connected)
        return false;
    const bool ownJob = m_job == Job::None;
    if (ownJob)
        beginJob(Job::Sequence, QStringLiteral("identifying the device"));
    m_user.SetBusyCursor();
    const QDeadlineTimer deadline(RestartIdentifyMs);
    // A device that has just restarted may still be greeting (a line and its
    // prompt): a command sent meanwhile is lost, and the greeting's prompt
    // would pass for its answer. Its line goes quiet first, and an answer
    // that is not whole is asked for again while time remains.
    IdentOutcome outcome = IdentOutcome::NoAnswer;
    int quietMs = RestartQuietMs;
    while (waitForQuiet(quietMs, deadline)) {
        outcome = readIdentification(false);
        if (outcome == IdentOutcome::Whole || !linkAlive() || m_shutDown)
            break;
        quietMs = QuietMs;
    }
    if (outcome == IdentOutcome::Partial && !linkAlive())
        outcome = IdentOutcome::NoAnswer;
    if (ownJob)
        endJob();
    if (outcome == IdentOutcome::NoAnswer) {
        noResponse();
        return false;
    }
    if (outcome == IdentOutcome::Partial) {
        // It answered, but never with who it is: the panel stays as "not
        // available", and the status list says why.
        m_user.RestoreCursor();
        m_user.AddStatus(QStringLiteral("Mirto did not identify itself after its restart"));
        UpdateConnectionStatus();
        return false;
    }
    m_user.RestoreCursor();
    UpdateConnectionStatus();
    return true;
}

bool DeviceConnection::waitForQuiet(int quietMs, const QDeadlineTimer &deadline)
{
    if (!m_lastReceived.isValid())
        m_lastReceived.start();
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool quiet = false;
    const auto check = [&] {
        if (m_shutDown || !linkAlive() || deadline.hasExpired()) {
            loop.quit();
            return;
        }
        const qint64 silent = m_lastReceived.elapsed();
        if (silent >= quietMs) {
            quiet = true;
            loop.quit();
            return;
        }
        // Woken when the line has been quiet long enough since its last
        // byte, or at the deadline.
        timer.start(int(qMin<qint64>(quietMs - silent, qMax<qint64>(0, deadline.remainingTime()))));
    };
    connect(&timer, &QTimer::timeout, &loop, check);
    connect(&m_vaComm, &SerialPort::DeviceLost, &loop, &QEventLoop::quit);
    // The quiet is counted from now at the earliest: what came before the
    // restart says nothing about the device now.
    m_lastReceived.restart();
    m_settleLoop = &loop;
    QMetaObject::invokeMethod(&loop, check, Qt::QueuedConnection);
    loop.exec();
    m_settleLoop = nullptr;
    return quiet;
}

void DeviceConnection::noResponse()
{
    m_user.RestoreCursor();
    // A device that went away has said so (the status list, the panel); it
    // did not fail to answer.
    if (!m_linkLost) {
        m_user.AppendTerminal("No response from Mirto");
        m_user.AddStatus(QStringLiteral("No response from Mirto"));
    }
    UpdateConnectionStatus();
}
