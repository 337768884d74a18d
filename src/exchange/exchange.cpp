#include "exchange/exchange.h"

#include "core/bindings.h"
#include "core/exchange_frame.h"
#include "core/failure.h"
#include "core/reply_decoder.h"
#include "core/transcript.h"

#include <utility>

namespace {

// The panel's command prefix: set once at its start-up, always empty.
const QString CmdPrefix;

QByteArray bytesOf(const QString& text) {
    return text.toLatin1();
}

} // namespace

QString outcomeName(ExchangeOutcome outcome) {
    switch (outcome) {
    case ExchangeOutcome::Answered:
        return QStringLiteral("answered");
    case ExchangeOutcome::Acknowledged:
        return QStringLiteral("acknowledged");
    case ExchangeOutcome::Refused:
        return QStringLiteral("refused");
    case ExchangeOutcome::NoReply:
        return QStringLiteral("no-reply");
    case ExchangeOutcome::PortFailed:
        break;
    }
    return QStringLiteral("port-failed");
}

bool ExchangeResult::ok() const {
    return (outcome == ExchangeOutcome::Answered || outcome == ExchangeOutcome::Acknowledged) &&
           error.isEmpty();
}

Exchange::Exchange(QObject* parent) : QObject(parent) {
    guard_.setSingleShot(true);
    window_.setSingleShot(true);
    // Coarse timers may fire up to 5% early; the window is a deadline.
    guard_.setTimerType(Qt::PreciseTimer);
    window_.setTimerType(Qt::PreciseTimer);
    connect(&guard_, &QTimer::timeout, this, &Exchange::guardTick);
    connect(&window_, &QTimer::timeout, this, &Exchange::windowTick);
    connect(&port_, &CommPort::onComm, this, &Exchange::onComm);
    connect(&port_, &CommPort::lost, this, &Exchange::portLost);
    sinceActivity_.start();
}

Result<> Exchange::open(const QString& device, const QString& settings,
                        const QString& deviceOption) {
    try {
        port_.setCommPort(1);
        port_.setDevice(1, device);
        port_.setDeviceOptionName(deviceOption);
        port_.setSettings(settings);
        port_.setPortOpen(true);
    } catch (const StepFailure& failure) {
        // A line opened again and again while it is away fails the same way each time: the log
        // records the failure once, and again only when it changes.
        const QString text = worded(failure.failure());
        if (text != lastOpenFailure_) {
            lastOpenFailure_ = text;
            note(ExchangeEvent::Kind::Failed, {}, text);
        }
        return failure.failure();
    }
    lastOpenFailure_.clear();
    // Whatever the device still holds or still sends from before is not a reply to anything sent
    // from here: it is drained before the first send, which waits for a short quiet besides.
    sinceActivity_.start();
    quietNeeded_ = timings_.openQuietMs;
    note(ExchangeEvent::Kind::Opened);
    return succeeded();
}

void Exchange::close() {
    if (busy()) {
        // The exchange in progress still ends with its one finished(), from the event loop.
        guard_.stop();
        window_.stop();
        QMetaObject::invokeMethod(
            this,
            [this] {
                conclude(ExchangeOutcome::PortFailed,
                         QStringLiteral("%1 was closed before %2 was answered")
                             .arg(portLabel(), result_.code));
            },
            Qt::QueuedConnection);
    }
    if (!port_.portOpen()) {
        return;
    }
    port_.setPortOpen(false);
    note(ExchangeEvent::Kind::Closed);
}

bool Exchange::isOpen() const {
    return port_.portOpen();
}

QString Exchange::portLabel() const {
    return port_.portLabel();
}

int Exchange::windowFor(const QString& code) {
    for (const OneShotBinding& b : oneShotBindings()) {
        if (code == QLatin1String(b.code)) {
            return replyWindowMs(b.kind);
        }
    }
    for (const HoldBinding& h : holdBindings()) {
        if (code == QLatin1String(h.code)) {
            return h.replyWindowMs();
        }
    }
    return StoredReplyWindowMs;
}

void Exchange::start(const QString& code, int windowMs, bool ownPace) {
    Q_ASSERT(!busy());
    if (ownPace && quietNeeded_ == timings_.guardMs) {
        quietNeeded_ = 0; // late bytes are still drained and dropped before the send
    }
    result_ = ExchangeResult{};
    result_.code = code;
    result_.windowMs = windowMs;
    state_ = State::Guarding;
    sinceStart_.start();
    // Even a quiet line is sent to from the event loop, so that finished() never comes from here.
    guard_.start(0);
}

void Exchange::guardTick() {
    if (state_ != State::Guarding) {
        return;
    }
    if (!port_.portOpen()) {
        conclude(ExchangeOutcome::PortFailed,
                 QStringLiteral("%1 is not open; %2 was not sent").arg(portLabel(), result_.code));
        return;
    }
    const qint64 quiet = sinceActivity_.elapsed();
    if (quiet >= quietNeeded_) {
        send();
        return;
    }
    if (sinceStart_.elapsed() >= timings_.quietLimitMs) {
        conclude(ExchangeOutcome::NoReply,
                 QStringLiteral("%1: the line never kept quiet for %2 ms within %3 ms, so %4 was "
                                "not sent")
                     .arg(portLabel())
                     .arg(quietNeeded_)
                     .arg(timings_.quietLimitMs)
                     .arg(result_.code));
        return;
    }
    guard_.start(int(quietNeeded_ - quiet));
}

