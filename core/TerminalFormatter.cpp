#include "core/TerminalFormatter.h"

#include <QTime>

QByteArray TerminalFormatter::Format(const QByteArray &bytes, Link link)
{
    QByteArray shown;
    if (link == Link::Network) {
        shown.reserve(bytes.size() + 8);
        for (char c : bytes) {
            if (c == '\r')
                continue;
            if (c == '\n')
                shown += "\r\n";
            else
                shown += c;
        }
        return shown;
    }
    const QByteArrayView text = TextBeforeZero(bytes);
    shown.reserve(text.size() + 16);
    for (char c : text) {
        if (c == '#')
            shown += timeStamp();
        else
            shown += c;
    }
    return shown;
}

QByteArray TerminalFormatter::timeStamp()
{
    // A device that marks every line would spend its time formatting the
    // same second again; the text changes once a second.
    const int msOfDay = m_clock.MsOfDay();
    if (msOfDay / 1000 != m_stampSecond) {
        m_stampSecond = msOfDay / 1000;
        m_stampText = '[' + QTime::fromMSecsSinceStartOfDay(msOfDay).toString(QStringLiteral("HH:mm:ss")).toLatin1()
                      + "] ";
    }
    return m_stampText;
}
