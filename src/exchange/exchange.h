#pragma once

#include "core/exchange_event.h"
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

// Descriptions of the serial layer speak to the panel's operator ("choose the port again"); a
// program without the panel's settings group says "try again" instead.
QString withoutPanelAdvice(QString description);

// One command out and its reply read, as the panel reads it, on one line. Everything runs from
// the event loop: start() sends after the line has been quiet for a guard time, the reply is read
// until its CR or the end of its window (a precise deadline: never shorter, and bytes read after
// it belong to no window), and finished() reports the outcome. Whatever arrives outside a window
// is reported as Late through event() and dropped, so a late answer is never credited to the next
// command.
class Exchange : public QObject {
    Q_OBJECT
public:
    // Quiet the line must keep before a send after an answered exchange.
    static constexpr int GuardMs = 150;
    // Quiet before a send after a window that closed without its reply, and before the first send
    // on a line just opened (whoever used it before may have left a question unanswered): a slow
    // projector's late answer, up to this long after the window, arrives before the next command
    // goes out and is dropped.
    static constexpr int QuietAfterSilenceMs = 1000;
    // A line that never keeps quiet this long cannot carry a reply one could trust.
    static constexpr int QuietLimitMs = 5000;

    explicit Exchange(QObject* parent = nullptr);

    // Opens the line (a path, rfc2217://HOST:PORT or tcp://HOST:PORT). Throws PanelFailure with the
    // description on failure. deviceOption names the program's option for advice ("--port").
    void open(const QString& device, const QString& settings, const QString& deviceOption);
    void close();
    bool isOpen() const;
    QString portLabel() const; // "COM1 (/dev/ttyUSB0)"
    bool busy() const { return state_ != State::Idle; }

    // The reply window the binding table gives this code (the button's window), else the stored
    // one.
    static int windowFor(const QString& code);

    // Starts one exchange; exactly one finished() follows, from the event loop (never from inside
    // start()), also when the port fails. Not to be called while busy().
    void start(const QString& code, int windowMs);

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
    void portLost(const QString& description);
    void note(ExchangeEvent::Kind kind, const QString& text = {}, const QString& message = {},
              const std::optional<QString>& status = {});

    CommPort port_;
    QTimer guard_;
    QTimer window_;
    QElapsedTimer sinceActivity_; // since the last byte, the last window's end or the open
    QElapsedTimer sinceStart_;    // since start(), bounding the wait for a quiet line
    QElapsedTimer sinceSend_;
    int quietNeeded_ = GuardMs;
    State state_ = State::Idle;
    ExchangeResult result_;
};
