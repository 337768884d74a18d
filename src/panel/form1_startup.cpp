// Start-up, the send-and-show routine Hyouji, and the ways the program ends.
#include "panel/form1.h"

#include "core/failure.h"
#include "core/reply_decoder.h"
#include "core/transcript.h"
#include "panel/accessibility.h"
#include "panel/display_line.h"
#include "serial/comm_port.h"

#include <QApplication>
#include <QCloseEvent>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

void enableTimer(QTimer* timer) {
    timer->start();
}

void Form1::formLoad() {
    CommSettings = QStringLiteral("19200,N,8,1");
    CmdPrefix = QString();
    centreOnScreen();
    setClientHeightTwips(StartHeight);
    HoldCode = 0;
    WaitReply = 0;
    RecvBuf = QString();
    MSComm1->setCommPort(1);
    MSComm1->setSettings(CommSettings);
    // A port that cannot be opened is reported, and the window still opens with the port closed.
    guard.run([this] { MSComm1->setPortOpen(true); });
    if (!MSComm1->portOpen()) {
        // Trying the same device again at once would only say the same thing twice; the option
        // is shown selected, and a click on it tries again.
        Option1->setChecked(true);
        return;
    }
    // Selecting the option from code runs its click handler, as a user's click would.
    Option1->click();
}

void Form1::centreOnScreen() {
    // Centred by the outer size, with the designed full height, before the window is cut to its
    // start height, so the short window sits higher than a centred one would. The frame is the
    // one the platform reports; a window not yet framed counts the 370 twips of title bar and
    // border that the designed outer height allows.
    const QScreen* target = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!target) {
        return;
    }
    const QRect area = target->geometry();
    const QSize frame = frameGeometry().size() - size();
    const bool framed = frame.height() > 0;
    const float outerWidth = float(width() + (framed ? frame.width() : 0));
    const float outerHeight = float(FullHeight) / 15.0f +
                              (framed ? float(frame.height()) : float(FrameAllowance) / 15.0f);
    const float left = (float(area.width()) - outerWidth) / 2.0f;
    const float top = (float(area.height()) - outerHeight) / 2.0f;
    // move() places the frame's corner.
    move(area.x() + qRound(left), area.y() + qRound(top));
}

void Form1::setClientHeightTwips(int twips) {
    heightTwips_ = twips;
    setFixedSize(qRound(Width / 15.0), qRound(twips / 15.0));
}

void Form1::Hyouji(const QString& text, const quint8& mode) {
    if (mode == 1) {
        MSComm1->output(text);
        logEvent(ExchangeEvent::Kind::Sent, text.toLatin1());
    }
    const QString transcript = renderTranscript(text);
    if (mode == 1) {
        Label11->setText(transcript);
        enableTimer(Timer2);
        WaitReply = 1;
        enableTimer(Timer4);
        return;
    }
    Label12->setText(transcript);
    runReplyDecoder();
}

void Form1::runReplyDecoder() {
    // The decoder reads the received transcript back from the received line, as shown.
    const ReplyReading reading = decodeReply(SendCmd, CmdPrefix, Label12->text(), PressVal);
    PressVal = reading.pressVal;
    decoded_ = reading.failure ? reading.failure : reading.status;
    if (reading.failure) {
        throw StepFailure(*reading.failure);
    }
    if (reading.status) {
        announceReading(*Label22, *reading.status, !readingSinceSend_);
        readingSinceSend_ = true;
    }
}

void Form1::command16Click() {
    MSComm1->setPortOpen(false);
    close();
    QCoreApplication::quit();
}

void Form1::closeEvent(QCloseEvent* event) {
    // The port is released however the window goes.
    guard.run([this] { MSComm1->setPortOpen(false); });
    QWidget::closeEvent(event);
}
