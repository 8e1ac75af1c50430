#pragma once

#include <QByteArrayMatcher>
#include <QByteArrayView>
#include <QRegularExpression>
#include <QString>

// What find and the highlight rules look for in the terminal's lines: plain
// text or a regular expression, in any case or matching case.
//
// A pattern matches within one line at a time, never across a line break,
// and only where it takes at least one character: a pattern that can match
// empty text (`x*`, `\s*`, `^`) finds only the text it takes, so that it can
// neither mark every position nor keep the search busy with empty matches.
//
// Lines are the terminal's bytes, one character each (Latin-1). Not for use
// from two threads at once: a regular expression reads the line through a
// buffer of its own.
class LinePattern {
public:
    struct Span {
        qsizetype start = 0;
        qsizetype length = 0; // 0: no match
    };

    // False, with Error() set, when `regularExpression` is on and the
    // pattern is not one. An empty pattern, and plain text holding a
    // character no line can hold (a line break, one beyond Latin-1), finds
    // nothing.
    bool Set(const QString &pattern, bool matchCase, bool regularExpression);
    void Clear() { *this = LinePattern(); }

    QString Pattern() const { return m_pattern; }
    QString Error() const { return m_error; }
    // Looks for nothing: no pattern, a broken one, or one no line can hold.
    bool IsEmpty() const { return !m_regex && m_needle.isEmpty(); }
    // The pattern can match empty text, which never counts as a match: where
    // it finds nothing, it found only empty text.
    bool MatchesEmpty() const { return m_matchesEmpty; }

    // The first match in `line` that starts at or after `from`.
    Span Find(QByteArrayView line, qsizetype from = 0) const
    {
        prepare(line);
        return findPrepared(line, from);
    }
    bool Matches(QByteArrayView line) const { return Find(line).length > 0; }
    // Calls `found(start, length)` for every match in `line`, left to right,
    // none overlapping.
    template <typename Found>
    void ForEach(QByteArrayView line, Found &&found) const
    {
        prepare(line);
        for (Span span = findPrepared(line, 0); span.length > 0;
             span = findPrepared(line, span.start + span.length))
            found(span.start, span.length);
    }

private:
    // Reads the line into the buffer the search needs, once for all its
    // matches.
    void prepare(QByteArrayView line) const;
    Span findPrepared(QByteArrayView line, qsizetype from) const;

    QString m_pattern;
    QString m_error;
    bool m_matchCase = true;
    bool m_regex = false;
    bool m_matchesEmpty = false;
    QByteArray m_needle; // plain text in Latin-1, folded when any case
    QByteArrayMatcher m_matcher;
    QRegularExpression m_expression;
    mutable QByteArray m_folded; // the line folded, for plain text in any case
    mutable QString m_wide;      // the line as UTF-16, for the expression
};
