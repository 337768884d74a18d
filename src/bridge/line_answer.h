#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// What one serial exchange came to: the outcome and the readings of the reply table row that
// matched (for the PJLink side), and the reply itself (for the native side).
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
    // The bytes the projector answered within the window, up to and including CR (one byte per
    // character); empty when nothing complete came. The native side passes them on as they are.
    QByteArray reply{};
};
