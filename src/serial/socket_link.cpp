#include "serial/socket_link.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// The four com port settings the client sends, as bits of their acknowledgements.
constexpr int AllAcknowledged = 0xF;

struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    QHostInfo info;
};

// Resolves a name within the deadline. The lookup itself cannot be cancelled, so a slow one runs
// on in its own thread and its answer is dropped.
std::optional<QHostInfo> lookUp(const QString& host, const QDeadlineTimer& deadline) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host] {
        QHostInfo info = QHostInfo::fromName(host);
        const std::lock_guard lock(lookup->mutex);
        lookup->info = info;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                               [&] { return lookup->finished; })) {
        return std::nullopt;
    }
    return lookup->info;
}

} // namespace

SocketLink::SocketLink(QObject* parent) : QObject(parent) {
    socket_.setReadBufferSize(64 * 1024);
    connect(&socket_, &QTcpSocket::readyRead, this, &SocketLink::pump);
    connect(&socket_, &QTcpSocket::disconnected, this, &SocketLink::onDisconnected);
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::SocketTimeoutError) {
            onDisconnected();
        }
    });
}

SocketLink::~SocketLink() {
    socket_.disconnect(this);
    socket_.abort();
}

QString SocketLink::where() const {
    return QStringLiteral("the device server %1 port %2").arg(address_.host).arg(address_.port);
}

QString SocketLink::open(const DeviceAddress& address, const LineSettings& line) {
    close();
    address_ = address;
    telnet_ = address.kind == DeviceAddress::Kind::Rfc2217;
    decoder_ = telnet::Decoder();
    negotiator_ = telnet::Negotiator();
    settingsSent_ = false;
    acknowledged_ = 0;
    inbox_.clear();
    dropped_ = false;
    blocking_ = true;
    const QDeadlineTimer deadline(OpenBoundMs);
    line_ = line;
    QString error = connectSocket(address, deadline);
    if (error.isEmpty() && telnet_) {
        socket_.write(negotiator_.start());
        error = negotiate(deadline);
    }
    blocking_ = false;
    notifyPending_ = false;
    if (!error.isEmpty()) {
        socket_.abort();
        return error;
    }
    // Whatever came before the line was set is not an answer to anything the panel sent.
    inbox_.clear();
    open_ = true;
    return {};
}

QString SocketLink::connectSocket(const DeviceAddress& address, const QDeadlineTimer& deadline) {
    QList<QHostAddress> candidates;
    QHostAddress literal;
    if (literal.setAddress(address.host)) {
        candidates << literal;
    } else {
        const std::optional<QHostInfo> info = lookUp(address.host, deadline);
        if (!info) {
            return QStringLiteral("no answer within 2 seconds from the name lookup of \"%1\"; "
                                  "check the name, or give the server's address")
                .arg(address.host);
        }
        if (info->error() != QHostInfo::NoError || info->addresses().isEmpty()) {
            return QStringLiteral("the host \"%1\" was not found (%2); check the name, or give the "
                                  "server's address")
                .arg(address.host, info->errorString());
        }
        candidates = info->addresses();
    }
    QString error;
    for (const QHostAddress& candidate : std::as_const(candidates)) {
        socket_.abort();
        socket_.connectToHost(candidate, address.port);
        if (socket_.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            return {};
        }
        if (socket_.error() == QAbstractSocket::ConnectionRefusedError) {
            error = QStringLiteral("%1 refused the connection (%2); check that the server runs "
                                   "and listens on that port")
                        .arg(where(), socket_.errorString());
        } else if (socket_.error() == QAbstractSocket::SocketTimeoutError ||
                   deadline.hasExpired()) {
            error = QStringLiteral("%1 did not answer within 2 seconds; check the address and "
                                   "the network")
                        .arg(where());
        } else {
            error = QStringLiteral("cannot reach %1 (%2)").arg(where(), socket_.errorString());
        }
        if (deadline.hasExpired()) {
            break;
        }
    }
    return error;
}

