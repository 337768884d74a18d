#include "core/number16.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n');
}

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isLetter(QChar c, char upper) {
    return c == QLatin1Char(upper) || c == QLatin1Char(char(upper - 'A' + 'a'));
}

// Value of c as a digit of the given base (8 or 16), or -1.
int digitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    int d = -1;
    if (u >= u'0' && u <= u'9') {
        d = u - u'0';
    } else if (u >= u'A' && u <= u'F') {
        d = u - u'A' + 10;
    } else if (u >= u'a' && u <= u'f') {
        d = u - u'a' + 10;
    }
    return d < base ? d : -1;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

NumberReading readRadix(const QString& s, int base) {
    qsizetype i = 2; // past "&H" / "&O"
    double value = 0.0;
    // Exact up to 2^53, far beyond anything the panel can hold; beyond the double range the
    // reading saturates at infinity rather than overflowing.
    const double limit = std::numeric_limits<double>::max() / base;
    for (; i < s.size(); ++i) {
        const int d = digitValue(s[i], base);
        if (d < 0) {
            break;
        }
        value = value > limit ? kInf : value * base + d;
    }
    return {value, s.left(i)};
}

NumberReading readDecimal(const QString& s) {
    qsizetype i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) {
        negative = s[i] == QLatin1Char('-');
        ++i;
    }
    // Significant digits without leading zeros; value = digits * 10^scale.
    std::string digits;
    qint64 scale = 0;
    bool sawDigit = false;
    bool sawPoint = false;
    for (; i < s.size(); ++i) {
        const QChar c = s[i];
        if (isDigit(c)) {
            sawDigit = true;
            if (!digits.empty() || c != QLatin1Char('0')) {
                digits.push_back(char(c.unicode()));
            }
            if (sawPoint) {
                --scale;
            }
        } else if (c == QLatin1Char('.') && !sawPoint) {
            sawPoint = true;
        } else {
            break;
        }
    }
    if (!sawDigit) {
        return {}; // "", "-", ".", "E5": no number
    }
    qsizetype end = i;
    if (i < s.size() && (isLetter(s[i], 'E') || isLetter(s[i], 'D'))) {
        qsizetype j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == QLatin1Char('+') || s[j] == QLatin1Char('-'))) {
            expNegative = s[j] == QLatin1Char('-');
            ++j;
        }
        // Saturate: an exponent this large already puts the value beyond any double.
        constexpr qint64 kExpCap = 1'000'000'000'000LL;
        qint64 exponent = 0;
        const qsizetype firstExpDigit = j;
        for (; j < s.size() && isDigit(s[j]); ++j) {
            if (exponent < kExpCap) {
                exponent = exponent * 10 + (s[j].unicode() - u'0');
            }
        }
        if (j > firstExpDigit) {
            scale += expNegative ? -exponent : exponent;
            end = j;
        }
    }
    NumberReading reading{0.0, s.left(end)};
    if (digits.empty()) {
        return reading; // all zeros; never -0
    }
    // Decimal power of the leading digit decides the clear cases before any conversion.
    const qint64 order = qint64(digits.size()) - 1 + scale;
    double magnitude = 0.0;
    if (order > 400) {
        magnitude = kInf;
    } else if (order >= -400) {
        // from_chars is locale-independent and correctly rounded for any number of digits.
        digits += 'e';
        digits += std::to_string(scale);
        const auto [ptr, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        (void)ptr;
        if (ec == std::errc::result_out_of_range) {
            magnitude = order > 0 ? kInf : 0.0;
        } else if (ec != std::errc()) {
            magnitude = 0.0;
        }
    }
    reading.value = negative ? -magnitude : magnitude;
    return reading;
}

} // namespace

NumberReading readNumber(const QString& text) {
    QString s;
    s.reserve(text.size());
    for (const QChar c : text) {
        if (!isBlank(c)) {
            s += c;
        }
    }
    if (s.size() >= 2 && s[0] == QLatin1Char('&')) {
        if (isLetter(s[1], 'H')) {
            return readRadix(s, 16);
        }
        if (isLetter(s[1], 'O')) {
            return readRadix(s, 8);
        }
    }
    return readDecimal(s);
}

std::optional<qint16> roundToInt16(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const double floor = std::floor(value);
    const double fraction = value - floor; // exact for every finite double
    double rounded = floor;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) {
        rounded = floor + 1.0;
    }
    if (rounded < std::numeric_limits<qint16>::min() ||
        rounded > std::numeric_limits<qint16>::max()) {
        return std::nullopt;
    }
    return static_cast<qint16>(rounded);
}

std::optional<qint16> multiplyInt16(qint16 a, qint16 b) {
    const qint32 product = qint32(a) * qint32(b); // cannot overflow 32 bits
    if (product < std::numeric_limits<qint16>::min() ||
        product > std::numeric_limits<qint16>::max()) {
        return std::nullopt;
    }
    return static_cast<qint16>(product);
}
