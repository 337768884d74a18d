#include "ctl/ctl_session.h"

#include "core/exchange_frame.h"
#include "ctl/ctl_json.h"

CtlSession::CtlSession(Setup setup, Sink out, Sink err, QObject* parent)
    : QObject(parent), setup_(std::move(setup)), out_(std::move(out)), err_(std::move(err)) {
    connect(&exchange_, &Exchange::finished, this, &CtlSession::onFinished);
    connect(&exchange_, &Exchange::event, this, [this](const ExchangeEvent& event) {
        if (const std::optional<QString> warning = log_.write(event)) {
            err_(*warning);
        }
    });
}

void CtlSession::start() {
    // A log that cannot be kept is one warning; the actions run all the same.
    if (!setup_.logFile.isEmpty()) {
        if (const std::optional<QString> warning = log_.open(setup_.logFile)) {
            err_(*warning);
        }
    }
    if (setup_.unavailable) {
        failRest(*setup_.unavailable, std::nullopt);
        return;
    }
    RemedyWords words = shellRemedyWords(QStringLiteral("rmq27-ctl"));
    if (setup_.portGiven) {
        // The device was named already: the advice is to check it, not to name one.
        words.nameDevice = QStringLiteral("check the device given with %1");
    }
    exchange_.setRemedyWords(words);
    exchange_.setTimings(setup_.timings);
    exchange_.setPassword(setup_.password);
    if (const Result<> opened =
            exchange_.open(setup_.device, setup_.settings, QStringLiteral("--port"));
        !opened) {
        failRest(opened.failure().text(words), std::nullopt);
        return;
    }
    next();
}

void CtlSession::next() {
    if (next_ >= setup_.actions.size()) {
        finish();
        return;
    }
    const CtlAction& action = setup_.actions[next_];
    exchange_.start(action.code, setup_.timeoutMs.value_or(action.windowMs));
}

void CtlSession::onFinished(const ExchangeResult& result) {
    if (done_) {
        return;
    }
    if (result.outcome == ExchangeOutcome::PortFailed) {
        failRest(result.error, result);
        return;
    }
    report(setup_.actions[next_++], result);
    next();
}

void CtlSession::failRest(const QString& description, std::optional<ExchangeResult> current) {
    portFailed_ = true;
    // One message for the port, however many actions it ends.
    err_(description);
    for (; next_ < setup_.actions.size(); ++next_) {
        const CtlAction& action = setup_.actions[next_];
        ExchangeResult r = current.value_or(ExchangeResult{});
        current.reset();
        r.outcome = ExchangeOutcome::PortFailed;
        r.code = action.code;
        r.windowMs = setup_.timeoutMs.value_or(action.windowMs);
        if (r.transcript.isEmpty()) {
            r.transcript = NoReplyMark;
        }
        if (setup_.json) {
            out_(asciiJson(resultJson(action, r, description)));
        }
    }
    finish();
}

void CtlSession::report(const CtlAction& action, const ExchangeResult& r) {
    const QString error = messageFor(action, r);
    if (!error.isEmpty()) {
        err_(error);
    }
    if (r.outcome == ExchangeOutcome::Refused) {
        refused_ = true;
    } else if (r.outcome == ExchangeOutcome::NoReply) {
        unanswered_ = true;
    } else if (!r.ok()) {
        unreadable_ = true;
    }
    if (setup_.json) {
        out_(asciiJson(resultJson(action, r, error)));
    } else {
        // The panel's reading: its status line where it shows one, else its received line.
        out_(r.status.value_or(r.transcript));
    }
}

QString CtlSession::messageFor(const CtlAction& action, const ExchangeResult& r) const {
    const QString port = exchange_.portLabel();
    const QString what = QStringLiteral("%1 (%2)").arg(action.name, action.code);
    switch (r.outcome) {
    case ExchangeOutcome::Answered:
    case ExchangeOutcome::Acknowledged:
        return r.ok() ? QString() : r.error;
    case ExchangeOutcome::Refused:
        return QStringLiteral("%1: the projector refused %2 (NAK); %3")
            .arg(port, what,
                 action.name == QLatin1String("raw")
                     ? QStringLiteral("check the code (rmq27-ctl --list shows the panel's codes)")
                     : QStringLiteral("it may not take this command in its present state"));
    case ExchangeOutcome::NoReply:
        if (r.sent.isEmpty()) {
            return r.error + QStringLiteral("; something else is sending on this line");
        }
        if (r.received.isEmpty()) {
            return QStringLiteral("%1: no reply to %2 within %3 ms; check that the projector is "
                                  "on and wired to this port, and that --baud is its line speed")
                .arg(port, what)
                .arg(r.windowMs);
        }
        return QStringLiteral("%1: the reply to %2 did not end (no carriage return) within %3 ms; "
                              "check --baud, or give a longer --timeout")
            .arg(port, what)
            .arg(r.windowMs);
    case ExchangeOutcome::PortFailed:
        break;
    }
    return r.error;
}

void CtlSession::finish() {
    if (done_) {
        return;
    }
    done_ = true;
    exchange_.close();
    emit finished(portFailed_ || unreadable_ ? ExitPortFailed
                  : unanswered_              ? ExitNoReply
                  : refused_                 ? ExitRefused
                                             : ExitOk);
}
