#include "core/Identification.h"

IdentPart ParseIdentPart(const QByteArray &reply, const char *word, int offset)
{
    const qsizetype at = reply.indexOf(word);
    if (at < 0)
        return {QByteArray(UnknownIdentPart), false};
    const QByteArray part = reply.mid(at + offset, 5);
    // An answer that ends at the number holds none: nothing of the device's
    // own to keep in place of the one read before.
    if (part.isEmpty())
        return {part, false};
    if (part.compare("fffff", Qt::CaseInsensitive) == 0)
        return {QByteArrayLiteral("FFFFF"), false};
    return {part, true};
}

bool NoRealSerialNumber(const QByteArray &serial)
{
    return serial.isEmpty() || serial == UnknownIdentPart;
}
