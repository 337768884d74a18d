#include "ctl/ctl_session.h"

#include "core/failure.h"
#include "core/reply_decoder.h"
#include "core/transcript.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The panel's command prefix: set once at its start-up, always empty.
const QString CmdPrefix;

// What the panel's received line shows when a reply window ends with nothing received.
const QString NoReplyMark = QStringLiteral(" X X X X");

// Compact JSON in plain ASCII: every character beyond it (a received byte 0x7F to 0xFF) as \uXXXX,
// so the line reads the same in any locale and a byte value survives a round trip.
QString asciiJson(const QJsonObject& object) {
    const QString json = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    QString out;
    out.reserve(json.size());
    for (const QChar c : json) {
        if (c.unicode() < 0x7F) {
            out += c;
        } else {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        }
    }
    return out;
}

} // namespace

CtlSession::CtlSession(Setup setup, Sink out, Sink err, QObject* parent)
    : QObject(parent), setup_(std::move(setup)), out_(std::move(out)), err_(std::move(err)) {
    window_.setSingleShot(true);
    connect(&window_, &QTimer::timeout, this, [this] { guarded([this] { windowEnded(); }); });
    connect(&port_, &CommPort::onComm, this, [this] { guarded([this] { onComm(); }); });
    connect(&port_, &CommPort::lost, this, &CtlSession::failPort);
}

template <typename Work> void CtlSession::guarded(Work&& work) {
    try {
        work();
    } catch (const PanelFailure& failure) {
        failPort(failure.description());
    } catch (const std::exception& failure) {
        failPort(QString::fromLocal8Bit(failure.what()));
    }
}

void CtlSession::start() {
    guarded([this] {
        port_.setCommPort(1);
        port_.setDevice(1, setup_.device);
        port_.setDeviceOptionName(QStringLiteral("--port"));
        port_.setSettings(setup_.settings);
        port_.setPortOpen(true);
        sendNext();
    });
}

void CtlSession::sendNext() {
    if (next_ >= setup_.actions.size()) {
        finish(unreadable_ ? 1 : unanswered_ ? 3 : 0);
        return;
    }
    current_ = &setup_.actions[next_++];
    // Whatever is still waiting (a late answer to the previous action) is not this reply.
    port_.input();
    received_.clear();
    crSeen_ = false;
    replyMs_ = -1;
    sendCmd_ = CmdPrefix + current_->code + QChar(13);
    port_.output(sendCmd_);
    clock_.start();
    window_.start(setup_.timeoutMs.value_or(current_->windowMs));
}

void CtlSession::onComm() {
    if (port_.commEvent() != CommPort::ComEvReceive) {
        return;
    }
    const QString text = port_.input();
    if (!current_ || crSeen_) {
        return;
    }
    const qsizetype cr = text.indexOf(QChar(13));
    const QString piece = cr < 0 ? text : text.left(cr + 1);
    received_ += piece.left(qMax<qsizetype>(0, ReplyLimit - received_.size()));
    if (cr >= 0) {
        crSeen_ = true;
        replyMs_ = clock_.elapsed();
        conclude(true);
    }
}

void CtlSession::windowEnded() {
    if (current_) {
        conclude(false);
    }
}

void CtlSession::conclude(bool complete) {
    window_.stop();
    const CtlAction& action = *current_;
    current_ = nullptr;
    const int windowMs = setup_.timeoutMs.value_or(action.windowMs);
    const QString what = QStringLiteral("%1 (%2)").arg(action.name, action.code);

    QString line;
    std::optional<QString> status;
    std::optional<QString> error;
    if (received_.isEmpty()) {
        line = NoReplyMark;
        error = QStringLiteral("%1: no reply to %2 within %3 ms")
                    .arg(port_.portLabel(), what)
                    .arg(windowMs);
        unanswered_ = true;
    } else {
        // The panel's reading: the received text rendered as its received line shows it, and
        // that line decoded against the command sent.
        const QString transcript = renderTranscript(received_);
        const ReplyReading reading = decodeReply(sendCmd_, CmdPrefix, transcript, pressVal_);
        pressVal_ = reading.pressVal;
        status = reading.status;
        line = status.value_or(transcript);
        if (reading.failure) {
            error = QStringLiteral("%1: %2: %3").arg(port_.portLabel(), what, *reading.failure);
            unreadable_ = true;
        } else if (!complete) {
            error = QStringLiteral("%1: the reply to %2 did not end (no carriage return) within "
                                   "%3 ms")
                        .arg(port_.portLabel(), what)
                        .arg(windowMs);
            unanswered_ = true;
        }
    }
    if (error) {
        err_(*error);
    }
    if (setup_.json) {
        QJsonObject o;
        o[QLatin1String("action")] = action.name;
        o[QLatin1String("code")] = action.code;
        o[QLatin1String("sent")] = sendCmd_;
        o[QLatin1String("received")] = received_;
        o[QLatin1String("transcript")] =
            received_.isEmpty() ? NoReplyMark : renderTranscript(received_);
        o[QLatin1String("status")] = status ? QJsonValue(*status) : QJsonValue();
        o[QLatin1String("ms")] = replyMs_ >= 0 ? QJsonValue(replyMs_) : QJsonValue();
        o[QLatin1String("ok")] = !error.has_value();
        if (error) {
            o[QLatin1String("error")] = *error;
        }
        out_(asciiJson(o));
    } else {
        out_(line);
    }
    sendNext();
}

void CtlSession::failPort(const QString& description) {
    if (done_) {
        return;
    }
    err_(description);
    finish(1);
}

void CtlSession::finish(int exitCode) {
    if (done_) {
        return;
    }
    done_ = true;
    current_ = nullptr;
    window_.stop();
    try {
        port_.setPortOpen(false);
    } catch (const PanelFailure&) {
        // Closing cannot fail today; the run is over either way.
    }
    emit finished(exitCode);
}
