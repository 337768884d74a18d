#pragma once

#include "bridge/metrics/metrics_server.h"
#include "bridge/metrics/metrics_snapshot.h"
#include "bridge/metrics/status_poller.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class ExchangeLine;
class LineQueue;
class NativeServer;
class PjlinkServer;
struct ExchangeResult;

// The bridge's Prometheus side wired to its line: the poller is a user of the line queue, its
// queries one at a time and a poll's back to back once due (see LineQueue); the counters follow
// the line's results, the queue and the PJLink server; a scrape renders what is there and never
// touches the line. The native side shows once it is served.
class BridgeMetrics : public QObject {
    Q_OBJECT
public:
    BridgeMetrics(LineQueue& queue, const PjlinkServer& pjlink, int pollSeconds,
                  QObject* parent = nullptr);

    // Follows the real line: its results, its losses and whether it is open.
    void attach(ExchangeLine& line);
    // Listens for scrapes on every address (optional ones only where they can be had).
    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional) {
        return server_.listen(addresses, port, optional);
    }
    quint16 port() const { return server_.serverPort(); }
    QList<QHostAddress> addresses() const { return server_.addresses(); }
    // Polls at once, then every interval.
    void start() { poller_.start(); }

    // Every whole exchange result; the values of a poll's query come from here, as the line
    // reports it just before the queue's answer.
    void takeResult(const ExchangeResult& result);
    void countLineLoss() { ++counters_.lineLosses; }
    void setLineOpen(std::function<bool()> isOpen) { lineOpen_ = std::move(isOpen); }
    // With --serve: the native users' exchanges and connections are shown beside PJLink's.
    void setNative(const NativeServer* native) { native_ = native; }
    // The projector's name, shown as rmq27_projector_info.
    void setName(const QString& name) { name_ = name; }

    MetricsSnapshot snapshot() const;
    StatusPoller& poller() { return poller_; }

private:
    void pollNext();

    LineQueue& queue_;
    const PjlinkServer& pjlink_;
    const NativeServer* native_ = nullptr;
    StatusPoller poller_;
    MetricsServer server_;
    MetricsCounters counters_;
    std::optional<StatusValues> lastValues_; // of the exchange that finished last
    std::function<bool()> lineOpen_;
    QString name_;
};
