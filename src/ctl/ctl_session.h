#pragma once

#include "ctl/ctl_options.h"
#include "serial/comm_port.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

// One run of rmq27-ctl: opens COM1 on the device, then sends the actions one after another, each
// framed as the panel frames it, and reads each reply until its carriage return or the end of its
// reply window. Everything is driven by the event loop (the port's receive notification and one
// timer); nothing waits. finished() comes exactly once, with the exit status.
class CtlSession : public QObject {
    Q_OBJECT
public:
    struct Setup {
        QString device;
        QString settings;
        std::optional<int> timeoutMs;
        bool json = false;
        QList<CtlAction> actions;
    };
    // Where the lines go: one result per action on out, messages on err (each without newline).
    using Sink = std::function<void(const QString& line)>;

    CtlSession(Setup setup, Sink out, Sink err, QObject* parent = nullptr);

    // Received text kept per reply, as much as the panel keeps for one reply window; the rest is
    // read and dropped, so a flooding line costs no memory.
    static constexpr qsizetype ReplyLimit = 32767;

    void start();

signals:
    void finished(int exitCode);

private:
    void sendNext();
    void onComm();
    void windowEnded();
    void conclude(bool complete);
    void failPort(const QString& description);
    void finish(int exitCode);
    template <typename Work> void guarded(Work&& work);

    Setup setup_;
    Sink out_;
    Sink err_;
    CommPort port_;
    QTimer window_;
    QElapsedTimer clock_;
    qsizetype next_ = 0;
    const CtlAction* current_ = nullptr;
    QString sendCmd_;
    QString received_;
    bool crSeen_ = false;
    qint64 replyMs_ = -1;
    qint16 pressVal_ = 0;
    bool unanswered_ = false;
    bool unreadable_ = false;
    bool done_ = false;
};
