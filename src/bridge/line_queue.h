#pragma once

#include "bridge/line_answer.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The serial side as the queue sees it: one exchange at a time, each with its command's own reply
// window. The real one runs the exchange library on the projector's line; tests may stand in.
class LineRunner : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Whether the line is open now; when it is not, the queue answers LineDown without asking.
    virtual bool isUp() const = 0;
    // Starts one exchange; exactly one answered() follows, from the event loop. ownPace: the same
    // native user had the exchange before, so the guard time after it is left out (see
    // Exchange::start).
    virtual void start(const QString& code, bool ownPace) = 0;
signals:
    void answered(const LineAnswer& answer);
};

// Who waits for the line. Every PJLink connection is a user, the status poller is one, and a
// native connection will be one more of its own kind. The web page's controls are one user
// together.
enum class UserKind { Pjlink, Poll, Native, Web };
inline constexpr std::array<UserKind, 4> AllUserKinds{UserKind::Pjlink, UserKind::Poll,
                                                      UserKind::Native, UserKind::Web};
const char* userKindName(UserKind kind); // "pjlink", "poll", "native", "web"

// The one queue in front of the serial line. A request is a short run of serial commands (LAMP
// needs two) that nothing else comes between. Each user has a queue of its own, served in order,
// and the users take turns at run boundaries: the user served goes to the back of the rotation,
// so a user with requests waiting waits for at most one run of each other user. The poller is the
// exception that keeps its own clock: once a poll falls due its queries go at the next boundary,
// back to back. Its share is bounded by itself (one poll of a few queries per interval), and so
// the last answered poll ages by at most one run, whatever the clients send.
//
// A user has at most MaxWaitingPerUser requests unanswered (waiting or on the line); a connection
// stops reading its client while it has no room, so what a client sends ahead stays in its
// socket's small buffers, and reads on as its answers come.
//
// A query (only status codes, "CR...") takes along every other user's first waiting request with
// the same codes: all get the answers of the one run. So many clients polling the same thing cost
// the projector one exchange.
//
// Once a run has drawn no reply the projector counts as silent: from then on every request but
// the poller's is answered at once, unsent, with NoReply, instead of each waiting out a window and
// the quiet after it. The poller's queries still go out, and after a back-off the queue sends a
// probe of its own; the first reply of either ends the silence. One log line for each change.
class LineQueue : public QObject {
    Q_OBJECT
public:
    // One answer per command run; the run stops at the first exchange that brought no reply.
    using Done = std::function<void(const QList<LineAnswer>&)>;

    static constexpr qsizetype MaxWaitingPerUser = 8;
    static constexpr int DefaultProbeBackoffMs = 5000;
    // The probe: the power status, which every state of the projector answers.
    static constexpr const char* ProbeCode = "CR0";

    explicit LineQueue(LineRunner& runner, QObject* parent = nullptr);

    // Makes owner a user of the given kind until forget() or its deletion.
    void addUser(QObject* owner, UserKind kind);
    // Drops owner and its waiting requests; one already on the line finishes unheard.
    void forget(QObject* owner);

    // Queues a request for a user; done runs later from the event loop, never from inside
    // submit(), and not at all once owner is gone. False, and nothing queued, when owner is no
    // user, codes are empty or the user already has MaxWaitingPerUser requests waiting.
    bool submit(QObject* owner, const QStringList& codes, Done done);
    bool hasRoom(const QObject* owner) const;
    // Requests not yet answered, waiting or on the line: owner's, and all users' together.
    qsizetype waiting(const QObject* owner) const;
    qsizetype waiting() const;
    bool busy() const { return current_.has_value(); }

    // Requests answered by another's run.
    qint64 requestsShared() const { return shared_; }
    // Exchanges that went out on the line, by the kind of user whose turn it was (the silence's
    // probes are nobody's).
    quint64 exchanges(UserKind kind) const { return exchanges_.at(std::size_t(kind)); }
    // The last run drew no reply, and nothing has been answered since.
    bool silent() const { return silent_; }

    void setProbeBackoffMs(int ms) { probe_.setInterval(ms); }
    // One line for each change between silent and answering.
    void setLog(std::function<void(const QString&)> log) { log_ = std::move(log); }

private:
    struct Waiter {
        QPointer<QObject> owner;
        Done done;
    };
    struct Request {
        QStringList codes;
        Waiter waiter;
    };
    struct User {
        QPointer<QObject> owner;
        const QObject* key = nullptr;
        UserKind kind = UserKind::Pjlink;
        std::deque<Request> waiting;
    };
    struct Run {
        QStringList codes;
        std::optional<UserKind> kind; // none: the queue's own probe
        bool ownPace = false;         // a native user's command right after its own
        std::vector<Waiter> waiters;
        QList<LineAnswer> answers;
        bool anyoneWaiting() const;
    };

    User* find(const QObject* owner) const;
    void scheduleNext();
    void next();
    bool startTurn();
    void takeAlongIdentical(Run& run, const User& from);
    void answerAtOnce();
    void runStep();
    void onAnswered(const LineAnswer& answer);
    void finish();
    void becomeSilent();
    void endSilence(bool answered);
    void probe();
    void note(const QString& line);

    LineRunner& runner_;
    std::vector<std::unique_ptr<User>> users_; // the rotation: the next to be served first
    std::optional<Run> current_;
    const QObject* lastServed_ = nullptr; // whose run was on the line last
    bool scheduled_ = false;
    bool silent_ = false;
    QTimer probe_;
    qint64 shared_ = 0;
    std::array<quint64, AllUserKinds.size()> exchanges_{};
    std::function<void(const QString&)> log_;
};
