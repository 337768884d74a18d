#include "bridge/client_connection.h"

#include <QTcpSocket>

ClientConnection::ClientConnection(QTcpSocket* socket, LineQueue& queue, UserKind kind,
                                   const ConnectionLimits& limits, qsizetype maxLineBytes,
                                   QObject* parent)
    : QObject(parent), socket_(socket), queue_(queue), limits_(limits),
      maxLineBytes_(maxLineBytes) {
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
    connect(socket_, &QTcpSocket::readyRead, this, &ClientConnection::handleInput);
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
    queue_.addUser(this, kind);
}

ClientConnection::~ClientConnection() {
    queue_.forget(this);
}

void ClientConnection::handleInput() {
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
            if (input_.size() > maxLineBytes_) {
                closeWith(QStringLiteral("a line longer than %1 bytes").arg(maxLineBytes_));
            }
            return;
        }
        QByteArray line = input_.left(cr);
        input_.remove(0, cr + 1);
        if (line.size() + 1 > maxLineBytes_) {
            closeWith(QStringLiteral("a line longer than %1 bytes").arg(maxLineBytes_));
            return;
        }
        if (line.startsWith('\n')) {
            line.remove(0, 1); // a client that ends its lines with CR LF
        }
        if (line.isEmpty()) {
            // A bare CR keeps an idle connection open (the native client's keep-alive).
            if (due_.empty()) {
                idle_.start();
            }
            continue;
        }
        idle_.start();
        if (!handleLine(std::move(line))) {
            return;
        }
    }
}

void ClientConnection::submit(const QStringList& codes,
                              std::function<QByteArray(const QList<LineAnswer>&)> toReply) {
    const quint64 id = nextId_++;
    due_.push_back(Due{id, std::nullopt});
    idle_.stop(); // the wait for the line is ours, not the client's
    queue_.submit(this, codes,
                  [this, id, toReply = std::move(toReply)](const QList<LineAnswer>& answers) {
                      if (!closing_) {
                          onAnswer(id, toReply(answers));
                      }
                  });
}

void ClientConnection::onAnswer(quint64 id, const QByteArray& bytes) {
    for (Due& d : due_) {
        if (d.id == id) {
            d.bytes = bytes;
        }
    }
    sendReady();
    handleInput(); // commands the client sent ahead, now that there is room
}

void ClientConnection::reply(const QByteArray& bytes) {
    if (due_.empty()) {
        send(bytes);
    } else {
        due_.push_back(Due{nextId_++, bytes});
        idle_.stop(); // still waiting for the line
    }
}

void ClientConnection::sendReady() {
    while (!closing_ && !due_.empty() && due_.front().bytes) {
        const QByteArray bytes = *due_.front().bytes;
        due_.pop_front();
        send(bytes);
    }
    if (due_.empty() && !closing_) {
        idle_.start();
    }
}

void ClientConnection::send(const QByteArray& bytes) {
    if (closing_) {
        return;
    }
    socket_->write(bytes);
    if (socket_->bytesToWrite() > limits_.maxUnsentBytes) {
        closeWith(QStringLiteral("the client stopped reading"));
    }
}

void ClientConnection::closeWith(const QString& why, const QByteArray& lastWords) {
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
