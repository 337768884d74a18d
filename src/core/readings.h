#pragma once

#include <QString>
#include <array>
#include <optional>

// A status reply read as values, beside the status line's text and from the same tables, so a
// script or a bridge never parses the panel's display. A field is set only where the reply gives
// it: an unknown reply leaves every field empty.
struct StatusValues {
    // The reply characters of the table row that matched ("00", "80", "1", "FF"): set for CR0,
    // CR1, CR4, CRA and CR7 when a row matched, exactly when the status line shows that row.
    std::optional<QString> row;
    std::optional<QString> power;    // CR0: "on", "standby", "count-down", "cooling-down", ...
    std::optional<int> inputMode;    // CR1: 1..4
    std::optional<QString> reversal; // CR4: "normal", "top-bottom", "left-right", ...
    std::optional<qint64> lampHours; // CR3: the reply's leading digits
    // CR6: the reply's own characters of each reading (so no sign is lost), and each as a number
    // where it is one.
    std::array<std::optional<QString>, 3> temperatureText;
    std::array<std::optional<double>, 3> temperatureCelsius;
    std::optional<int> pressureHpa; // CR PRESSURE: the figure the status line shows
    std::optional<QString> mute;    // CRA: "off", "video", "audio", "video-audio", "no-signal", ...
    std::optional<QString> lampMode; // CR7: "two-lamp", "one-lamp-no1", "one-lamp-no2"
    std::optional<int> lampsLit;     // CR7: the lit lamps, bit 0 = No1, bit 1 = No2
};

// code: the bare code ("CR0"); received: the raw received text, one character per byte.
StatusValues readStatusValues(const QString& code, const QString& received);
