// Press-and-hold: the press, the repeat tick, the release, and a hold that a failure ends.
#include "panel/form1.h"

#include "core/bindings.h"
#include "core/failure.h"
#include "panel/display_line.h"

#include <QAbstractButton>
#include <QTimer>

namespace {

const HoldBinding* holdBindingFor(const QAbstractButton* button) {
    for (const HoldBinding& hold : holdBindings()) {
        if (button->objectName() == QLatin1String(hold.control)) {
            return &hold;
        }
    }
    return nullptr;
}

} // namespace

void Form1::sendHeld(const QString& code) {
    // A send that fails while a button is held ends the hold as its release would, so that a
    // dead port is reported once instead of failing again at every tick.
    try {
        send(code);
    } catch (const StepFailure&) {
        endHoldAfterFailure();
        throw;
    }
}

void Form1::holdPress(QAbstractButton* button) {
    const HoldBinding* hold = holdBindingFor(button);
    if (!hold) {
        return;
    }
    holdEndedByFailure_ = false;
    // The arrows take their reply window from PadMode before the send and keep the repeat
    // interval; the other buttons set all three intervals after it.
    if (hold->isCursorArrow()) {
        if (const auto window = cursorPadWindow(PadMode)) {
            setReplyWindow(window->replyMs, window->displayMs);
        }
    }
    HoldCode = hold->holdCode;
    sendHeld(QLatin1String(hold->code));
    if (!hold->isCursorArrow()) {
        Timer1->setInterval(hold->timer1);
        setReplyWindow(hold->timer2, hold->timer4);
    }
    enableTimer(Timer1);
}

void Form1::timer1Tick() {
    if (HoldCode == 0) {
        return;
    }
    if (const HoldBinding* hold = holdBindingByCode(HoldCode)) {
        sendHeld(QLatin1String(hold->code));
    }
}

void Form1::holdRelease(QAbstractButton* button) {
    const HoldBinding* hold = holdBindingFor(button);
    if (!hold || holdEndedByFailure_) {
        return;
    }
    releaseSteps(*hold);
}

void Form1::endHoldAfterFailure() {
    const HoldBinding* hold = holdBindingByCode(HoldCode);
    if (!hold) {
        return;
    }
    releaseSteps(*hold);
    holdEndedByFailure_ = true;
    // The button never sees its release while the box is up; it must not stay drawn pressed.
    // A failed press reaches the button after this, and presses it: that is undone once the
    // event is through.
    if (auto* button = findChild<QAbstractButton*>(QLatin1String(hold->control))) {
        button->setDown(false);
        QMetaObject::invokeMethod(
            button, [button] { button->setDown(false); }, Qt::QueuedConnection);
    }
}

void Form1::releaseSteps(const HoldBinding& hold) {
    HoldCode = 0;
    Timer1->stop();
    Timer2->stop();
    enableTimer(Timer4);
    Label11->setText(QString());
    Label12->setText(QString());
    setReplyWindow(StoredReplyWindow.replyMs, StoredReplyWindow.displayMs);
    RecvBuf = QString();
    if (hold.holdCode == 17 || hold.holdCode == 18) {
        // After a digital-zoom adjustment the cursor pad steps at the fastest pace.
        Timer1->setInterval(5);
        PadMode = 3;
    }
}
