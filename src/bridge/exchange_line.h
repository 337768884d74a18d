#pragma once

#include "bridge/line_queue.h"
#include "core/failure.h"
#include "exchange/exchange.h"

#include <QString>
#include <QTimer>
#include <functional>

// The projector's serial line for the queue: the exchange library on one device, opened at start
// and, after a loss or a failed open, tried again every few seconds. One log line per change of
// the line's state (open, lost, cannot open, open again), never one per retry.
class ExchangeLine : public LineRunner {
    Q_OBJECT
public:
    static constexpr int ReopenMs = 3000;

    ExchangeLine(QString device, QString settings, std::function<void(const QString&)> log,
                 QObject* parent = nullptr);

    // The device was chosen by the bridge, not named with --port: a device that cannot be opened
    // is then advised to be named; one named already, to be connected or named right.
    void setDeviceChosen(bool chosen) { deviceChosen_ = chosen; }
    // Tries to open the line now; on failure keeps trying every reopenMs.
    void open();
    void setReopenMs(int ms) { reopen_.setInterval(ms); }

    bool isUp() const override;
    void start(const QString& code, bool ownPace) override;

    // The exchange itself, for a log of every byte or for readings beside the answers.
    Exchange& exchange() { return exchange_; }
    // How often the open line went away since the start, and how many opens failed.
    qint64 losses() const { return losses_; }
    qint64 failedOpens() const { return failedOpens_; }

signals:
    // Every whole result, for whoever wants more than the PJLink answer (metrics).
    void result(const ExchangeResult& result);

private:
    void tryOpen();
    void onFinished(const ExchangeResult& result);
    void onLost(const QString& description);
    void note(const QString& state, const QString& line);
    RemedyWords words() const;

    Exchange exchange_;
    QString device_;
    QString settings_;
    std::function<void(const QString&)> log_;
    QTimer reopen_;
    QString state_; // "open", "lost", "failed: <description>": what was last logged
    qint64 losses_ = 0;
    qint64 failedOpens_ = 0;
    bool deviceChosen_ = false;
};
