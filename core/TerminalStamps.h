#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class TerminalBuffer;

// A line's arrival stamp as the terminal shows it, "[hh:mm:ss.mmm] ", for a
// time of day in milliseconds; dashes for a line that has no time.
QString TerminalStampText(int msOfDay);

// When a line counts as arrived, for the terminal's stamps and the log's
// alike: at its first byte after the device's prompt. The prompt ('>', with
// blanks around it) ends one answer and waits, often for minutes, for the
// next command; the answer then goes on in the prompt's line, and its time
// is the one that matters. A line of prompt and blanks alone keeps the time
// of its first byte; a line break or '\r' changes nothing.
class LineStamp {
public:
    // A new line: nothing of it has arrived.
    void Begin() { *this = LineStamp(); }
    // Bytes of the line (no '\n' among them) arrived at `ms`, milliseconds
    // since midnight, -1 when unknown.
    void Add(QByteArrayView bytes, int ms);
    // Byte `c` of the line, arriving now, would change its time: a caller
    // with a clock to read need read it only then.
    bool Wants(char c) const
    {
        return !m_settled && c != '\r' && c != '\n' && (!m_arrived || !IsPromptByte(c));
    }
    static bool IsPromptByte(char c) { return c == '>' || c == ' ' || c == '\t'; }
    // The line's time so far; -1 while nothing of it has arrived.
    int Ms() const { return m_ms; }
    bool Arrived() const { return m_arrived; }
    // Its time is settled: the first byte after the prompt has come.
    bool Settled() const { return m_settled; }

private:
    int m_ms = -1;
    bool m_arrived = false;
    bool m_settled = false;
};

// The local time of day, in milliseconds, that a line arriving now is
// stamped with.
class ArrivalClock {
public:
    int MsOfDay();

private:
    qint64 m_offsetMinute = -1; // minute since the epoch the zone offset is for
    qint64 m_utcOffsetMs = 0;
};

// The store's text from byte `fromIndex` of line `fromLine` to byte
// `toIndex` of line `toLine`, lines joined by '\n'. With `stamps`, a line
// taken from its start has its arrival stamp in front, as it is shown.
QByteArray StampedText(const TerminalBuffer &buffer, qsizetype fromLine, qsizetype fromIndex,
                       qsizetype toLine, qsizetype toIndex, bool stamps);
