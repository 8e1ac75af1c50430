#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Received bytes as the terminal shows them in its hex view: offset, sixteen
// bytes in hex and the printable ones as text, one line per sixteen bytes:
//
//   00000010  41 42 43 44 0d 0a 3e 00  20 20 20 20 20 20 20 20  |ABCD..>.        |
//
// What it returns is only ever appended: bytes that arrive mid-line add their
// hex to the open line, and the text column follows once the line is full.
// So a piece that ends mid-line and the next one give the same lines as both
// arriving at once, and a log of the terminal is the same text.
class HexDump {
public:
    // The text to append for `bytes`.
    QByteArray Feed(QByteArrayView bytes);
    void Feed(QByteArrayView bytes, QByteArray &out);
    // Ends the open line (padded, with its text column) so that other text
    // can follow on a line of its own; "" when no line is open. The next
    // byte starts a new line at its own offset.
    QByteArray Break();
    // Counts from offset 0 again.
    void Reset();
    qint64 Offset() const { return m_offset; }
    bool LineOpen() const { return m_column > 0; }

private:
    void closeLine(QByteArray &out);

    qint64 m_offset = 0;
    int m_column = 0;
    // Printable text of the open line.
    char m_text[16] = {};
};
