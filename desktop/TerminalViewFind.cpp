#include "desktop/TerminalView.h"

#include <QScrollBar>

#include <algorithm>

// Find in the terminal: the pattern, the matches kept up to date as text
// arrives, and moving from one to the next. TerminalFindMarks paints them.

void TerminalView::SetFindActive(bool on)
{
    if (m_findActive == on)
        return;
    m_findActive = on;
    if (on)
        updateFind();
    else
        m_findTimer.stop();
    viewport()->update();
}

bool TerminalView::SetFindPattern(const QString &pattern, bool matchCase, bool regularExpression)
{
    const bool ok = m_find.SetPattern(pattern, matchCase, regularExpression, m_buffer,
                                      QDeadlineTimer(FindStepMs));
    if (!m_find.Done())
        m_findTimer.start(0);
    viewport()->update();
    Q_EMIT FindChanged();
    return ok;
}

void TerminalView::FindNext()
{
    updateFind();
    ShowMatch(m_find.Next(verticalScrollBar()->value(), m_buffer));
    Q_EMIT FindChanged();
}

void TerminalView::FindPrevious()
{
    updateFind();
    ShowMatch(m_find.Previous(verticalScrollBar()->value() + VisibleLines(), m_buffer));
    Q_EMIT FindChanged();
}

void TerminalView::ShowMatch(qsizetype index)
{
    if (index < 0 || index >= m_find.Count())
        return;
    // Text that is still waiting to be shown must not pull the view back to
    // the end afterwards.
    SyncScrollBars();
    m_scrollToEnd = false;
    const TerminalFind::Match &match = m_find.At(index);
    const qsizetype line = match.line - m_buffer.DroppedLines();
    QScrollBar *vbar = verticalScrollBar();
    const int lines = VisibleLines();
    if (line < vbar->value() || line >= vbar->value() + lines)
        vbar->setValue(ClampToInt(line - lines / 2));
    const QByteArrayView text = m_buffer.Line(line);
    const qsizetype c0 = PrefixColumns() + TerminalBuffer::ColumnOf(text, match.start);
    const qsizetype c1 = PrefixColumns() + TerminalBuffer::ColumnOf(text, match.start + match.length);
    QScrollBar *hbar = horizontalScrollBar();
    const int columns = VisibleColumns();
    if (c0 < hbar->value() || c1 > hbar->value() + columns)
        hbar->setValue(ClampToInt(std::max<qsizetype>(0, c1 - columns + 1)));
    viewport()->update();
}

void TerminalView::updateFind()
{
    if (!m_findActive)
        return;
    const qsizetype count = m_find.Count();
    const qsizetype current = m_find.Current();
    const bool done = m_find.Done();
    m_find.Update(m_buffer, QDeadlineTimer(FindStepMs));
    if (!m_find.Done())
        m_findTimer.start(0);
    if (m_find.Count() != count || m_find.Current() != current || m_find.Done() != done)
        Q_EMIT FindChanged();
}
