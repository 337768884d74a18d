#include "bridge/line_queue.h"

#include <QMetaObject>

#include <algorithm>

const char* userKindName(UserKind kind) {
    switch (kind) {
    case UserKind::Pjlink:
        return "pjlink";
    case UserKind::Poll:
        return "poll";
    case UserKind::Native:
        return "native";
    case UserKind::Web:
        return "web";
    }
    return "";
}

LineQueue::LineQueue(LineRunner& runner, QObject* parent) : QObject(parent), runner_(runner) {
    connect(&runner_, &LineRunner::answered, this, &LineQueue::onAnswered);
    probe_.setSingleShot(true);
    probe_.setInterval(DefaultProbeBackoffMs);
    connect(&probe_, &QTimer::timeout, this, &LineQueue::probe);
}

void LineQueue::addUser(QObject* owner, UserKind kind) {
    if (!owner || find(owner)) {
        return;
    }
    auto user = std::make_unique<User>();
    user->owner = owner;
    user->key = owner;
    user->kind = kind;
    users_.push_back(std::move(user));
    connect(owner, &QObject::destroyed, this, [this, owner] { forget(owner); });
}

void LineQueue::forget(QObject* owner) {
    std::erase_if(users_, [owner](const std::unique_ptr<User>& u) { return u->key == owner; });
    if (current_) {
        std::erase_if(current_->waiters, [owner](const Waiter& w) { return w.owner == owner; });
    }
}

LineQueue::User* LineQueue::find(const QObject* owner) const {
    const auto it =
        std::find_if(users_.begin(), users_.end(),
                     [owner](const std::unique_ptr<User>& u) { return u->key == owner; });
    return it == users_.end() ? nullptr : it->get();
}

bool LineQueue::submit(QObject* owner, const QStringList& codes, Done done) {
    User* user = find(owner);
    if (!user || codes.isEmpty() || waiting(owner) >= MaxWaitingPerUser) {
        return false;
    }
    user->waiting.push_back(Request{codes, Waiter{owner, std::move(done)}});
    scheduleNext();
    return true;
}

bool LineQueue::hasRoom(const QObject* owner) const {
    return find(owner) && waiting(owner) < MaxWaitingPerUser;
}

qsizetype LineQueue::waiting(const QObject* owner) const {
    const User* user = find(owner);
    if (!user) {
        return 0;
    }
    qsizetype n = qsizetype(user->waiting.size());
    if (current_) {
        n += std::count_if(current_->waiters.begin(), current_->waiters.end(),
                           [owner](const Waiter& w) { return w.owner == owner; });
    }
    return n;
}

qsizetype LineQueue::waiting() const {
    qsizetype n = current_ ? qsizetype(current_->waiters.size()) : 0;
    for (const auto& u : users_) {
        n += qsizetype(u->waiting.size());
    }
    return n;
}

bool LineQueue::Run::anyoneWaiting() const {
    return std::any_of(waiters.begin(), waiters.end(), [](const Waiter& w) { return w.owner; });
}

void LineQueue::scheduleNext() {
    // Turns start from the event loop, so a done callback that submits again never recurses.
    // While the projector is silent a newcomer is answered even with a probe on the line.
    if (!scheduled_) {
        scheduled_ = true;
        QMetaObject::invokeMethod(this, &LineQueue::next, Qt::QueuedConnection);
    }
}

void LineQueue::next() {
    scheduled_ = false;
    if (silent_ && !runner_.isUp()) {
        endSilence(false); // a line down is answered as such; once open again it gets a try
    }
    if (silent_) {
        answerAtOnce();
    }
    if (!current_) {
        startTurn();
    }
}

bool LineQueue::startTurn() {
    // The poller's queries first, once due; then whoever is ahead in the rotation. While the
    // projector is silent only the poller's go out.
    auto pick = users_.end();
    for (auto it = users_.begin(); it != users_.end(); ++it) {
        if ((*it)->waiting.empty() || (silent_ && (*it)->kind != UserKind::Poll)) {
            continue;
        }
        if ((*it)->kind == UserKind::Poll) {
            pick = it;
            break;
        }
        if (pick == users_.end()) {
            pick = it;
        }
    }
    if (pick == users_.end()) {
        return false;
    }
    std::unique_ptr<User> user = std::move(*pick);
    users_.erase(pick);
    Request request = std::move(user->waiting.front());
    user->waiting.pop_front();
    Run run{request.codes, user->kind, false, {}, {}};
    // A native user that follows itself sets its own pace, as on a line of its own (a held
    // button repeats faster than the guard time would allow); between users the guard stays.
    run.ownPace = user->kind == UserKind::Native && lastServed_ == user->key;
    lastServed_ = user->key;
    run.waiters.push_back(std::move(request.waiter));
    takeAlongIdentical(run, *user);
    users_.push_back(std::move(user)); // served: to the back of the rotation
    current_ = std::move(run);
    runStep();
    return true;
}

