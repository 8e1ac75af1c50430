#pragma once

#include <QColor>

#include <functional>

class QPainter;
class QPalette;
class QRegion;
class TerminalBuffer;
class TerminalFind;

// Marks the find's matches on the lines the terminal paints, top to bottom:
// a wash of the selection colour on every match, the current one looking
// selected.
class TerminalFindMarks {
public:
    // `firstLine` is the first line painted, a line of the store.
    TerminalFindMarks(const TerminalFind &find, const TerminalBuffer &buffer, qsizetype firstLine,
                      const QPalette &palette);

    // The marks of `line` (drawn at `y`, `height` high), each next line in
    // turn; `xOf` gives a column's place in the viewport. The current
    // match's area joins `selected`, to be drawn in the selection's text
    // colour.
    void Paint(QPainter &painter, qsizetype line, int y, int height,
               const std::function<int(qsizetype)> &xOf, QRegion &selected);

private:
    const TerminalFind &m_find;
    const TerminalBuffer &m_buffer;
    qsizetype m_next;
    qsizetype m_dropped;
    QColor m_current;
    QColor m_wash;
};
