#include "core/HighlightRules.h"

#include <QRegularExpression>

QList<HighlightRules::Rule> HighlightRules::Defaults()
{
    return {
        {QStringLiteral("Error|error|fail|FAIL"), QStringLiteral("Red")},
        // What the tool itself writes in the terminal, amid the device's text.
        // A link that went away and came back is marked too.
        {QStringLiteral("No response from Mirto|Firmware updated:|COM\\d+ went away|Reconnected to |"
                        "Another device is on |closed by Mirto|The connection to .* was broken"),
         QStringLiteral("Blue")},
    };
}

QStringList HighlightRules::ColorNames()
{
    return {QStringLiteral("Red"),    QStringLiteral("Orange"), QStringLiteral("Green"),
            QStringLiteral("Blue"),   QStringLiteral("Purple"), QStringLiteral("Grey")};
}

QString HighlightRules::Check(const QString &pattern)
{
    if (pattern.isEmpty())
        return QStringLiteral("The pattern is empty");
    const QRegularExpression expression(pattern);
    return expression.isValid() ? QString() : expression.errorString();
}

void HighlightRules::SetRules(const QList<Rule> &rules)
{
    m_rules = rules;
    m_compiled.clear();
    const QStringList colors = ColorNames();
    for (int i = 0; i < rules.size(); ++i) {
        const Rule &rule = rules.at(i);
        if (!Check(rule.pattern).isEmpty() || !colors.contains(rule.color))
            continue;
        LinePattern pattern;
        if (pattern.Set(rule.pattern, true, true))
            m_compiled.append({i, pattern});
    }
}

int HighlightRules::Match(QByteArrayView line) const
{
    if (m_compiled.isEmpty() || line.isEmpty())
        return -1;
    for (const auto &[index, pattern] : m_compiled) {
        if (pattern.Matches(line))
            return index;
    }
    return -1;
}
