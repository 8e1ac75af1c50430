#include "desktop/TypingLimit.h"

#include "core/SendableText.h"

#include <QLineEdit>
#include <QToolTip>

namespace {

// The first character of `input` that cannot be sent and that the edit
// added (it occurs more often than before): what the user is told about.
SendableFault addedFault(const QString &input, const QString &last)
{
    for (qsizetype i = 0; i < input.size(); ++i) {
        const QChar c = input.at(i);
        if (TypingLimit::Typable(c) || input.count(c) <= last.count(c))
            continue;
        // The line's own check names the character (a pair of surrogates
        // as one) and says why.
        const SendableFault fault = CheckSendableLine(QStringView(input).mid(i));
        if (fault.IsFault())
            return fault;
    }
    return {};
}

} // namespace

TypingLimit::TypingLimit(QLineEdit *edit, int limit)
    : QValidator(edit), m_limit(limit)
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
    return IsSendableChar(c.unicode());
}

QValidator::State TypingLimit::validate(QString &input, int &) const
{
    if (m_programSet)
        return Acceptable;
    // Judged against the text before the edit, so that a longer text the
    // program put there can still be shortened or corrected.
    if (const SendableFault fault = addedFault(input, m_last); fault.IsFault()) {
        if (auto *edit = qobject_cast<QLineEdit *>(parent()))
            ShowReason(edit, fault.Reason());
        return Invalid;
    }
    if (input.size() > m_limit && input.size() > m_last.size())
        return Invalid;
    return Acceptable;
}
