#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

// An event that a successful wait consumes, so one signal ends at most one wait.
class AutoResetEvent {
public:
    void Set();
    void Reset();
    // Waits up to `msecs`; true when signalled (the signal is consumed).
    bool WaitFor(int msecs);

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false;
};

// Waits for the device's prompt while the user-interface thread keeps taking
// in the link's data. Stores the outcome in `promptSeen` when it ends.
class TMyWaitThread : public QThread {
    Q_OBJECT
public:
    static constexpr int PromptTimeoutMs = 4000;

    TMyWaitThread(AutoResetEvent &promptEvent, std::atomic<bool> &promptSeen,
                  QObject *parent = nullptr);

protected:
    void run() override { Execute(); }

private:
    void Execute();

    AutoResetEvent &m_event;
    std::atomic<bool> &m_promptSeen;
};
