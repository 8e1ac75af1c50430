#include "core/links/IpAddress.h"

namespace {

int digitIn(char c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

// One part from `pos` up to the next '.' or the end; leaves `pos` on that
// character. Values beyond 32 bits stop growing and fail later.
std::optional<quint64> readPart(const QByteArray &text, qsizetype &pos)
{
    int base = 10;
    if (pos < text.size() && text.at(pos) == '0') {
        if (pos + 1 < text.size() && (text.at(pos + 1) == 'x' || text.at(pos + 1) == 'X')) {
            base = 16;
            pos += 2;
        } else {
            base = 8; // the 0 itself is a digit of the part
        }
    }
    quint64 value = 0;
    int digits = 0;
    for (; pos < text.size() && text.at(pos) != '.'; ++pos) {
        const int d = digitIn(text.at(pos), base);
        if (d < 0)
            return std::nullopt;
        if (value <= 0xFFFFFFFFu)
            value = value * quint64(base) + quint64(d);
        ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<quint32> ParseIpAddress(const QByteArray &text)
{
    quint64 parts[4] = {};
    int count = 0;
    qsizetype pos = 0;
    for (;;) {
        if (count == 4)
            return std::nullopt;
        const std::optional<quint64> part = readPart(text, pos);
        if (!part)
            return std::nullopt;
        parts[count++] = *part;
        if (pos == text.size())
            break;
        ++pos; // the '.'
    }
    // Every part but the last is one octet; the last fills what is left.
    quint32 value = 0;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF)
            return std::nullopt;
        value |= quint32(parts[i]) << (24 - 8 * i);
    }
    const quint64 lastLimit = count == 1 ? 0xFFFFFFFFu : (quint64(1) << (8 * (5 - count))) - 1;
    if (parts[count - 1] > lastLimit)
        return std::nullopt;
    return value | quint32(parts[count - 1]);
}

quint32 ParseIpAddressOrAllOnes(const QByteArray &text)
{
    return ParseIpAddress(text).value_or(0xFFFFFFFFu);
}

QByteArray FormatIpAddress(quint32 value)
{
    return QByteArray::number(value >> 24) + '.' + QByteArray::number((value >> 16) & 0xFF) + '.'
           + QByteArray::number((value >> 8) & 0xFF) + '.' + QByteArray::number(value & 0xFF);
}
