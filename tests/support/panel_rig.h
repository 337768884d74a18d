#pragma once

#include "panel/form1.h"
#include "sim/pty_pair.h"

#include <QByteArray>
#include <QStringList>
#include <memory>

class QLabel;

// A panel wired to a real pseudo-terminal: the test holds the far side of COM1, where the
// projector would be, and sees every warning the panel would show instead of a box.
class PanelRig {
public:
    // COM2 defaults to a device that does not exist, so switching to it fails. COM1 is the
    // pseudo-terminal unless another device is named (one that reaches it another way).
    explicit PanelRig(const QString& com2Device = QStringLiteral("/dev/rmq27-no-such-port"),
                      const QString& com1Device = {});

    Form1& form() { return *form_; }
    PtyPair& far() { return far_; }
    QStringList& warnings() { return warnings_; }

    // Runs the start-up sequence.
    void load();

    // What the panel wrote, once at least `bytes` bytes have come (or the generous wait is over).
    QByteArray wire(int bytes);
    // Everything the panel wrote so far that has not been taken yet; waits briefly for stragglers.
    QByteArray drainWire();
    // Sends bytes from the projector's side.
    void reply(const QByteArray& bytes) { far_.write(bytes); }

    QString line(const char* labelName) const;

private:
    PtyPair far_;
    QStringList warnings_;
    QByteArray pending_;
    std::unique_ptr<Form1> form_;
};

// The process's CPU time and the monotonic clock, in seconds: their ratio over a quiet stretch
// tells an idle panel from one spinning on a dead port.
double cpuSeconds();
double wallSeconds();

// Waits (processing events) until the predicate holds or the generous limit passes.
bool waitFor(const std::function<bool()>& predicate, int timeoutMs = 10000);

// Turns the event loop until `turns` events, each posted once the one before it has run, have
// all been delivered: whatever was queued before the call (a deferred close, a second report) has
// been handled, and every descriptor and timer ready meanwhile dispatched at least once. What has
// not happened by then was not on its way. False when the loop does not turn within the limit.
bool turnEventLoop(int turns = 2);
