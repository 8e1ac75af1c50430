#include "core/DiskSync.h"

#include <mutex>
#include <utility>
#include <unistd.h>

namespace {

std::mutex standInLock;
ScopedDiskSync::Function standIn;

// The stand-in in place, if any; copied so that it runs without the lock
// (syncs of several threads, a journal's among them, go on side by side).
ScopedDiskSync::Function currentStandIn()
{
    const std::lock_guard lock(standInLock);
    return standIn;
}

} // namespace

int SyncToDisk(int fd)
{
    if (const ScopedDiskSync::Function sync = currentStandIn())
        return sync(fd);
    return ::fsync(fd);
}

int SyncDataToDisk(int fd)
{
    if (const ScopedDiskSync::Function sync = currentStandIn())
        return sync(fd);
    return ::fdatasync(fd);
}

ScopedDiskSync::ScopedDiskSync(Function sync)
{
    const std::lock_guard lock(standInLock);
    m_previous = std::exchange(standIn, std::move(sync));
}

ScopedDiskSync::~ScopedDiskSync()
{
    const std::lock_guard lock(standInLock);
    standIn = std::move(m_previous);
}
