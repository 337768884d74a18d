#pragma once

#include "core/exchange_event.h"
#include "core/failure.h"
#include "core/readings.h"
#include "serial/comm_port.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

// How one exchange ended. Acknowledged: the reply is ACK CR; Refused: NAK CR; Answered: any other
// reply ending in CR; NoReply: nothing, or nothing ending in CR, within the window; PortFailed:
// the line could not be written or went away.
enum class ExchangeOutcome { Answered, Acknowledged, Refused, NoReply, PortFailed };

// "answered", "acknowledged", "refused", "no-reply", "port-failed".
QString outcomeName(ExchangeOutcome outcome);

struct ExchangeResult {
    ExchangeOutcome outcome = ExchangeOutcome::NoReply;
    QString code;                  // bare code
    QString sent;                  // framed (code + CR); empty when nothing went out
    QString received;              // what arrived within the window, up to and including CR, capped
    bool complete = false;         // CR seen
    QString transcript;            // rendered received text, or NoReplyMark
    std::optional<QString> status; // the panel's status line for it
    StatusValues values;
    qint64 replyMs = -1; // from the send to the CR
    int windowMs = 0;
    QString error; // the operator's description when not ok (names port and device)
    // Answered or Acknowledged, and the reply could be read.
    bool ok() const;
};

// How long the line must keep quiet before a send, and how long to wait for that. Tests shorten
// them where the timing is not what they test.
struct ExchangeTimings {
    // After an answered exchange.
    int guardMs = 150;
    // Before the first send on a line just opened, once what waits on it has been drained: a
    // reply still streaming from whoever used the line before shows as bytes within this time.
    int openQuietMs = 50;
    // After a window that closed without its reply: a slow projector's late answer, up to this
    // long after the window, arrives before the next command goes out and is dropped.
    int quietAfterSilenceMs = 1000;
    // A line that never keeps quiet this long cannot carry a reply one could trust.
    int quietLimitMs = 5000;
};

// One command out and its reply read, as the panel reads it, on one line. Everything runs from
// the event loop: start() sends after the line has been quiet for a guard time, the reply is read
// until its CR or the end of its window (a precise deadline: never shorter, and bytes read after
// it belong to no window), and finished() reports the outcome. Whatever arrives outside a window
// is reported as Late through event() and dropped, so a late answer is never credited to the next
// command.
class Exchange : public QObject {
    Q_OBJECT
public:
    explicit Exchange(QObject* parent = nullptr);

    void setTimings(const ExchangeTimings& timings) { timings_ = timings; }
    const ExchangeTimings& timings() const { return timings_; }
    // The words of the program's remedies in every description (default: a shell's).
    void setRemedyWords(const RemedyWords& words) { words_ = words; }
    // The password proved to a bridge that asks for one, from the next open on.
    void setPassword(std::optional<QByteArray> password) { port_.setPassword(std::move(password)); }

    // Opens the line (a path, rfc2217://HOST:PORT or tcp://HOST:PORT). deviceOption names the
    // program's option for the device ("--port"). A failure like the last one is not reported
    // through event() again.
    Result<> open(const QString& device, const QString& settings, const QString& deviceOption);
    void close();
    bool isOpen() const;
    QString portLabel() const; // "COM1 (/dev/ttyUSB0)"
    bool busy() const { return state_ != State::Idle; }

    // The reply window the binding table gives this code (the button's window), else the stored
    // one.
    static int windowFor(const QString& code);

    // Starts one exchange; exactly one finished() follows, from the event loop (never from inside
    // start()), also when the port fails. Not to be called while busy(). ownPace: the command
    // follows the answered one before it from the same user, who keeps a pace of its own (a held
    // button): it goes without the guard time, as it would on that user's own line.
    void start(const QString& code, int windowMs, bool ownPace = false);

signals:
    void finished(const ExchangeResult& result);
    void lost(const QString& description); // the line went away (once); port closed
    void event(const ExchangeEvent& event);

private:
    enum class State { Idle, Guarding, Waiting };

    void guardTick();
    void send();
    void onComm();
    void windowTick();
    void late(const QString& text);
    void concludeReply(const QString& lastPiece);
    void conclude(ExchangeOutcome outcome, const QString& error);
    void portLost(const Failure& failure);
    QString worded(const Failure& failure) const { return failure.text(words_); }
    void note(ExchangeEvent::Kind kind, const QString& text = {}, const QString& message = {},
              const std::optional<QString>& status = {});

    CommPort port_;
    QTimer guard_;
    QTimer window_;
    QElapsedTimer sinceActivity_; // since the last byte, the last window's end or the open
    QElapsedTimer sinceStart_;    // since start(), bounding the wait for a quiet line
    QElapsedTimer sinceSend_;
    ExchangeTimings timings_;
    RemedyWords words_ = shellRemedyWords();
    int quietNeeded_ = timings_.guardMs;
    State state_ = State::Idle;
    ExchangeResult result_;
    QString lastOpenFailure_; // as last recorded, until an open succeeds
};
