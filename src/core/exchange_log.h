#pragma once

#include "core/exchange_event.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <optional>

// The record of a run: one line per event of the line, appended to a file the user names and
// flushed line by line, so that a log is complete up to the moment a program stops however it
// stops. Each line holds, tab-separated: local time with milliseconds and UTC offset, the port,
// its device, what happened, the bytes in hex, the bytes as the panel renders them, and the
// status reading or message.
//
// A log that cannot be opened or written gives its one warning to the caller and is closed; the
// program goes on without it. Opening never blocks (a FIFO without a reader is refused, not
// waited for). Anything writable will do: a regular file is appended to, never truncated; a pipe,
// a FIFO with a reader or a terminal is written line by line. A reader that goes away ends the
// log with its one warning (the programs ignore SIGPIPE, so it is a failed write).
class ExchangeLog {
public:
    // Opens the file for appending, creating it; the warning when it cannot be.
    [[nodiscard]] std::optional<QString> open(const QString& path);
    bool isOpen() const { return file_.isOpen(); }
    QString path() const { return path_; }

    // Appends one line and flushes it. A write that fails closes the log and gives its warning,
    // once; later writes do nothing.
    [[nodiscard]] std::optional<QString>
    write(const ExchangeEvent& event, const QDateTime& when = QDateTime::currentDateTime());

    // The line for one event, without its newline.
    static QString line(const QDateTime& when, const ExchangeEvent& event);

private:
    QFile file_;
    QString path_;
};