void Exchange::send() {
    // Bytes that came but were not yet announced are not a reply to this command: drained here,
    // they are late, and the line must keep quiet again.
    if (const QString stale = port_.input(); !stale.isEmpty()) {
        sinceActivity_.start();
        late(stale);
        guard_.start(quietNeeded_);
        return;
    }
    const QString sent = frameCommand(CmdPrefix, result_.code);
    try {
        port_.output(sent);
    } catch (const StepFailure& failure) {
        const QString description = worded(failure.failure());
        const bool gone = !port_.portOpen();
        if (gone) {
            note(ExchangeEvent::Kind::Lost, {}, description);
        } else {
            note(ExchangeEvent::Kind::Failed, {}, description);
        }
        conclude(ExchangeOutcome::PortFailed, description);
        if (gone) {
            emit lost(description);
        }
        return;
    }
    result_.sent = sent;
    sinceSend_.start();
    state_ = State::Waiting;
    window_.start(result_.windowMs);
    note(ExchangeEvent::Kind::Sent, sent);
}

void Exchange::onComm() {
    if (port_.commEvent() != CommPort::ComEvReceive) {
        return;
    }
    const QString text = port_.input();
    if (text.isEmpty()) {
        return;
    }
    sinceActivity_.start();
    if (state_ == State::Waiting && sinceSend_.elapsed() >= result_.windowMs) {
        // The window's tick has not run yet, but its deadline has passed: these bytes are late.
        concludeReply({});
    }
    if (state_ != State::Waiting) {
        late(text);
        return;
    }
    const qsizetype cr = text.indexOf(QChar(CommandEnd));
    const QString piece = cr < 0 ? text : text.left(cr + 1);
    result_.received += piece.left(qMax<qsizetype>(0, ReceiveLimit - result_.received.size()));
    if (cr < 0) {
        note(ExchangeEvent::Kind::Received, piece.left(ReceiveLimit));
        return;
    }
    result_.complete = true;
    result_.replyMs = sinceSend_.elapsed();
    const QString rest = text.mid(cr + 1);
    concludeReply(piece.left(ReceiveLimit));
    if (!rest.isEmpty()) {
        late(rest);
    }
}

void Exchange::late(const QString& text) {
    // A flood between windows is reported in bounded pieces, never kept.
    note(ExchangeEvent::Kind::Late, text.left(ReceiveLimit));
}

void Exchange::windowTick() {
    if (state_ != State::Waiting) {
        return;
    }
    const qint64 left = result_.windowMs - sinceSend_.elapsed();
    if (left > 0) {
        window_.start(int(left));
        return;
    }
    concludeReply({});
}

// The window has closed, at the reply's CR (lastPiece: the piece that brought it) or at its
// deadline: read what it holds.
void Exchange::concludeReply(const QString& lastPiece) {
    window_.stop();
    ExchangeResult& r = result_;
    std::optional<QString> failure;
    if (r.received.isEmpty()) {
        r.transcript = NoReplyMark;
    } else {
        r.transcript = renderTranscript(r.received);
        const ReplyReading reading =
            decodeReply(frameCommand(CmdPrefix, r.code), CmdPrefix, r.transcript, 0);
        r.status = reading.status;
        r.values = readStatusValues(r.code, r.received);
        failure = reading.failure;
    }
    if (r.complete) {
        note(ExchangeEvent::Kind::Received, lastPiece, {}, r.status);
    }
    if (failure) {
        conclude(ExchangeOutcome::Answered,
                 QStringLiteral("%1: %2: %3").arg(portLabel(), r.code, *failure));
    } else if (!r.complete) {
        const QString what =
            r.received.isEmpty()
                ? QStringLiteral("no reply to %1 within %2 ms")
                : QStringLiteral("the reply to %1 did not end (no carriage return) within %2 ms");
        const QString error =
            QStringLiteral("%1: %2").arg(portLabel(), what.arg(r.code).arg(r.windowMs));
        note(ExchangeEvent::Kind::NoReply, {}, error);
        conclude(ExchangeOutcome::NoReply, error);
    } else if (r.received == AckReply) {
        conclude(ExchangeOutcome::Acknowledged, {});
    } else if (r.received == NakReply) {
        conclude(ExchangeOutcome::Refused,
                 QStringLiteral("%1: the projector refused %2 (NAK)").arg(portLabel(), r.code));
    } else {
        conclude(ExchangeOutcome::Answered, {});
    }
}

void Exchange::conclude(ExchangeOutcome outcome, const QString& error) {
    if (state_ == State::Idle) {
        return;
    }
    guard_.stop();
    window_.stop();
    // The quiet before the next send counts from here; after a window that closed without its
    // reply, long enough for a slow projector's late answer to arrive and be dropped.
    sinceActivity_.start();
    quietNeeded_ = result_.complete ? timings_.guardMs : timings_.quietAfterSilenceMs;
    state_ = State::Idle;
    result_.outcome = outcome;
    result_.error = error;
    if (result_.transcript.isEmpty()) {
        result_.transcript = NoReplyMark;
    }
    const ExchangeResult result = std::exchange(result_, ExchangeResult{});
    emit finished(result);
}

void Exchange::portLost(const Failure& failure) {
    const QString text = worded(failure);
    note(ExchangeEvent::Kind::Lost, {}, text);
    conclude(ExchangeOutcome::PortFailed, text);
    emit lost(text);
}

void Exchange::note(ExchangeEvent::Kind kind, const QString& text, const QString& message,
                    const std::optional<QString>& status) {
    emit event(ExchangeEvent{kind, QStringLiteral("COM1"), port_.device(1), bytesOf(text), message,
                             status});
}
