#include "serial/socket_link.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QUrl>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// The four com port settings the client sends, as bits of their acknowledgements.
constexpr int AllAcknowledged = 0xF;
// Values sent and not yet answered, kept per setting; a server that answers nothing does not
// make the list grow.
constexpr qsizetype MaxUnanswered = 8;

struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<sockaddr_storage> addresses;
};

QString lookupError(int status) {
#ifdef Q_OS_WIN
    return QStringLiteral("error %1").arg(status);
#else
    return QString::fromLocal8Bit(::gai_strerror(status));
#endif
}

// Resolves a name within the deadline into `addresses`; returns what went wrong, or an empty
// string. The lookup cannot be cancelled, so a slow one runs on in its own thread and its answer
// is dropped. That thread calls the system's resolver alone and touches no Qt state, which may be
// gone by the time it ends; the addresses become QHostAddress here.
QString lookUp(const QString& host, const QDeadlineTimer& deadline,
               QList<QHostAddress>& addresses) {
    QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty()) {
        ace = host.toUtf8();
    }
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, name = ace.toStdString()] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
            std::vector<sockaddr_storage> found;
            if (status == 0) {
                for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
                    sockaddr_storage address{};
                    std::memcpy(&address, entry->ai_addr,
                                std::min(size_t(entry->ai_addrlen), sizeof address));
                    found.push_back(address);
                }
                ::freeaddrinfo(list);
            }
            const std::lock_guard lock(lookup->mutex);
            lookup->status = status;
            lookup->addresses = std::move(found);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        return QStringLiteral("cannot look up \"%1\": the system gives no thread for it (%2)")
            .arg(host, QString::fromLocal8Bit(error.what()));
    }
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                               [&] { return lookup->finished; })) {
        return QStringLiteral("no answer within 2 seconds from the name lookup of \"%1\"; check "
                              "the name, or give the server's address")
            .arg(host);
    }
    for (const sockaddr_storage& address : lookup->addresses) {
        const QHostAddress candidate(reinterpret_cast<const sockaddr*>(&address));
        if (!candidate.isNull() && !addresses.contains(candidate)) {
            addresses << candidate;
        }
    }
    if (lookup->status != 0 || addresses.isEmpty()) {
        return QStringLiteral("the host \"%1\" was not found (%2); check the name, or give the "
                              "server's address")
            .arg(host,
                 lookup->status != 0 ? lookupError(lookup->status) : QStringLiteral("no address"));
    }
    return {};
}

// With no FIN or RST from a server that lost power or a network that dropped the connection,
// the system would keep the connection for many minutes. Probes after a few idle seconds, and a
// limit on data left unacknowledged, end it within about fifteen seconds instead, and the loss
// reaches the operator. Best effort: a system without these options keeps its own timing.
void watchForSilence(QTcpSocket& socket) {
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const int fd = int(socket.socketDescriptor());
    const int idleSeconds = 5;
    const int probeSeconds = 2;
    const int probes = 3;
    const unsigned int unacknowledgedMs = 10000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &probeSeconds, sizeof probeSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
#endif
}

// A host as a device address writes it: an IPv6 address in brackets.
QString bracketed(const QString& host) {
    return host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
}

// A setting's value as the operator reads it.
QString describeSetting(quint8 code, quint32 value) {
    switch (code) {
    case telnet::SetBaudrate:
        return QStringLiteral("%1 baud").arg(value);
    case telnet::SetDatasize:
        return QStringLiteral("%1 data bits").arg(value);
    case telnet::SetParity: {
        static const char* const names[] = {"none", "odd", "even", "mark", "space"};
        return value >= 1 && value <= 5
                   ? QStringLiteral("parity %1").arg(QLatin1String(names[value - 1]))
                   : QStringLiteral("parity code %1").arg(value);
    }
    default:
        return value == 1   ? QStringLiteral("1 stop bit")
               : value == 2 ? QStringLiteral("2 stop bits")
               : value == 3 ? QStringLiteral("1.5 stop bits")
                            : QStringLiteral("stop bits code %1").arg(value);
    }
}

} // namespace

