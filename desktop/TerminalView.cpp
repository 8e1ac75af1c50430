#include "desktop/TerminalView.h"

#include "core/TerminalStamps.h"
#include "desktop/TerminalAccessible.h"
#include "desktop/TerminalFindMarks.h"

#include <QAccessible>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

constexpr int LeftMargin = 2;
constexpr int DragScrollMs = 50;
constexpr qint64 FrameMs = 16;

QFont TerminalFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QString preferred = QStringLiteral("Courier");
    if (QFontDatabase::hasFamily(preferred))
        font.setFamily(preferred);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(16);
    return font;
}

// What a byte looks like in a cell: control bytes would upset the fixed
// pitch (or draw nothing at all), so they show as a blank.
QChar CellChar(char byte)
{
    const auto c = static_cast<unsigned char>(byte);
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return QLatin1Char(' ');
    return QChar(c);
}

bool IsWordByte(char byte)
{
    return byte == '_' || QChar(static_cast<unsigned char>(byte)).isLetterOrNumber();
}

} // namespace


TerminalView::TerminalView(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    InstallTerminalAccessible();
    setFont(TerminalFont());
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setBackgroundRole(QPalette::Base);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);

    m_syncTimer.setSingleShot(true);
    m_syncTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_syncTimer, &QTimer::timeout, this, [this] {
        m_lastSync.start();
        // The search catches up once a frame, not on every piece.
        updateFind();
        SyncScrollBars();
        viewport()->update();
    });

    m_findTimer.setSingleShot(true);
    connect(&m_findTimer, &QTimer::timeout, this, [this] {
        updateFind();
        viewport()->update();
    });

    UpdateMetrics();
    SyncScrollBars();
}

TerminalView::~TerminalView() = default;

int TerminalView::AppendText(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return -1;
    const qsizetype before = m_buffer.Size();
    // Only while assistive technology listens: the text is copied for it.
    const bool accessible = QAccessible::isActive();
    QByteArray droppedText;
    const int arrivalMs = m_clock.MsOfDay();
    const TerminalBuffer::Dropped gone =
        m_buffer.Append(bytes, accessible ? &droppedText : nullptr, arrivalMs);
    if (gone.bytes > before) {
        // Some of the new text went at once: it was never there for a reader.
        dropped(gone, accessible ? droppedText.first(before) : QByteArray());
        if (accessible) {
            QAccessibleTextInsertEvent inserted(this, 0, QString::fromLatin1(m_buffer.Text()));
            QAccessible::updateAccessibility(&inserted);
        }
    } else {
        if (gone.lines > 0)
            dropped(gone, droppedText);
        if (accessible) {
            const qsizetype at = before - gone.bytes;
            QAccessibleTextInsertEvent inserted(this, ClampToInt(at),
                                                QString::fromLatin1(m_buffer.Text().sliced(at)));
            QAccessible::updateAccessibility(&inserted);
        }
    }
    // While the user drags a selection the view stays where it is, and so
    // it does while the user searches and reads above the end.
    const QScrollBar *vbar = verticalScrollBar();
    const bool reading = m_findActive && vbar->value() < vbar->maximum();
    if (!m_dragging && !reading)
        m_scrollToEnd = true;
    // The first text after a pause shows at once; a stream of text is shown
    // at most once a frame, which is all the eye can follow anyway.
    if (!m_syncTimer.isActive()) {
        const qint64 since = m_lastSync.isValid() ? m_lastSync.elapsed() : FrameMs;
        m_syncTimer.start(int(std::clamp<qint64>(FrameMs - since, 0, FrameMs)));
    }
    return arrivalMs;
}

