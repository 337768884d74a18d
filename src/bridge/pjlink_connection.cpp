#include "bridge/pjlink_connection.h"

#include <QTcpSocket>

PjlinkConnection::PjlinkConnection(QTcpSocket* socket, LineQueue& queue,
                                   const pjlink::Identity& identity,
                                   const std::optional<QByteArray>& password,
                                   const ConnectionLimits& limits, QObject* parent)
    : QObject(parent), socket_(socket), queue_(queue), identity_(identity), limits_(limits) {
    socket_->setParent(this);
    // What a client sends ahead while its request waits for the line stays in the kernel's
    // buffer beyond this, where TCP holds the client back.
    socket_->setReadBufferSize(limits_.maxBufferedBytes);
    // The kernel's own buffers small too: a client that sends without reading is held back, and
    // closed for not reading, after kilobytes rather than megabytes.
    socket_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                             limits_.kernelBufferBytes);
    socket_->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption,
                             limits_.kernelBufferBytes);
    // Replies are a few bytes each; without this the kernel may hold one back for the next.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QTcpSocket::readyRead, this, &PjlinkConnection::onReadyRead);
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
    queue_.addUser(this, UserKind::Pjlink);

    std::optional<QByteArray> random;
    if (password) {
        random = pjlink::newRandom();
        digest_ = pjlink::digest(*random, *password);
        expectedDigest_ = digest_;
    }
    send(pjlink::greeting(random));
}

PjlinkConnection::~PjlinkConnection() {
    queue_.forget(this);
}

void PjlinkConnection::onReadyRead() {
    handleInput();
}

void PjlinkConnection::handleInput() {
    // Without room in the line queue nothing more is read: what the client sends ahead waits in
    // the socket's bounded buffers, and it resumes as its requests are answered.
    while (!closing_ && queue_.hasRoom(this)) {
        // Read only up to the limit: the rest stays in the socket's bounded buffer.
        const qsizetype room = limits_.maxBufferedBytes - input_.size();
        if (room > 0 && socket_->bytesAvailable() > 0) {
            input_ += socket_->read(room);
        }
        const qsizetype cr = input_.indexOf('\r');
        if (cr < 0) {
            if (input_.size() > pjlink::MaxLineBytes) {
                closeWith(QStringLiteral("a line longer than %1 bytes").arg(pjlink::MaxLineBytes));
            }
            return;
        }
        QByteArray line = input_.left(cr);
        input_.remove(0, cr + 1);
        if (line.size() + 1 > pjlink::MaxLineBytes) {
            closeWith(QStringLiteral("a line longer than %1 bytes").arg(pjlink::MaxLineBytes));
            return;
        }
        if (!handleLine(std::move(line))) {
            return;
        }
    }
}

bool PjlinkConnection::handleLine(QByteArray line) {
    if (line.startsWith('\n')) {
        line.remove(0, 1); // a client that ends its lines with CR LF
    }
    if (line.isEmpty()) {
        return true;
    }
    idle_.start();
    if (expectedDigest_) {
        if (!pjlink::startsWithDigest(line, *expectedDigest_)) {
            emit authenticationFailed();
            closeWith(QStringLiteral("wrong or missing password digest"), pjlink::authFailure());
            return false;
        }
        expectedDigest_.reset();
        line.remove(0, pjlink::DigestChars);
    } else if (!digest_.isEmpty() && pjlink::hasDigestShape(line)) {
        // Some clients send the digest with every command; it must still be the right one.
        if (!pjlink::startsWithDigest(line, digest_)) {
            emit authenticationFailed();
            closeWith(QStringLiteral("wrong password digest"), pjlink::authFailure());
            return false;
        }
        line.remove(0, pjlink::DigestChars);
    }
    if (line.size() + 1 > pjlink::MaxCommandBytes) {
        closeWith(QStringLiteral("a line longer than %1 bytes").arg(pjlink::MaxCommandBytes));
        return false;
    }
    if (!pjlink::isCommandLine(line)) {
        closeWith(QStringLiteral("not a PJLink command line"));
        return false;
    }
    const pjlink::Handling handling = pjlink::handle(line, identity_);
    if (handling.codes.isEmpty()) {
        reply(pjlink::replyLine(handling.header, handling.answer));
        if (!due_.empty()) {
            idle_.stop(); // still waiting for the line
        }
        return !closing_;
    }
    const quint64 id = nextId_++;
    due_.push_back(Due{id, std::nullopt});
    idle_.stop(); // the wait for the line is ours, not the client's
    queue_.submit(this, handling.codes, [this, id, handling](const QList<LineAnswer>& answers) {
        onAnswers(id, handling, answers);
    });
    return true;
}

void PjlinkConnection::onAnswers(quint64 id, const pjlink::Handling& handling,
                                 const QList<LineAnswer>& answers) {
    if (closing_) {
        return;
    }
    for (Due& d : due_) {
        if (d.id == id) {
            d.bytes =
                pjlink::replyLine(handling.header, pjlink::answerFrom(handling.mapping, answers));
        }
    }
    sendReady();
    handleInput(); // commands the client sent ahead, now that there is room
}

void PjlinkConnection::reply(const QByteArray& bytes) {
    if (due_.empty()) {
        send(bytes);
    } else {
        due_.push_back(Due{nextId_++, bytes});
    }
}

void PjlinkConnection::sendReady() {
    while (!closing_ && !due_.empty() && due_.front().bytes) {
        const QByteArray bytes = *due_.front().bytes;
        due_.pop_front();
        send(bytes);
    }
    if (due_.empty() && !closing_) {
        idle_.start();
    }
}

void PjlinkConnection::send(const QByteArray& bytes) {
    if (closing_) {
        return;
    }
    socket_->write(bytes);
    if (socket_->bytesToWrite() > limits_.maxUnsentBytes) {
        closeWith(QStringLiteral("the client stopped reading"));
    }
}

void PjlinkConnection::closeWith(const QString& why, const QByteArray& lastWords) {
    if (closing_) {
        return;
    }
    closing_ = true;
    idle_.stop();
    queue_.forget(this);
    emit closed(why);
    if (socket_->state() == QAbstractSocket::ConnectedState) {
        // Replies already written (and any last words) go out before the close: flush() hands
        // them to the kernel now, so deleting the socket below cannot lose them. A client that
        // stopped reading has left them unsent; those are dropped.
        socket_->write(lastWords);
        socket_->flush();
        if (socket_->bytesToWrite() == 0) {
            socket_->disconnectFromHost();
        }
    }
    socket_->abort();
    deleteLater();
}
