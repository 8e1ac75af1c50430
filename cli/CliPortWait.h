#pragma once

#include <QString>

// --wait-for-port: a port another program holds (the window, another run) is
// waited for instead of failing at once.

// Returns once the port may have come free: the lock folder `lockFolder`
// changed (a holder's lock file went), `ms` passed, or Ctrl+C came. Without a
// lock folder to watch, only the time is waited.
void WaitForPortChange(const QString &lockFolder, int ms);

// How long one wait lasts before the port is tried again: a watched folder
// tells of the change itself, so that re-try only catches what it missed; a
// holder without a lock file can only be seen by trying.
inline constexpr int PortRetryWatchedMs = 2000;
inline constexpr int PortRetryUnwatchedMs = 250;
