#include "core/TerminalStamps.h"

#include "core/TerminalBuffer.h"

#include <QDateTime>

QString TerminalStampText(int msOfDay)
{
    if (msOfDay < 0)
        return QStringLiteral("[--:--:--.---] ");
    return QStringLiteral("[%1:%2:%3.%4] ")
        .arg(msOfDay / 3'600'000, 2, 10, QLatin1Char('0'))
        .arg(msOfDay / 60'000 % 60, 2, 10, QLatin1Char('0'))
        .arg(msOfDay / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(msOfDay % 1000, 3, 10, QLatin1Char('0'));
}

void LineStamp::Add(QByteArrayView bytes, int ms)
{
    if (m_settled)
        return;
    for (const char c : bytes) {
        if (c == '\r')
            continue;
        if (!m_arrived) {
            m_arrived = true;
            m_ms = ms;
        }
        if (!IsPromptByte(c)) {
            m_ms = ms;
            m_settled = true;
            return;
        }
    }
}

int ArrivalClock::MsOfDay()
{
    // Turning the clock into local time costs a time-zone lookup; the zone's
    // offset is looked up once a minute and added to the clock.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 60'000 != m_offsetMinute) {
        m_offsetMinute = now / 60'000;
        m_utcOffsetMs = qint64(QDateTime::fromMSecsSinceEpoch(now).offsetFromUtc()) * 1000;
    }
    constexpr qint64 Day = 24 * 3600 * 1000;
    return int(((now + m_utcOffsetMs) % Day + Day) % Day);
}

QByteArray StampedText(const TerminalBuffer &buffer, qsizetype fromLine, qsizetype fromIndex,
                       qsizetype toLine, qsizetype toIndex, bool stamps)
{
    QByteArray bytes;
    for (qsizetype i = fromLine; i <= toLine; ++i) {
        const QByteArrayView line = buffer.Line(i);
        const qsizetype start = i == fromLine ? fromIndex : 0;
        const qsizetype stop = i == toLine ? toIndex : line.size();
        if (stamps && start == 0 && (stop > 0 || i != toLine))
            bytes.append(TerminalStampText(buffer.Stamp(i)).toLatin1());
        bytes.append(line.sliced(start, stop - start));
        if (i != toLine)
            bytes.append('\n');
    }
    return bytes;
}