void TerminalView::Clear()
{
    if (QAccessible::isActive() && m_buffer.Size() > 0) {
        QAccessibleTextRemoveEvent removed(this, 0, QString::fromLatin1(m_buffer.Text()));
        QAccessible::updateAccessibility(&removed);
    }
    m_buffer.Clear();
    updateFind();
    m_anchor = m_cursor = TextPos{};
    m_dragging = false;
    m_dragScroll.stop();
    m_scrollToEnd = false;
    SyncScrollBars();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

void TerminalView::SetLineLimit(qsizetype lines)
{
    QByteArray droppedText;
    const TerminalBuffer::Dropped gone =
        m_buffer.SetLineLimit(lines, QAccessible::isActive() ? &droppedText : nullptr);
    if (gone.lines == 0)
        return;
    dropped(gone, droppedText);
    updateFind();
    SyncScrollBars();
    viewport()->update();
}

void TerminalView::SetTimeStamps(bool on)
{
    if (m_stamps == on)
        return;
    m_stamps = on;
    SyncScrollBars();
    viewport()->update();
}

void TerminalView::SetHighlightRules(const QList<HighlightRules::Rule> &rules)
{
    m_rules.SetRules(rules);
    viewport()->update();
}

int TerminalView::LineRule(qsizetype line) const
{
    return m_rules.Match(m_buffer.Line(line));
}

QColor TerminalView::RuleColor(const QString &name) const
{
    // Hues at a lightness that stands out from the background: dark on a
    // light palette, light on a dark one.
    const QPalette &pal = palette();
    if (name == QLatin1String("Grey"))
        return pal.color(QPalette::PlaceholderText);
    static const std::pair<const char *, int> hues[] = {
        {"Red", 0}, {"Orange", 28}, {"Green", 120}, {"Blue", 220}, {"Purple", 285}};
    const bool darkBase = pal.color(QPalette::Base).lightness() < 128;
    for (const auto &[hueName, hue] : hues) {
        if (name == QLatin1String(hueName))
            return QColor::fromHsl(hue, 200, darkBase ? 170 : 95);
    }
    return pal.color(QPalette::Text);
}

void TerminalView::dropped(const TerminalBuffer::Dropped &gone, const QByteArray &droppedText)
{
    if (QAccessible::isActive() && !droppedText.isEmpty()) {
        QAccessibleTextRemoveEvent removed(this, 0, QString::fromLatin1(droppedText));
        QAccessible::updateAccessibility(&removed);
    }
    // What stays keeps its place: the selection and the top line move up
    // with the text. A selection end that went with the dropped lines
    // starts at the new first line.
    const auto shift = [&gone](TextPos &pos) {
        pos = pos.line >= gone.lines ? TextPos{pos.line - gone.lines, pos.index} : TextPos{};
    };
    shift(m_anchor);
    shift(m_cursor);
    QScrollBar *vbar = verticalScrollBar();
    vbar->setValue(std::max(0, vbar->value() - ClampToInt(gone.lines)));
    viewport()->update();
    Q_EMIT LinesDropped(m_buffer.DroppedLines());
}

QStringList TerminalView::Lines() const
{
    qsizetype count = m_buffer.LineCount();
    if (m_buffer.Line(count - 1).isEmpty())
        --count;
    QStringList lines;
    lines.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        lines.append(QString::fromLatin1(m_buffer.Line(i)));
    return lines;
}

QString TerminalView::Text() const
{
    return QString::fromLatin1(m_buffer.Text());
}

QString TerminalView::LastLine() const
{
    return QString::fromLatin1(m_buffer.LastTextLine());
}

QString TerminalView::SelectedText(bool stamps) const
{
    if (!HasSelection())
        return {};
    const TextPos from = std::min(m_anchor, m_cursor);
    const TextPos to = std::max(m_anchor, m_cursor);
    return QString::fromLatin1(
        StampedText(m_buffer, from.line, from.index, to.line, to.index, stamps && m_stamps));
}

void TerminalView::SelectAll()
{
    const qsizetype last = m_buffer.LineCount() - 1;
    m_anchor = TextPos{};
    m_cursor = TextPos{last, m_buffer.Line(last).size()};
    PublishSelection();
    viewport()->update();
}

void TerminalView::ClearSelection()
{
    m_anchor = m_cursor;
    viewport()->update();
}

void TerminalView::Copy() const
{
    if (HasSelection())
        QGuiApplication::clipboard()->setText(SelectedText(true));
}

void TerminalView::CopyWithoutStamps() const
{
    if (HasSelection())
        QGuiApplication::clipboard()->setText(SelectedText(false));
}

QPoint TerminalView::CellPosition(qsizetype line, qsizetype column) const
{
    const qsizetype row = line - verticalScrollBar()->value();
    const qsizetype col = PrefixColumns() + column - horizontalScrollBar()->value();
    return QPoint(LeftMargin + int(std::lround(col * m_charWidth)), int(row * m_lineHeight));
}

bool TerminalView::event(QEvent *event)
{
    // Claim the copy keys before any shortcut of the window can take them.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key == QKeySequence::Copy || key == QKeySequence::SelectAll
            || key->keyCombination() == QKeyCombination(Qt::CTRL | Qt::SHIFT, Qt::Key_C)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void TerminalView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange) {
        UpdateMetrics();
        SyncScrollBars();
        viewport()->update();
    }
    QAbstractScrollArea::changeEvent(event);
}

