#include "core/TerminalFormatter.h"

#include <QDateTime>

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
    const QByteArray text(bytes.constData(), qstrnlen(bytes.constData(), size_t(bytes.size())));
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
    // The clock is read for every '#', but turning it into local time costs
    // a time-zone lookup; a device that marks every line would spend most of
    // its time there. Zone offsets are whole seconds, so once a second does.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != m_stampSecond) {
        m_stampSecond = now / 1000;
        m_stampText = '['
                      + QDateTime::fromMSecsSinceEpoch(now).time().toString(QStringLiteral("HH:mm:ss")).toLatin1()
                      + "] ";
    }
    return m_stampText;
}
