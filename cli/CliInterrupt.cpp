#include "cli/CliInterrupt.h"

#include "cli/CliOutput.h"

#include <QMap>
#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

struct Stopper {
    QPointer<QObject> context;
    std::function<void()> stop;
};

std::atomic<bool> interrupted {false};
std::mutex stopperLock;
QMap<quint64, Stopper> stoppers;
quint64 nextStopper = 1;
int wakePipe[2] = {-1, -1};

void onStopSignal(int)
{
    // Only what is safe in a signal handler: the watcher thread does the rest.
    const char byte = 'i';
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
}

void callStopper(const Stopper &stopper)
{
    if (stopper.context)
        QMetaObject::invokeMethod(stopper.context.data(), stopper.stop, Qt::QueuedConnection);
}

void interrupt()
{
    if (interrupted.exchange(true))
        return;
    CliWarn(QStringLiteral("mirto-cli: interrupted: no device is started; updates in progress are aborted"));
    const std::lock_guard lock(stopperLock);
    for (const Stopper &stopper : std::as_const(stoppers))
        callStopper(stopper);
}

} // namespace

void InstallInterruptHandler()
{
    if (wakePipe[0] >= 0 || ::pipe(wakePipe) != 0)
        return;
    std::thread([] {
        char byte = 0;
        while (::read(wakePipe[0], &byte, 1) == 1 || errno == EINTR)
            interrupt();
    }).detach();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    // Job engines cancel a job with SIGTERM: the same clean stop.
    ::sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted()
{
    return interrupted.load();
}

InterruptScope::InterruptScope(QObject *context, std::function<void()> stop)
{
    const std::lock_guard lock(stopperLock);
    m_id = nextStopper++;
    Stopper stopper {context, std::move(stop)};
    if (interrupted.load())
        callStopper(stopper);
    stoppers.insert(m_id, stopper);
}

InterruptScope::~InterruptScope()
{
    const std::lock_guard lock(stopperLock);
    stoppers.remove(m_id);
}
