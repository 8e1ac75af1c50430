#include "desktop/fields/AbNumEdit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QTimer>
#include <QValidator>

namespace {

// The typing limit as a validator: it sees typing, pasting and dropping
// alike. An edit is refused only when it makes a text longer than the limit
// longer still, so that deleting from a longer text set by the program works
// and setText (which Qt does not undo) is never cut.
class TypingLimitValidator : public QValidator {
public:
    TypingLimitValidator(const QString *committed, int limit, QObject *parent)
        : QValidator(parent), m_committed(committed), m_limit(limit)
    {
    }
    State validate(QString &input, int &) const override
    {
        return input.size() > m_limit && input.size() > m_committed->size() ? Invalid
                                                                            : Acceptable;
    }

private:
    const QString *m_committed;
    int m_limit;
};

const QColor EditingColour(0x00, 0x80, 0x00);
const QColor ErrorColour(0xff, 0x00, 0x00);

} // namespace

TAbNumEdit::TAbNumEdit(QWidget *parent) : QLineEdit(parent)
{
    m_defaultPalette = palette();
    m_acceptedText = FormatHexNumber(m_value);
    m_committedText = m_acceptedText;
    setText(m_acceptedText);
    setValidator(new TypingLimitValidator(&m_committedText, TypingLimit, this));
    connect(this, &QLineEdit::textChanged, this, &TAbNumEdit::TextChanged);
    connect(this, &QLineEdit::textEdited, this, &TAbNumEdit::TextEdited);
}

bool TAbNumEdit::IsValid() const
{
    return CheckHexNumber(text()).Valid;
}

qint64 TAbNumEdit::Value() const
{
    const HexNumberCheck check = CheckHexNumber(text());
    return check.Valid ? check.Value : m_value;
}

void TAbNumEdit::SetValue(qint64 value)
{
    m_value = qBound(HexNumberMin, value, HexNumberMax);
    m_acceptedText = FormatHexNumber(m_value);
    setText(m_acceptedText);
    ShowState(EditState::Accepted);
}

bool TAbNumEdit::AcceptText()
{
    if (text().isEmpty())
        setText(QStringLiteral("0"));
    const HexNumberCheck check = CheckHexNumber(text());
    if (!check.Valid) {
        ShowInvalid(check);
        return false;
    }
    SetValue(check.Value);
    return true;
}

void TAbNumEdit::Step(qint64 delta)
{
    const HexNumberCheck check = CheckHexNumber(text());
    if (!check.Valid) {
        ShowInvalid(check);
        return;
    }
    SetValue(check.Value + delta);
}

void TAbNumEdit::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Taken here, so that it neither reaches the dialog's default button
        // nor counts as a character.
        AcceptText();
        event->accept();
        return;
    case Qt::Key_Up:
        Step(Increment);
        event->accept();
        return;
    case Qt::Key_Down:
        Step(-Increment);
        event->accept();
        return;
    case Qt::Key_Escape:
        if (text() != m_acceptedText) {
            setText(m_acceptedText);
            event->accept();
            return;
        }
        break; // nothing to undo: the window may close on it
    default:
        break;
    }
    QLineEdit::keyPressEvent(event);
}

void TAbNumEdit::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    // Switching to another window or opening a popup does not leave the field.
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
        return;
    if (AcceptText() || !isEnabled() || !isVisible())
        return;
    // An invalid text keeps the focus; taking it back at once would fight the
    // focus change under way.
    QTimer::singleShot(0, this, [this] {
        if (!isEnabled() || !isVisible() || m_state != EditState::Invalid)
            return;
        setFocus(Qt::OtherFocusReason);
        // Coming back drops the selection: show the bad characters again.
        const HexNumberCheck check = CheckHexNumber(text());
        if (check.FirstInvalid >= 0)
            setSelection(check.FirstInvalid, check.LastInvalid - check.FirstInvalid + 1);
    });
}

void TAbNumEdit::Beep()
{
    QApplication::beep();
}

void TAbNumEdit::TextChanged(const QString &text)
{
    m_committedText = text;
    const HexNumberCheck check = CheckHexNumber(text);
    if (!check.Valid)
        ShowState(EditState::Invalid);
    else
        ShowState(text == m_acceptedText ? EditState::Accepted : EditState::Editing);
    Q_EMIT OnChange();
}

void TAbNumEdit::TextEdited(const QString &text)
{
    // Only warn while typing: selecting the bad characters now would make the
    // next key overwrite them. They are selected when the text is accepted.
    if (!CheckHexNumber(text).Valid)
        Beep();
}

void TAbNumEdit::ShowInvalid(const HexNumberCheck &check)
{
    ShowState(EditState::Invalid);
    Beep();
    if (check.FirstInvalid >= 0)
        setSelection(check.FirstInvalid, check.LastInvalid - check.FirstInvalid + 1);
}

void TAbNumEdit::ShowState(EditState state)
{
    m_state = state;
    QPalette p = m_defaultPalette;
    if (state != EditState::Accepted) {
        p.setColor(QPalette::Base, state == EditState::Editing ? EditingColour : ErrorColour);
        p.setColor(QPalette::Text, Qt::white);
    }
    setPalette(p);
}
