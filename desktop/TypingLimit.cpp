#include "desktop/TypingLimit.h"

#include <QLineEdit>

namespace {

int untypableCount(const QString &text)
{
    int n = 0;
    for (QChar c : text) {
        if (!TypingLimit::Typable(c))
            ++n;
    }
    return n;
}

} // namespace

TypingLimit::TypingLimit(QLineEdit *edit, int limit) : QValidator(edit), m_limit(limit)
{
    m_last = edit->text();
    // The text before an edit is what the edit is judged against.
    connect(edit, &QLineEdit::textChanged, this, [this](const QString &text) { m_last = text; });
}

TypingLimit *TypingLimit::Install(QLineEdit *edit, int limit)
{
    auto *v = new TypingLimit(edit, limit);
    edit->setValidator(v);
    return v;
}

void TypingLimit::SetProgramText(QLineEdit *edit, const QString &text)
{
    auto *v = qobject_cast<TypingLimit *>(const_cast<QValidator *>(edit->validator()));
    if (v)
        v->m_programSet = true;
    edit->setText(text);
    if (v)
        v->m_programSet = false;
}

bool TypingLimit::Typable(QChar c)
{
    // Device text is single bytes; control characters would split a command
    // line or a file line.
    return c.unicode() <= 0xFF && c.isPrint();
}

QValidator::State TypingLimit::validate(QString &input, int &) const
{
    if (m_programSet)
        return Acceptable;
    // Judged against the text before the edit, so that a longer text the
    // program put there can still be shortened or corrected.
    if (untypableCount(input) > untypableCount(m_last))
        return Invalid;
    if (input.size() > m_limit && input.size() > m_last.size())
        return Invalid;
    return Acceptable;
}
