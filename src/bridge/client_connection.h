#pragma once

#include "bridge/line_answer.h"
#include "bridge/line_queue.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <optional>

class QTcpSocket;

// The limits every connection lives by.
struct ConnectionLimits {
    int idleMs = 30000;                // no line, not even a bare CR, for this long: closed
    qsizetype maxUnsentBytes = 4096;   // replies the client has not read beyond this: closed
    qsizetype maxBufferedBytes = 4096; // received and not yet handled (commands sent ahead)
    int kernelBufferBytes = 8192;      // the kernel's socket buffers, each way
};

// What every client connection of the bridge shares, whatever its protocol: one user of the line
// queue; command lines ended by CR, read only while the queue has room for this user (else the
// rest waits in the socket's bounded buffers and TCP holds the client back); replies in the order
// of the commands, each in one write; an idle timeout; and closing on bad input or a client that
// stops reading, which closes this connection and nothing else. Deletes itself once closed.
class ClientConnection : public QObject {
    Q_OBJECT
public:
    ~ClientConnection() override;

signals:
    // Once, when the connection has closed (and before it is deleted). why is empty for a client
    // that closed on its own.
    void closed(const QString& why);
    void authenticationFailed();

protected:
    // maxLineBytes: the longest line kept waiting for its CR, the CR included.
    ClientConnection(QTcpSocket* socket, LineQueue& queue, UserKind kind,
                     const ConnectionLimits& limits, qsizetype maxLineBytes, QObject* parent);

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
    QTimer idle_;
};