QString SocketLink::negotiate(const QDeadlineTimer& deadline) {
    bool heardAnything = false;
    while (acknowledged_ != AllAcknowledged && !negotiator_.comPortRefused()) {
        // The settings go out once the server has agreed to the option.
        if (negotiator_.comPortAccepted() && !settingsSent_) {
            sendLine();
        }
        if (!socket_.flush() && socket_.bytesToWrite() > 0) {
            socket_.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        if (socket_.bytesAvailable() == 0 &&
            !socket_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (socket_.state() != QAbstractSocket::ConnectedState) {
                return QStringLiteral("%1 closed the connection while setting up the line; check "
                                      "that it offers the com port option (RFC 2217), or use "
                                      "tcp://%2:%3 for a raw link")
                    .arg(where(), address_.host)
                    .arg(address_.port);
            }
            if (deadline.hasExpired()) {
                break;
            }
            continue;
        }
        heardAnything = true;
        pump();
    }
    if (negotiator_.comPortRefused() || (heardAnything && !negotiator_.comPortAccepted())) {
        return QStringLiteral("%1 does not offer the com port option (RFC 2217); enable it on the "
                              "server, or use tcp://%2:%3 for a raw link")
            .arg(where(), address_.host)
            .arg(address_.port);
    }
    if (acknowledged_ != AllAcknowledged) {
        return QStringLiteral("%1 accepted the connection but did not answer the line settings "
                              "within 2 seconds; check that it speaks Telnet with the com port "
                              "option (RFC 2217)")
            .arg(where());
    }
    return {};
}

void SocketLink::close() {
    open_ = false;
    notifyPending_ = false;
    socket_.abort();
    inbox_.clear();
}

void SocketLink::setLine(const LineSettings& line) {
    line_ = line;
    if (open_ && telnet_) {
        sendLine();
    }
}

void SocketLink::sendLine() {
    socket_.write(telnet::comPortSettings(line_));
    socket_.flush();
    settingsSent_ = true;
}

QString SocketLink::write(const QByteArray& data) {
    const QByteArray wire = telnet_ ? telnet::escape(data) : data;
    if (socket_.write(wire) != wire.size()) {
        return QStringLiteral("write refused by %1 (%2)").arg(where(), socket_.errorString());
    }
    // Everything goes to the system now; if its buffer is full, wait on the socket alone.
    blocking_ = true;
    const QDeadlineTimer deadline(OpenBoundMs);
    socket_.flush();
    while (socket_.bytesToWrite() > 0 && socket_.state() == QAbstractSocket::ConnectedState &&
           !deadline.hasExpired()) {
        socket_.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    blocking_ = false;
    if (notifyPending_) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (notifyPending_ && !inbox_.isEmpty()) {
                    notifyPending_ = false;
                    emit readyRead();
                }
            },
            Qt::QueuedConnection);
    }
    if (socket_.bytesToWrite() > 0) {
        return QStringLiteral("%1 took nothing for 2 seconds; the command was not sent whole")
            .arg(where());
    }
    return {};
}

QByteArray SocketLink::readAll() {
    notifyPending_ = false;
    return std::exchange(inbox_, {});
}

void SocketLink::pump() {
    const QByteArray chunk = socket_.readAll();
    if (chunk.isEmpty()) {
        return;
    }
    const qsizetype before = inbox_.size();
    if (!telnet_) {
        inbox_ += chunk;
    } else {
        QList<telnet::Command> commands;
        decoder_.feed(chunk, inbox_, commands);
        for (const telnet::Command& command : std::as_const(commands)) {
            handleCommand(command);
        }
    }
    if (inbox_.size() == before || !open_) {
        return;
    }
    if (blocking_) {
        notifyPending_ = true;
        return;
    }
    emit readyRead();
}

void SocketLink::handleCommand(const telnet::Command& command) {
    if (command.verb != telnet::Sb) {
        const QByteArray reply = negotiator_.answer(command);
        if (!reply.isEmpty()) {
            socket_.write(reply);
            socket_.flush();
        }
        return;
    }
    // Acknowledgements of the settings count while the port opens; line-state and modem-state
    // notifications, and anything else, are of no use to the panel.
    if (command.option != telnet::ComPortOption || command.payload.isEmpty()) {
        return;
    }
    const int code = quint8(command.payload[0]) - telnet::ServerOffset;
    if (code >= telnet::SetBaudrate && code <= telnet::SetStopsize) {
        acknowledged_ |= 1 << (code - 1);
    }
}

void SocketLink::onDisconnected() {
    if (!open_ || dropped_) {
        return;
    }
    dropped_ = true;
    // What was still in flight is still the projector's.
    pump();
    emit dropped(socket_.errorString());
}
