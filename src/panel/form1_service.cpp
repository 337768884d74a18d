// The service chord and views, the settings group's button, and the free-text command line.
#include "panel/form1.h"

#include "core/bindings.h"
#include "ui_form1.h"

#include <QLineEdit>
#include <QTimer>

bool Form1::isServiceChord(int key, Qt::KeyboardModifiers modifiers) {
    const Qt::KeyboardModifiers held =
        modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    return held == Qt::ControlModifier && key == Qt::Key_K;
}

void Form1::formKeyDown(int key, Qt::KeyboardModifiers modifiers) {
    if (!isServiceChord(key, modifiers)) {
        return;
    }
    setClientHeightTwips(ServiceHeight);
    PanelUnlock = 1;
    ui->Command34->setText(QStringLiteral("CLOSE"));
    ui->Command34->show();
}

void Form1::image1DblClick() {
    if (PanelUnlock != 1) {
        return;
    }
    setClientHeightTwips(FullHeight);
    ui->Command34->setText(QStringLiteral("CLOSE"));
    ui->Command34->show();
}

void Form1::command34Click() {
    Timer3->stop();
    PanelUnlock = 0;
    if (clientHeightTwips() < ToggleBoundary) {
        setClientHeightTwips(DataViewHeight);
        ui->Command34->setText(QStringLiteral("データを表示しない"));
    } else {
        setClientHeightTwips(StartHeight);
        ui->Command34->setText(QStringLiteral("データを表示する"));
    }
    enableTimer(Timer3);
}

void Form1::command95Click() {
    const ReplyWindow window = *replyWindowSetBy(SendKind::Window2s);
    setReplyWindow(window.replyMs, window.displayMs);
    FreeText = textBox().text();
    send(FreeText);
}

void Form1::command96Click() {
    textBox().setText(QString());
}

void Form1::command33Click() {
    ui->Frame8->show();
    enableTimer(Timer3);
}