void LineQueue::takeAlongIdentical(Run& run, const User& from) {
    const bool query = std::all_of(run.codes.begin(), run.codes.end(), [](const QString& code) {
        return code.startsWith(QLatin1String("CR"));
    });
    if (!query) {
        return;
    }
    // Only each user's first waiting request: what it asked before is answered by then, so a
    // client that changes something and then asks reads the change.
    for (const auto& u : users_) {
        if (u.get() != &from && !u->waiting.empty() && u->waiting.front().codes == run.codes) {
            run.waiters.push_back(std::move(u->waiting.front().waiter));
            u->waiting.pop_front();
            ++shared_;
        }
    }
}

void LineQueue::answerAtOnce() {
    std::vector<Waiter> answered;
    for (const auto& u : users_) {
        if (u->kind == UserKind::Poll) {
            continue; // its queries are what tells whether the projector is back
        }
        for (Request& r : u->waiting) {
            answered.push_back(std::move(r.waiter));
        }
        u->waiting.clear();
    }
    const QList<LineAnswer> silence{LineAnswer{LineAnswer::Outcome::NoReply, {}, {}}};
    for (const Waiter& w : answered) {
        // A callback may close its connection, deleting another waiter's owner: checked each.
        if (w.owner && w.done) {
            w.done(silence);
        }
    }
}

void LineQueue::runStep() {
    if (!runner_.isUp()) {
        // Nothing to ask while the line is down: the request is answered at once, unsent.
        endSilence(false);
        current_->answers.append(LineAnswer{});
        finish();
        return;
    }
    runner_.start(current_->codes.at(current_->answers.size()),
                  current_->ownPace && current_->answers.isEmpty());
}

void LineQueue::onAnswered(const LineAnswer& answer) {
    if (!current_) {
        return;
    }
    current_->answers.append(answer);
    using O = LineAnswer::Outcome;
    if (answer.outcome != O::LineDown && current_->kind) {
        ++exchanges_.at(std::size_t(*current_->kind));
    }
    if (answer.outcome == O::NoReply) {
        becomeSilent();
    } else {
        endSilence(answer.outcome != O::LineDown);
    }
    const bool replied = answer.outcome == O::Answered || answer.outcome == O::Acknowledged;
    if (replied && current_->answers.size() < current_->codes.size() && current_->anyoneWaiting()) {
        runStep();
        return;
    }
    finish();
}

void LineQueue::finish() {
    Run done = std::move(*current_);
    current_.reset();
    for (const Waiter& w : done.waiters) {
        // A callback may close its connection, deleting another waiter's owner: checked each.
        if (w.owner && w.done) {
            w.done(done.answers);
        }
    }
    scheduleNext();
}

void LineQueue::becomeSilent() {
    probe_.start(); // the back-off starts again from each silence
    if (!silent_) {
        silent_ = true;
        note(QStringLiteral("the projector did not answer: requests are answered at once (ERR4 "
                            "for PJLink) until it answers again; trying it every %1 s")
                 .arg(probe_.interval() / 1000.0));
    }
}

void LineQueue::endSilence(bool answered) {
    if (!silent_) {
        return;
    }
    silent_ = false;
    probe_.stop();
    if (answered) {
        note(QStringLiteral("the projector answers again"));
    }
}

void LineQueue::probe() {
    if (!silent_ || current_) {
        return; // the exchange on the line decides, and starts the back-off again if need be
    }
    current_ = Run{{QString::fromLatin1(ProbeCode)}, std::nullopt, false, {}, {}};
    lastServed_ = nullptr;
    runStep();
}

void LineQueue::note(const QString& line) {
    if (log_) {
        log_(line);
    }
}
