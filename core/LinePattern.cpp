#include "core/LinePattern.h"

#include <QChar>
#include <QStringView>

#include <algorithm>
#include <array>

namespace {

// Latin-1 lower case, byte for byte.
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

void Fold(QByteArrayView text, QByteArray &out)
{
    const std::array<char, 256> &fold = FoldTable();
    out.resize(text.size());
    char *o = out.data();
    for (char c : text)
        *o++ = fold[static_cast<unsigned char>(c)];
}

void Widen(QByteArrayView text, QString &out)
{
    out.resize(text.size());
    QChar *o = out.data();
    for (char c : text)
        *o++ = QChar(char16_t(static_cast<unsigned char>(c)));
}

// No line holds a line break, and none a character beyond Latin-1.
bool FitsInLine(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 256 && c != QLatin1Char('\n'); });
}

QRegularExpressionMatch MatchIn(const QRegularExpression &expression, QStringView subject,
                                qsizetype from)
{
    // The subject was widened from single bytes: valid UTF-16, no need to
    // check it on every call.
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return expression.matchView(subject, from, QRegularExpression::NormalMatch,
                                QRegularExpression::DontCheckSubjectStringMatchOption);
#else
    return expression.match(subject, from, QRegularExpression::NormalMatch,
                            QRegularExpression::DontCheckSubjectStringMatchOption);
#endif
}

} // namespace

bool LinePattern::Set(const QString &pattern, bool matchCase, bool regularExpression)
{
    Clear();
    m_pattern = pattern;
    m_matchCase = matchCase;
    if (pattern.isEmpty())
        return true;
    if (!regularExpression) {
        if (FitsInLine(pattern)) {
            m_needle = pattern.toLatin1();
            if (!matchCase)
                Fold(QByteArray(m_needle), m_needle);
            m_matcher.setPattern(m_needle);
        }
        return true;
    }
    QRegularExpression::PatternOptions options = QRegularExpression::NoPatternOption;
    if (!matchCase)
        options |= QRegularExpression::CaseInsensitiveOption;
    const QRegularExpression plain(pattern, options);
    if (!plain.isValid()) {
        m_error = plain.errorString();
        return false;
    }
    // Whether empty text can match: at the start of a line, between two
    // characters or at its end.
    for (const QString &probe : {QString(), QStringLiteral(" a ")}) {
        const QRegularExpressionMatch match = plain.match(probe);
        if (match.hasMatch() && match.capturedLength() == 0)
            m_matchesEmpty = true;
    }
    // The engine itself passes over empty matches and looks on for one
    // that takes a character, in one call, however many places could match
    // empty text.
    m_expression = QRegularExpression(QStringLiteral("(*NOTEMPTY)") + pattern, options);
    m_expression.optimize();
    m_regex = true;
    return true;
}

void LinePattern::prepare(QByteArrayView line) const
{
    if (m_regex)
        Widen(line, m_wide);
    else if (!m_matchCase && !m_needle.isEmpty())
        Fold(line, m_folded);
}

LinePattern::Span LinePattern::findPrepared(QByteArrayView line, qsizetype from) const
{
    if (from >= line.size())
        return {};
    if (m_regex) {
        const QRegularExpressionMatch match = MatchIn(m_expression, m_wide, from);
        if (!match.hasMatch())
            return {};
        return {match.capturedStart(), match.capturedLength()};
    }
    if (m_needle.isEmpty())
        return {};
    const QByteArrayView haystack = m_matchCase ? line : QByteArrayView(m_folded);
    const qsizetype at = m_matcher.indexIn(haystack, from);
    return at < 0 ? Span{} : Span{at, m_needle.size()};
}
