#include "desktop/TypingLimit.h"

#include "core/config/Programming.h"

#include <QLineEdit>
#include <QToolTip>

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

TypingLimit::TypingLimit(QLineEdit *edit, int limit, bool setting)
    : QValidator(edit), m_limit(limit), m_setting(setting)
{
    m_last = edit->text();
    // The text before an edit is what the edit is judged against.
    connect(edit, &QLineEdit::textChanged, this, [this](const QString &text) { m_last = text; });
}

TypingLimit *TypingLimit::Install(QLineEdit *edit, int limit)
{
    auto *v = new TypingLimit(edit, limit, false);
    edit->setValidator(v);
    return v;
}

TypingLimit *TypingLimit::InstallForSetting(QLineEdit *edit, int limit)
{
    auto *v = new TypingLimit(edit, limit, true);
    edit->setValidator(v);
    return v;
}

void TypingLimit::ShowReason(QLineEdit *field, const QString &reason)
{
    // Just below the field, so that it covers neither the field nor what
    // the user typed.
    QToolTip::showText(field->mapToGlobal(QPoint(0, field->height())), reason, field, QRect(), 8000);
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
    if (m_setting && input.count(QLatin1Char('>')) > m_last.count(QLatin1Char('>'))) {
        if (auto *edit = qobject_cast<QLineEdit *>(parent()))
            ShowReason(edit, PromptMarkReason());
        return Invalid;
    }
    if (input.size() > m_limit && input.size() > m_last.size())
        return Invalid;
    return Acceptable;
}
