#include "core/reply_decoder.h"

#include "core/number16.h"

#include <array>
#include <span>

namespace {

struct Pattern {
    const char* cut;  // the start of the transcript: leading space, then reply characters
    const char* text; // what the status line shows
};

// The texts are the projector's established wording, odd spellings included.
constexpr std::array<Pattern, 13> kOperatingStatus{{
    {" 0 0", " Power ON"},
    {" 8 0", " Stand by"},
    {" 4 0", " Count down"},
    {" 2 0", " Cooling down"},
    {" 1 0", " Power Fail"},
    {" 0 8", " Temperature Warning(Power ON)"},
    {" 0 2", " NO Key input "},
    {" 0 4", " Lamp OFF by PWR Management"},
    {" 2 8", " Temperature Warning & cooling down"},
    {" 2 4", " Lamp OFF & Tempereture Warning by PWR Management"},
    {" 8 8", " Temperature Warning and recoverd"},
    {" 2 1", " Cooling down (All Lamp FAIL)"},
    {" 8 1", " Cooling down & sutandby (All Lamp FAIL)"},
}};

constexpr std::array<Pattern, 4> kInputMode{{
    {" 1", " Input mode 1"},
    {" 2", " Input mode 2"},
    {" 3", " Input mode 3"},
    {" 4", " Input mode 4"},
}};

constexpr std::array<Pattern, 4> kReversal{{
    {" 1 1", " Normally"},
    {" 1 0", " Top/Bottom reversal"},
    {" 0 1", " Left/Right reversal"},
    {" 0 0", " Top/Bottom , Left/Right reversal"},
}};

constexpr std::array<Pattern, 6> kMuteSignal{{
    {" 0 0", " Video & Audio mute OFF"},
    {" 0 1", " Video mute ON"},
    {" 0 2", " Audio mute ON"},
    {" 0 3", " Video & Audio mute ON"},
    {" 8 0", " No signal"},
    {" F F", " Stand by"},
}};

constexpr std::array<Pattern, 8> kLampMode{{
    {" 0 0", " All OFF : 2 Lamp mode"},
    {" 0 1", " No1 ON  : 2 Lamp mode"},
    {" 0 2", " No2 ON  : 2 Lamp mode"},
    {" 0 3", " No1,2 ON  : 2 Lamp mode"},
    {" 1 0", " All OFF : 1 Lamp mode(No1 USE)"},
    {" 1 1", " No1 ON  : 1 Lamp mode(No1 USE)"},
    {" 2 0", " All OFF : 1 Lamp mode(No2 USE)"},
    {" 2 2", " No2 ON  : 1 Lamp mode(No2 USE)"},
}};

// The first n characters of the transcript hold the first n/2 reply characters; anything after
// them is ignored, and a cut still too short matches no pattern.
std::optional<QString> matchPattern(const QString& transcript, qsizetype n,
                                    std::span<const Pattern> table) {
    const QString cut = transcript.left(n);
    for (const Pattern& row : table) {
        if (cut == QLatin1String(row.cut)) {
            return QString::fromLatin1(row.text);
        }
    }
    return std::nullopt;
}

// T[a..b], positions from 1: cut short where T ends, empty when a lies beyond it.
QString run(const QString& t, qsizetype a, qsizetype b) {
    return t.mid(a - 1, b - a + 1);
}

QString temperatures(const QString& t) {
    return QLatin1String("  S1=") + run(t, 1, 10) + QLatin1String(" C  ,   S2= ") + run(t, 15, 22) +
           QLatin1String(" C , S3=") + run(t, 25, 34) + QLatin1String(" C");
}

QString outOfRange(const NumberReading& reading) {
    // The reading comes from the wire; keep the message short whatever arrived.
    constexpr qsizetype kShown = 24;
    QString shown = reading.text.left(kShown);
    if (reading.text.size() > kShown) {
        shown += QLatin1String("...");
    }
    return QStringLiteral("The pressure reading %1 is out of range: the panel can only convert "
                          "readings from -6553 to 6553.")
        .arg(shown);
}

// The reply is the raw sensor value: scaled by 5 in 16-bit arithmetic, then converted to hPa in
// double precision.
ReplyReading pressure(const QString& t, qint16 pressVal) {
    ReplyReading out;
    out.pressVal = pressVal;
    const NumberReading reading = readNumber(t);
    const std::optional<qint16> rounded = roundToInt16(reading.value);
    if (!rounded) {
        out.failure = outOfRange(reading);
        return out;
    }
    out.pressVal = *rounded;
    const std::optional<qint16> m = multiplyInt16(*rounded, 5);
    if (!m) {
        out.failure = outOfRange(reading);
        return out;
    }
    const double p = (*m / 1024.0 - 0.204) / 0.00459 + 150.0;
    // Every m in range gives p between -6866 and 7077, so this always fits; checked all the same.
    const std::optional<qint16> hPa = roundToInt16(p);
    if (!hPa) {
        out.failure = outOfRange(reading);
        return out;
    }
    out.pressVal = *hPa;
    out.status = QString::number(*hPa) + QLatin1String(" hPa");
    return out;
}

} // namespace

ReplyReading decodeReply(const QString& sendCmd, const QString& cmdPrefix,
                         const QString& transcript, qint16 pressVal) {
    const auto answers = [&](const char* code) {
        return sendCmd == cmdPrefix + QLatin1String(code) + QLatin1Char('\r');
    };
    const QString& t = transcript;
    ReplyReading out;
    out.pressVal = pressVal;
    // The codes all differ, so the order only fixes which comparison runs first.
    if (answers("CR0")) {
        out.status = matchPattern(t, 4, kOperatingStatus);
    } else if (answers("CR1")) {
        out.status = matchPattern(t, 2, kInputMode);
    } else if (answers("CR4")) {
        out.status = matchPattern(t, 4, kReversal);
    } else if (answers("CR3")) {
        out.status = t.left(38) + QLatin1String(" Hour Use");
    } else if (answers("CR6")) {
        out.status = temperatures(t);
    } else if (answers("CRA")) {
        out.status = matchPattern(t, 4, kMuteSignal);
    } else if (answers("CR9")) {
        out.status = t;
    } else if (answers("CR PRESSURE")) {
        return pressure(t, pressVal);
    } else if (answers("CR7")) {
        out.status = matchPattern(t, 4, kLampMode);
    }
    return out;
}
