#pragma once

#include "core/LinePattern.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

// Rules that colour whole lines of the terminal: a line that a rule's
// pattern (a regular expression, case matters) matches anywhere takes the
// rule's colour; the first rule that matches counts. A rule looks at the
// whole line as the store holds it, however many pieces it came in, and
// matches as find does (LinePattern): text within the line, never empty
// text alone.
//
// Colours are named, not given as values: the window turns a name into a
// colour that reads well on its palette, light or dark.
class HighlightRules {
public:
    struct Rule {
        QString pattern;
        QString color; // one of ColorNames()
        friend bool operator==(const Rule &, const Rule &) = default;
    };

    // Failures in red, the tool's own messages in blue.
    static QList<Rule> Defaults();
    static QStringList ColorNames();
    // Empty when `pattern` is a usable regular expression, else why not.
    static QString Check(const QString &pattern);

    // Rules with an empty or broken pattern or an unknown colour are kept
    // (so that they can be edited) but never match.
    void SetRules(const QList<Rule> &rules);
    QList<Rule> Rules() const { return m_rules; }
    bool IsEmpty() const { return m_compiled.isEmpty(); }

    // Index in Rules() of the first rule that matches the line, -1 when none.
    int Match(QByteArrayView line) const;

private:
    QList<Rule> m_rules;
    QList<std::pair<int, LinePattern>> m_compiled;
};
