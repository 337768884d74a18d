#include "bridge/metrics/metrics_snapshot.h"

#include <QLatin1String>
#include <cmath>
#include <limits>

namespace {

struct OperatingRow {
    const char* row; // the reply characters of the status table's row
    PowerState power;
    bool temperatureWarning;
    bool lampFailure;
};

// Every row of the operating status table, read as a power state and two fault flags. A lamp
// switched off by power management is standby; "no key input" is on.
constexpr std::array<OperatingRow, 13> kOperatingRows{{
    {"00", PowerState::On, false, false},
    {"80", PowerState::Standby, false, false},
    {"40", PowerState::WarmUp, false, false},
    {"20", PowerState::CoolingDown, false, false},
    {"10", PowerState::PowerFail, false, false},
    {"08", PowerState::On, true, false},
    {"02", PowerState::On, false, false},
    {"04", PowerState::Standby, false, false},
    {"28", PowerState::CoolingDown, true, false},
    {"24", PowerState::Standby, true, false},
    {"88", PowerState::Standby, true, false},
    {"21", PowerState::CoolingDown, false, true},
    {"81", PowerState::Standby, false, true},
}};

int readOperatingStatus(PolledReadings& readings, const std::optional<QString>& row) {
    for (const OperatingRow& r : kOperatingRows) {
        if (row && *row == QLatin1String(r.row)) {
            readings.power = r.power;
            readings.temperatureWarning = r.temperatureWarning;
            readings.lampFailure = r.lampFailure;
            return 0;
        }
    }
    return 1;
}

// Video mute is on in rows 01 and 03, off in 00, 02 and 80; in standby (FF) there is no picture
// to mute, so no reading, and nothing that failed to parse either.
int readMute(PolledReadings& readings, const std::optional<QString>& row) {
    if (!row) {
        return 1;
    }
    if (*row == QLatin1String("01") || *row == QLatin1String("03")) {
        readings.pictureMuted = true;
    } else if (*row == QLatin1String("00") || *row == QLatin1String("02") ||
               *row == QLatin1String("80")) {
        readings.pictureMuted = false;
    } else if (*row != QLatin1String("FF")) {
        return 1;
    }
    return 0;
}

template <typename T> int copy(std::optional<T>& into, const std::optional<T>& from) {
    into = from;
    return from ? 0 : 1;
}

} // namespace

QString powerStateName(PowerState state) {
    switch (state) {
    case PowerState::On:
        return QStringLiteral("on");
    case PowerState::Standby:
        return QStringLiteral("standby");
    case PowerState::WarmUp:
        return QStringLiteral("warm_up");
    case PowerState::CoolingDown:
        return QStringLiteral("cooling_down");
    case PowerState::PowerFail:
        return QStringLiteral("power_fail");
    }
    return {};
}

const QStringList& pollQueries() {
    static const QStringList queries{QStringLiteral("CR0"), QStringLiteral("CR1"),
                                     QStringLiteral("CR3"), QStringLiteral("CR6"),
                                     QStringLiteral("CRA"), QStringLiteral("CR PRESSURE"),
                                     QStringLiteral("CR7")};
    return queries;
}

int takeReading(PolledReadings& readings, const QString& query, const StatusValues& values) {
    if (query == QLatin1String("CR0")) {
        return readOperatingStatus(readings, values.row);
    }
    if (query == QLatin1String("CR1")) {
        const bool known = values.inputMode && *values.inputMode >= 1 && *values.inputMode <= 4;
        readings.inputMode = known ? values.inputMode : std::nullopt;
        return known ? 0 : 1;
    }
    if (query == QLatin1String("CR3")) {
        // Hours past what seconds can hold in 64 bits are no reading either.
        const bool usable = values.lampHours && *values.lampHours >= 0 &&
                            *values.lampHours <= std::numeric_limits<qint64>::max() / 3600;
        readings.lampHours = usable ? values.lampHours : std::nullopt;
        return usable ? 0 : 1;
    }
    if (query == QLatin1String("CR6")) {
        int missing = 0;
        for (std::size_t i = 0; i < readings.temperatureCelsius.size(); ++i) {
            const std::optional<double>& t = values.temperatureCelsius[i];
            const bool usable = t && std::isfinite(*t);
            readings.temperatureCelsius[i] = usable ? t : std::nullopt;
            missing += usable ? 0 : 1;
        }
        return missing;
    }
    if (query == QLatin1String("CRA")) {
        return readMute(readings, values.row);
    }
    if (query == QLatin1String("CR PRESSURE")) {
        return copy(readings.pressureHpa, values.pressureHpa);
    }
    if (query == QLatin1String("CR7")) {
        return copy(readings.lampsLit, values.lampsLit);
    }
    return 0;
}
