// Start-up, the send-and-show routine Hyouji, and the ways the program ends.
#include "panel/form1.h"

#include "core/reply_decoder.h"
#include "core/transcript.h"
#include "serial/comm_port.h"
#include "ui_form1.h"

#include <QApplication>
#include <QCloseEvent>
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
    // A port that cannot be opened is reported, and the window still opens with the port closed:
    // the COM1 selection below then only sets the port number.
    guard.run([this] { MSComm1->setPortOpen(true); });
    // Selecting the option from code runs its click handler, as a user's click would.
    ui->Option1->setChecked(true);
}

void Form1::centreOnScreen() {
    // Centred with the designed full height, before the window is cut to its start height, so
    // the short window sits higher than a centred one would.
    const QScreen* target = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!target) {
        return;
    }
    const QRect area = target->geometry();
    const float left = (float(area.width()) - float(width())) / 2.0f;
    const float top = (float(area.height()) - float(FullHeight) / 15.0f) / 2.0f;
    move(area.x() + qRound(left), area.y() + qRound(top));
}

void Form1::setClientHeightTwips(int twips) {
    heightTwips_ = twips;
    setFixedSize(qRound(Width / 15.0), qRound(twips / 15.0));
}

void Form1::Hyouji(const QString& text, const quint8& mode) {
    if (mode == 1) {
        MSComm1->output(text);
    }
    const QString transcript = renderTranscript(text);
    if (mode == 1) {
        ui->Label11->setText(transcript);
        enableTimer(Timer2);
        WaitReply = 1;
        enableTimer(Timer4);
        return;
    }
    ui->Label12->setText(transcript);
    runReplyDecoder();
}

void Form1::runReplyDecoder() {
    // The decoder reads the received transcript back from the received line, as shown.
    const ReplyReading reading = decodeReply(SendCmd, CmdPrefix, ui->Label12->text(), PressVal);
    PressVal = reading.pressVal;
    if (reading.failure) {
        throw PanelFailure(*reading.failure);
    }
    if (reading.status) {
        ui->Label22->setText(*reading.status);
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
