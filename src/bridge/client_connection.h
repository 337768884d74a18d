#pragma once

#include "bridge/line_answer.h"
#include "bridge/line_queue.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <optional>

class QTcpSocket;

// The limits every connection lives by, and the budget of those not yet admitted.
struct ConnectionLimits {
    int idleMs = 30000; // no line, not even a bare CR, for this long: closed
    // Not admitted (authenticated with a password; without one, a first valid command) within
    // this long after the greeting: closed. A stranger's place is soon free again.
    int admissionMs = 5000;
    // Connections not yet admitted, from one address and in all: a budget apart from the
    // established connections', so strangers cannot crowd out a client that has the password.
    int strangersPerPeer = 8;
    int strangers = 32;
    qsizetype maxUnsentBytes = 4096;   // replies the client has not read beyond this: closed
    qsizetype maxBufferedBytes = 4096; // received and not yet handled (commands sent ahead)
    int kernelBufferBytes = 8192;      // the kernel's socket buffers, each way
};

// What every client connection of the bridge shares, whatever its protocol: one user of the line
// queue; command lines ended by CR, read only while the queue has room for this user (else the
// rest waits in the socket's bounded buffers and TCP holds the client back); replies in the order
// of the commands, each in one write; an idle timeout and an admission timeout; end of input
// (a client that shuts down its sending side) still answered: what came before it is carried out
// and answered, then the connection closes; and closing on bad input or a client that stops
// reading, which closes this connection and nothing else. Deletes itself once closed.
class ClientConnection : public QObject {
    Q_OBJECT
public:
    ~ClientConnection() override;

    // Greets the client after delayMs (its address has failed passwords), then reads its lines.
    void start(int delayMs);
    bool isAdmitted() const { return admitted_; }
    // Closes it from outside (no place for it): why goes to the log.
    void drop(const QString& why) { closeWith(why); }

signals:
    // Once, when the connection has closed (and before it is deleted). why is empty for a client
    // that closed on its own.
    void closed(const QString& why);
    void authenticationFailed();
    // Once, when it stops being a stranger. The listener may drop it from here.
    void admitted();

protected:
    // maxLineBytes: the longest line kept waiting for its CR, the CR included.
    ClientConnection(QTcpSocket* socket, LineQueue& queue, UserKind kind,
                     const ConnectionLimits& limits, qsizetype maxLineBytes, QObject* parent);

    // What start() sends; passwordRequired names what admission waits for in the log.
    // admitAtOnce: nothing to wait for (a protocol whose clients hold an idle connection open).
    void setGreeting(const QByteArray& greeting, bool passwordRequired, bool admitAtOnce = false);
    // The client authenticated or sent its first valid command. False when it closed the
    // connection (no place among the established ones).
    bool admit();
    // Takes the password digest off the front of line. A wrong or missing one is a failed
    // password: counted, and the connection closed with why and lastWords. False when it closed.
    bool takeDigest(QByteArray& line, const QByteArray& expected, const QString& why,
                    const QByteArray& lastWords);

    // One line, without its CR or a leading LF (of a client that ends lines CR LF); empty lines
    // only keep the connection from its idle timeout.
    // False when it closed the connection.
    virtual bool handleLine(QByteArray line) = 0;

    // Queues codes as one request; toReply makes its reply from the answers, sent in its turn.
    void submit(const QStringList& codes,
                std::function<QByteArray(const QList<LineAnswer>&)> toReply);
    // A reply of the bridge's own, after the replies still due.
    void reply(const QByteArray& bytes);
    void send(const QByteArray& bytes);
    void closeWith(const QString& why, const QByteArray& lastWords = QByteArray());
    bool closing() const { return closing_; }

private:
    void handleInput();
    void onAnswer(quint64 id, const QByteArray& bytes);
    void sendReady();
    void endOfInput();
    // After end of input: closes once every reply is out and no whole line is left.
    void finishIfDone();
    void restartIdle();
    // Writes on the second descriptor, once the socket has let go of its own at end of input.
    bool sendAfterEnd(const QByteArray& bytes);

    QTcpSocket* socket_;
    LineQueue& queue_;
    ConnectionLimits limits_;
    qsizetype maxLineBytes_;
    QByteArray input_;
    // The replies due, in the order of the commands: empty while its request is in the queue.
    struct Due {
        quint64 id = 0;
        std::optional<QByteArray> bytes;
    };
    std::deque<Due> due_;
    quint64 nextId_ = 0;
    bool closing_ = false;
    bool greeted_ = false;
    bool admitted_ = false;
    bool inputEnded_ = false;
    bool passwordRequired_ = false;
    bool admitAtOnce_ = false;
    QByteArray greeting_;
    QTimer idle_;
    QTimer admission_;
    // A second descriptor of the same socket: Qt closes its own at end of input, which would
    // leave the replies still due nowhere to go; this keeps the sending side open until they are
    // out. -1 where there is none.
    int spare_ = -1;
};
