// The client's side of rmq27-bridge's own protocol: the greeting and the password while the link
// opens, the commands the bridge carries, its reply lines turned back into the projector's bytes,
// and the keep-alive of an idle connection.
#include "serial/socket_link.h"

#include <QCryptographicHash>

namespace {

const QByteArray kOpen = QByteArrayLiteral("RMQ27 0");
const QByteArray kChallenged = QByteArrayLiteral("RMQ27 1 ");
constexpr qsizetype ChallengeChars = 8;
const QByteArray kAccepted = QByteArrayLiteral("RMQ27 OK");
const QByteArray kRefused = QByteArrayLiteral("RMQ27 ERRA");

// What a line the bridge should not have sent looks like to the operator: printable, short.
QString shown(const QByteArray& line) {
    QString text;
    for (const char c : line.left(40)) {
        text += c >= 0x20 && c <= 0x7E ? QChar::fromLatin1(c) : QChar(u'.');
    }
    return line.size() > 40 ? text + QStringLiteral("...") : text;
}

} // namespace

std::optional<QByteArray> SocketLink::bridgeLine(const QDeadlineTimer& deadline) {
    for (;;) {
        if (const qsizetype cr = bridgeReply_.indexOf('\r'); cr >= 0) {
            const QByteArray line = bridgeReply_.left(cr);
            bridgeReply_.remove(0, cr + 1);
            return line;
        }
        if (bridgeReply_.size() > MaxBridgeReply) {
            return std::nullopt;
        }
        if (socket_.bytesAvailable() > 0) {
            bridgeReply_ += socket_.read(MaxBridgeReply);
            continue;
        }
        if (deadline.hasExpired() || socket_.state() != QAbstractSocket::ConnectedState ||
            !socket_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (socket_.bytesAvailable() == 0) {
                return std::nullopt;
            }
        }
    }
}

std::optional<Failure> SocketLink::greet(const QDeadlineTimer& deadline,
                                         const std::optional<QByteArray>& password) {
    const QString notServing = QStringLiteral("check that %1 is the port of the bridge's --serve "
                                              "option (not its PJLink port)")
                                   .arg(address_.port);
    const std::optional<QByteArray> greeting = bridgeLine(deadline);
    if (!greeting) {
        if (socket_.state() != QAbstractSocket::ConnectedState) {
            return Failure{QStringLiteral("%1 closed the connection before greeting (a bridge "
                                          "with all its connections in use does that)")
                               .arg(where()),
                           QStringLiteral("try again later")};
        }
        return Failure{
            QStringLiteral("%1 sent no greeting of rmq27-bridge within 2 seconds").arg(where()),
            notServing};
    }
    if (*greeting == kOpen) {
        return std::nullopt;
    }
    if (!greeting->startsWith(kChallenged) ||
        greeting->size() != kChallenged.size() + ChallengeChars) {
        return Failure{QStringLiteral("%1 greeted with \"%2\", not as rmq27-bridge serving the "
                                      "projector's own protocol")
                           .arg(where(), shown(*greeting)),
                       notServing};
    }
    if (!password) {
        return Failure{QStringLiteral("%1 asks for a password").arg(where()),
                       QStringLiteral("give the bridge's password in a file with "
                                      "--password-file FILE")};
    }
    const QByteArray challenge = greeting->mid(kChallenged.size());
    send(QCryptographicHash::hash(challenge + *password, QCryptographicHash::Md5).toHex() + '\r');
    const std::optional<QByteArray> answer = bridgeLine(deadline);
    if (answer == kAccepted) {
        return std::nullopt;
    }
    if (answer == kRefused) {
        return Failure{QStringLiteral("%1 refused the password").arg(where()),
                       QStringLiteral("check the file given with --password-file: its first line "
                                      "must be the bridge's password")};
    }
    return Failure{QStringLiteral("%1 did not answer the password within 2 seconds").arg(where()),
                   notServing};
}

std::optional<Failure> SocketLink::checkBridgeCommands(const QByteArray& data) {
    // Checked whole before anything is written, so a refused command leaves nothing half sent.
    QByteArray command = bridgeCommand_;
    for (const char c : data) {
        if (c == '\r') {
            command.clear();
            continue;
        }
        if (c < 0x20 || c > 0x7E) {
            return Failure{
                QStringLiteral("the bridge carries commands of printable ASCII "
                               "characters, each ended by CR; byte 0x%1 cannot go "
                               "through it, so nothing was sent")
                    .arg(QString::number(quint8(c), 16).rightJustified(2, u'0').toUpper())};
        }
        command += c;
        if (command.size() > MaxBridgeCommand) {
            return Failure{QStringLiteral("the bridge carries commands of at most %1 characters, "
                                          "so nothing was sent")
                               .arg(MaxBridgeCommand)};
        }
    }
    bridgeCommand_ = command;
    return std::nullopt;
}

void SocketLink::takeBridgeReplies(const QByteArray& chunk) {
    bridgeReply_ += chunk;
    for (qsizetype cr = bridgeReply_.indexOf('\r'); cr >= 0; cr = bridgeReply_.indexOf('\r')) {
        const QByteArray line = bridgeReply_.left(cr + 1);
        bridgeReply_.remove(0, cr + 1);
        if (line.startsWith('A')) {
            inbox_ += line.mid(1); // the projector's reply, its CR included
        } else if (line == "N\r") {
            // No reply within the window: the control sees nothing, as on its own line.
        } else if (line == "D\r") {
            fail(QStringLiteral("%1 has lost its serial line to the projector (it opens the line "
                                "again by itself)")
                     .arg(where()),
                 QStringLiteral("wait a few seconds"));
            return;
        } else {
            fail(QStringLiteral("%1 sent \"%2\", which is no reply of the bridge's protocol")
                     .arg(where(), shown(line.chopped(1))),
                 QStringLiteral("check the bridge"));
            return;
        }
    }
    if (bridgeReply_.size() > MaxBridgeReply) {
        fail(QStringLiteral("%1 sent a reply line longer than %2 bytes")
                 .arg(where())
                 .arg(MaxBridgeReply),
             QStringLiteral("check the bridge"));
    }
}

void SocketLink::keepAlive() {
    // Never in the middle of a command: its CR would end it.
    if (state_ == State::Open && bridgeCommand_.isEmpty()) {
        send(QByteArrayLiteral("\r"));
    }
}
