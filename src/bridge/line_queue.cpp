#include "bridge/line_queue.h"

#include <QMetaObject>

#include <algorithm>

LineQueue::LineQueue(LineRunner& runner, QObject* parent) : QObject(parent), runner_(runner) {
    connect(&runner_, &LineRunner::answered, this, &LineQueue::onAnswered);
}

bool LineQueue::submit(QObject* owner, const QStringList& codes, Priority priority, Done done) {
    if (codes.isEmpty() || !owner) {
        return false;
    }
    if (priority == Priority::Background && background_.size() >= MaxBackgroundWaiting) {
        return false;
    }
    (priority == Priority::Client ? client_ : background_)
        .push_back(Request{owner, codes, std::move(done), {}});
    scheduleNext();
    return true;
}

void LineQueue::forget(QObject* owner) {
    const auto ownedBy = [owner](const Request& r) { return r.owner == owner || !r.owner; };
    std::erase_if(client_, ownedBy);
    std::erase_if(background_, ownedBy);
}

qsizetype LineQueue::waiting(Priority priority) const {
    return qsizetype(priority == Priority::Client ? client_.size() : background_.size());
}

void LineQueue::scheduleNext() {
    // Requests start from the event loop, so a done callback that submits again never recurses.
    if (!scheduled_ && !current_) {
        scheduled_ = true;
        QMetaObject::invokeMethod(this, &LineQueue::next, Qt::QueuedConnection);
    }
}

void LineQueue::next() {
    scheduled_ = false;
    if (current_) {
        return;
    }
    for (;;) {
        std::deque<Request>& from = !client_.empty() ? client_ : background_;
        if (from.empty()) {
            return;
        }
        Request request = std::move(from.front());
        from.pop_front();
        if (request.owner) {
            current_ = std::move(request);
            runStep();
            return;
        }
        // Its asker has gone: nothing to send.
    }
}

void LineQueue::runStep() {
    if (!runner_.isUp()) {
        // Nothing to ask while the line is down: the request is answered at once, unsent.
        current_->answers.append(LineAnswer{});
        finish();
        return;
    }
    runner_.start(current_->codes.at(current_->answers.size()));
}

void LineQueue::onAnswered(const LineAnswer& answer) {
    if (!current_) {
        return;
    }
    current_->answers.append(answer);
    const bool replied = answer.outcome == LineAnswer::Outcome::Answered ||
                         answer.outcome == LineAnswer::Outcome::Acknowledged;
    if (replied && current_->answers.size() < current_->codes.size() && current_->owner) {
        runStep();
        return;
    }
    finish();
}

void LineQueue::finish() {
    Request done = std::move(*current_);
    current_.reset();
    if (done.owner && done.done) {
        done.done(done.answers);
    }
    scheduleNext();
}