class SocketLink::Blocking {
public:
    explicit Blocking(SocketLink& link) : link_(link), outer_(!link.blocking_) {
        link_.blocking_ = true;
    }
    ~Blocking() {
        if (!outer_) {
            return;
        }
        link_.blocking_ = false;
        // Data the socket read while the call waited raised no readyRead of the socket (Qt emits
        // none inside its own emission, which is where a receive handler's write runs), and
        // data taken meanwhile was not announced: both go to the reader from the event loop.
        if (link_.open_ && (link_.notifyPending_ || link_.socket_.bytesAvailable() > 0)) {
            link_.deliverLater();
        }
    }
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

private:
    SocketLink& link_;
    const bool outer_;
};

SocketLink::SocketLink(QObject* parent) : QObject(parent) {
    socket_.setReadBufferSize(MaxInbox);
    connect(&socket_, &QTcpSocket::readyRead, this, &SocketLink::pump);
    connect(&socket_, &QTcpSocket::disconnected, this, &SocketLink::onDisconnected);
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::SocketTimeoutError) {
            onDisconnected();
        }
    });
    // A socket the system ended without an error Qt reports still ends the link.
    connect(&socket_, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState) {
            onDisconnected();
        }
    });
}

SocketLink::~SocketLink() {
    socket_.disconnect(this);
    socket_.abort();
}

QString SocketLink::hostAndPort() const {
    return QStringLiteral("%1:%2").arg(bracketed(address_.host)).arg(address_.port);
}

QString SocketLink::where() const {
    return QStringLiteral("the device server %1 port %2")
        .arg(bracketed(address_.host))
        .arg(address_.port);
}

QString SocketLink::open(const DeviceAddress& address, const LineSettings& line) {
    close();
    address_ = address;
    telnet_ = address.kind == DeviceAddress::Kind::Rfc2217;
    decoder_ = telnet::Decoder();
    negotiator_ = telnet::Negotiator();
    settingsSent_ = false;
    acknowledged_ = 0;
    unanswered_ = {};
    mismatch_.clear();
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
    } else if (const QString failure = lookUp(address.host, deadline, candidates);
               !failure.isEmpty()) {
        return failure;
    }
    QString error;
    for (const QHostAddress& candidate : std::as_const(candidates)) {
        socket_.abort();
        socket_.connectToHost(candidate, address.port);
        if (socket_.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            watchForSilence(socket_);
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
    // The bound holds however fast the server talks: the deadline is checked at every turn, not
    // only when a wait runs out.
    while (acknowledged_ != AllAcknowledged && !negotiator_.comPortRefused() &&
           mismatch_.isEmpty() && !deadline.hasExpired()) {
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
                                      "tcp://%2 for a raw link")
                    .arg(where(), hostAndPort());
            }
            continue;
        }
        heardAnything = true;
        take();
    }
    if (!mismatch_.isEmpty()) {
        return mismatch_;
    }
    if (negotiator_.comPortRefused() || (heardAnything && !negotiator_.comPortAccepted())) {
        return QStringLiteral("%1 does not offer the com port option (RFC 2217); enable it on the "
                              "server, or use tcp://%2 for a raw link")
            .arg(where(), hostAndPort());
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
    for (const quint8 code :
         {telnet::SetBaudrate, telnet::SetDatasize, telnet::SetParity, telnet::SetStopsize}) {
        QList<quint32>& sent = unanswered_[code];
        if (sent.size() == MaxUnanswered) {
            sent.removeFirst();
        }
        sent << telnet::comPortValue(code, line_);
    }
    flush();
    settingsSent_ = true;
}

void SocketLink::flush() {
    // A flush that finds the connection gone sets off its signals at once; they must not reach
    // the reader from inside the caller.
    const Blocking blocking(*this);
    socket_.flush();
}