void TerminalView::UpdateMetrics()
{
    const QFontMetricsF metrics(font());
    m_charWidth = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('M')));
    m_lineHeight = std::max(1, int(std::ceil(metrics.lineSpacing())));
    m_ascent = int(std::ceil(metrics.ascent()));

    m_rawFont = QRawFont::fromFont(font());
    const QList<quint32> missing = m_rawFont.glyphIndexesForString(QStringLiteral("?"));
    for (int b = 0; b < 256; ++b) {
        const QList<quint32> glyph = m_rawFont.glyphIndexesForString(QString(CellChar(char(b))));
        m_glyphs[b] = glyph.value(0) != 0 ? glyph.value(0) : missing.value(0);
    }
}

int TerminalView::VisibleLines() const
{
    return std::max(1, viewport()->height() / m_lineHeight);
}

int TerminalView::VisibleColumns() const
{
    return std::max(1, int((viewport()->width() - LeftMargin) / m_charWidth));
}

void TerminalView::SyncScrollBars()
{
    // Only ranges and positions change here: no text is measured, so the
    // cost does not depend on how much text there is.
    QScrollBar *vbar = verticalScrollBar();
    const int lines = VisibleLines();
    vbar->setSingleStep(1);
    vbar->setPageStep(lines);
    vbar->setRange(0, ClampToInt(m_buffer.LineCount() - lines));
    if (m_scrollToEnd) {
        vbar->setValue(vbar->maximum());
        m_scrollToEnd = false;
    }

    QScrollBar *hbar = horizontalScrollBar();
    const int columns = VisibleColumns();
    hbar->setSingleStep(1);
    hbar->setPageStep(columns);
    // One column more than the widest line, for the selected line break.
    hbar->setRange(0, ClampToInt(PrefixColumns() + qsizetype(m_buffer.MaxLineColumns()) + 1
                                 - columns));
}

void TerminalView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    m_scrollToEnd = m_scrollToEnd || atEnd;
    SyncScrollBars();
}

