#pragma once

#include "bridge/line_queue.h"
#include "bridge/pjlink_protocol.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <deque>
#include <optional>

class QTcpSocket;

// The limits every connection lives by.
struct ConnectionLimits {
    int idleMs = 30000;                // no complete command for this long: closed
    qsizetype maxUnsentBytes = 4096;   // replies the client has not read beyond this: closed
    qsizetype maxBufferedBytes = 4096; // received and not yet handled (commands sent ahead)
    int kernelBufferBytes = 8192;      // the kernel's socket buffers, each way
};

// One PJLink client, one user of the line queue: the greeting, the digest check, and its command
// lines through the line queue, as many waiting at once as the queue gives it room for; while it
// has none the connection reads no further, and TCP holds the client back. Replies go out in the
// order of the commands, each in one write. Bad input (a line over the length limit,
// bytes that are not printable text, no CR within the limit, a wrong digest) and a client that
// stops reading close this connection and nothing else. Deletes itself once closed.
class PjlinkConnection : public QObject {
    Q_OBJECT
public:
    // password: when set, a digest must come in front of the first command.
    PjlinkConnection(QTcpSocket* socket, LineQueue& queue, const pjlink::Identity& identity,
                     const std::optional<QByteArray>& password, const ConnectionLimits& limits,
                     QObject* parent = nullptr);
    ~PjlinkConnection() override;

signals:
    // Once, when the connection has closed (and before it is deleted). why is empty for a client
    // that closed on its own.
    void closed(const QString& why);
    void authenticationFailed();

private:
    void onReadyRead();
    void handleInput();
    bool handleLine(QByteArray line); // false: the connection is closing
    void onAnswers(quint64 id, const pjlink::Handling& handling, const QList<LineAnswer>& answers);
    void reply(const QByteArray& bytes); // after the replies still due
    void sendReady();
    void send(const QByteArray& bytes);
    void closeWith(const QString& why, const QByteArray& lastWords = QByteArray());

    QTcpSocket* socket_;
    LineQueue& queue_;
    const pjlink::Identity& identity_;
    std::optional<QByteArray> expectedDigest_; // until the client has authenticated
    QByteArray digest_;                        // the digest this connection accepts
    ConnectionLimits limits_;
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