QString SocketLink::write(const QByteArray& data) {
    const QByteArray wire = telnet_ ? telnet::escape(data) : data;
    if (socket_.write(wire) != wire.size()) {
        return QStringLiteral("write refused by %1 (%2)").arg(where(), socket_.errorString());
    }
    {
        // Everything goes to the system now; if its buffer is full, wait on the socket alone.
        const Blocking blocking(*this);
        const QDeadlineTimer deadline(OpenBoundMs);
        socket_.flush();
        while (socket_.bytesToWrite() > 0 && socket_.state() == QAbstractSocket::ConnectedState &&
               !deadline.hasExpired()) {
            socket_.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        if (socket_.bytesToWrite() > 0 && socket_.state() == QAbstractSocket::ConnectedState) {
            // A server that takes nothing for this long is as good as gone; left open, it would
            // send the rest of a command reported as failed whenever it woke up again.
            const QString description =
                QStringLiteral("%1 took nothing for 2 seconds, so the connection is closed and "
                               "the command was not sent whole; choose the port again to "
                               "reconnect")
                    .arg(where());
            lose(description);
            socket_.abort();
            return description;
        }
    }
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        return QStringLiteral("the connection to %1 is gone; the command was not sent whole")
            .arg(where());
    }
    return {};
}

QByteArray SocketLink::readAll() {
    notifyPending_ = false;
    return std::exchange(inbox_, {});
}

bool SocketLink::take() {
    const QByteArray chunk = socket_.readAll();
    if (chunk.isEmpty()) {
        return false;
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
    if (!open_) {
        // Nothing before the line is set is an answer to the panel; none of it is kept.
        inbox_.clear();
        return false;
    }
    const bool added = inbox_.size() != before;
    if (inbox_.size() > MaxInbox) {
        inbox_.remove(0, inbox_.size() - MaxInbox);
    }
    notifyPending_ = notifyPending_ || added;
    return added;
}

void SocketLink::pump() {
    take();
    if (!notifyPending_ || !open_ || inbox_.isEmpty() || blocking_) {
        // While a call blocks, the notification waits for its end (see Blocking).
        return;
    }
    notifyPending_ = false;
    emit readyRead();
}

void SocketLink::deliverLater() {
    if (deliveryQueued_) {
        return;
    }
    deliveryQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            deliveryQueued_ = false;
            pump();
        },
        Qt::QueuedConnection);
}

void SocketLink::handleCommand(const telnet::Command& command) {
    if (command.verb != telnet::Sb) {
        const QByteArray reply = negotiator_.answer(command);
        if (!reply.isEmpty()) {
            socket_.write(reply);
            flush();
        }
        return;
    }
    // Answers to the settings count while the port opens and are checked throughout; line-state
    // and modem-state notifications, and anything else, are of no use to the panel.
    if (command.option != telnet::ComPortOption) {
        return;
    }
    if (const std::optional<telnet::ComPortAnswer> answer =
            telnet::comPortAnswer(command.payload)) {
        checkAnswer(*answer);
    }
}

void SocketLink::checkAnswer(const telnet::ComPortAnswer& answer) {
    // The server answers each setting with the value its port now runs.
    QList<quint32>& sent = unanswered_[answer.code];
    const quint32 asked =
        sent.isEmpty() ? telnet::comPortValue(answer.code, line_) : sent.takeFirst();
    if (answer.value == asked) {
        acknowledged_ |= 1 << (answer.code - 1);
        return;
    }
    const QString mismatch = QStringLiteral("%1 runs its serial port with %2, not with %3 as asked")
                                 .arg(where(), describeSetting(answer.code, answer.value),
                                      describeSetting(answer.code, asked));
    if (!open_) {
        if (mismatch_.isEmpty()) {
            mismatch_ = mismatch + QStringLiteral("; check that port's settings on the server");
        }
        return;
    }
    lose(mismatch + QStringLiteral(", so the port is closed; check that port's settings on the "
                                   "server, then choose the port again"));
    socket_.abort();
}

void SocketLink::onDisconnected() {
    if (!open_ || dropped_) {
        return;
    }
    // The loss is known before the last data is announced, so a receive handler that answers it
    // meets a port known to be gone rather than a write that seems to succeed.
    lose(QStringLiteral("the connection to %1 is gone and the port is closed (the system said: "
                        "%2); choose the port again to reconnect")
             .arg(where(), socket_.errorString()));
    // What was still in flight is still the projector's.
    pump();
}

void SocketLink::lose(const QString& description) {
    if (!open_ || dropped_) {
        return;
    }
    dropped_ = true;
    emit dropped(description);
}
