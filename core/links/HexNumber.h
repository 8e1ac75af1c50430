#pragma once

#include <QString>

// The serial number field's values: at most 5 hexadecimal digits.
constexpr qint64 HexNumberMin = 0;
constexpr qint64 HexNumberMax = 0xFFFFF;

struct HexNumberCheck {
    bool Valid = false;
    qint64 Value = 0;
    // The characters to show the user when the text fails, first to last
    // (both inclusive); -1 when the text passes.
    int FirstInvalid = -1;
    int LastInvalid = -1;
};

// Checks the text of a number field. A first character '$', '%', '&' or '!'
// reads the rest as hexadecimal, decimal, binary or a decimal fraction
// (rounded to a whole number); without one the text is hexadecimal. Passes
// when every character belongs to its base and the value lies within
// HexNumberMin..HexNumberMax. Characters outside the base are reported as the
// invalid range; a value out of range marks the whole text. An empty text, or
// a base character alone, reads as 0.
HexNumberCheck CheckHexNumber(const QString &text);

// Upper-case hexadecimal without leading zeros; "0" for zero.
QString FormatHexNumber(qint64 value);
