#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// The number at the start of a reply, as the pressure reading takes it.
struct NumberReading {
    double value = 0.0; // +-infinity when far beyond any double; never NaN
    QString text;       // the characters that formed the number, blanks removed; empty if none
};

// Reads the number at the start of text in the manner of a classic BASIC Val:
// - spaces, tabs and line feeds are removed first, wherever they stand;
// - decimal: optional sign, digits with at most one decimal point, then an optional exponent
//   (E or D, optional sign, digits); an exponent letter with no digits after it is not part of
//   the number;
// - "&H" hexadecimal and "&O" octal, with no sign. They are read as unsigned values of any width
//   (no two's-complement wrap as in some BASICs: "&HFFFF" is 65535, not -1), so an oversized
//   reading shows up as out of range instead of quietly turning negative;
// - the letters E, D, H, O and the hexadecimal digits are accepted in either case;
// - reading stops at the first character that cannot continue the number; no number reads 0.
// Any length and any character is safe: huge values become infinity, tiny ones zero.
NumberReading readNumber(const QString& text);

// Rounds to the nearest integer, halves to the even neighbour, independent of the FPU's rounding
// mode. No value for NaN, infinities, or a result outside the 16-bit signed range.
std::optional<qint16> roundToInt16(double value);

// 16-bit signed multiplication; no value when the product does not fit.
std::optional<qint16> multiplyInt16(qint16 a, qint16 b);
