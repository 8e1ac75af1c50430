// The terminal's store of device text, fed the way the device's text arrives:
// in pieces of any size, with time-stamp marks, zero bytes and line ends of
// either kind anywhere. However the text is cut into pieces, the terminal
// must hold the same lines, and its line index and widths must agree with
// the text it holds.

#include "fuzz/FuzzCheck.h"
#include "core/TerminalBuffer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// Every line, its index and the widest line, measured from the text alone.
void CheckBuffer(const TerminalBuffer &buffer, const QByteArray &expectedText)
{
    const QByteArray text = buffer.Text();
    FUZZ_CHECK(text == expectedText);
    FUZZ_CHECK(buffer.Size() == text.size());
    const QList<QByteArray> lines = text.split('\n');
    FUZZ_CHECK(buffer.LineCount() == lines.size());
    qsizetype widest = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArrayView line = buffer.Line(i);
        FUZZ_CHECK(line == lines.at(i));
        qsizetype column = 0;
        for (const char byte : line) {
            const qsizetype width = TerminalBuffer::CellWidth(byte, column);
            FUZZ_CHECK(width >= 1 && width <= TerminalBuffer::TabWidth);
            column += width;
        }
        FUZZ_CHECK(TerminalBuffer::ColumnOf(line, line.size()) == column);
        widest = std::max(widest, column);
    }
    FUZZ_CHECK(buffer.MaxLineColumns() == widest);
    FUZZ_CHECK(buffer.Line(-1).isEmpty() && buffer.Line(buffer.LineCount()).isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte seeds the cuts; the rest is the device's text.
    std::uint32_t cut = data[0] * 2654435761u + 1;
    const QByteArray text(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    QByteArray stored = text;
    stored.replace('\r', "");

    TerminalBuffer whole;
    whole.Append(text);
    CheckBuffer(whole, stored);

    TerminalBuffer pieces;
    for (qsizetype at = 0; at < text.size();) {
        cut = cut * 1103515245u + 12345u;
        // Mostly short pieces, now and then an empty or a long one.
        const qsizetype wanted = (cut >> 16) % 17 == 0 ? (cut >> 8) % 512 : (cut >> 16) % 9;
        const qsizetype n = std::min<qsizetype>(text.size() - at, wanted);
        pieces.Append(QByteArrayView(text.constData() + at, n));
        at += n;
    }
    CheckBuffer(pieces, stored);

    // With a small line limit, fed the same way: what it keeps is the newest
    // whole lines, as many as the limit allows at most, and nothing else.
    TerminalBuffer limited;
    limited.SetLineLimit(1 + data[0] % 16);
    for (qsizetype at = 0; at < text.size();) {
        cut = cut * 1103515245u + 12345u;
        const qsizetype n = std::min<qsizetype>(text.size() - at, (cut >> 16) % 40);
        limited.Append(QByteArrayView(text.constData() + at, n));
        at += n;
    }
    const QList<QByteArray> storedLines = stored.split('\n');
    FUZZ_CHECK(limited.LineCount() <= limited.LineLimit());
    FUZZ_CHECK(limited.DroppedLines() + limited.LineCount() == storedLines.size());
    CheckBuffer(limited, storedLines.mid(limited.DroppedLines()).join('\n'));

    // Cleared, the buffer starts again from nothing.
    pieces.Clear();
    CheckBuffer(pieces, QByteArray());
    pieces.Append(text);
    CheckBuffer(pieces, stored);
    return 0;
}
