// The number field's check against a plain reading of its rules, written here
// from the rules alone, and every accepted value written back in each base.

#include "fuzz/FuzzCheck.h"
#include "core/links/HexNumber.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

int Digit(char16_t c, int base)
{
    int v = 36;
    if (c >= u'0' && c <= u'9')
        v = c - u'0';
    else if (c >= u'a' && c <= u'f')
        v = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        v = c - u'A' + 10;
    return v < base ? v : -1;
}

// Valid and its value, or not valid with the characters to mark.
HexNumberCheck Reference(const QString &text)
{
    HexNumberCheck r;
    int base = 16;
    bool fraction = false;
    qsizetype i = 0;
    if (!text.isEmpty()) {
        switch (text.at(0).unicode()) {
        case u'$': i = 1; break;
        case u'%': base = 10; i = 1; break;
        case u'&': base = 2; i = 1; break;
        case u'!': base = 10; fraction = true; i = 1; break;
        default: break;
        }
    }
    // The whole part, capped far above the largest value; a fraction rounds
    // up from one half, which its first digit alone decides.
    qint64 whole = 0;
    bool inFraction = false;
    bool firstFractionDigit = true;
    bool roundUp = false;
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (fraction && c == u'.' && !inFraction) {
            inFraction = true;
            continue;
        }
        const int d = Digit(c, base);
        if (d < 0) {
            if (r.FirstInvalid < 0)
                r.FirstInvalid = int(i);
            r.LastInvalid = int(i);
        } else if (inFraction) {
            if (firstFractionDigit)
                roundUp = d >= 5;
            firstFractionDigit = false;
        } else {
            whole = std::min<qint64>(whole * base + d, qint64(1) << 40);
        }
    }
    if (r.FirstInvalid >= 0)
        return r;
    const qint64 value = whole + (roundUp ? 1 : 0);
    if (value > HexNumberMax) {
        r.FirstInvalid = 0;
        r.LastInvalid = int(text.size()) - 1;
        return r;
    }
    r.Valid = true;
    r.Value = value;
    return r;
}

void Expect(const QString &text, qint64 value)
{
    const HexNumberCheck c = CheckHexNumber(text);
    FUZZ_CHECK(c.Valid && c.Value == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Typed text is any UTF-16, surrogates and all; the first byte picks
    // whether the rest is read as UTF-16 units or as Latin-1, which reaches
    // the prefixes and digits more often.
    QString text;
    if (size > 0 && data[0] % 2 == 0) {
        for (std::size_t i = 1; i + 1 < size; i += 2)
            text += QChar(char16_t(data[i] | data[i + 1] << 8));
    } else if (size > 0) {
        text = QString::fromLatin1(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    }

    const HexNumberCheck check = CheckHexNumber(text);
    const HexNumberCheck expected = Reference(text);
    FUZZ_CHECK(check.Valid == expected.Valid);
    FUZZ_CHECK(check.FirstInvalid == expected.FirstInvalid);
    FUZZ_CHECK(check.LastInvalid == expected.LastInvalid);
    if (!check.Valid) {
        FUZZ_CHECK(check.FirstInvalid >= 0 && check.FirstInvalid <= check.LastInvalid
                   && check.LastInvalid < text.size());
        return 0;
    }
    FUZZ_CHECK(check.Value == expected.Value);
    FUZZ_CHECK(check.Value >= HexNumberMin && check.Value <= HexNumberMax);

    const qint64 v = check.Value;
    const QString hex = FormatHexNumber(v);
    FUZZ_CHECK(hex.size() <= 5 && hex == hex.toUpper());
    Expect(hex, v);
    Expect(QStringLiteral("$") + hex, v);
    Expect(QStringLiteral("%") + QString::number(v), v);
    Expect(QStringLiteral("&") + QString::number(v, 2), v);
    Expect(QStringLiteral("!") + QString::number(v) + QStringLiteral(".49"), v);
    if (v < HexNumberMax)
        Expect(QStringLiteral("!") + QString::number(v) + QStringLiteral(".5"), v + 1);
    return 0;
}
