#include "bridge/metrics/prometheus_text.h"

#include <QString>

namespace {

class Writer {
public:
    // A family's HELP and TYPE lines; its samples follow.
    void family(const char* name, const char* type, const char* help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    }
    void sample(const char* name, const QByteArray& labels, const QByteArray& value) {
        out += name;
        if (!labels.isEmpty()) {
            out += '{' + labels + '}';
        }
        out += ' ' + value + '\n';
    }
    template <typename T>
    void gauge(const char* name, const char* help, const std::optional<T>& value) {
        if (value) {
            family(name, "gauge", help);
            sample(name, {}, number(*value));
        }
    }

    static QByteArray number(double v) { return QByteArray::number(v, 'g', 15); }
    static QByteArray number(qint64 v) { return QByteArray::number(v); }
    static QByteArray number(quint64 v) { return QByteArray::number(v); }
    static QByteArray number(int v) { return QByteArray::number(v); }
    static QByteArray number(bool v) { return v ? "1" : "0"; }

    QByteArray out;
};

void writeReadings(Writer& w, const PolledReadings& r) {
    if (r.power) {
        w.family("rmq27_power_state", "gauge",
                 "Power state of the projector at the last poll: 1 for the state it is in.");
        for (PowerState s : AllPowerStates) {
            w.sample("rmq27_power_state", "state=\"" + escapeLabelValue(powerStateName(s)) + '"',
                     Writer::number(s == *r.power));
        }
    }
    w.gauge("rmq27_temperature_warning", "1 while the projector reports a temperature warning.",
            r.temperatureWarning);
    w.gauge("rmq27_lamp_failure", "1 while the projector reports that all lamps failed.",
            r.lampFailure);
    if (r.lampHours) {
        w.family("rmq27_lamp_used_seconds_total", "counter",
                 "Lamp use as the projector counts it: whole hours, given in seconds.");
        w.sample("rmq27_lamp_used_seconds_total", {}, Writer::number(*r.lampHours * 3600));
    }
    bool headed = false;
    for (std::size_t i = 0; i < r.temperatureCelsius.size(); ++i) {
        if (!r.temperatureCelsius[i]) {
            continue;
        }
        if (!headed) {
            w.family("rmq27_temperature_celsius", "gauge", "Temperature at each sensor.");
            headed = true;
        }
        w.sample("rmq27_temperature_celsius", "sensor=\"" + QByteArray::number(i + 1) + '"',
                 Writer::number(*r.temperatureCelsius[i]));
    }
    if (r.pressureHpa) {
        w.family("rmq27_air_pressure_pascals", "gauge",
                 "Air pressure as the projector's panel reads it (whole hPa, times 100).");
        w.sample("rmq27_air_pressure_pascals", {}, Writer::number(qint64(*r.pressureHpa) * 100));
    }
    w.gauge("rmq27_input_mode", "Selected input mode, 1 to 4 (4 is the network input).",
            r.inputMode);
    w.gauge("rmq27_picture_muted", "1 while the picture is muted (no show).", r.pictureMuted);
    if (r.lampsLit) {
        w.family("rmq27_lamp_lit", "gauge", "1 for each lamp that is lit.");
        for (int lamp = 1; lamp <= 2; ++lamp) {
            w.sample("rmq27_lamp_lit", "lamp=\"" + QByteArray::number(lamp) + '"',
                     Writer::number(((*r.lampsLit >> (lamp - 1)) & 1) != 0));
        }
    }
}

void writeCounters(Writer& w, const MetricsCounters& c) {
    const auto counter = [&](const char* name, const char* help, quint64 value) {
        w.family(name, "counter", help);
        w.sample(name, {}, Writer::number(value));
    };
    counter("rmq27_exchanges_total", "Exchanges on the serial line (client requests and polls).",
            c.exchanges);
    counter("rmq27_reply_timeouts_total", "Exchanges that drew no reply within their window.",
            c.replyTimeouts);
    counter("rmq27_line_losses_total", "Times the serial line went away.", c.lineLosses);
    counter("rmq27_pjlink_connections_total", "PJLink connections accepted.", c.pjlinkConnections);
    counter("rmq27_pjlink_authentication_failures_total",
            "PJLink connections closed for a wrong or missing password.", c.authenticationFailures);
    if (!c.userExchanges.empty()) {
        w.family("rmq27_user_exchanges_total", "counter",
                 "Exchanges on the serial line by the kind of user whose turn it was.");
        for (const auto& [user, count] : c.userExchanges) {
            w.sample("rmq27_user_exchanges_total", "user=\"" + escapeLabelValue(user) + '"',
                     Writer::number(count));
        }
    }
    w.family("rmq27_unparsed_readings_total", "counter",
             "Readings left out because the reply could not be read, by query.");
    for (qsizetype i = 0; i < pollQueries().size(); ++i) {
        w.sample("rmq27_unparsed_readings_total",
                 "query=\"" + escapeLabelValue(pollQueries().at(i)) + '"',
                 Writer::number(c.unparsedReadings.at(std::size_t(i))));
    }
}

} // namespace

QByteArray escapeLabelValue(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray renderMetrics(const MetricsSnapshot& snapshot) {
    Writer w;
    w.family("rmq27_build_info", "gauge", "Version of rmq27-bridge; always 1.");
    w.sample("rmq27_build_info", "version=\"" + escapeLabelValue(snapshot.version) + '"', "1");
    // The name on a series of its own, for Prometheus to join onto every other one by instance:
    // each bridge names its projector once, and no configuration types the names again.
    if (!snapshot.name.isEmpty()) {
        w.family("rmq27_projector_info", "gauge",
                 "The projector on this bridge's line: its name (--name) and model; always 1.");
        w.sample("rmq27_projector_info",
                 "name=\"" + escapeLabelValue(snapshot.name) + "\",model=\"RM-Q27\"", "1");
    }
    w.family("rmq27_poll_answered", "gauge",
             "1 when the projector answered every query of the last poll, else 0.");
    w.sample("rmq27_poll_answered", {}, Writer::number(snapshot.readings.answered));
    if (snapshot.lastAnsweredMsecs) {
        w.family("rmq27_last_answered_poll_timestamp_seconds", "gauge",
                 "Time of the last poll the projector answered, in seconds since the epoch.");
        w.sample("rmq27_last_answered_poll_timestamp_seconds", {},
                 QByteArray::number(double(*snapshot.lastAnsweredMsecs) / 1000.0, 'f', 3));
    }
    w.gauge("rmq27_serial_line_open", "1 while the serial line to the projector is open.",
            snapshot.lineOpen);
    if (!snapshot.openConnections.empty()) {
        w.family("rmq27_open_connections", "gauge", "Client connections open now, by protocol.");
        for (const auto& [protocol, count] : snapshot.openConnections) {
            w.sample("rmq27_open_connections", "protocol=\"" + escapeLabelValue(protocol) + '"',
                     Writer::number(count));
        }
    }
    writeReadings(w, snapshot.readings);
    writeCounters(w, snapshot.counters);
    return w.out;
}
