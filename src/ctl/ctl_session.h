#pragma once

#include "core/exchange_log.h"
#include "ctl/ctl_options.h"
#include "exchange/exchange.h"

#include <QObject>
#include <functional>
#include <optional>

// One run of rmq27-ctl: opens COM1 on the device, then runs the actions one after another through
// the exchange, each read as the panel reads it. Every action asked for gets its result (with
// --json, one object each, also when the port failed before or during it). Everything is driven
// by the event loop; nothing waits. finished() comes exactly once, with the exit status.
class CtlSession : public QObject {
    Q_OBJECT
public:
    struct Setup {
        QString device;
        bool portGiven = false; // the device came from --port (not chosen by the program)
        QString settings;
        std::optional<int> timeoutMs;
        bool json = false;
        QList<CtlAction> actions;
        QString logFile; // every event of the line appended here; empty: no log
        // Set when there is no line to open (a simulated projector that could not start): every
        // action fails with it, as with a port that fails.
        std::optional<QString> unavailable;
        ExchangeTimings timings;
        // For a bridge that asks for one (--password-file).
        std::optional<QByteArray> password;
    };
    // Where the lines go: one result per action on out, messages on err (each without newline).
    using Sink = std::function<void(const QString& line)>;

    // Exit statuses; when actions end differently, the first of these that applies.
    static constexpr int ExitOk = 0;
    static constexpr int ExitPortFailed = 1; // also a reply that could not be read
    static constexpr int ExitUsage = 2;
    static constexpr int ExitNoReply = 3;
    static constexpr int ExitRefused = 4;

    CtlSession(Setup setup, Sink out, Sink err, QObject* parent = nullptr);

    void start();

signals:
    void finished(int exitCode);

private:
    void next();
    void onFinished(const ExchangeResult& result);
    // The port failed: this action and every one after it end with the description.
    void failRest(const QString& description, std::optional<ExchangeResult> current);
    void report(const CtlAction& action, const ExchangeResult& result);
    QString messageFor(const CtlAction& action, const ExchangeResult& result) const;
    void finish();

    Setup setup_;
    Sink out_;
    Sink err_;
    Exchange exchange_;
    ExchangeLog log_;
    qsizetype next_ = 0;
    bool portFailed_ = false;
    bool unreadable_ = false;
    bool unanswered_ = false;
    bool refused_ = false;
    bool done_ = false;
};
