#include "bridge/native_server.h"

#include "bridge/line_answer.h"
#include "bridge/line_queue.h"
#include "bridge/pjlink_protocol.h"
#include "bridge/pjlink_server.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

namespace native {

QByteArray greeting(const std::optional<QByteArray>& challenge) {
    return challenge ? QByteArray("RMQ27 1 ") + *challenge + '\r' : QByteArray("RMQ27 0\r");
}

QByteArray authFailure() {
    return QByteArrayLiteral("RMQ27 ERRA\r");
}

QByteArray replyLine(const LineAnswer& answer) {
    switch (answer.outcome) {
    case LineAnswer::Outcome::Answered:
    case LineAnswer::Outcome::Acknowledged:
    case LineAnswer::Outcome::Refused: {
        QByteArray line = 'A' + answer.reply;
        if (line.size() > MaxReplyBytes) {
            line.truncate(MaxReplyBytes - 1);
        }
        if (!line.endsWith('\r')) {
            line += '\r';
        }
        return line;
    }
    case LineAnswer::Outcome::NoReply:
        return QByteArrayLiteral("N\r");
    case LineAnswer::Outcome::LineDown:
        break;
    }
    return QByteArrayLiteral("D\r");
}

bool isCommand(const QByteArray& code) {
    return !code.isEmpty() && code.size() <= MaxCommandBytes &&
           std::all_of(code.begin(), code.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

} // namespace native

NativeConnection::NativeConnection(QTcpSocket* socket, LineQueue& queue,
                                   const std::optional<QByteArray>& password,
                                   const ConnectionLimits& limits, QObject* parent)
    : ClientConnection(socket, queue, UserKind::Native, limits,
                       pjlink::DigestChars + native::MaxCommandBytes + 1, parent) {
    std::optional<QByteArray> challenge;
    if (password) {
        challenge = pjlink::newRandom();
        expectedDigest_ = pjlink::digest(*challenge, *password);
    }
    send(native::greeting(challenge));
}

bool NativeConnection::handleLine(QByteArray line) {
    if (expectedDigest_) {
        // The digest alone (exactly its 32 digits) or in front of the first command.
        if (!pjlink::startsWithDigest(line, *expectedDigest_)) {
            emit authenticationFailed();
            closeWith(QStringLiteral("wrong or missing password digest"), native::authFailure());
            return false;
        }
        expectedDigest_.reset();
        line.remove(0, pjlink::DigestChars);
        if (line.isEmpty()) {
            return true;
        }
    }
    if (!native::isCommand(line)) {
        closeWith(
            line.size() > native::MaxCommandBytes
                ? QStringLiteral("a command longer than %1 bytes").arg(native::MaxCommandBytes)
                : QStringLiteral("not a command line"));
        return false;
    }
    submit({QString::fromLatin1(line)}, [](const QList<LineAnswer>& answers) {
        return answers.isEmpty()
                   ? native::replyLine(LineAnswer{LineAnswer::Outcome::NoReply, {}, {}})
                   : native::replyLine(answers.front());
    });
    return true;
}

NativeServer::NativeServer(LineQueue& queue, std::optional<QByteArray> password, QObject* parent)
    : QObject(parent), queue_(queue), password_(std::move(password)) {}

Result<> NativeServer::listen(const QList<QHostAddress>& addresses, quint16 port,
                              const QList<QHostAddress>& optional) {
    const Result<QList<QTcpServer*>> listening = listenAll(this, addresses, port, optional);
    if (!listening) {
        return listening.failure();
    }
    for (QTcpServer* server : listening.value()) {
        connect(server, &QTcpServer::newConnection, this,
                [this, server] { onNewConnection(server); });
        servers_.append(server);
    }
    return succeeded();
}

quint16 NativeServer::port() const {
    return servers_.isEmpty() ? 0 : servers_.front()->serverPort();
}

QList<QHostAddress> NativeServer::addresses() const {
    QList<QHostAddress> out;
    for (const QTcpServer* s : servers_) {
        out.append(s->serverAddress());
    }
    return out;
}

void NativeServer::onNewConnection(QTcpServer* server) {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (connections_ >= MaxConnections) {
            note(QStringLiteral("refused a native connection from %1: %2 connections already open")
                     .arg(socket->peerAddress().toString())
                     .arg(connections_));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++connections_;
        ++accepted_;
        const QString peer = socket->peerAddress().toString();
        auto* connection = new NativeConnection(socket, queue_, password_, limits_, this);
        // A failed digest is counted; throttling repeated failures per peer is still to come.
        connect(connection, &NativeConnection::authenticationFailed, this,
                [this] { ++authFailures_; });
        connect(connection, &NativeConnection::closed, this, [this, peer](const QString& why) {
            --connections_;
            if (!why.isEmpty()) {
                note(QStringLiteral("closed the native connection from %1: %2").arg(peer, why));
            }
        });
    }
}

void NativeServer::note(const QString& line) {
    if (log_) {
        log_(line);
    }
}
