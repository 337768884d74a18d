// The service chord and views, the settings group's button, and the free-text command line.
#include "panel/form1.h"

#include "core/bindings.h"
#include "panel/command_button.h"

#include <QFrame>
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
    Command34->setText(QStringLiteral("CLOSE"));
    Command34->show();
}

void Form1::image1DblClick() {
    if (PanelUnlock != 1) {
        return;
    }
    setClientHeightTwips(FullHeight);
    Command34->setText(QStringLiteral("CLOSE"));
    Command34->show();
}

void Form1::command34Click() {
    Timer3->stop();
    PanelUnlock = 0;
    if (clientHeightTwips() < ToggleBoundary) {
        setClientHeightTwips(DataViewHeight);
        Command34->setText(QStringLiteral("データを表示しない"));
    } else {
        setClientHeightTwips(StartHeight);
        Command34->setText(QStringLiteral("データを表示する"));
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
    Frame8->show();
    enableTimer(Timer3);
}
