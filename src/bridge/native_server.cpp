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
    : QObject(parent), socket_(socket), queue_(queue), limits_(limits) {
    // The same bounded buffers as a PJLink connection, for the same reasons.
    socket_->setParent(this);
    socket_->setReadBufferSize(limits_.maxBufferedBytes);
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                             limits_.kernelBufferBytes);
    socket_->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption,
                             limits_.kernelBufferBytes);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QTcpSocket::readyRead, this, &NativeConnection::handleInput);
    connect(socket_, &QTcpSocket::disconnected, this, [this] { closeWith(QString()); });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError) {
            closeWith(socket_->errorString());
        }
    });

    idle_.setSingleShot(true);
    idle_.setInterval(limits_.idleMs);
    connect(&idle_, &QTimer::timeout, this,
            [this] { closeWith(QStringLiteral("idle for %1 s").arg(limits_.idleMs / 1000)); });
    idle_.start();
    queue_.addUser(this, UserKind::Native);

    std::optional<QByteArray> challenge;
    if (password) {
        challenge = pjlink::newRandom();
        expectedDigest_ = pjlink::digest(*challenge, *password);
    }
    send(native::greeting(challenge));
}

NativeConnection::~NativeConnection() {
    queue_.forget(this);
}

void NativeConnection::handleInput() {
    // Nothing more is read while the queue has no room for this user: the rest waits in the
    // socket's bounded buffers and TCP holds the client back.
    while (!closing_ && queue_.hasRoom(this)) {
        const qsizetype room = limits_.maxBufferedBytes - input_.size();
        if (room > 0 && socket_->bytesAvailable() > 0) {
            input_ += socket_->read(room);
        }
        const qsizetype maxLine = pjlink::DigestChars + native::MaxCommandBytes;
        const qsizetype cr = input_.indexOf('\r');
        if (cr < 0) {
            if (input_.size() > maxLine) {
                closeWith(QStringLiteral("a line longer than %1 bytes").arg(maxLine));
            }
            return;
        }
        QByteArray line = input_.left(cr);
        input_.remove(0, cr + 1);
        if (line.size() > maxLine) {
            closeWith(QStringLiteral("a line longer than %1 bytes").arg(maxLine));
            return;
        }
        if (!handleLine(std::move(line))) {
            return;
        }
    }
}

bool NativeConnection::handleLine(QByteArray line) {
    if (line.startsWith('\n')) {
        line.remove(0, 1); // a client that ends its lines with CR LF
    }
    if (line.isEmpty()) {
        return true;
    }
    idle_.start();
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
    const quint64 id = nextId_++;
    due_.push_back(Due{id, std::nullopt});
    idle_.stop(); // the wait for the line is ours, not the client's
    queue_.submit(this, {QString::fromLatin1(line)},
                  [this, id](const QList<LineAnswer>& answers) { onAnswers(id, answers); });
    return true;
}

void NativeConnection::onAnswers(quint64 id, const QList<LineAnswer>& answers) {
    if (closing_) {
        return;
    }
    const LineAnswer none{LineAnswer::Outcome::NoReply, {}, {}, {}};
    for (Due& d : due_) {
        if (d.id == id) {
            d.bytes = native::replyLine(answers.isEmpty() ? none : answers.front());
        }
    }
    sendReady();
    handleInput(); // commands the client sent ahead, now that there is room
}

void NativeConnection::sendReady() {
    while (!closing_ && !due_.empty() && due_.front().bytes) {
        const QByteArray bytes = *due_.front().bytes;
        due_.pop_front();
        send(bytes);
    }
    if (due_.empty() && !closing_) {
        idle_.start();
    }
}

void NativeConnection::send(const QByteArray& bytes) {
    if (closing_) {
        return;
    }
    socket_->write(bytes);
    if (socket_->bytesToWrite() > limits_.maxUnsentBytes) {
        closeWith(QStringLiteral("the client stopped reading"));
    }
}

void NativeConnection::closeWith(const QString& why, const QByteArray& lastWords) {
    if (closing_) {
        return;
    }
    closing_ = true;
    idle_.stop();
    queue_.forget(this);
    emit closed(why);
    if (socket_->state() == QAbstractSocket::ConnectedState) {
        // What was written goes out before the close (see PjlinkConnection::closeWith).
        socket_->write(lastWords);
        socket_->flush();
        if (socket_->bytesToWrite() == 0) {
            socket_->disconnectFromHost();
        }
    }
    socket_->abort();
    deleteLater();
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
