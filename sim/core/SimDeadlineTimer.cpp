#include "sim/core/SimDeadlineTimer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr qint64 NsPerSecond = 1000000000;

} // namespace

SimDeadlineTimer::SimDeadlineTimer(QObject *parent)
    : QObject(parent)
{
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &SimDeadlineTimer::Expired);
    } else {
        // Without a timer descriptor the pace keeps to whole milliseconds.
        m_fallback = new QTimer(this);
        m_fallback->setSingleShot(true);
        m_fallback->setTimerType(Qt::PreciseTimer);
        connect(m_fallback, &QTimer::timeout, this, &SimDeadlineTimer::Expired);
    }
}

SimDeadlineTimer::~SimDeadlineTimer()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

qint64 SimDeadlineTimer::NowNs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * NsPerSecond + now.tv_nsec;
}

void SimDeadlineTimer::StartAt(qint64 deadlineNs)
{
    m_active = true;
    m_deadline = deadlineNs;
    if (m_fallback) {
        const qint64 wait = std::max<qint64>(0, deadlineNs - NowNs());
        m_fallback->start(int(std::min<qint64>((wait + 999999) / 1000000, 1 << 30)));
        return;
    }
    // An all-zero value would disarm the timer; a deadline in the past
    // fires at once.
    const qint64 at = std::max<qint64>(deadlineNs, 1);
    itimerspec value {};
    value.it_value.tv_sec = time_t(at / NsPerSecond);
    value.it_value.tv_nsec = long(at % NsPerSecond);
    ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &value, nullptr);
}

void SimDeadlineTimer::Stop()
{
    m_active = false;
    if (m_fallback)
        m_fallback->stop();
    if (m_fd < 0)
        return;
    itimerspec value {};
    ::timerfd_settime(m_fd, 0, &value, nullptr);
    std::uint64_t expirations = 0;
    while (::read(m_fd, &expirations, sizeof expirations) > 0) {
    }
}

void SimDeadlineTimer::Expired()
{
    if (m_fd >= 0) {
        std::uint64_t expirations = 0;
        while (::read(m_fd, &expirations, sizeof expirations) > 0) {
        }
    }
    if (!m_active)
        return;
    // A descriptor re-armed after it had fired can still report the old
    // expiry; only a deadline that has come counts.
    if (NowNs() < m_deadline) {
        StartAt(m_deadline);
        return;
    }
    m_active = false;
    Q_EMIT timeout();
}
