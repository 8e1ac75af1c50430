#include "core/links/HexNumber.h"

namespace {

// The value of character c in `base`, or -1.
int digitValue(QChar c, int base)
{
    const char16_t u = c.unicode();
    int v = -1;
    if (u >= '0' && u <= '9')
        v = u - '0';
    else if (u >= 'a' && u <= 'f')
        v = u - 'a' + 10;
    else if (u >= 'A' && u <= 'F')
        v = u - 'A' + 10;
    return v < base ? v : -1;
}

} // namespace

HexNumberCheck CheckHexNumber(const QString &text)
{
    HexNumberCheck result;
    int base = 16;
    bool fraction = false;
    int start = 0;
    if (!text.isEmpty()) {
        switch (text.at(0).unicode()) {
        case '$': base = 16; start = 1; break;
        case '%': base = 10; start = 1; break;
        case '&': base = 2; start = 1; break;
        case '!': base = 10; fraction = true; start = 1; break;
        default: break;
        }
    }

    // Whole part accumulates until it is known to be out of range, so that no
    // length of text can overflow it.
    qint64 whole = 0;
    bool tooLarge = false;
    // The fraction rounds up from one half, which its first digit alone
    // decides: summed up in floating point, a long run of nines behind a 4
    // came to one half.
    int firstFractionDigit = -1;
    int point = -1;
    for (int i = start; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (fraction && c == u'.' && point < 0) {
            point = i;
            continue;
        }
        const int d = digitValue(c, base);
        if (d < 0) {
            if (result.FirstInvalid < 0)
                result.FirstInvalid = i;
            result.LastInvalid = i;
            continue;
        }
        if (point >= 0) {
            if (firstFractionDigit < 0)
                firstFractionDigit = d;
        } else if (!tooLarge) {
            whole = whole * base + d;
            tooLarge = whole > HexNumberMax;
        }
    }
    if (result.FirstInvalid >= 0)
        return result;

    qint64 value = whole;
    if (!tooLarge && fraction && firstFractionDigit >= 5)
        ++value;
    if (tooLarge || value > HexNumberMax || value < HexNumberMin) {
        result.FirstInvalid = 0;
        result.LastInvalid = int(text.size()) - 1;
        return result;
    }
    result.Valid = true;
    result.Value = value;
    return result;
}

QString FormatHexNumber(qint64 value)
{
    return QString::number(value, 16).toUpper();
}
