#include "core/reply_decoder.h"

#include "core/exchange_frame.h"
#include "core/number16.h"

#include <array>
#include <span>

namespace {

using Pattern = StatusRow;

// The texts are the projector's established wording, odd spellings included; the words are the
// readings' own, one per row, for scripts.
constexpr std::array<Pattern, 13> kOperatingStatus{{
    {" 0 0", " Power ON", "on"},
    {" 8 0", " Stand by", "standby"},
    {" 4 0", " Count down", "count-down"},
    {" 2 0", " Cooling down", "cooling-down"},
    {" 1 0", " Power Fail", "power-fail"},
    {" 0 8", " Temperature Warning(Power ON)", "temperature-warning"},
    {" 0 2", " NO Key input ", "no-key-input"},
    {" 0 4", " Lamp OFF by PWR Management", "lamp-off-power-management"},
    {" 2 8", " Temperature Warning & cooling down", "temperature-warning-cooling-down"},
    {" 2 4", " Lamp OFF & Tempereture Warning by PWR Management", "lamp-off-temperature-warning"},
    {" 8 8", " Temperature Warning and recoverd", "temperature-warning-recovered"},
    {" 2 1", " Cooling down (All Lamp FAIL)", "cooling-down-lamp-fail"},
    {" 8 1", " Cooling down & sutandby (All Lamp FAIL)", "standby-lamp-fail"},
}};

constexpr std::array<Pattern, 4> kInputMode{{
    {" 1", " Input mode 1", "1"},
    {" 2", " Input mode 2", "2"},
    {" 3", " Input mode 3", "3"},
    {" 4", " Input mode 4", "4"},
}};

constexpr std::array<Pattern, 4> kReversal{{
    {" 1 1", " Normally", "normal"},
    {" 1 0", " Top/Bottom reversal", "top-bottom"},
    {" 0 1", " Left/Right reversal", "left-right"},
    {" 0 0", " Top/Bottom , Left/Right reversal", "top-bottom-left-right"},
}};

constexpr std::array<Pattern, 6> kMuteSignal{{
    {" 0 0", " Video & Audio mute OFF", "off"},
    {" 0 1", " Video mute ON", "video"},
    {" 0 2", " Audio mute ON", "audio"},
    {" 0 3", " Video & Audio mute ON", "video-audio"},
    {" 8 0", " No signal", "no-signal"},
    {" F F", " Stand by", "standby"},
}};

constexpr std::array<Pattern, 8> kLampMode{{
    {" 0 0", " All OFF : 2 Lamp mode", "two-lamp"},
    {" 0 1", " No1 ON  : 2 Lamp mode", "two-lamp"},
    {" 0 2", " No2 ON  : 2 Lamp mode", "two-lamp"},
    {" 0 3", " No1,2 ON  : 2 Lamp mode", "two-lamp"},
    {" 1 0", " All OFF : 1 Lamp mode(No1 USE)", "one-lamp-no1"},
    {" 1 1", " No1 ON  : 1 Lamp mode(No1 USE)", "one-lamp-no1"},
    {" 2 0", " All OFF : 1 Lamp mode(No2 USE)", "one-lamp-no2"},
    {" 2 2", " No2 ON  : 1 Lamp mode(No2 USE)", "one-lamp-no2"},
}};

// The first n characters of the transcript hold the first n/2 reply characters; anything after
// them is ignored, and a cut still too short matches no pattern.
const Pattern* matchPattern(const QString& transcript, qsizetype n,
                            std::span<const Pattern> table) {
    const QString cut = transcript.left(n);
    for (const Pattern& row : table) {
        if (cut == QLatin1String(row.cut)) {
            return &row;
        }
    }
    return nullptr;
}

std::optional<QString> textOf(const Pattern* row) {
    return row ? std::optional(QString::fromLatin1(row->text)) : std::nullopt;
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

const StatusRow* matchStatusRow(const QString& code, const QString& transcript) {
    if (code == QLatin1String("CR0")) {
        return matchPattern(transcript, 4, kOperatingStatus);
    }
    if (code == QLatin1String("CR1")) {
        return matchPattern(transcript, 2, kInputMode);
    }
    if (code == QLatin1String("CR4")) {
        return matchPattern(transcript, 4, kReversal);
    }
    if (code == QLatin1String("CRA")) {
        return matchPattern(transcript, 4, kMuteSignal);
    }
    if (code == QLatin1String("CR7")) {
        return matchPattern(transcript, 4, kLampMode);
    }
    return nullptr;
}

ReplyReading decodeReply(const QString& sendCmd, const QString& cmdPrefix,
                         const QString& transcript, qint16 pressVal) {
    const auto answers = [&](const char* code) {
        return sendCmd == frameCommand(cmdPrefix, QLatin1String(code));
    };
    const QString& t = transcript;
    ReplyReading out;
    out.pressVal = pressVal;
    // The codes all differ, so the order only fixes which comparison runs first.
    if (answers("CR0")) {
        out.status = textOf(matchStatusRow(QStringLiteral("CR0"), t));
    } else if (answers("CR1")) {
        out.status = textOf(matchStatusRow(QStringLiteral("CR1"), t));
    } else if (answers("CR4")) {
        out.status = textOf(matchStatusRow(QStringLiteral("CR4"), t));
    } else if (answers("CR3")) {
        out.status = t.left(38) + QLatin1String(" Hour Use");
    } else if (answers("CR6")) {
        out.status = temperatures(t);
    } else if (answers("CRA")) {
        out.status = textOf(matchStatusRow(QStringLiteral("CRA"), t));
    } else if (answers("CR9")) {
        out.status = t;
    } else if (answers("CR PRESSURE")) {
        return pressure(t, pressVal);
    } else if (answers("CR7")) {
        out.status = textOf(matchStatusRow(QStringLiteral("CR7"), t));
    }
    return out;
}
