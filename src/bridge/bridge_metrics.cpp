#include "bridge/bridge_metrics.h"

#include "bridge/line_answer.h"
#include "bridge/line_queue.h"
#include "bridge/metrics/prometheus_text.h"
#include "bridge/pjlink_server.h"

BridgeMetrics::BridgeMetrics(LineQueue& queue, LineRunner& line, const PjlinkServer& pjlink,
                             int pollSeconds, QObject* parent)
    : QObject(parent), queue_(queue), line_(line), pjlink_(pjlink), poller_(pollSeconds),
      server_([this] { return renderMetrics(snapshot()); }) {
    connect(&line_, &LineRunner::answered, this, &BridgeMetrics::countAnswer);
    connect(&poller_, &StatusPoller::wantsLine, this, &BridgeMetrics::pollNext);
}

QString BridgeMetrics::listen(const QHostAddress& address, quint16 port) {
    if (server_.listen(address, port)) {
        return {};
    }
    return QStringLiteral("cannot serve metrics on %1 port %2: %3")
        .arg(address.toString())
        .arg(port)
        .arg(server_.errorString());
}

void BridgeMetrics::countAnswer(const LineAnswer& answer) {
    if (answer.outcome == LineAnswer::Outcome::LineDown) {
        return; // nothing went out
    }
    ++counters_.exchanges;
    if (answer.outcome == LineAnswer::Outcome::NoReply) {
        ++counters_.replyTimeouts;
    }
}

void BridgeMetrics::pollNext() {
    const std::optional<QString> query = poller_.nextQuery();
    if (!query) {
        return;
    }
    const bool queued = queue_.submit(&poller_, {*query}, LineQueue::Priority::Background,
                                      [this](const QList<LineAnswer>& answers) {
                                          const LineAnswer& a = answers.first();
                                          const bool replied =
                                              a.outcome != LineAnswer::Outcome::NoReply &&
                                              a.outcome != LineAnswer::Outcome::LineDown;
                                          poller_.take(replied, a.values);
                                          pollNext();
                                      });
    if (!queued) {
        poller_.take(false, {});
    }
}

MetricsSnapshot BridgeMetrics::snapshot() const {
    MetricsSnapshot s;
    s.version = QStringLiteral(RMQ27_VERSION);
    s.readings = poller_.readings();
    s.lastAnsweredMsecs = poller_.lastAnsweredMsecs();
    s.lineOpen = line_.isUp();
    s.counters = counters_;
    s.counters.pjlinkConnections = quint64(pjlink_.connectionsAccepted());
    s.counters.authenticationFailures = quint64(pjlink_.authenticationFailures());
    s.counters.unparsedReadings = poller_.unparsedReadings();
    return s;
}
