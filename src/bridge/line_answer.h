#pragma once

#include <QString>
#include <optional>

// What one serial exchange came to, as the PJLink side needs it: the outcome and the readings of
// the reply table row that matched.
struct LineAnswer {
    enum class Outcome {
        Answered,     // a reply other than ACK or NAK
        Acknowledged, // ACK CR
        Refused,      // NAK CR
        NoReply,      // nothing complete within the reply window
        LineDown,     // the serial line is not open (lost, or never opened)
    };
    Outcome outcome = Outcome::LineDown;
    std::optional<QString> row;      // the matched row's reply characters: "00", "80", "1", "FF"
    std::optional<qint64> lampHours; // the lamp-hours reply's leading digits
};
