#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// One event of a serial line, as every program reports it for its log: the line opened, closed,
// lost or failed, a command sent, reply bytes received (in time or late), or a reply window that
// closed with nothing in it.
struct ExchangeEvent {
    enum class Kind { Opened, Closed, Lost, Failed, Sent, Received, NoReply, Late };
    Kind kind;
    QString port;                  // "COM1"
    QString device;                // "/dev/ttyUSB0", "rfc2217://host:7001"
    QByteArray bytes;              // exactly the bytes (Sent, Received, Late)
    QString message;               // Failed / Lost description; NoReply: what drew no reply
    std::optional<QString> status; // the status reading, where one was decoded
};
