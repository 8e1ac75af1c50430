#include "core/TerminalBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

TerminalBuffer::TerminalBuffer()
{
    m_lineStarts.append(0);
    m_lineStamps.append(-1);
}

TerminalBuffer::Dropped TerminalBuffer::Append(QByteArrayView bytes, QByteArray *droppedText,
                                               int arrivalMs)
{
    // A line is stamped when its first byte after the prompt comes (see
    // LineStamp), which may be a piece after the one that began it.
    // One pass over the piece; the running width and the line index are
    // kept in locals so that the loop stays in registers. Runs between CRs
    // are copied in one go.
    const char *p = bytes.data();
    const char *const end = p + bytes.size();
    const char *run = p;
    const char *lineBegin = p; // where the open line's part of the piece begins
    qsizetype stored = m_text.size();
    qsizetype columns = m_lastColumns;
    qsizetype widest = m_maxColumns;
    for (; p < end; ++p) {
        const char c = *p;
        if (c == '\n') {
            widest = std::max(widest, columns);
            columns = 0;
            m_openStamp.Add(QByteArrayView(lineBegin, p), arrivalMs);
            m_lineStamps.last() = m_openStamp.Arrived() ? m_openStamp.Ms() : arrivalMs;
            m_openStamp.Begin();
            lineBegin = p + 1;
            m_lineStarts.append(stored + (p - run) + 1);
            m_lineStamps.append(arrivalMs);
        } else if (c == '\r') {
            m_text.append(run, p - run);
            stored += p - run;
            run = p + 1;
        } else {
            columns += CellWidth(c, columns);
        }
    }
    m_text.append(run, end - run);
    if (lineBegin < end) {
        m_openStamp.Add(QByteArrayView(lineBegin, end), arrivalMs);
        if (m_openStamp.Arrived())
            m_lineStamps.last() = m_openStamp.Ms();
    }
    m_lastColumns = columns;
    m_maxColumns = widest;
    return m_lineStarts.size() > m_lineLimit ? trim(droppedText) : Dropped{};
}

void TerminalBuffer::Clear()
{
    m_text = QByteArray();
    m_lineStarts = QList<qsizetype>{0};
    m_lineStamps = QList<qint32>{-1};
    m_openStamp.Begin();
    ++m_clears;
    m_lastColumns = 0;
    m_maxColumns = 0;
    m_droppedLines = 0;
}

TerminalBuffer::Dropped TerminalBuffer::SetLineLimit(qsizetype lines, QByteArray *droppedText)
{
    m_lineLimit = std::max<qsizetype>(1, lines);
    return m_lineStarts.size() > m_lineLimit ? trim(droppedText) : Dropped{};
}

TerminalBuffer::Dropped TerminalBuffer::trim(QByteArray *droppedText)
{
    // Down to nine tenths of the limit, so that the next drop is a tenth of
    // the limit away and moving the rest is paid for by that many appends.
    const qsizetype keep = std::max<qsizetype>(1, m_lineLimit - m_lineLimit / 10);
    const qsizetype lines = m_lineStarts.size() - keep;
    const qsizetype bytes = m_lineStarts.at(lines);
    if (droppedText)
        *droppedText = m_text.first(bytes);
    m_text.remove(0, bytes);
    m_lineStarts.remove(0, lines);
    m_lineStamps.remove(0, lines);
    for (qsizetype &start : m_lineStarts)
        start -= bytes;
    m_droppedLines += lines;

    // The widest line may have gone. Lines without a tab are as wide as they
    // are long, which keeps this scan at the speed of memchr.
    qsizetype widest = 0;
    for (qsizetype i = 0; i + 1 < m_lineStarts.size(); ++i) {
        const QByteArrayView line = Line(i);
        const bool tabs = std::memchr(line.data(), '\t', size_t(line.size())) != nullptr;
        widest = std::max(widest, tabs ? ColumnOf(line, line.size()) : line.size());
    }
    m_maxColumns = widest;
    return {lines, bytes};
}

QByteArrayView TerminalBuffer::Line(qsizetype i) const
{
    if (i < 0 || i >= m_lineStarts.size())
        return {};
    const qsizetype start = m_lineStarts.at(i);
    const qsizetype stop = i + 1 < m_lineStarts.size() ? m_lineStarts.at(i + 1) - 1 : m_text.size();
    return QByteArrayView(m_text.constData() + start, stop - start);
}

qsizetype TerminalBuffer::LineStart(qsizetype i) const
{
    return m_lineStarts.value(std::clamp<qsizetype>(i, 0, m_lineStarts.size() - 1));
}

qsizetype TerminalBuffer::LineAt(qsizetype offset) const
{
    const auto after = std::upper_bound(m_lineStarts.cbegin(), m_lineStarts.cend(), offset);
    return std::max<qsizetype>(0, (after - m_lineStarts.cbegin()) - 1);
}

QByteArrayView TerminalBuffer::LastTextLine() const
{
    for (qsizetype i = m_lineStarts.size() - 1; i >= 0; --i) {
        const QByteArrayView line = Line(i);
        for (char c : line) {
            if (c != ' ' && c != '\t' && c != '>')
                return line;
        }
    }
    return {};
}

int TerminalBuffer::MaxLineColumns() const
{
    const qsizetype widest = std::max(m_maxColumns, m_lastColumns);
    return int(std::min<qsizetype>(widest, std::numeric_limits<int>::max()));
}

qsizetype TerminalBuffer::ColumnOf(QByteArrayView line, qsizetype index)
{
    index = std::clamp<qsizetype>(index, 0, line.size());
    qsizetype column = 0;
    for (qsizetype i = 0; i < index; ++i)
        column += CellWidth(line[i], column);
    return column;
}
