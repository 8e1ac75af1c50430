#pragma once

#include "core/TerminalStamps.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The terminal's text: single bytes in one growing array, '\n' between lines,
// with the start of every line indexed. Appending costs as much as the piece
// it appends, however much the buffer already holds, so a device that talks
// for hours never slows the tool down.
//
// It keeps the newest lines up to a line limit, so that a device watched for
// days does not fill the memory (a day at 115200 bit/s is about 1 GB). Once
// the text grows past the limit, the oldest whole lines are dropped in one
// go, down to nine tenths of the limit: the rest of the text is moved once
// per tenth of the limit, never on every append.
class TerminalBuffer {
public:
    static constexpr int TabWidth = 8;
    // 100,000 lines of about 60 bytes: some 7 MB with the index, hours of the
    // usual device chatter and about nine minutes of a device that talks
    // without a pause at 115200 bit/s.
    static constexpr qsizetype DefaultLineLimit = 100'000;

    // What one call dropped from the top: whole lines and their bytes, line
    // breaks included.
    struct Dropped {
        qsizetype lines = 0;
        qsizetype bytes = 0;
    };

    TerminalBuffer();

    // '\n' ends a line. '\r' is never stored, so CR LF and a lone LF both give
    // one line break and a lone CR vanishes; every other byte is kept as is.
    // When `droppedText` is given, the dropped bytes are copied there.
    // `arrivalMs` (milliseconds since midnight, -1 when unknown) becomes the
    // stamp of every line whose first byte after the prompt is in this piece
    // (see LineStamp).
    Dropped Append(QByteArrayView bytes, QByteArray *droppedText = nullptr, int arrivalMs = -1);
    // Empties the text; the limit stays.
    void Clear();

    // At least 1; the empty line after a final line break counts as a line.
    // A lower limit drops the oldest lines at once.
    Dropped SetLineLimit(qsizetype lines, QByteArray *droppedText = nullptr);
    qsizetype LineLimit() const { return m_lineLimit; }
    // Lines dropped since the buffer was made or last cleared.
    qsizetype DroppedLines() const { return m_droppedLines; }
    // Counts the Clear calls, so that a reader holding line numbers can tell
    // an emptied text from one that merely dropped lines.
    quint64 Clears() const { return m_clears; }

    // An empty buffer holds one empty line; text that ends in '\n' ends with
    // an empty line.
    qsizetype LineCount() const { return m_lineStarts.size(); }
    // The view stays valid until the next Append or Clear.
    QByteArrayView Line(qsizetype i) const;
    // When line `i` began to arrive, in milliseconds since midnight; -1
    // when the piece came without a time.
    int Stamp(qsizetype i) const { return m_lineStamps.value(i, -1); }
    // Where line `i` starts in Text(), and the line that holds the byte at
    // `offset` (a line break belongs to the line it ends).
    qsizetype LineStart(qsizetype i) const;
    qsizetype LineAt(qsizetype offset) const;
    // The newest line that says something: lines of blanks and a prompt
    // ('>') alone are passed over. Empty when there is none.
    QByteArrayView LastTextLine() const;
    // The lines joined by '\n'.
    QByteArray Text() const { return m_text; }
    // Bytes stored, line breaks included.
    qsizetype Size() const { return m_text.size(); }
    // Width of the widest line in display columns, tabs expanded.
    int MaxLineColumns() const;

    // Display column at which the byte `index` of `line` starts (index may be
    // line.size(), giving the line's width).
    static qsizetype ColumnOf(QByteArrayView line, qsizetype index);
    // Width in columns of a byte that starts at `column`.
    static qsizetype CellWidth(char byte, qsizetype column)
    {
        return byte == '\t' ? TabWidth - column % TabWidth : 1;
    }

private:
    Dropped trim(QByteArray *droppedText);

    QByteArray m_text;
    QList<qsizetype> m_lineStarts;
    QList<qint32> m_lineStamps; // one per line, beside m_lineStarts
    LineStamp m_openStamp;      // the last line's
    qsizetype m_lastColumns = 0; // width of the last (still open) line
    qsizetype m_maxColumns = 0;  // widest finished line
    qsizetype m_lineLimit = DefaultLineLimit;
    qsizetype m_droppedLines = 0;
    quint64 m_clears = 0;
};
