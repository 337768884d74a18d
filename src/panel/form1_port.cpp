// The port and speed switches of the settings group, and the receive path.
#include "panel/form1.h"

#include "core/failure.h"
#include "serial/comm_port.h"

#include <QAbstractButton>
#include <QFrame>
#include <optional>

namespace {

// Runs one step of the port switch and gives its failure, if it failed.
template <typename Step> std::optional<QString> failureOf(Step&& step) {
    try {
        step();
    } catch (const StepFailure& failure) {
        return failure.description();
    }
    return std::nullopt;
}

} // namespace

void Form1::portSwitch(qint16 target, qint16 fallback) {
    // Every step runs even after an earlier one failed, except the open; the last failure is
    // the one reported. The port is opened on the target whether or not it was open before: a
    // port left closed by a failure or a lost device is reopened by choosing it again.
    std::optional<QString> failure = failureOf([this] {
        if (MSComm1->portOpen()) {
            MSComm1->setPortOpen(false);
        }
    });
    if (auto numberFailure = failureOf([this, target] { MSComm1->setCommPort(target); })) {
        failure = numberFailure;
    }
    if (!failure) {
        failure = failureOf([this] { MSComm1->setPortOpen(true); });
    }
    if (failure) {
        // The port stays closed, the clicked option stays selected and the group stays shown.
        guard.report(*failure);
        MSComm1->setCommPort(fallback);
        return;
    }
    Frame8->hide();
}

void Form1::baudSwitch(const QString& settings, QAbstractButton* other) {
    const QString before = CommSettings;
    CommSettings = settings;
    try {
        MSComm1->setSettings(CommSettings);
    } catch (const StepFailure&) {
        // The line runs as before, and the group says so.
        CommSettings = before;
        if (before != settings) {
            other->setChecked(true);
        }
        throw;
    }
    Frame8->hide();
}

void Form1::mscomm1OnComm() {
    if (MSComm1->commEvent() != CommPort::ComEvReceive) {
        return;
    }
    const QString text = MSComm1->input();
    const qsizetype room = RecvBufLimit - RecvBuf.size();
    if (room <= 0 && !text.isEmpty()) {
        // The buffer is full for this reply window: the text is read and dropped, and nothing
        // on the line changes.
        WaitReply = 0;
        logEvent(ExchangeEvent::Kind::Received, text.toLatin1(),
                 QStringLiteral("beyond what one reply window keeps; dropped"));
        return;
    }
    RecvBuf += text.left(room);
    WaitReply = 0;
    // The piece is logged with the reading its arrival gave, also when that reading failed.
    decoded_.reset();
    try {
        Hyouji(RecvBuf, 2);
    } catch (const StepFailure&) {
        logEvent(ExchangeEvent::Kind::Received, text.toLatin1(), {}, decoded_);
        throw;
    }
    logEvent(ExchangeEvent::Kind::Received, text.toLatin1(), {}, decoded_);
}
