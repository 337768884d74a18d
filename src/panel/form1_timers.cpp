// The reply-window, display-period and settings-group ticks.
#include "panel/form1.h"

#include "core/exchange_frame.h"
#include "core/transcript.h"
#include "ui_form1.h"

#include <QTimer>

void Form1::timer2Tick() {
    if (WaitReply == 1) {
        ui->Label12->setText(NoReplyMark);
        logEvent(ExchangeEvent::Kind::NoReply, {},
                 QStringLiteral("no reply to %1 within %2 ms")
                     .arg(renderTranscript(SendCmd).trimmed())
                     .arg(Timer2->interval()));
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
