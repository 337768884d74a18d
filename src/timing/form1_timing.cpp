// The reply-timeout, display-clear and settings-hide ticks, and the press-and-hold repeat.
#include "panel/form1.h"

#include "panel/bindings.h"
#include "ui_form1.h"

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

void Form1::timer2Tick() {
    if (WaitReply == 1) {
        ui->Label12->setText(QStringLiteral(" X X X X"));
    }
    Timer2->stop();
    RecvBuf = QString();
    WaitReply = 0;
}

void Form1::timer4Tick() {
    ui->Label11->setText(QString());
    ui->Label12->setText(QString());
    ui->Label22->setText(QString());
    Timer4->stop();
}

void Form1::timer3Tick() {
    ui->Frame8->hide();
    Timer3->stop();
}

namespace {

// A send that fails while a button is held ends the hold as its release would, so that a dead
// port is reported once instead of failing again at every tick.
template <typename Send> void sendOrEndHold(Form1& form, Send&& send) {
    try {
        send();
    } catch (const PanelFailure&) {
        form.endHoldAfterFailure();
        throw;
    }
}

} // namespace

void Form1::holdPress(QAbstractButton* button) {
    const HoldBinding* hold = holdBindingFor(button);
    if (!hold) {
        return;
    }
    holdEndedByFailure_ = false;
    if (hold->isCursorArrow()) {
        if (PadMode == 1) {
            Timer2->setInterval(150);
            Timer4->setInterval(190);
        } else if (PadMode == 3) {
            Timer2->setInterval(5);
            Timer4->setInterval(5);
        }
        HoldCode = hold->holdCode;
        SendCmd = CmdPrefix + QLatin1String(hold->code) + QChar(13);
        sendOrEndHold(*this, [this] { Hyouji(SendCmd, 1); });
        enableTimer(Timer1);
        return;
    }
    HoldCode = hold->holdCode;
    SendCmd = CmdPrefix + QLatin1String(hold->code) + QChar(13);
    sendOrEndHold(*this, [this] { Hyouji(SendCmd, 1); });
    Timer1->setInterval(hold->timer1);
    Timer2->setInterval(hold->timer2);
    Timer4->setInterval(hold->timer4);
    enableTimer(Timer1);
}

void Form1::timer1Tick() {
    if (HoldCode == 0) {
        return;
    }
    const HoldBinding* hold = holdBindingByCode(HoldCode);
    if (!hold) {
        return;
    }
    SendCmd = CmdPrefix + QLatin1String(hold->code) + QChar(13);
    sendOrEndHold(*this, [this] { Hyouji(SendCmd, 1); });
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
    if (auto* button = findChild<QAbstractButton*>(QLatin1String(hold->control))) {
        button->setDown(false);
    }
}

void Form1::releaseSteps(const HoldBinding& hold) {
    HoldCode = 0;
    Timer1->stop();
    Timer2->stop();
    enableTimer(Timer4);
    ui->Label11->setText(QString());
    ui->Label12->setText(QString());
    Timer2->setInterval(500);
    Timer4->setInterval(1000);
    RecvBuf = QString();
    if (hold.holdCode == 17 || hold.holdCode == 18) {
        // After a digital-zoom adjustment the cursor pad steps at the fastest pace.
        Timer1->setInterval(5);
        PadMode = 3;
    }
}