void TerminalView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void TerminalView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const QPalette &pal = palette();
    painter.fillRect(event->rect(), pal.color(QPalette::Base));
    painter.setFont(font());

    const qsizetype firstLine = verticalScrollBar()->value();
    const qsizetype lastLine =
        std::min(m_buffer.LineCount(), firstLine + viewport()->height() / m_lineHeight + 2);
    const qsizetype firstColumn = horizontalScrollBar()->value();
    const qsizetype columns = qsizetype((viewport()->width() - LeftMargin) / m_charWidth) + 2;
    const int width = viewport()->width();
    const qsizetype prefix = PrefixColumns();

    const bool selected = HasSelection();
    const TextPos from = std::min(m_anchor, m_cursor);
    const TextPos to = std::max(m_anchor, m_cursor);
    const auto xOf = [&](qsizetype c) {
        const qreal x = LeftMargin + (prefix + c - firstColumn) * m_charWidth;
        return int(std::lround(std::clamp<qreal>(x, -1, width + 1)));
    };

    std::optional<TerminalFindMarks> marks;
    if (m_findActive)
        marks.emplace(m_find, m_buffer, firstLine, pal);

    QList<quint32> glyphs;
    QList<QPointF> positions;
    QGlyphRun run;
    run.setRawFont(m_rawFont);
    QList<quint32> stampGlyphs;
    QList<QPointF> stampPositions;
    QGlyphRun stampRun;
    stampRun.setRawFont(m_rawFont);
    for (qsizetype i = firstLine; i < lastLine; ++i) {
        const int y = int((i - firstLine) * m_lineHeight);
        const QByteArrayView line = m_buffer.Line(i);
        QRegion marked; // drawn in the selection's text colour
        if (marks)
            marks->Paint(painter, i, y, m_lineHeight, xOf, marked);
        if (y >= event->rect().bottom() + 1 || y + m_lineHeight <= event->rect().top())
            continue;

        if (prefix > 0) {
            const QString stamp = TerminalStampText(m_buffer.Stamp(i));
            stampGlyphs.clear();
            stampPositions.clear();
            for (qsizetype c = 0; c < prefix - 1 && c < stamp.size(); ++c) {
                if (c < firstColumn)
                    continue;
                stampGlyphs.append(m_glyphs[stamp.at(c).toLatin1() & 0xFF]);
                stampPositions.append(QPointF(LeftMargin + (c - firstColumn) * m_charWidth, y + m_ascent));
            }
            if (!stampGlyphs.isEmpty()) {
                stampRun.setGlyphIndexes(stampGlyphs);
                stampRun.setPositions(stampPositions);
                painter.setPen(pal.color(QPalette::PlaceholderText));
                painter.drawGlyphRun(QPointF(), stampRun);
            }
        }

        // The glyphs in view, each at its own column; bytes left of the view
        // are only counted, blanks are not drawn.
        glyphs.clear();
        positions.clear();
        qsizetype column = prefix;
        for (qsizetype b = 0; b < line.size() && column < firstColumn + columns; ++b) {
            const char byte = line[b];
            const qsizetype w = TerminalBuffer::CellWidth(byte, column - prefix);
            if (column >= firstColumn && CellChar(byte) != QLatin1Char(' ')) {
                glyphs.append(m_glyphs[static_cast<unsigned char>(byte)]);
                positions.append(QPointF(LeftMargin + (column - firstColumn) * m_charWidth,
                                         y + m_ascent));
            }
            column += w;
        }
        run.setGlyphIndexes(glyphs);
        run.setPositions(positions);

        const QRect lineRect(0, y, width, m_lineHeight);
        if (selected && i >= from.line && i <= to.line) {
            const qsizetype c0 = i == from.line ? TerminalBuffer::ColumnOf(line, from.index) : 0;
            const qsizetype c1 = i == to.line ? TerminalBuffer::ColumnOf(line, to.index)
                                              : TerminalBuffer::ColumnOf(line, line.size()) + 1;
            const QRect selRect(QPoint(xOf(c0), y), QPoint(xOf(c1) - 1, y + m_lineHeight - 1));
            if (selRect.isValid()) {
                painter.fillRect(selRect, pal.color(QPalette::Highlight));
                marked += selRect;
            }
        }
        if (glyphs.isEmpty())
            continue;
        const int rule = m_rules.IsEmpty() ? -1 : m_rules.Match(line);
        const QColor textColor =
            rule >= 0 ? RuleColor(m_rules.Rules().at(rule).color) : pal.color(QPalette::Text);
        if (marked.isEmpty()) {
            painter.setPen(textColor);
            painter.drawGlyphRun(QPointF(), run);
            continue;
        }
        painter.save();
        painter.setClipRegion(marked);
        painter.setPen(pal.color(QPalette::HighlightedText));
        painter.drawGlyphRun(QPointF(), run);
        painter.setClipRegion(QRegion(lineRect).subtracted(marked));
        painter.setPen(textColor);
        painter.drawGlyphRun(QPointF(), run);
        painter.restore();
    }
}

