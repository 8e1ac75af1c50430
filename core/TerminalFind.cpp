#include "core/TerminalFind.h"

#include <QByteArrayMatcher>
#include <QChar>
#include <QRegularExpressionMatchIterator>

#include <algorithm>
#include <array>

namespace {

// Latin-1 lower case, byte for byte: the store's text is Latin-1.
const std::array<char, 256> &FoldTable()
{
    static const std::array<char, 256> table = [] {
        std::array<char, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const char16_t lower = QChar(char16_t(b)).toLower().unicode();
            t[size_t(b)] = char(lower < 256 ? lower : b);
        }
        return t;
    }();
    return table;
}

QByteArray Folded(QByteArrayView text)
{
    const std::array<char, 256> &fold = FoldTable();
    QByteArray out(text.size(), Qt::Uninitialized);
    char *o = out.data();
    for (char c : text)
        *o++ = fold[static_cast<unsigned char>(c)];
    return out;
}

bool IsLatin1(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 256; });
}

} // namespace

bool TerminalFind::SetPattern(const QString &pattern, bool matchCase, bool regularExpression,
                              const TerminalBuffer &buffer)
{
    Reset();
    m_pattern = pattern;
    m_matchCase = matchCase;
    m_regex = regularExpression;
    m_clears = buffer.Clears();
    if (pattern.isEmpty())
        return true;
    if (regularExpression) {
        QRegularExpression::PatternOptions options = QRegularExpression::MultilineOption;
        if (!matchCase)
            options |= QRegularExpression::CaseInsensitiveOption;
        m_expression = QRegularExpression(pattern, options);
        if (!m_expression.isValid()) {
            m_error = m_expression.errorString();
            m_expression = QRegularExpression();
            return false;
        }
        m_expression.optimize();
    } else if (IsLatin1(pattern)) {
        // A character outside Latin-1 is in no line of the store: no needle,
        // no match.
        m_needle = pattern.toLatin1();
        if (!matchCase)
            m_needle = Folded(m_needle);
    }
    search(buffer, 0);
    return true;
}

void TerminalFind::Reset()
{
    m_pattern.clear();
    m_error.clear();
    m_needle.clear();
    m_expression = QRegularExpression();
    m_matches.clear();
    m_current = -1;
    m_searchedTo = 0;
}

void TerminalFind::Update(const TerminalBuffer &buffer)
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
    search(buffer, std::max(m_searchedTo, dropped));
}

void TerminalFind::search(const TerminalBuffer &buffer, qsizetype fromLine)
{
    if (m_expression.pattern().isEmpty() && m_needle.isEmpty())
        return;
    const qsizetype dropped = buffer.DroppedLines();
    // The line that was still open is searched again from its start: what
    // it matched before goes, and is found again with what came since.
    const auto open = std::lower_bound(m_matches.begin(), m_matches.end(), fromLine,
                                       [](const Match &m, qsizetype line) { return m.line < line; });
    if (m_current >= open - m_matches.begin())
        m_current = -1;
    m_matches.erase(open, m_matches.end());

    const qsizetype first = fromLine - dropped;
    const qsizetype offset = buffer.LineStart(first);
    const QByteArray all = buffer.Text();
    const QByteArrayView text = QByteArrayView(all).sliced(offset);
    qsizetype line = first; // walks forward with the matches
    const auto add = [&](qsizetype at, qsizetype length) {
        const qsizetype absolute = offset + at;
        while (line + 1 < buffer.LineCount() && buffer.LineStart(line + 1) <= absolute)
            ++line;
        const qsizetype start = absolute - buffer.LineStart(line);
        // A match that runs over the line break ends at it.
        length = std::min(length, buffer.Line(line).size() - start);
        if (length > 0)
            m_matches.push_back(Match{dropped + line, start, length});
    };

    if (m_regex) {
        const QString subject = QString::fromLatin1(text);
        QRegularExpressionMatchIterator it = m_expression.globalMatch(subject);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            if (match.capturedLength() > 0)
                add(match.capturedStart(), match.capturedLength());
        }
    } else {
        const QByteArray folded = m_matchCase ? QByteArray() : Folded(text);
        const QByteArrayView haystack = m_matchCase ? text : QByteArrayView(folded);
        const QByteArrayMatcher matcher(m_needle);
        for (qsizetype at = matcher.indexIn(haystack, 0); at >= 0;
             at = matcher.indexIn(haystack, at + m_needle.size()))
            add(at, m_needle.size());
    }
    m_searchedTo = dropped + buffer.LineCount() - 1;
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
