#pragma once

#include "core/HighlightRules.h"
#include "core/TerminalBuffer.h"
#include "core/TerminalFind.h"
#include "core/TerminalStamps.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QPoint>
#include <QRawFont>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <limits>

// The read-only terminal of the main window. It paints only the lines in
// view, straight from a TerminalBuffer, so that appending stays cheap however
// long the device has been talking; a plain text editor would lay the whole
// text out again on every append.
//
// The text is single-byte (Latin-1) and shown in a fixed-pitch font, one
// column per byte, tabs expanded to the next multiple of 8 columns, other
// control bytes as a blank. The user can select with the mouse and copy; the
// view takes focus on a click for that, but typing does nothing here: keys it
// has no use for are ignored and so reach the window.
//
// Assistive technology reads it as a terminal: its whole text through the
// accessible text interface (lines, their place on screen, the selection),
// its newest line that says something as its accessible value, and every
// append as inserted text.
class TerminalView : public QAbstractScrollArea {
    Q_OBJECT
    friend class TerminalAccessible;

public:
    explicit TerminalView(QWidget *parent = nullptr);
    ~TerminalView() override;

    // Appends device text and brings the end of the text into view. Scroll
    // bars and repaint follow from the event loop, at most once a frame, so
    // a burst of appends costs one repaint. Returns the arrival time the
    // text was stamped with (milliseconds since midnight), for a log that
    // must give its lines the same stamps.
    int AppendText(QByteArrayView bytes);
    void Clear();

    // The buffer's line limit; past it the oldest lines go (see
    // TerminalBuffer). What stays keeps its place on screen and in the
    // selection.
    void SetLineLimit(qsizetype lines);
    qsizetype LineLimit() const { return m_buffer.LineLimit(); }
    qsizetype DroppedLines() const { return m_buffer.DroppedLines(); }

    // The lines for saving, Latin-1 decoded. An empty line after the final
    // line break is left out, so that writing each line with its own line
    // end reproduces the text.
    QStringList Lines() const;
    QString Text() const;
    // The newest line that says something (blank and prompt-only lines
    // passed over), Latin-1 decoded.
    QString LastLine() const;
    // Lines on screen, the empty one after a final line break included.
    qsizetype LineCount() const { return m_buffer.LineCount(); }
    const TerminalBuffer &Buffer() const { return m_buffer; }

    bool HasSelection() const { return m_anchor != m_cursor; }
    // Selected text, Latin-1 decoded, lines joined by '\n'. With `stamps`,
    // as shown: a line selected from its start has its arrival stamp in
    // front while stamps are shown.
    QString SelectedText(bool stamps = true) const;
    void SelectAll();
    void ClearSelection();
    // Puts the selection on the clipboard, as shown or the device's text
    // alone; does nothing without a selection.
    void Copy() const;
    void CopyWithoutStamps() const;

    // Every line shown with the time its first byte arrived,
    // "[hh:mm:ss.mmm] ", in front (off by default). The stamps are not part
    // of the text: saving and searching see the device's text alone.
    void SetTimeStamps(bool on);
    bool TimeStamps() const { return m_stamps; }

    // Lines a rule matches are drawn in the rule's colour.
    void SetHighlightRules(const QList<HighlightRules::Rule> &rules);
    const HighlightRules &Highlights() const { return m_rules; }
    // The rule that colours line `line`, -1 when none; and a rule colour's
    // look on this view's palette.
    int LineRule(qsizetype line) const;
    QColor RuleColor(const QString &name) const;

    // Find: while active, every match of the pattern is marked and kept up
    // to date as text arrives, and appends do not pull the view away from
    // where the user reads (unless it is at the end). Moving to a match
    // brings it into view. A search that takes long goes on in steps of at
    // most FindStepMs from the event loop, so that typing a pattern never
    // holds the window; FindChanged follows each step.
    static constexpr int FindStepMs = 30;
    void SetFindActive(bool on);
    bool FindActive() const { return m_findActive; }
    bool SetFindPattern(const QString &pattern, bool matchCase, bool regularExpression);
    const TerminalFind &Find() const { return m_find; }
    void FindNext();
    void FindPrevious();
    // Scrolls match `index` into view if it is not in view.
    void ShowMatch(qsizetype index);

    // Top-left corner, in viewport coordinates, of the cell at `column` of
    // `line` as the view is scrolled now.
    QPoint CellPosition(qsizetype line, qsizetype column) const;

Q_SIGNALS:
    // Old lines were dropped from the top; `total` counts them since the
    // last Clear.
    void LinesDropped(qsizetype total);
    // The matches or the current one changed.
    void FindChanged();

protected:
    bool event(QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    // A place between two bytes: line number and byte index in that line.
    struct TextPos {
        qsizetype line = 0;
        qsizetype index = 0;
        friend auto operator<=>(const TextPos &, const TextPos &) = default;
    };

    void UpdateMetrics();
    void SyncScrollBars();
    int VisibleLines() const;
    int VisibleColumns() const;
    TextPos PosAt(QPoint viewportPos) const;
    void DragTo(QPoint viewportPos);
    void PublishSelection() const;
    void dropped(const TerminalBuffer::Dropped &dropped, const QByteArray &droppedText);
    int PrefixColumns() const { return m_stamps ? StampColumns : 0; }
    void updateFind();

    static constexpr int StampColumns = 15; // "[hh:mm:ss.mmm] "
    static int ClampToInt(qsizetype value)
    {
        return int(std::clamp<qsizetype>(value, 0, std::numeric_limits<int>::max()));
    }

    TerminalBuffer m_buffer;
    TerminalFind m_find;
    QTimer m_findTimer; // the next step of a search that is not done
    HighlightRules m_rules;
    bool m_findActive = false;
    bool m_stamps = false;
    ArrivalClock m_clock;
    TextPos m_anchor;
    TextPos m_cursor;
    bool m_dragging = false;
    bool m_scrollToEnd = false;
    QPoint m_dragPos;
    QBasicTimer m_dragScroll;
    QTimer m_syncTimer;
    QElapsedTimer m_lastSync;
    // The font's glyph for every byte value, so that painting needs no text
    // shaping and every byte lands exactly in its column.
    QRawFont m_rawFont;
    quint32 m_glyphs[256] = {};
    qreal m_charWidth = 1;
    int m_lineHeight = 1;
    int m_ascent = 0;
};