void TerminalView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy
        || event->keyCombination() == QKeyCombination(Qt::CTRL | Qt::SHIFT, Qt::Key_C)) {
        Copy();
    } else if (event == QKeySequence::SelectAll) {
        SelectAll();
    } else if (event == QKeySequence::MoveToStartOfDocument) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    } else if (event == QKeySequence::MoveToEndOfDocument) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    } else {
        // Scrolls on arrows and page keys, ignores everything else so that
        // the window sees it.
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

TerminalView::TextPos TerminalView::PosAt(QPoint viewportPos) const
{
    const qsizetype row = qsizetype(std::floor(qreal(viewportPos.y()) / m_lineHeight));
    const qsizetype line = verticalScrollBar()->value() + row;
    if (line < 0)
        return TextPos{};
    if (line >= m_buffer.LineCount()) {
        const qsizetype last = m_buffer.LineCount() - 1;
        return TextPos{last, m_buffer.Line(last).size()};
    }
    // The boundary between cells nearest to the pointer.
    const QByteArrayView text = m_buffer.Line(line);
    const qreal x = (viewportPos.x() - LeftMargin) / m_charWidth + horizontalScrollBar()->value()
                    - PrefixColumns();
    qsizetype column = 0;
    for (qsizetype b = 0; b < text.size(); ++b) {
        const qsizetype w = TerminalBuffer::CellWidth(text[b], column);
        if (x < column + w / 2.0)
            return TextPos{line, b};
        column += w;
    }
    return TextPos{line, text.size()};
}

void TerminalView::DragTo(QPoint viewportPos)
{
    m_dragPos = viewportPos;
    m_cursor = PosAt(viewportPos);
    if (viewport()->rect().contains(viewportPos))
        m_dragScroll.stop();
    else if (!m_dragScroll.isActive())
        m_dragScroll.start(DragScrollMs, this);
    viewport()->update();
}

void TerminalView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const TextPos pos = PosAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier))
        m_anchor = pos;
    m_cursor = pos;
    m_dragging = true;
    m_dragPos = event->position().toPoint();
    viewport()->update();
    event->accept();
}

void TerminalView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    DragTo(event->position().toPoint());
    event->accept();
}

void TerminalView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_dragging) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    m_cursor = PosAt(event->position().toPoint());
    m_dragging = false;
    m_dragScroll.stop();
    PublishSelection();
    viewport()->update();
    event->accept();
}

void TerminalView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    const TextPos pos = PosAt(event->position().toPoint());
    const QByteArrayView line = m_buffer.Line(pos.line);
    // The word under the pointer, or the single byte when it is no word's.
    qsizetype at = pos.index;
    if (at == line.size() && at > 0)
        --at;
    qsizetype start = at;
    qsizetype stop = std::min(at + 1, line.size());
    if (at < line.size() && IsWordByte(line[at])) {
        while (start > 0 && IsWordByte(line[start - 1]))
            --start;
        while (stop < line.size() && IsWordByte(line[stop]))
            ++stop;
    }
    m_anchor = TextPos{pos.line, start};
    m_cursor = TextPos{pos.line, stop};
    m_dragging = false;
    PublishSelection();
    viewport()->update();
    event->accept();
}

void TerminalView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copy = menu.addAction(tr("Copy"), this, [this] { Copy(); });
    copy->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    copy->setEnabled(HasSelection());
    QAction *bare = menu.addAction(tr("Copy without stamps"), this, [this] { CopyWithoutStamps(); });
    bare->setEnabled(HasSelection());
    QAction *all = menu.addAction(tr("Select All"), this, [this] { SelectAll(); });
    all->setShortcut(QKeySequence::SelectAll);
    menu.exec(event->globalPos());
}

void TerminalView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_dragScroll.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    // The pointer is outside while dragging: keep scrolling towards it.
    const QRect area = viewport()->rect();
    if (m_dragPos.y() < area.top())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (m_dragPos.y() > area.bottom())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    if (m_dragPos.x() < area.left())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (m_dragPos.x() > area.right())
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    DragTo(m_dragPos);
}

void TerminalView::PublishSelection() const
{
    // X11 convention: what is selected can be pasted with the middle button.
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (HasSelection() && clipboard->supportsSelection())
        clipboard->setText(SelectedText(), QClipboard::Selection);
}
