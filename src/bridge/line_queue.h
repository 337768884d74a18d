#pragma once

#include "bridge/line_answer.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
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
    // Starts one exchange; exactly one answered() follows, from the event loop.
    virtual void start(const QString& code) = 0;
signals:
    void answered(const LineAnswer& answer);
};

// The one queue in front of the serial line. Requests run one at a time in the order they
// arrived; a request is a short run of serial commands (LAMP needs two) that nothing else comes
// between. Client requests always go first: a background request (a poller's) runs only when no
// client request waits, so polling never delays a client by more than the one exchange already
// on the line.
//
// A query (only status codes, "CR...") that is already waiting with the same codes and priority
// takes a newcomer along: both get the answers of the one run, which starts after both arrived.
// So many clients polling the same thing cost the projector one exchange, and the queue holds at
// most one waiting request per distinct query however many clients ask.
class LineQueue : public QObject {
    Q_OBJECT
public:
    enum class Priority { Client, Background };
    // One answer per command run; the run stops at the first exchange that brought no reply.
    using Done = std::function<void(const QList<LineAnswer>&)>;

    // Background requests waiting at once beyond this are refused (submit returns false).
    static constexpr qsizetype MaxBackgroundWaiting = 32;

    explicit LineQueue(LineRunner& runner, QObject* parent = nullptr);

    // Queues a request for owner; done runs later from the event loop, never from inside
    // submit(), and not at all once owner is gone. False when refused.
    bool submit(QObject* owner, const QStringList& codes, Priority priority, Done done);
    // Drops owner's waiting requests; one already on the line finishes unheard.
    void forget(QObject* owner);
    // Requests answered by another's run.
    qint64 requestsShared() const { return shared_; }

    qsizetype waiting(Priority priority) const;
    bool busy() const { return current_.has_value(); }

private:
    struct Waiter {
        QPointer<QObject> owner;
        Done done;
    };
    struct Request {
        QStringList codes;
        std::vector<Waiter> waiters;
        QList<LineAnswer> answers;
        bool anyoneWaiting() const;
    };

    void scheduleNext();
    void next();
    void runStep();
    void onAnswered(const LineAnswer& answer);
    void finish();

    LineRunner& runner_;
    std::deque<Request> client_;
    std::deque<Request> background_;
    std::optional<Request> current_;
    bool scheduled_ = false;
    qint64 shared_ = 0;
};
