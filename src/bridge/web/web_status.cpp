#include "bridge/web/web_status.h"

#include "bridge/pjlink_protocol.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <algorithm>

namespace web {

const QList<Control>& controls() {
    static const QList<Control> table{
        {"power-on", "%1POWR 1", "The projector is switching on."},
        {"power-off", "%1POWR 0", "The projector is switching off."},
        {"input-1", "%1INPT 11", "Input 1 is chosen."},
        {"input-2", "%1INPT 12", "Input 2 is chosen."},
        {"input-3", "%1INPT 21", "Input 3 is chosen."},
        {"input-4", "%1INPT 51", "Input 4 is chosen."},
        {"mute-on", "%1AVMT 11", "The picture is muted."},
        {"mute-off", "%1AVMT 10", "The picture is shown again."},
    };
    return table;
}

const Control* findControl(const QByteArray& action) {
    for (const Control& c : controls()) {
        if (action == c.action) {
            return &c;
        }
    }
    return nullptr;
}

QStringList controlCodes(const Control& control) {
    return pjlink::handle(QByteArray(control.pjlink), pjlink::Identity{}).codes;
}

Outcome outcomeOf(const QList<LineAnswer>& answers) {
    if (answers.isEmpty()) {
        return Outcome::NoReply;
    }
    switch (answers.front().outcome) {
    case LineAnswer::Outcome::Acknowledged:
        return Outcome::Done;
    case LineAnswer::Outcome::Refused:
        return Outcome::Refused;
    case LineAnswer::Outcome::LineDown:
        return Outcome::LineDown;
    case LineAnswer::Outcome::Answered: // a reply, but not the acknowledgement a set wants
    case LineAnswer::Outcome::NoReply:
        break;
    }
    return Outcome::NoReply;
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done:
        return "done";
    case Outcome::Refused:
        return "refused";
    case Outcome::NoReply:
        return "no-reply";
    case Outcome::LineDown:
        return "line-down";
    }
    return "";
}

QString outcomeText(const Control& control, Outcome outcome) {
    switch (outcome) {
    case Outcome::Done:
        return QString::fromUtf8(control.done);
    case Outcome::Refused:
        return QStringLiteral("The projector refused this now (it cannot be switched on while "
                              "it cools down, or while it reports a fault). Try again later.");
    case Outcome::NoReply:
        return QStringLiteral("The projector did not reply. Check that it is plugged in and "
                              "its serial cable is connected.");
    case Outcome::LineDown:
        return QStringLiteral("The bridge's serial line is not open, so nothing was sent.");
    }
    return {};
}

QString powerWords(PowerState state) {
    switch (state) {
    case PowerState::On:
        return QStringLiteral("On");
    case PowerState::Standby:
        return QStringLiteral("Standby");
    case PowerState::WarmUp:
        return QStringLiteral("Warming up");
    case PowerState::CoolingDown:
        return QStringLiteral("Cooling down");
    case PowerState::PowerFail:
        return QStringLiteral("Power failure");
    }
    return {};
}

namespace {

QJsonValue orNull(const std::optional<QString>& text) {
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

// How the projector is doing on the line, in words.
QString linkWords(const MetricsSnapshot& s) {
    if (s.lineOpen == false) {
        return QStringLiteral("The serial line is closed");
    }
    if (s.readings.answered) {
        return QStringLiteral("Answering");
    }
    return s.lastAnsweredMsecs ? QStringLiteral("Not answering") : QStringLiteral("No reply yet");
}

} // namespace

QByteArray statusJson(const MetricsSnapshot& s, const QString& model, qint64 nowMs) {
    const PolledReadings& r = s.readings;
    QJsonObject o;
    o.insert(QStringLiteral("name"), s.name);
    o.insert(QStringLiteral("model"), model);
    o.insert(QStringLiteral("answering"), r.answered && s.lineOpen != false);
    o.insert(QStringLiteral("link"), linkWords(s));
    o.insert(QStringLiteral("power"),
             orNull(r.power ? std::optional(powerWords(*r.power)) : std::nullopt));
    o.insert(QStringLiteral("powerState"),
             orNull(r.power ? std::optional(powerStateName(*r.power)) : std::nullopt));
    o.insert(QStringLiteral("input"),
             orNull(r.inputMode ? std::optional(QStringLiteral("Input %1").arg(*r.inputMode))
                                : std::nullopt));
    // In standby there is no picture to mute, and the projector says so rather than on or off.
    std::optional<QString> mute;
    if (r.pictureMuted) {
        mute = *r.pictureMuted ? QStringLiteral("On") : QStringLiteral("Off");
    } else if (r.answered && r.power == PowerState::Standby) {
        mute = QStringLiteral("No picture in standby");
    }
    o.insert(QStringLiteral("videoMute"), orNull(mute));
    o.insert(QStringLiteral("lampHours"),
             orNull(r.lampHours ? std::optional(QStringLiteral("%1 h").arg(*r.lampHours))
                                : std::nullopt));
    QJsonArray temperatures;
    for (const std::optional<double>& t : r.temperatureCelsius) {
        temperatures.append(
            orNull(t ? std::optional(QStringLiteral("%1 °C").arg(*t, 0, 'f', 1)) : std::nullopt));
    }
    o.insert(QStringLiteral("temperatures"), temperatures);
    o.insert(QStringLiteral("pressure"),
             orNull(r.pressureHpa ? std::optional(QStringLiteral("%1 hPa").arg(*r.pressureHpa))
                                  : std::nullopt));
    QJsonArray faults;
    if (r.power == PowerState::PowerFail) {
        faults.append(QStringLiteral("Power failure"));
    }
    if (r.lampFailure == true) {
        faults.append(QStringLiteral("Lamp failure"));
    }
    if (r.temperatureWarning == true) {
        faults.append(QStringLiteral("Temperature too high"));
    }
    // Faults are only known from an answered poll; an empty list then means none.
    o.insert(QStringLiteral("faults"), r.answered ? QJsonValue(faults) : QJsonValue());
    if (s.lastAnsweredMsecs) {
        o.insert(QStringLiteral("lastAnswered"),
                 QDateTime::fromMSecsSinceEpoch(*s.lastAnsweredMsecs, QTimeZone::utc())
                     .toString(Qt::ISODate));
        o.insert(QStringLiteral("lastAnsweredSecondsAgo"),
                 double(std::max<qint64>(0, (nowMs - *s.lastAnsweredMsecs) / 1000)));
    } else {
        o.insert(QStringLiteral("lastAnswered"), QJsonValue());
        o.insert(QStringLiteral("lastAnsweredSecondsAgo"), QJsonValue());
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace web
