#pragma once

#include "bridge/metrics/metrics_server.h"
#include "bridge/metrics/metrics_snapshot.h"
#include "bridge/metrics/status_poller.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class LineQueue;
class LineRunner;
class PjlinkServer;
struct LineAnswer;

// The bridge's Prometheus side wired to its line: the poller's queries go through the line queue
// as background requests, one at a time, so a client's request waits for at most the one query
// already on the line; the counters follow the line's answers and the PJLink server; the server
// renders what is there and never touches the line.
class BridgeMetrics : public QObject {
    Q_OBJECT
public:
    BridgeMetrics(LineQueue& queue, LineRunner& line, const PjlinkServer& pjlink, int pollSeconds,
                  QObject* parent = nullptr);

    // Listens for scrapes; returns an error message, empty on success.
    QString listen(const QHostAddress& address, quint16 port);
    quint16 port() const { return server_.serverPort(); }
    // Polls at once, then every interval.
    void start() { poller_.start(); }
    // The serial line went away.
    void countLineLoss() { ++counters_.lineLosses; }

    MetricsSnapshot snapshot() const;

private:
    void countAnswer(const LineAnswer& answer);
    void pollNext();

    LineQueue& queue_;
    LineRunner& line_;
    const PjlinkServer& pjlink_;
    StatusPoller poller_;
    MetricsServer server_;
    MetricsCounters counters_;
};
