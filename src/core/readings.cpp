#include "core/readings.h"

#include "core/exchange_frame.h"
#include "core/reply_decoder.h"
#include "core/transcript.h"

#include <QRegularExpression>

namespace {

// Where the three temperatures stand in the reply ("+38.5 +41.0 +29.5"): five characters each,
// the sign first. The status line shows the same characters but the second reading's sign.
constexpr std::array<qsizetype, 3> TemperatureStart{0, 6, 12};
constexpr qsizetype TemperatureWidth = 5;

// Lamp hours beyond this many digits are no count the projector keeps.
constexpr qsizetype MaxHourDigits = 12;

QString rowChars(const StatusRow& row) {
    return QString::fromLatin1(row.cut).remove(QLatin1Char(' '));
}

std::optional<double> celsius(const QString& text) {
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]{1,3}(\\.[0-9]{1,2})?$"));
    if (!number.match(text).hasMatch()) {
        return std::nullopt;
    }
    return text.toDouble();
}

} // namespace

StatusValues readStatusValues(const QString& code, const QString& received) {
    StatusValues v;
    // The reply proper: up to its carriage return.
    const QString reply = received.left(received.indexOf(QChar(CommandEnd)));
    const QString transcript = renderTranscript(received);
    if (const StatusRow* row = matchStatusRow(code, transcript)) {
        v.row = rowChars(*row);
        const QString word = QString::fromLatin1(row->word);
        if (code == QLatin1String("CR0")) {
            v.power = word;
        } else if (code == QLatin1String("CR1")) {
            v.inputMode = word.toInt();
        } else if (code == QLatin1String("CR4")) {
            v.reversal = word;
        } else if (code == QLatin1String("CRA")) {
            v.mute = word;
        } else if (code == QLatin1String("CR7")) {
            v.lampMode = word;
            // The second reply character is the lit lamps' bit mask in every row.
            v.lampsLit = v.row->mid(1, 1).toInt();
        }
    } else if (code == QLatin1String("CR3")) {
        qsizetype n = 0;
        while (n < reply.size() && reply[n] >= u'0' && reply[n] <= u'9') {
            ++n;
        }
        if (n > 0 && n <= MaxHourDigits) {
            v.lampHours = reply.left(n).toLongLong();
        }
    } else if (code == QLatin1String("CR6")) {
        for (size_t i = 0; i < TemperatureStart.size(); ++i) {
            const QString text = reply.mid(TemperatureStart[i], TemperatureWidth).trimmed();
            if (!text.isEmpty()) {
                v.temperatureText[i] = text;
                v.temperatureCelsius[i] = celsius(text);
            }
        }
    } else if (code == QLatin1String("CR PRESSURE")) {
        const ReplyReading reading =
            decodeReply(frameCommand(QString(), code), QString(), transcript, 0);
        if (reading.status) {
            v.pressureHpa = reading.pressVal;
        }
    }
    return v;
}
