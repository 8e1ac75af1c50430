#pragma once

#include <functional>

// How the tool's files reach the disk: every file it must not lose to a
// power cut (settings, logs, the journal, the audit trail) is synced
// through here. Returns 0, or -1 with errno set.
int SyncToDisk(int fd);     // data and metadata (fsync)
int SyncDataToDisk(int fd); // data, and metadata only as reading it back needs (fdatasync)

// While it lives, every sync of the process goes to `sync` instead: a test
// sees what is synced, in which order, and what a failed sync does. Scopes
// nest; the one made last wins until it ends.
class ScopedDiskSync {
public:
    using Function = std::function<int(int fd)>;
    explicit ScopedDiskSync(Function sync);
    ~ScopedDiskSync();
    ScopedDiskSync(const ScopedDiskSync &) = delete;
    ScopedDiskSync &operator=(const ScopedDiskSync &) = delete;

private:
    Function m_previous;
};
