#include "desktop/NoteLabel.h"

#include <QResizeEvent>

NoteLabel::NoteLabel(QWidget *parent) : QLabel(parent)
{
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Sunken);
    setVisible(false);
}

void NoteLabel::SetNote(const QString &text, const QString &hint)
{
    m_text = text;
    m_hint = hint;
    setAccessibleName(text);
    setVisible(!text.isEmpty());
    updateGeometry();
    fit();
}

QSize NoteLabel::sizeHint() const
{
    const QMargins frame = contentsMargins();
    const int width = fontMetrics().horizontalAdvance(m_text) + frame.left() + frame.right()
                      + 2 * margin() + fontMetrics().horizontalAdvance(QLatin1Char('x'));
    return {width, QLabel::sizeHint().height()};
}

QSize NoteLabel::minimumSizeHint() const
{
    return {fontMetrics().horizontalAdvance(QStringLiteral("W...W")), QLabel::minimumSizeHint().height()};
}

void NoteLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    fit();
}

void NoteLabel::fit()
{
    // A framed label indents its text by half an "x".
    const int room = contentsRect().width() - 2 * margin()
                     - fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2;
    const QString shown = fontMetrics().elidedText(m_text, Qt::ElideMiddle, std::max(room, 0));
    setText(shown);
    QString tip = m_hint;
    if (shown != m_text)
        tip = m_hint.isEmpty() ? m_text : m_text + QLatin1Char('\n') + m_hint;
    setToolTip(tip);
}
