#include "core/TerminalFind.h"

#include <algorithm>

bool TerminalFind::SetPattern(const QString &pattern, bool matchCase, bool regularExpression,
                              const TerminalBuffer &buffer, QDeadlineTimer deadline)
{
    Reset();
    m_clears = buffer.Clears();
    const bool ok = m_pattern.Set(pattern, matchCase, regularExpression);
    search(buffer, 0, deadline);
    return ok;
}

void TerminalFind::Reset()
{
    m_pattern.Clear();
    m_matches.clear();
    m_current = -1;
    m_searchedTo = 0;
    m_done = true;
    m_full = false;
}

void TerminalFind::Update(const TerminalBuffer &buffer, QDeadlineTimer deadline)
{
    if (buffer.Clears() != m_clears) {
        m_clears = buffer.Clears();
        m_matches.clear();
        m_current = -1;
        m_searchedTo = 0;
    }
    // Matches in dropped lines go; the rest keep their numbers.
    const qsizetype dropped = buffer.DroppedLines();
    const auto kept = std::lower_bound(m_matches.begin(), m_matches.end(), dropped,
                                       [](const Match &m, qsizetype line) { return m.line < line; });
    const qsizetype gone = kept - m_matches.begin();
    if (gone > 0) {
        m_matches.erase(m_matches.begin(), kept);
        m_current = m_current >= gone ? m_current - gone : -1;
    }
    search(buffer, std::max(m_searchedTo, dropped), deadline);
}

void TerminalFind::search(const TerminalBuffer &buffer, qsizetype fromLine, QDeadlineTimer deadline)
{
    m_done = true;
    m_full = false;
    if (m_pattern.IsEmpty())
        return;
    const qsizetype dropped = buffer.DroppedLines();
    // The line that was still open is searched again from its start: what
    // it matched before goes, and is found again with what came since.
    const auto open = std::lower_bound(m_matches.begin(), m_matches.end(), fromLine,
                                       [](const Match &m, qsizetype line) { return m.line < line; });
    if (m_current >= open - m_matches.begin())
        m_current = -1;
    m_matches.erase(open, m_matches.end());

    const qsizetype last = buffer.LineCount() - 1;
    qsizetype line = fromLine - dropped;
    for (; line <= last; ++line) {
        if (qsizetype(m_matches.size()) >= MatchLimit) {
            m_full = true;
            break;
        }
        m_pattern.ForEach(buffer.Line(line), [&](qsizetype start, qsizetype length) {
            m_matches.push_back(Match{dropped + line, start, length});
        });
        // The clock is read every few lines: reading it costs about as much
        // as searching a short line.
        if (line < last && line % 64 == 63 && deadline.hasExpired()) {
            m_done = false;
            ++line;
            break;
        }
    }
    m_searchedTo = dropped + std::min(line, last);
}
qsizetype TerminalFind::FirstFrom(qsizetype line, const TerminalBuffer &buffer) const
{
    const qsizetype absolute = buffer.DroppedLines() + line;
    const auto it = std::lower_bound(m_matches.begin(), m_matches.end(), absolute,
                                     [](const Match &m, qsizetype l) { return m.line < l; });
    return it - m_matches.begin();
}

qsizetype TerminalFind::Next(qsizetype fromLine, const TerminalBuffer &buffer)
{
    if (m_matches.empty())
        return m_current = -1;
    if (m_current < 0) {
        const qsizetype first = FirstFrom(fromLine, buffer);
        m_current = first < Count() ? first : 0;
    } else {
        m_current = (m_current + 1) % Count();
    }
    return m_current;
}

qsizetype TerminalFind::Previous(qsizetype fromLine, const TerminalBuffer &buffer)
{
    if (m_matches.empty())
        return m_current = -1;
    if (m_current < 0) {
        const qsizetype first = FirstFrom(fromLine, buffer);
        m_current = first > 0 ? first - 1 : Count() - 1;
    } else {
        m_current = (m_current + Count() - 1) % Count();
    }
    return m_current;
}
