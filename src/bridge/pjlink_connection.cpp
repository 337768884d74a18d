#include "bridge/pjlink_connection.h"

PjlinkConnection::PjlinkConnection(QTcpSocket* socket, LineQueue& queue,
                                   const pjlink::Identity& identity,
                                   const std::optional<QByteArray>& password,
                                   const ConnectionLimits& limits, QObject* parent)
    : ClientConnection(socket, queue, UserKind::Pjlink, limits, pjlink::MaxLineBytes, parent),
      identity_(identity) {
    std::optional<QByteArray> random;
    if (password) {
        random = pjlink::newRandom();
        digest_ = pjlink::digest(*random, *password);
        expectedDigest_ = digest_;
    }
    setGreeting(pjlink::greeting(random), password.has_value());
}

bool PjlinkConnection::handleLine(QByteArray line) {
    if (expectedDigest_) {
        if (!takeDigest(line, *expectedDigest_, QStringLiteral("wrong or missing password digest"),
                        pjlink::authFailure())) {
            return false;
        }
        expectedDigest_.reset();
        if (line.isEmpty()) {
            // The digest goes in front of a command, never alone: PJLink has no answer for a
            // digest by itself but its authentication error, which tells the client to send it
            // with a command. Right as it was, it counts as no failed password.
            closeWith(QStringLiteral("a password digest without a command"), pjlink::authFailure());
            return false;
        }
        if (!admit()) {
            return false;
        }
    } else if (!digest_.isEmpty() && pjlink::hasDigestShape(line)) {
        // Some clients send the digest with every command; it must still be the right one.
        if (!takeDigest(line, digest_, QStringLiteral("wrong password digest"),
                        pjlink::authFailure())) {
            return false;
        }
    }
    if (line.size() + 1 > pjlink::MaxCommandBytes) {
        closeWith(QStringLiteral("a line longer than %1 bytes").arg(pjlink::MaxCommandBytes));
        return false;
    }
    if (!pjlink::isCommandLine(line)) {
        closeWith(QStringLiteral("not a PJLink command line"));
        return false;
    }
    if (!admit()) { // without a password, a valid command admits
        return false;
    }
    const pjlink::Handling handling = pjlink::handle(line, identity_);
    if (handling.codes.isEmpty()) {
        reply(pjlink::replyLine(handling.header, handling.answer));
        return !closing();
    }
    submit(handling.codes, [handling](const QList<LineAnswer>& answers) {
        return pjlink::replyLine(handling.header, pjlink::answerFrom(handling.mapping, answers));
    });
    return true;
}
