#pragma once

#include <QLineEdit>
#include <QPalette>

#include "core/links/HexNumber.h"

// A hexadecimal number field (the device serial number). Its text is checked
// after every change and coloured: default while it equals the last accepted
// text, green while it is a different valid number, red while it is invalid.
// Enter or leaving the field accepts a valid text and rewrites it in upper
// case without leading zeros; an invalid text keeps the focus and shows its
// bad characters selected. Up and Down step the value within its range,
// Escape puts back the last accepted text.
class TAbNumEdit : public QLineEdit {
    Q_OBJECT
public:
    enum class EditState { Accepted, Editing, Invalid };

    // At most this many characters can be typed. Text set by the program is
    // never cut to it.
    static constexpr int TypingLimit = 5;
    static constexpr qint64 Increment = 1;

    explicit TAbNumEdit(QWidget *parent = nullptr);

    // Whether the current text passes the check.
    bool IsValid() const;
    // The value of the current text when it passes, else of the last
    // accepted text.
    qint64 Value() const;
    EditState State() const { return m_state; }

    // Shows `value` (kept within the field's range) as the accepted text.
    void SetValue(qint64 value);
    // What Enter does: an empty text becomes 0; a valid text is accepted and
    // normalised; an invalid one is marked. Returns whether it passed.
    bool AcceptText();

Q_SIGNALS:
    void OnChange();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    // The warning for an invalid text; a seam for tests.
    virtual void Beep();

private:
    void TextChanged(const QString &text);
    void TextEdited(const QString &text);
    void Step(qint64 delta);
    void ShowInvalid(const HexNumberCheck &check);
    void ShowState(EditState state);

    qint64 m_value = 0;
    QString m_acceptedText;
    QString m_committedText; // the text before the edit under way
    EditState m_state = EditState::Accepted;
    QPalette m_defaultPalette;
};
