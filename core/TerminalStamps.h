#pragma once

#include <QByteArray>
#include <QString>

class TerminalBuffer;

// A line's arrival stamp as the terminal shows it, "[hh:mm:ss.mmm] ", for a
// time of day in milliseconds; dashes for a line that has no time.
QString TerminalStampText(int msOfDay);

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
