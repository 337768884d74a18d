// The command buttons' sends, and the one routine that frames and sends every command.
#include "panel/form1.h"

#include "core/bindings.h"
#include "core/exchange_frame.h"

#include <QTimer>

void Form1::send(const QString& code) {
    SendCmd = frameCommand(CmdPrefix, code);
    readingSinceSend_ = false;
    Hyouji(SendCmd, 1);
}

void Form1::setReplyWindow(int replyMs, int displayMs) {
    Timer2->setInterval(replyMs);
    Timer4->setInterval(displayMs);
}

void Form1::oneShotClick(const OneShotBinding& binding) {
    // The 2 s and 5 s windows are set before the send starts the two timers.
    if (const auto window = replyWindowSetBy(binding.kind)) {
        setReplyWindow(window->replyMs, window->displayMs);
    }
    send(QLatin1String(binding.code));
    if (binding.kind == SendKind::MenuPace) {
        // Only the pace of later cursor-pad repeats.
        Timer1->setInterval(200);
        PadMode = 1;
    }
}
