#pragma once

#include "core/readings.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <array>
#include <optional>
#include <utility>
#include <vector>

// The power states a status reply can report, as one state set: exactly one of them holds.
enum class PowerState { On, Standby, WarmUp, CoolingDown, PowerFail };
inline constexpr std::array<PowerState, 5> AllPowerStates{
    PowerState::On, PowerState::Standby, PowerState::WarmUp, PowerState::CoolingDown,
    PowerState::PowerFail};
QString
powerStateName(PowerState state); // "on", "standby", "warm_up", "cooling_down", "power_fail"

// What the last poll read. A reading the poll did not get, or could not parse, stays empty and
// is left out of the scrape: an absent series, never a made-up 0.
struct PolledReadings {
    bool answered = false; // every query of the last poll drew a reply
    std::optional<PowerState> power;
    std::optional<bool> temperatureWarning;
    std::optional<bool> lampFailure;
    std::optional<qint64> lampHours;
    std::array<std::optional<double>, 3> temperatureCelsius;
    std::optional<int> pressureHpa;
    std::optional<int> inputMode; // 1..4
    std::optional<bool> pictureMuted;
    std::optional<int> lampsLit; // bit0 = lamp 1, bit1 = lamp 2
};

// The queries of one poll, in the order they go out.
const QStringList& pollQueries();

// Counted since the bridge started.
struct MetricsCounters {
    quint64 exchanges = 0;
    quint64 replyTimeouts = 0;
    quint64 lineLosses = 0;
    quint64 pjlinkConnections = 0;
    quint64 authenticationFailures = 0;
    std::array<quint64, 7> unparsedReadings{}; // by the index of the query in pollQueries()
    // Exchanges by the kind of user whose turn it was ("pjlink", "poll", "native"), in the order
    // shown.
    std::vector<std::pair<QString, quint64>> userExchanges{};
};

// Everything one scrape shows: the last completed poll, the counters, and when a poll was last
// answered (kept across polls that were not).
struct MetricsSnapshot {
    PolledReadings readings;
    std::optional<qint64> lastAnsweredMsecs; // since the epoch
    std::optional<bool> lineOpen;            // the serial line is open now
    MetricsCounters counters;
    std::vector<std::pair<QString, quint64>> openConnections{}; // by protocol ("pjlink", "native")
    QString version;
    QString name{}; // the projector's name (--name), as PJLink NAME ? gives it; none: not shown
};

// Takes the values read from one query's reply into readings. Returns how many of the values
// that query should give could not be read from the reply (0 when all of them were).
int takeReading(PolledReadings& readings, const QString& query, const StatusValues& values);
