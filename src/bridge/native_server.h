#pragma once

#include "bridge/client_connection.h"
#include "bridge/client_listener.h"
#include "core/failure.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class LineQueue;
class QTcpServer;
class QTcpSocket;

// The projector's own serial protocol served on the network (--serve): a client writes command
// codes, each ended by CR, exactly as to the serial line, and reads one reply line per command.
//
// The projector's replies are raw bytes ending in CR, and any byte may start one, so "no reply"
// cannot be told by the bytes alone, nor by a close (a client wants its next command answered
// on the same connection). Each reply line therefore starts with one status byte:
//   'A' followed by the projector's reply as it came, up to and including its CR ("A" ACK CR,
//       "A00" CR, ...);
//   'N' CR: no complete reply within the command's window, or the projector is silent and the
//       queue answered at once without sending;
//   'D' CR: the serial line is down; nothing was sent.
// A reply contains no CR before its last byte, so a reader splits the stream at CR and reads the
// first byte of each line. Replies come in the order of the commands.
//
// The greeting is one line: "RMQ27 0" CR without a password; "RMQ27 1 " and eight hex digits of a
// challenge, CR, with one. Then the first line must start with the 32 lower- or upper-case hex
// digits of MD5(challenge + password), followed by the first command or by nothing (to
// authenticate before having a command to send, answered "RMQ27 OK" CR). A wrong or missing
// digest is answered "RMQ27 ERRA" CR and closes that connection.
//
// A bare CR is no command: it keeps an idle connection open and is not answered.
namespace native {

// Longest command code; what a projector's codes need and then some.
constexpr qsizetype MaxCommandBytes = 128;
// A reply longer than this (CR included) is cut to it, its last byte a CR. The projector's
// replies are a few bytes; this only bounds what a faulty line could send.
constexpr qsizetype MaxReplyBytes = 1024;

QByteArray greeting(const std::optional<QByteArray>& challenge);
QByteArray authFailure();
QByteArray authenticated();
// The reply line for one command's answer (status byte, reply bytes, CR).
QByteArray replyLine(const LineAnswer& answer);
// A code the serial line may carry: 1 to MaxCommandBytes printable ASCII characters.
bool isCommand(const QByteArray& code);

} // namespace native

// One native client, one user of the line queue of kind Native (see ClientConnection): the
// greeting, the digest check, and each command line as one exchange.
class NativeConnection : public ClientConnection {
    Q_OBJECT
public:
    NativeConnection(QTcpSocket* socket, LineQueue& queue,
                     const std::optional<QByteArray>& password, const ConnectionLimits& limits,
                     QObject* parent = nullptr);

private:
    bool handleLine(QByteArray line) override;

    std::optional<QByteArray> expectedDigest_; // until the client has authenticated
};

// The native listener: the addresses of its plan, a bound on its connections of its own, and
// each client a user of the one line queue.
class NativeServer : public ClientListener {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 16;

    NativeServer(LineQueue& queue, std::optional<QByteArray> password, QObject* parent = nullptr);

private:
    ClientConnection* makeConnection(QTcpSocket* socket) override;

    LineQueue& queue_;
    std::optional<QByteArray> password_;
};
