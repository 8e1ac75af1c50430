#include "core/HighlightRules.h"

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
        QRegularExpression expression(rule.pattern);
        expression.optimize();
        m_compiled.append({i, expression});
    }
}

int HighlightRules::Match(QByteArrayView line) const
{
    if (m_compiled.isEmpty() || line.isEmpty())
        return -1;
    const QString text = QString::fromLatin1(line);
    for (const auto &[index, expression] : m_compiled) {
        if (expression.match(text).hasMatch())
            return index;
    }
    return -1;
}
