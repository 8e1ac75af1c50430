#pragma once

#include "core/LinePattern.h"
#include "core/TerminalBuffer.h"

#include <QDeadlineTimer>
#include <QString>

#include <vector>

// Finding text in the terminal's store: every match of a pattern in all the
// lines it keeps, and which of them is the current one.
//
// Matches are numbered by line since the store was made or last cleared
// (its dropped lines included), so they stay right while the store lets its
// oldest lines go; matches in dropped lines go with them. While text keeps
// arriving, Update searches only what came since the last search (and the
// line that was still open then). Matching is LinePattern's: within a line,
// never across a line break.
//
// At most MatchLimit matches are kept, the oldest first: a pattern that
// matches nearly everywhere (every blank of a full store) must not fill the
// memory; the search goes on as matches go with their dropped lines.
//
// A search may be given a deadline: it stops at the first line end past it
// and goes on where it stopped at the next Update, so that a pattern that is
// slow over a full store never holds the caller for long.
class TerminalFind {
public:
    // A match on every line of a full store of the default size, twice over.
    static constexpr qsizetype MatchLimit = 200'000;

    struct Match {
        qsizetype line = 0;  // counted since the store was made or cleared
        qsizetype start = 0; // byte in that line
        qsizetype length = 0;
    };

    // Sets what to look for and searches the whole store again, until
    // `deadline`. False, with Error() set, when `regularExpression` is on and
    // the pattern is not one; an empty pattern finds nothing.
    bool SetPattern(const QString &pattern, bool matchCase, bool regularExpression,
                    const TerminalBuffer &buffer, QDeadlineTimer deadline = QDeadlineTimer::Forever);
    QString Error() const { return m_pattern.Error(); }
    QString Pattern() const { return m_pattern.Pattern(); }
    // The pattern can match empty text, which is never a match: with no
    // match found, it found only empty text.
    bool MatchesEmpty() const { return m_pattern.MatchesEmpty(); }

    // Catches up, until `deadline`, with text that arrived and lines that
    // were dropped or cleared since the last call, and with what a search
    // stopped by its deadline left. The current match stays current while
    // its line is kept.
    void Update(const TerminalBuffer &buffer, QDeadlineTimer deadline = QDeadlineTimer::Forever);
    // Every kept line was searched as it was at the last call, or the
    // matches reached MatchLimit.
    bool Done() const { return m_done; }
    // MatchLimit matches are kept and the lines after the last of them are
    // not searched.
    bool Full() const { return m_full; }
    // Forgets the pattern and every match.
    void Reset();

    qsizetype Count() const { return qsizetype(m_matches.size()); }
    const Match &At(qsizetype i) const { return m_matches[size_t(i)]; }
    // Index of the current match, -1 when there is none.
    qsizetype Current() const { return m_current; }
    // The first match at or after `line` (a line of the store, not counting
    // dropped lines); Count() when none.
    qsizetype FirstFrom(qsizetype line, const TerminalBuffer &buffer) const;

    // Makes the next (previous) match current, wrapping round at the end.
    // Without a current match, the first at or after `fromLine` (the last
    // before it) is taken. Returns the new current index, -1 when there are
    // no matches.
    qsizetype Next(qsizetype fromLine, const TerminalBuffer &buffer);
    qsizetype Previous(qsizetype fromLine, const TerminalBuffer &buffer);

private:
    void search(const TerminalBuffer &buffer, qsizetype fromLine, QDeadlineTimer deadline);

    LinePattern m_pattern;
    std::vector<Match> m_matches;
    bool m_done = true;
    bool m_full = false;
    qsizetype m_current = -1;
    qsizetype m_searchedTo = 0; // first line not searched to its end
    quint64 m_clears = 0;
};
