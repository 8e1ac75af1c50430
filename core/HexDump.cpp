#include "core/HexDump.h"

namespace {

constexpr char Digits[] = "0123456789abcdef";

char printable(unsigned char byte)
{
    return byte >= 0x20 && byte < 0x7f ? char(byte) : '.';
}

} // namespace

QByteArray HexDump::Feed(QByteArrayView bytes)
{
    QByteArray out;
    Feed(bytes, out);
    return out;
}

void HexDump::Feed(QByteArrayView bytes, QByteArray &out)
{
    // A full line is 78 bytes for its 16: room for all of them at once.
    out.reserve(out.size() + (bytes.size() / 16 + 2) * 80);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (m_column == 0) {
            char offset[10];
            for (int i = 0; i < 8; ++i)
                offset[i] = Digits[(m_offset >> (28 - 4 * i)) & 0xf];
            offset[8] = ' ';
            offset[9] = ' ';
            out.append(offset, 10);
        }
        char hex[4] = {Digits[byte >> 4], Digits[byte & 0xf], ' ', ' '};
        // A wider gap halves the line, as after the eighth byte.
        out.append(hex, m_column == 7 ? 4 : 3);
        m_text[m_column] = printable(byte);
        ++m_offset;
        if (++m_column == 16)
            closeLine(out);
    }
}

void HexDump::closeLine(QByteArray &out)
{
    // Hex of bytes that never came is blank, so the text column stays put.
    for (int column = m_column; column < 16; ++column)
        out.append(column == 7 ? "    " : "   ", column == 7 ? 4 : 3);
    out.append(" |", 2);
    out.append(m_text, m_column);
    out.append("|\n", 2);
    m_column = 0;
}

QByteArray HexDump::Break()
{
    QByteArray out;
    if (m_column > 0)
        closeLine(out);
    return out;
}

void HexDump::Reset()
{
    m_offset = 0;
    m_column = 0;
}
