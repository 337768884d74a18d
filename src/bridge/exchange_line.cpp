#include "bridge/exchange_line.h"

#include "core/failure.h"

namespace {

LineAnswer::Outcome outcomeOf(ExchangeOutcome outcome) {
    switch (outcome) {
    case ExchangeOutcome::Answered:
        return LineAnswer::Outcome::Answered;
    case ExchangeOutcome::Acknowledged:
        return LineAnswer::Outcome::Acknowledged;
    case ExchangeOutcome::Refused:
        return LineAnswer::Outcome::Refused;
    case ExchangeOutcome::NoReply:
        return LineAnswer::Outcome::NoReply;
    case ExchangeOutcome::PortFailed:
        break;
    }
    return LineAnswer::Outcome::LineDown;
}

} // namespace

ExchangeLine::ExchangeLine(QString device, QString settings,
                           std::function<void(const QString&)> log, QObject* parent)
    : LineRunner(parent), device_(std::move(device)), settings_(std::move(settings)),
      log_(std::move(log)) {
    reopen_.setSingleShot(true);
    reopen_.setInterval(ReopenMs);
    connect(&reopen_, &QTimer::timeout, this, &ExchangeLine::tryOpen);
    exchange_.setRemedyWords(words());
    connect(&exchange_, &Exchange::finished, this, &ExchangeLine::onFinished);
    connect(&exchange_, &Exchange::lost, this, &ExchangeLine::onLost);
}

void ExchangeLine::open() {
    exchange_.setRemedyWords(words());
    tryOpen();
}

// The bridge opens a lost line again by itself; only a restart is the operator's to do. A device
// the operator named and that is not there wants connecting (or the name mending), not naming.
RemedyWords ExchangeLine::words() const {
    RemedyWords words = shellRemedyWords();
    words.restart = QStringLiteral("restart the bridge");
    if (!deviceChosen_) {
        words.nameDevice = QStringLiteral("connect it or correct %1");
    }
    return words;
}

bool ExchangeLine::isUp() const {
    return exchange_.isOpen();
}

void ExchangeLine::start(const QString& code, bool ownPace) {
    exchange_.start(code, Exchange::windowFor(code), ownPace);
}

void ExchangeLine::tryOpen() {
    if (exchange_.isOpen()) {
        return;
    }
    const bool wasDown = !state_.isEmpty();
    if (const Result<> opened = exchange_.open(device_, settings_, QStringLiteral("--port"));
        !opened) {
        ++failedOpens_;
        const QString text = opened.failure().text(words());
        note(QStringLiteral("failed: ") + text,
             QStringLiteral("%1; trying again every %2 s, answering ERR4 meanwhile")
                 .arg(text)
                 .arg(reopen_.interval() / 1000.0));
        reopen_.start();
        return;
    }
    note(QStringLiteral("open"),
         wasDown ? QStringLiteral("%1: line open again").arg(exchange_.portLabel())
                 : QStringLiteral("%1: line open (%2)").arg(exchange_.portLabel(), settings_));
}

void ExchangeLine::onFinished(const ExchangeResult& r) {
    LineAnswer answer;
    answer.outcome = outcomeOf(r.outcome);
    answer.row = r.values.row;
    answer.lampHours = r.values.lampHours;
    if (r.complete) {
        answer.reply = r.received.toLatin1();
    }
    emit result(r);
    emit answered(answer);
}

void ExchangeLine::onLost(const QString& description) {
    ++losses_;
    note(QStringLiteral("lost"), QStringLiteral("%1; trying again every %2 s, answering ERR4 "
                                                "meanwhile")
                                     .arg(description)
                                     .arg(reopen_.interval() / 1000.0));
    reopen_.start();
}

void ExchangeLine::note(const QString& state, const QString& line) {
    // A failed open logs again only when its description changes.
    if (state == state_) {
        return;
    }
    state_ = state;
    if (log_) {
        log_(line);
    }
}
