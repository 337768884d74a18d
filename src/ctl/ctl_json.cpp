#include "ctl/ctl_json.h"

#include "core/readings.h"
#include "ctl/ctl_options.h"
#include "exchange/exchange.h"

#include <QJsonArray>
#include <QJsonDocument>

QString asciiJson(const QJsonObject& object) {
    const QString json = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    QString out;
    out.reserve(json.size());
    for (const QChar c : json) {
        if (c.unicode() < 0x7F) {
            out += c;
        } else {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    return out;
}

QJsonObject valuesJson(const StatusValues& v) {
    QJsonObject o;
    const auto put = [&o](const char* name, const auto& value) {
        if (value) {
            o[QLatin1String(name)] = *value;
        }
    };
    put("row", v.row);
    put("power", v.power);
    put("inputMode", v.inputMode);
    put("reversal", v.reversal);
    put("lampHours", v.lampHours);
    if (v.temperatureText[0] || v.temperatureText[1] || v.temperatureText[2]) {
        QJsonArray texts;
        QJsonArray celsius;
        for (size_t i = 0; i < v.temperatureText.size(); ++i) {
            texts.append(v.temperatureText[i] ? QJsonValue(*v.temperatureText[i]) : QJsonValue());
            celsius.append(v.temperatureCelsius[i] ? QJsonValue(*v.temperatureCelsius[i])
                                                   : QJsonValue());
        }
        o[QLatin1String("temperatureText")] = texts;
        o[QLatin1String("temperatureCelsius")] = celsius;
    }
    put("pressureHpa", v.pressureHpa);
    put("mute", v.mute);
    put("lampMode", v.lampMode);
    put("lampsLit", v.lampsLit);
    return o;
}

QJsonObject resultJson(const CtlAction& action, const ExchangeResult& r, const QString& error) {
    const auto orNull = [](bool set, const QJsonValue& value) {
        return set ? value : QJsonValue();
    };
    return QJsonObject{
        {QStringLiteral("action"), action.name},
        {QStringLiteral("code"), action.code},
        {QStringLiteral("sent"), r.sent},
        {QStringLiteral("received"), r.received},
        {QStringLiteral("transcript"), r.transcript},
        {QStringLiteral("status"), orNull(r.status.has_value(), r.status.value_or(QString()))},
        {QStringLiteral("values"), valuesJson(r.values)},
        {QStringLiteral("ms"), orNull(r.replyMs >= 0, r.replyMs)},
        {QStringLiteral("windowMs"), r.windowMs},
        {QStringLiteral("result"), outcomeName(r.outcome)},
        {QStringLiteral("ok"), error.isEmpty()},
        {QStringLiteral("error"), orNull(!error.isEmpty(), error)},
    };
}
