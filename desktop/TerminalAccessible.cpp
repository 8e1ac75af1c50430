#include "desktop/TerminalAccessible.h"

#include "desktop/TerminalView.h"

#include <QAccessibleWidget>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

// The terminal as assistive technology sees it. Offsets count bytes of the
// buffer's text, which are its characters: the text is Latin-1 and keeps no
// carriage returns, lines being joined by one '\n'.
class TerminalAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TerminalAccessible(TerminalView *view) : QAccessibleWidget(view, QAccessible::Terminal) {}

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Value)
            return view()->LastLine();
        return QAccessibleWidget::text(kind);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    // Selection
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !view()->HasSelection())
            return;
        const auto from = std::min(view()->m_anchor, view()->m_cursor);
        const auto to = std::max(view()->m_anchor, view()->m_cursor);
        *startOffset = offsetOf(from);
        *endOffset = offsetOf(to);
    }
    int selectionCount() const override { return view()->HasSelection() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int) override { view()->ClearSelection(); }
    void setSelection(int, int startOffset, int endOffset) override
    {
        view()->m_anchor = posOf(startOffset);
        view()->m_cursor = posOf(endOffset);
        view()->PublishSelection();
        view()->viewport()->update();
    }

    // Cursor: where the selection ends, or the end of the text, where new
    // text arrives.
    int cursorPosition() const override
    {
        return view()->HasSelection() ? offsetOf(view()->m_cursor)
                                      : TerminalView::ClampToInt(buffer().Size());
    }
    void setCursorPosition(int position) override
    {
        view()->m_anchor = view()->m_cursor = posOf(position);
        view()->viewport()->update();
    }

    // Text
    QString text(int startOffset, int endOffset) const override
    {
        const QByteArray all = buffer().Text();
        const qsizetype from = std::clamp<qsizetype>(startOffset, 0, all.size());
        const qsizetype to = std::clamp<qsizetype>(endOffset, from, all.size());
        return QString::fromLatin1(QByteArrayView(all).sliced(from, to - from));
    }
    int characterCount() const override { return TerminalView::ClampToInt(buffer().Size()); }

    // Lines are looked up in the buffer's index; the generic search over the
    // whole text would cost as much as the text is long.
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                         int *endOffset) const override
    {
        if (boundary != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textAtOffset(offset, boundary, startOffset, endOffset);
        return lineText(buffer().LineAt(offset), startOffset, endOffset);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                             int *endOffset) const override
    {
        if (boundary != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textBeforeOffset(offset, boundary, startOffset,
                                                              endOffset);
        return lineText(buffer().LineAt(offset) - 1, startOffset, endOffset);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                            int *endOffset) const override
    {
        if (boundary != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textAfterOffset(offset, boundary, startOffset,
                                                             endOffset);
        return lineText(buffer().LineAt(offset) + 1, startOffset, endOffset);
    }

    // Geometry, in screen coordinates.
    QRect characterRect(int offset) const override
    {
        const qsizetype line = buffer().LineAt(offset);
        const QByteArrayView text = buffer().Line(line);
        const qsizetype index = std::clamp<qsizetype>(offset - buffer().LineStart(line), 0, text.size());
        const qsizetype column = TerminalBuffer::ColumnOf(text, index);
        const qsizetype width = index < text.size() ? TerminalBuffer::CellWidth(text[index], column) : 1;
        const QPoint topLeft = view()->CellPosition(line, column);
        return QRect(view()->viewport()->mapToGlobal(topLeft),
                     QSize(int(std::lround(width * view()->m_charWidth)), view()->m_lineHeight));
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        const QPoint inside = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(inside))
            return -1;
        return offsetOf(view()->PosAt(inside));
    }
    void scrollToSubstring(int startIndex, int) override
    {
        QScrollBar *bar = view()->verticalScrollBar();
        const qsizetype line = buffer().LineAt(startIndex);
        if (line < bar->value() || line >= bar->value() + view()->VisibleLines())
            bar->setValue(TerminalView::ClampToInt(line));
    }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        Q_UNUSED(offset);
        return {};
    }

private:
    TerminalView *view() const { return static_cast<TerminalView *>(widget()); }
    const TerminalBuffer &buffer() const { return view()->m_buffer; }

    int offsetOf(const TerminalView::TextPos &pos) const
    {
        return TerminalView::ClampToInt(buffer().LineStart(pos.line) + pos.index);
    }
    TerminalView::TextPos posOf(int offset) const
    {
        const qsizetype at = std::clamp<qsizetype>(offset, 0, buffer().Size());
        const qsizetype line = buffer().LineAt(at);
        return {line, std::min(at - buffer().LineStart(line), buffer().Line(line).size())};
    }
    // A line with its line break, as screen readers read a line.
    QString lineText(qsizetype line, int *startOffset, int *endOffset) const
    {
        if (line < 0 || line >= buffer().LineCount()) {
            *startOffset = *endOffset = -1;
            return {};
        }
        const qsizetype start = buffer().LineStart(line);
        const qsizetype end = line + 1 < buffer().LineCount() ? buffer().LineStart(line + 1)
                                                              : buffer().Size();
        *startOffset = TerminalView::ClampToInt(start);
        *endOffset = TerminalView::ClampToInt(end);
        return text(*startOffset, *endOffset);
    }
};

namespace {

QAccessibleInterface *terminalAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("TerminalView") && object && object->isWidgetType())
        return new TerminalAccessible(static_cast<TerminalView *>(object));
    return nullptr;
}

} // namespace

void InstallTerminalAccessible()
{
    static const bool installed = [] {
        QAccessible::installFactory(&terminalAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
