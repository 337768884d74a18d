// The reply-window, display-period and settings-group ticks.
#include "panel/form1.h"

#include "core/exchange_frame.h"
#include "core/transcript.h"
#include "panel/display_line.h"

#include <QFrame>
#include <QTimer>

void Form1::timer2Tick() {
    if (WaitReply == 1) {
        Label12->setText(NoReplyMark);
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
    Label11->setText(QString());
    Label12->setText(QString());
    Label22->setText(QString());
    Timer4->stop();
}

void Form1::timer3Tick() {
    Frame8->hide();
    Timer3->stop();
}
