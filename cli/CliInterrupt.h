#pragma once

#include <QObject>

#include <functional>

// Ctrl+C (SIGINT), or SIGTERM from a job engine cancelling the job: once
// it came, no device is started, every update in progress is stopped with
// the boot loader's abort, and the run exits with CliInterrupted.

// Exit status of a run stopped with Ctrl+C or SIGTERM.
constexpr int CliInterrupted = 130;

void InstallInterruptHandler();
bool Interrupted();

// While it lives, Ctrl+C calls `stop` on `context`'s thread (at once when
// Ctrl+C came before).
class InterruptScope {
public:
    InterruptScope(QObject *context, std::function<void()> stop);
    ~InterruptScope();
    InterruptScope(const InterruptScope &) = delete;
    InterruptScope &operator=(const InterruptScope &) = delete;

private:
    quint64 m_id;
};
