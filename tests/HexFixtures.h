#pragma once

// HEX file text and the flash contents it stands for, built independently of
// the loader so that tests can compare the two.

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

#include <algorithm>
#include <initializer_list>

namespace hexfix {

struct Span {
    quint32 address;
    QByteArray bytes;
};

inline QByteArray Hex2(unsigned value, bool lower = false)
{
    static const char upper[] = "0123456789ABCDEF";
    static const char lowerDigits[] = "0123456789abcdef";
    const char *digits = lower ? lowerDigits : upper;
    const char pair[2] = {digits[(value >> 4) & 0xF], digits[value & 0xF]};
    return QByteArray(pair, 2);
}

// Bytes given as numbers (QByteArray takes no list of characters).
inline QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (const int v : values)
        bytes += char(v);
    return bytes;
}

// One record without its line end, with a correct checksum.
inline QByteArray Record(int type, quint16 address, const QByteArray &data, bool lower = false)
{
    unsigned sum = unsigned(data.size()) + (address >> 8) + (address & 0xFF) + unsigned(type);
    QByteArray line = ":" + Hex2(unsigned(data.size()), lower) + Hex2(address >> 8, lower)
                      + Hex2(address & 0xFF, lower) + Hex2(unsigned(type), lower);
    for (const char c : data) {
        line += Hex2(quint8(c), lower);
        sum += quint8(c);
    }
    return line + Hex2((256 - sum % 256) % 256, lower);
}

inline QByteArray Extended(int type, quint16 value)
{
    return Record(type, 0, Bytes({value >> 8, value & 0xFF}));
}

inline const QByteArray EndRecord = ":00000001FF";

// Bytes that differ from address to address and from one seed to another.
inline QByteArray Pattern(quint32 from, quint32 count, int seed = 1)
{
    QByteArray bytes(qsizetype(count), Qt::Uninitialized);
    for (quint32 i = 0; i < count; ++i) {
        const quint32 a = from + i;
        bytes[i] = char((a * 131u + (a >> 8) * 7u + unsigned(seed) * 29u) & 0xFF);
    }
    return bytes;
}

inline Span Filled(quint32 from, quint32 count, int seed = 1)
{
    return {from, Pattern(from, count, seed)};
}

// Records of at most 16 bytes, with an extended linear address record
// wherever the upper 16 address bits change.
inline QByteArrayList Records(const QList<Span> &spans, bool lower = false)
{
    QByteArrayList lines;
    quint32 upper = 0;
    for (const Span &span : spans) {
        for (qsizetype done = 0; done < span.bytes.size();) {
            const quint32 address = span.address + quint32(done);
            if ((address >> 16) != upper) {
                upper = address >> 16;
                lines << Extended(4, quint16(upper));
            }
            const qsizetype room = 0x10000 - (address & 0xFFFF);
            const qsizetype n = std::min({qsizetype(16), span.bytes.size() - done, room});
            lines << Record(0, quint16(address & 0xFFFF), span.bytes.mid(done, n), lower);
            done += n;
        }
    }
    return lines;
}

inline QByteArray Join(const QByteArrayList &lines, const QByteArray &eol = "\r\n")
{
    QByteArray text;
    for (const QByteArray &line : lines)
        text += line + eol;
    return text;
}

inline QByteArray HexText(const QList<Span> &spans)
{
    return Join(Records(spans) << EndRecord);
}

// The whole 256 KB flash as the spans leave it.
inline QByteArray Flash(const QList<Span> &spans)
{
    QByteArray flash(262144, '\xFF');
    for (const Span &span : spans)
        flash.replace(qsizetype(span.address), span.bytes.size(), span.bytes);
    return flash;
}

} // namespace hexfix
