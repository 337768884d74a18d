// The command buttons' sends, the service chord and views, and the free-text command line.
#include "panel/form1.h"

#include "panel/bindings.h"
#include "ui_form1.h"

#include <QTimer>

void Form1::oneShotClick(const OneShotBinding& binding) {
    if (binding.kind == SendKind::Window2s) {
        Timer2->setInterval(2000);
        Timer4->setInterval(2500);
    } else if (binding.kind == SendKind::Window5s) {
        Timer2->setInterval(5000);
        Timer4->setInterval(5500);
    }
    SendCmd = CmdPrefix + QLatin1String(binding.code) + QChar(13);
    Hyouji(SendCmd, 1);
    if (binding.kind == SendKind::MenuPace) {
        Timer1->setInterval(200);
        PadMode = 1;
    }
}

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
    Timer2->setInterval(2000);
    Timer4->setInterval(2500);
    FreeText = ui->Text1->text();
    SendCmd = CmdPrefix + FreeText + QChar(13);
    Hyouji(SendCmd, 1);
}

void Form1::command96Click() {
    ui->Text1->setText(QString());
}

void Form1::command33Click() {
    ui->Frame8->show();
    enableTimer(Timer3);
}
