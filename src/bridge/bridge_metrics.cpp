#include "bridge/bridge_metrics.h"

#include "bridge/exchange_line.h"
#include "bridge/line_answer.h"
#include "bridge/line_queue.h"
#include "bridge/metrics/prometheus_text.h"
#include "bridge/native_server.h"
#include "bridge/pjlink_server.h"

BridgeMetrics::BridgeMetrics(LineQueue& queue, const PjlinkServer& pjlink, int pollSeconds,
                             QObject* parent)
    : QObject(parent), queue_(queue), pjlink_(pjlink), poller_(pollSeconds),
      server_([this] { return renderMetrics(snapshot()); }) {
    connect(&poller_, &StatusPoller::wantsLine, this, &BridgeMetrics::pollNext);
    queue_.addUser(&poller_, UserKind::Poll);
}

void BridgeMetrics::attach(ExchangeLine& line) {
    connect(&line, &ExchangeLine::result, this, &BridgeMetrics::takeResult);
    connect(&line.exchange(), &Exchange::lost, this, &BridgeMetrics::countLineLoss);
    setLineOpen([&line] { return line.isUp(); });
}

void BridgeMetrics::takeResult(const ExchangeResult& result) {
    lastValues_.reset();
    if (result.outcome == ExchangeOutcome::PortFailed) {
        return; // nothing went out
    }
    ++counters_.exchanges;
    if (result.outcome == ExchangeOutcome::NoReply) {
        ++counters_.replyTimeouts;
    } else {
        lastValues_ = result.values;
    }
}

void BridgeMetrics::pollNext() {
    const std::optional<QString> query = poller_.nextQuery();
    if (!query) {
        return;
    }
    lastValues_.reset();
    const auto done = [this](const QList<LineAnswer>& answers) {
        // A reply of any kind is an answer; its values arrived through takeResult() just before.
        const LineAnswer::Outcome o = answers.first().outcome;
        const bool replied = o != LineAnswer::Outcome::NoReply &&
                             o != LineAnswer::Outcome::LineDown && lastValues_.has_value();
        poller_.take(replied, lastValues_.value_or(StatusValues{}));
        lastValues_.reset();
        pollNext();
    };
    if (!queue_.submit(&poller_, {*query}, done)) {
        poller_.take(false, {});
    }
}

MetricsSnapshot BridgeMetrics::snapshot() const {
    MetricsSnapshot s;
    s.version = QStringLiteral(RMQ27_VERSION);
    s.name = name_;
    s.readings = poller_.readings();
    s.lastAnsweredMsecs = poller_.lastAnsweredMsecs();
    if (lineOpen_) {
        s.lineOpen = lineOpen_();
    }
    s.counters = counters_;
    s.counters.pjlinkConnections = quint64(pjlink_.connectionsAccepted());
    s.counters.authenticationFailures = quint64(pjlink_.authenticationFailures());
    s.counters.unparsedReadings = poller_.unparsedReadings();
    for (const UserKind kind : {UserKind::Pjlink, UserKind::Poll}) {
        s.counters.userExchanges.emplace_back(QString::fromLatin1(userKindName(kind)),
                                              queue_.exchanges(kind));
    }
    s.openConnections.emplace_back(QString::fromLatin1(userKindName(UserKind::Pjlink)),
                                   quint64(pjlink_.connectionCount()));
    if (native_) {
        const QString native = QString::fromLatin1(userKindName(UserKind::Native));
        s.counters.userExchanges.emplace_back(native, queue_.exchanges(UserKind::Native));
        s.openConnections.emplace_back(native, quint64(native_->connectionCount()));
    }
    return s;
}
