#pragma once

#include <QString>

class QDateTime;
class TerminalBuffer;

// Writes the terminal's lines to `path`, each ending in CR LF; replaces the
// file atomically. Returns the system's message on failure, else "".
QString WriteTerminalFile(const QString &path, const TerminalBuffer &buffer);

// A name to offer for a file of the terminal made at `at`:
// "mirto-2026-12-11-1030.log" for the suffix "log".
QString TerminalFileName(const QDateTime &at, const QString &suffix);
