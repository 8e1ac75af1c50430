#pragma once

#include <QString>

class TerminalBuffer;

// Writes the terminal's lines to `path`, each ending in CR LF; replaces the
// file atomically. Returns the system's message on failure, else "".
QString WriteTerminalFile(const QString &path, const TerminalBuffer &buffer);
