#pragma once

#include "core/TerminalStamps.h"

#include <QByteArray>
#include <QByteArrayView>

// The device's text in the bytes a link brought: it ends at the first
// zero byte.
inline QByteArrayView TextBeforeZero(QByteArrayView bytes)
{
    return bytes.first(qsizetype(qstrnlen(bytes.data(), size_t(bytes.size()))));
}

// Turns the device's bytes, as they came over the link, into the terminal's
// text: the text ends at a zero byte on the cable and each '#' there becomes
// the local time; over the network every byte counts, carriage returns are
// dropped and each line feed ends a line as the terminal expects. Both the
// terminal view and its log take this text, so neither can differ from the
// other.
class TerminalFormatter {
public:
    enum class Link { Serial, Network };

    QByteArray Format(const QByteArray &bytes, Link link);

private:
    QByteArray timeStamp();

    ArrivalClock m_clock; // the same local time of day the lines are stamped with
    int m_stampSecond = -1;
    QByteArray m_stampText;
};
