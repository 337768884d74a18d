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

QByteArray authenticated() {
    return QByteArrayLiteral("RMQ27 OK\r");
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
    // Without a password its clients are admitted as they are greeted: the panel and the ctl
    // hold their connection open between commands, with only a bare CR now and then.
    setGreeting(native::greeting(challenge), password.has_value(), !password.has_value());
}

bool NativeConnection::handleLine(QByteArray line) {
    if (expectedDigest_) {
        // The digest alone (exactly its 32 digits) or in front of the first command.
        if (!takeDigest(line, *expectedDigest_, QStringLiteral("wrong or missing password digest"),
                        native::authFailure())) {
            return false;
        }
        expectedDigest_.reset();
        if (!admit()) {
            return false;
        }
        if (line.isEmpty()) {
            // The digest alone: the client learns at once that its password holds.
            reply(native::authenticated());
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
    if (!admit()) { // without a password, a valid command admits
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
    : ClientListener(MaxConnections, QStringLiteral("native connection"), parent), queue_(queue),
      password_(std::move(password)) {}

ClientConnection* NativeServer::makeConnection(QTcpSocket* socket) {
    return new NativeConnection(socket, queue_, password_, limits(), this);
}
