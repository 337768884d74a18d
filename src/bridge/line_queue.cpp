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
    std::deque<Request>& queue = priority == Priority::Client ? client_ : background_;
    const bool query = std::all_of(codes.begin(), codes.end(), [](const QString& code) {
        return code.startsWith(QLatin1String("CR"));
    });
    if (query) {
        for (Request& waiting : queue) {
            if (waiting.codes == codes) {
                waiting.waiters.push_back(Waiter{owner, std::move(done)});
                ++shared_;
                return true;
            }
        }
    }
    if (priority == Priority::Background && background_.size() >= MaxBackgroundWaiting) {
        return false;
    }
    Request request{codes, {}, {}};
    request.waiters.push_back(Waiter{owner, std::move(done)});
    queue.push_back(std::move(request));
    scheduleNext();
    return true;
}

bool LineQueue::Request::anyoneWaiting() const {
    return std::any_of(waiters.begin(), waiters.end(), [](const Waiter& w) { return w.owner; });
}

void LineQueue::forget(QObject* owner) {
    for (std::deque<Request>* queue : {&client_, &background_}) {
        for (Request& r : *queue) {
            std::erase_if(r.waiters, [owner](const Waiter& w) { return w.owner == owner; });
        }
        std::erase_if(*queue, [](const Request& r) { return !r.anyoneWaiting(); });
    }
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
        if (request.anyoneWaiting()) {
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
    if (replied && current_->answers.size() < current_->codes.size() && current_->anyoneWaiting()) {
        runStep();
        return;
    }
    finish();
}

void LineQueue::finish() {
    Request done = std::move(*current_);
    current_.reset();
    for (const Waiter& w : done.waiters) {
        // A callback may close its connection, deleting another waiter's owner: checked each.
        if (w.owner && w.done) {
            w.done(done.answers);
        }
    }
    scheduleNext();
}
