#include "core/TerminalLog.h"

#include "core/DiskSync.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 SyncIntervalMs = 1000;

} // namespace

TerminalLog::TerminalLog(Clock clock, QObject *parent) : QObject(parent), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return QTime::currentTime(); };
    m_syncTimer.setSingleShot(true);
    connect(&m_syncTimer, &QTimer::timeout, this, &TerminalLog::syncTimerFired);
}

TerminalLog::~TerminalLog()
{
    Stop();
}

bool TerminalLog::Start(const QString &path, QByteArrayView openLine, int openLineMs)
{
    Stop();
    m_error.clear();
    m_path = path;
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                  0666);
    if (m_fd < 0) {
        m_error = QStringLiteral("Cannot write the log file %1: %2")
                      .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_line.clear();
    m_lineOpen = false;
    m_stamp.Begin();
    m_unsynced = false;
    m_sinceSync.start();
    // Up to a line break, if one came by mistake: nothing is written yet.
    const qsizetype end = openLine.indexOf('\n');
    Append(end < 0 ? openLine : openLine.first(end), openLineMs);
    return true;
}

bool TerminalLog::Holds(const QString &path) const
{
    if (m_fd < 0)
        return false;
    struct stat logged {};
    struct stat named {};
    if (::fstat(m_fd, &logged) != 0 || ::stat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    return logged.st_dev == named.st_dev && logged.st_ino == named.st_ino;
}

bool TerminalLog::Stop()
{
    m_syncTimer.stop();
    if (m_fd < 0)
        return true;
    if (m_lineOpen && !writeLine())
        return false; // fail() has closed the file
    if (m_unsynced && !sync())
        return false;
    ::close(m_fd);
    m_fd = -1;
    return true;
}

bool TerminalLog::Append(QByteArrayView bytes, int arrivalMs)
{
    if (m_fd < 0)
        return true;
    for (const char c : bytes) {
        if (c == '\r')
            continue;
        m_lineOpen = true;
        if (m_stamp.Wants(c))
            m_stamp.Add(QByteArrayView(&c, 1), arrivalMs >= 0 ? arrivalMs : now());
        if (c != '\n') {
            m_line += c;
            continue;
        }
        if (!m_stamp.Arrived()) // an empty line: the line break is its first byte
            m_stamp.Add(QByteArrayView(" ", 1), arrivalMs >= 0 ? arrivalMs : now());
        if (!writeLine())
            return false;
    }
    return true;
}

int TerminalLog::now()
{
    return m_clock().msecsSinceStartOfDay();
}

bool TerminalLog::writeLine()
{
    const QTime stamp = QTime::fromMSecsSinceStartOfDay(std::max(m_stamp.Ms(), 0));
    m_line.prepend('[' + stamp.toString(m_milliseconds ? QStringLiteral("HH:mm:ss.zzz")
                                                        : QStringLiteral("HH:mm:ss")).toLatin1()
                   + "] ");
    m_line += "\r\n";
    const char *p = m_line.constData();
    qsizetype left = m_line.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        left -= n;
    }
    m_line.clear();
    m_lineOpen = false;
    m_stamp.Begin();
    m_unsynced = true;
    // A sync per line would hold the window up on a slow disk while the
    // device floods it; once a second bounds what a power cut can take. The
    // timer syncs what a device that then goes quiet left unsynced.
    const qint64 since = m_sinceSync.elapsed();
    if (since >= SyncIntervalMs)
        return sync();
    if (!m_syncTimer.isActive())
        m_syncTimer.start(int(SyncIntervalMs - since));
    return true;
}

bool TerminalLog::sync()
{
    m_syncTimer.stop();
    const int synced = SyncDataToDisk(m_fd);
    if (synced != 0) {
        fail(errno);
        return false;
    }
    m_unsynced = false;
    m_sinceSync.restart();
    return true;
}

void TerminalLog::syncTimerFired()
{
    if (m_fd < 0 || !m_unsynced)
        return;
    if (!sync())
        Q_EMIT Failed(m_error);
}

void TerminalLog::fail(int error)
{
    m_error = QStringLiteral("Logging stopped: cannot write to %1: %2")
                  .arg(m_path, QString::fromLocal8Bit(std::strerror(error)));
    ::close(m_fd);
    m_fd = -1;
    m_line.clear();
    m_lineOpen = false;
    m_unsynced = false;
    m_syncTimer.stop();
}
