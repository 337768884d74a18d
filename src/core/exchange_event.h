#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// One event of a line, as a log records it: the line opened, closed, went away or failed; bytes
// went out or came in within a reply window; a window closed with no reply; bytes came in outside
// any window (late) and were dropped.
struct ExchangeEvent {
    enum class Kind { Opened, Closed, Lost, Failed, Sent, Received, NoReply, Late };
    Kind kind;
    QString port;                  // "COM1"
    QString device;                // "/dev/ttyUSB0", "rfc2217://host:7001"
    QByteArray bytes;              // exactly the bytes (Sent, Received, Late)
    QString message;               // Failed / Lost: the description; NoReply: what drew no reply
    std::optional<QString> status; // the status reading, where one was decoded
};
