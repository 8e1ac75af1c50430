#pragma once

#include <QString>
#include <QValidator>

class QLineEdit;

// What the user may type into a text field whose text goes to the device (a
// command line, a setting in a fixed-size record field): at most `limit`
// characters, each one the device takes (SendableText's rule). A character
// refused is said at the field, so that nothing typed vanishes without a
// word. Text that the program puts into the field is never refused or cut,
// so a value read from a file that is longer than the typing limit survives
// being shown; the user can shorten or correct such a text but not make it
// longer.
class TypingLimit : public QValidator {
    Q_OBJECT
public:
    // Installs the limit on `edit`, which owns it.
    static TypingLimit *Install(QLineEdit *edit, int limit);
    // Shows `reason` at `field`, where the user is looking.
    static void ShowReason(QLineEdit *field, const QString &reason);
    // Puts `text` into `edit` as the program's own text, bypassing the limit.
    static void SetProgramText(QLineEdit *edit, const QString &text);

    // True for the characters a field accepts from the keyboard.
    static bool Typable(QChar c);

    State validate(QString &input, int &pos) const override;

    int Limit() const { return m_limit; }

private:
    TypingLimit(QLineEdit *edit, int limit);

    int m_limit;
    QString m_last;
    bool m_programSet = false;
};
