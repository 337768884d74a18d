#pragma once

#include "panel/form1.h"

#include <QByteArray>
#include <QWidget>

class QTimer;

// The one way into Form1's private state, for its tests and for the tools that measure or
// picture it (the benchmark, the fuzzers, the screenshots). Through it they read and set the ten
// state fields, start, stop and re-time the four timers, open and close the port behind the
// window's back, and see each warning through the guard's presenter instead of a box. It lives
// with the tests and is compiled only into them and those tools: Form1 names it a friend, and
// nothing of the program itself defines or uses it.
class Form1TestSeam {
public:
    explicit Form1TestSeam(Form1& form)
        : HoldCode(form.HoldCode), WaitReply(form.WaitReply), PadMode(form.PadMode),
          SendCmd(form.SendCmd), RecvBuf(form.RecvBuf), PressVal(form.PressVal),
          PanelUnlock(form.PanelUnlock), FreeText(form.FreeText), CommSettings(form.CommSettings),
          CmdPrefix(form.CmdPrefix), Timer1(form.Timer1), Timer2(form.Timer2), Timer3(form.Timer3),
          Timer4(form.Timer4), MSComm1(form.MSComm1), guard(form.guard) {}

    quint8& HoldCode;
    quint8& WaitReply;
    quint8& PadMode;
    QString& SendCmd;
    QString& RecvBuf;
    qint16& PressVal;
    qint16& PanelUnlock;
    QString& FreeText;
    QString& CommSettings;
    QString& CmdPrefix;
    QTimer* const Timer1;
    QTimer* const Timer2;
    QTimer* const Timer3;
    QTimer* const Timer4;
    CommPort* const MSComm1;
    FailureGuard& guard;
};

inline Form1TestSeam seam(Form1& form) {
    return Form1TestSeam(form);
}

// A control of the window by its object name, as the window's own users find it. A name that is
// not there is a broken test, not a null to trip over later.
template <typename Control = QWidget> Control* named(QWidget& form, const char* name) {
    auto* found = form.findChild<Control*>(QLatin1String(name));
    if (!found) {
        qFatal("no control %s of the asked type in %s", name, qPrintable(form.objectName()));
    }
    return found;
}
