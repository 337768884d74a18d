#include "bridge/client_connection.h"

#include "bridge/pjlink_protocol.h"

#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

QString seconds(int ms) {
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0);
}

} // namespace

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
#ifdef Q_OS_UNIX
    spare_ = ::dup(int(socket_->socketDescriptor()));
#endif
    connect(socket_, &QTcpSocket::readyRead, this, &ClientConnection::handleInput);
    connect(socket_, &QTcpSocket::disconnected, this, [this] {
        if (!inputEnded_) {
            closeWith(QString());
        }
    });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError) {
            endOfInput();
        } else {
            closeWith(socket_->errorString());
        }
    });

    idle_.setSingleShot(true);
    idle_.setInterval(limits_.idleMs);
    connect(&idle_, &QTimer::timeout, this,
            [this] { closeWith(QStringLiteral("idle for %1").arg(seconds(limits_.idleMs))); });
    admission_.setSingleShot(true);
    admission_.setInterval(limits_.admissionMs);
    connect(&admission_, &QTimer::timeout, this, [this] {
        closeWith(QStringLiteral("%1 within %2")
                      .arg(passwordRequired_ ? QStringLiteral("no password digest")
                                             : QStringLiteral("no command"),
                           seconds(limits_.admissionMs)));
    });
    queue_.addUser(this, kind);
}

ClientConnection::~ClientConnection() {
    queue_.forget(this);
#ifdef Q_OS_UNIX
    if (spare_ >= 0) {
        ::close(spare_);
    }
#endif
}

void ClientConnection::setGreeting(const QByteArray& greeting, bool passwordRequired,
                                   bool admitAtOnce) {
    greeting_ = greeting;
    passwordRequired_ = passwordRequired;
    admitAtOnce_ = admitAtOnce;
}

void ClientConnection::start(int delayMs) {
    const auto greet = [this] {
        if (closing_ || greeted_) {
            return;
        }
        greeted_ = true;
        send(greeting_);
        idle_.start();
        if (admitAtOnce_ && !admit()) {
            return;
        }
        if (!admitted_) {
            admission_.start();
        }
        handleInput(); // lines sent before the greeting
    };
    if (delayMs > 0) {
        QTimer::singleShot(delayMs, this, greet);
    } else {
        greet();
    }
}

bool ClientConnection::admit() {
    if (!admitted_ && !closing_) {
        admitted_ = true;
        admission_.stop();
        emit admitted();
    }
    return !closing_;
}

void ClientConnection::restartIdle() {
    if (!inputEnded_ && !closing_) {
        idle_.start();
    }
}

void ClientConnection::handleInput() {
    // Nothing is read before the greeting: a client held back by failed passwords gets no
    // verdict on a guess sooner than its greeting.
    if (!greeted_) {
        return;
    }
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
                return;
            }
            finishIfDone();
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
                restartIdle();
            }
            continue;
        }
        restartIdle();
        if (!handleLine(std::move(line))) {
            return;
        }
    }
}

void ClientConnection::endOfInput() {
    if (closing_ || inputEnded_) {
        return;
    }
    inputEnded_ = true;
    idle_.stop();
    admission_.stop();
    if (!greeted_) {
        closeWith(QString()); // gone before it could be greeted: nothing it sent can count
        return;
    }
    handleInput();
    finishIfDone();
}

void ClientConnection::finishIfDone() {
    if (inputEnded_ && !closing_ && due_.empty() && !input_.contains('\r') &&
        socket_->bytesAvailable() == 0) {
        closeWith(QString());
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
    if (due_.empty()) {
        restartIdle();
        finishIfDone();
    }
}

void ClientConnection::send(const QByteArray& bytes) {
    if (closing_) {
        return;
    }
    if (inputEnded_) {
        if (!sendAfterEnd(bytes)) {
            closeWith(QString());
        }
        return;
    }
    socket_->write(bytes);
    // Handed to the kernel now: an end of input read before Qt's own flush would lose it.
    socket_->flush();
    if (socket_->bytesToWrite() > limits_.maxUnsentBytes) {
        closeWith(QStringLiteral("the client stopped reading"));
    }
}

bool ClientConnection::sendAfterEnd(const QByteArray& bytes) {
#ifdef Q_OS_UNIX
    if (spare_ < 0 || bytes.isEmpty()) {
        return spare_ >= 0;
    }
    // The replies after end of input are a few, within the kernel's buffer: one that does not
    // fit belongs to a client that does not read, and is not waited for.
    const ssize_t sent =
        ::send(spare_, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == ssize_t(bytes.size());
#else
    Q_UNUSED(bytes);
    return false;
#endif
}

void ClientConnection::closeWith(const QString& why, const QByteArray& lastWords) {
    if (closing_) {
        return;
    }
    closing_ = true;
    idle_.stop();
    admission_.stop();
    queue_.forget(this);
    emit closed(why);
    if (inputEnded_) {
        sendAfterEnd(lastWords);
    } else if (socket_->state() == QAbstractSocket::ConnectedState) {
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
#ifdef Q_OS_UNIX
    // The last descriptor of the socket: closing it ends the connection.
    if (spare_ >= 0) {
        ::close(spare_);
        spare_ = -1;
    }
#endif
    deleteLater();
}

bool ClientConnection::takeDigest(QByteArray& line, const QByteArray& expected, const QString& why,
                                  const QByteArray& lastWords) {
    if (!pjlink::startsWithDigest(line, expected)) {
        emit authenticationFailed();
        closeWith(why, lastWords);
        return false;
    }
    line.remove(0, pjlink::DigestChars);
    return true;
}
