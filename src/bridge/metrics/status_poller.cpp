#include "bridge/metrics/status_poller.h"

#include <QDateTime>
#include <algorithm>
#include <utility>

StatusPoller::StatusPoller(int intervalSeconds, QObject* parent) : QObject(parent) {
    timer_.setInterval(std::max(intervalSeconds, MinimumIntervalSeconds) * 1000);
    connect(&timer_, &QTimer::timeout, this, &StatusPoller::pollDue);
}

void StatusPoller::start() {
    timer_.start();
    pollDue();
}

void StatusPoller::pollDue() {
    if (polling()) {
        return;
    }
    queue_ = pollQueries();
    reading_ = PolledReadings{};
    ++started_;
    emit wantsLine();
}

quint64 StatusPoller::pollAgain() {
    if (polling()) {
        again_ = true;
        return started_ + 1;
    }
    pollDue();
    return started_;
}

std::optional<QString> StatusPoller::nextQuery() {
    if (out_ || queue_.isEmpty()) {
        return std::nullopt;
    }
    out_ = queue_.takeFirst();
    return out_;
}

void StatusPoller::take(bool replied, const StatusValues& values) {
    if (!out_) {
        return;
    }
    const QString query = *std::exchange(out_, std::nullopt);
    if (!replied) {
        finish(false);
        return;
    }
    const qsizetype index = pollQueries().indexOf(query);
    unparsed_.at(std::size_t(index)) += quint64(takeReading(reading_, query, values));
    if (queue_.isEmpty()) {
        finish(true);
    }
}

void StatusPoller::finish(bool answered) {
    queue_.clear();
    out_.reset();
    if (answered) {
        published_ = reading_;
        published_.answered = true;
        lastAnsweredMsecs_ = QDateTime::currentMSecsSinceEpoch();
    } else {
        // Nothing of an unanswered poll is shown: what it read before the silence may already
        // be stale beside what it could not read.
        published_ = PolledReadings{};
    }
    emit pollEnded(started_);
    if (std::exchange(again_, false)) {
        pollDue();
    }
}
