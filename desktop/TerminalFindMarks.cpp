#include "desktop/TerminalFindMarks.h"

#include "core/TerminalBuffer.h"
#include "core/TerminalFind.h"

#include <QPainter>
#include <QPalette>
#include <QRegion>

TerminalFindMarks::TerminalFindMarks(const TerminalFind &find, const TerminalBuffer &buffer,
                                     qsizetype firstLine, const QPalette &palette)
    : m_find(find),
      m_buffer(buffer),
      m_next(find.FirstFrom(firstLine, buffer)),
      m_dropped(buffer.DroppedLines()),
      m_current(palette.color(QPalette::Highlight)),
      m_wash(m_current)
{
    m_wash.setAlpha(90);
}

void TerminalFindMarks::Paint(QPainter &painter, qsizetype line, int y, int height,
                              const std::function<int(qsizetype)> &xOf, QRegion &selected)
{
    const QByteArrayView text = m_buffer.Line(line);
    for (; m_next < m_find.Count() && m_find.At(m_next).line == m_dropped + line; ++m_next) {
        const TerminalFind::Match &match = m_find.At(m_next);
        const QRect rect(QPoint(xOf(TerminalBuffer::ColumnOf(text, match.start)), y),
                         QPoint(xOf(TerminalBuffer::ColumnOf(text, match.start + match.length)) - 1,
                                y + height - 1));
        if (m_next == m_find.Current()) {
            painter.fillRect(rect, m_current);
            selected += rect;
        } else {
            painter.fillRect(rect, m_wash);
        }
    }
}
