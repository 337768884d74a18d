#include "core/exchange_log.h"

#include "core/transcript.h"

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QString kindWord(ExchangeEvent::Kind kind) {
    switch (kind) {
    case ExchangeEvent::Kind::Opened:
        return QStringLiteral("opened");
    case ExchangeEvent::Kind::Closed:
        return QStringLiteral("closed");
    case ExchangeEvent::Kind::Lost:
        return QStringLiteral("lost");
    case ExchangeEvent::Kind::Failed:
        return QStringLiteral("failed");
    case ExchangeEvent::Kind::Sent:
        return QStringLiteral("sent");
    case ExchangeEvent::Kind::Received:
        return QStringLiteral("received");
    case ExchangeEvent::Kind::NoReply:
        return QStringLiteral("no-reply");
    case ExchangeEvent::Kind::Late:
        return QStringLiteral("late");
    }
    return QStringLiteral("event");
}

// A field never holds the separators of the line: a tab, CR or LF in a message (a system's
// words, a server's text) becomes a space, so every line stays one event.
QString field(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            c = QLatin1Char(' ');
        }
    }
    return out;
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString warning(const QString& path, const QString& why) {
    return QStringLiteral("The log %1 cannot be written (%2); the exchanges of this run are not "
                          "logged. Name a writable file with --log FILE.")
        .arg(path, why);
}

} // namespace

QString ExchangeLog::line(const QDateTime& when, const ExchangeEvent& event) {
    const bool hasBytes = event.kind == ExchangeEvent::Kind::Sent ||
                          event.kind == ExchangeEvent::Kind::Received ||
                          event.kind == ExchangeEvent::Kind::Late;
    QString note = event.status ? *event.status : event.message;
    if (event.status && !event.message.isEmpty()) {
        note = event.message + QLatin1String(": ") + *event.status;
    }
    // The offset from UTC in ISO 8601's form, +01:00, whatever the local zone's abbreviation.
    const int offset = when.offsetFromUtc();
    const QString zone = QStringLiteral("%1%2:%3")
                             .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                             .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
                             .arg(qAbs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    return QStringList{when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + zone,
                       field(event.port),
                       field(event.device),
                       kindWord(event.kind),
                       hasBytes ? hex(event.bytes) : QString(),
                       hasBytes ? renderTranscript(QString::fromLatin1(event.bytes)) : QString(),
                       field(note)}
        .join(QLatin1Char('\t'));
}

std::optional<QString> ExchangeLog::open(const QString& path) {
    file_.close();
    path_ = path;
#ifdef Q_OS_UNIX
    // Non-blocking, so that a FIFO in the file's place cannot hold the program at its start, nor
    // a reader that stops reading hold it later: such a write fails and ends the log instead. A
    // terminal named as the log never becomes the program's controlling terminal.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        return warning(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    // O_APPEND already puts every write at the end of a regular file; QFile's Append would seek
    // there too, which a pipe, a FIFO or a terminal refuses (ESPIPE), so it is not asked for.
    if (!file_.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return warning(path, file_.errorString());
    }
#else
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        return warning(path, file_.errorString());
    }
#endif
    return std::nullopt;
}

std::optional<QString> ExchangeLog::write(const ExchangeEvent& event, const QDateTime& when) {
    if (!file_.isOpen()) {
        return std::nullopt;
    }
    const QByteArray bytes = (line(when, event) + QLatin1Char('\n')).toUtf8();
    if (file_.write(bytes) != bytes.size() || !file_.flush()) {
        const QString why = file_.errorString();
        file_.close();
        return warning(path_, why);
    }
    return std::nullopt;
}
