#include "shell/Waitthread.h"

#include <chrono>

void AutoResetEvent::Set()
{
    {
        std::lock_guard lock(m_mutex);
        m_signalled = true;
    }
    m_cond.notify_one();
}

void AutoResetEvent::Reset()
{
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool AutoResetEvent::WaitFor(int msecs)
{
    std::unique_lock lock(m_mutex);
    if (!m_cond.wait_for(lock, std::chrono::milliseconds(msecs), [this] { return m_signalled; }))
        return false;
    m_signalled = false;
    return true;
}

TMyWaitThread::TMyWaitThread(AutoResetEvent &promptEvent, std::atomic<bool> &promptSeen,
                             QObject *parent)
    : QThread(parent), m_event(promptEvent), m_promptSeen(promptSeen)
{
}

void TMyWaitThread::Execute()
{
    m_promptSeen = m_event.WaitFor(PromptTimeoutMs);
}
