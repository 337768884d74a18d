#include "serial/socket_link.h"

#include <utility>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <sys/socket.h>
#endif

namespace {

// Values sent and not yet answered, kept per setting; a server that answers nothing does not
// make the list grow.
constexpr qsizetype MaxUnanswered = 8;
// How much of what a server says while the port opens is kept to show the operator.
constexpr qsizetype MaxGreeting = 160;

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
        if (link_.isOpen() && (link_.notifyPending_ || link_.socket_.bytesAvailable() > 0)) {
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
    subnegotiationWatch_.setSingleShot(true);
    subnegotiationWatch_.setInterval(SubnegotiationBoundMs);
    connect(&subnegotiationWatch_, &QTimer::timeout, this, &SocketLink::subnegotiationOverdue);
    keepAlive_.setInterval(DefaultKeepAliveMs);
    connect(&keepAlive_, &QTimer::timeout, this, &SocketLink::keepAlive);
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

void SocketLink::close() {
    state_ = State::Closed;
    notifyPending_ = false;
    subnegotiationWatch_.stop();
    keepAlive_.stop();
    socket_.abort();
    inbox_.clear();
    bridgeReply_.clear();
    bridgeCommand_.clear();
}

void SocketLink::setLine(const LineSettings& line) {
    line_ = line;
    if (state_ == State::Open && telnet()) {
        sendLine();
    }
}

void SocketLink::sendLine() {
    if (state_ == State::Negotiating) {
        state_ = State::SettingLine;
    }
    for (const quint8 code :
         {telnet::SetBaudrate, telnet::SetDatasize, telnet::SetParity, telnet::SetStopsize}) {
        QList<quint32>& sent = unanswered_[code];
        if (sent.size() == MaxUnanswered) {
            sent.removeFirst();
        }
        sent << telnet::comPortValue(code, line_);
    }
    send(telnet::comPortSettings(line_));
}

bool SocketLink::send(const QByteArray& wire) {
    if (socket_.state() != QAbstractSocket::ConnectedState || state_ == State::Lost) {
        return false;
    }
    if (socket_.bytesToWrite() > MaxBacklog) {
        fail(QStringLiteral("%1 stopped taking data").arg(where()),
             QStringLiteral("check the server and the network"));
        return false;
    }
    if (!opening() || !sendDirect(wire)) {
        socket_.write(wire);
    }
    flush();
    return true;
}

bool SocketLink::sendDirect(const QByteArray& wire) {
#ifdef Q_OS_LINUX
    // A server that turns the connection away says why and closes it (ser2net: "Port already in
    // use"). A negotiation sent into that close makes the server's system reset the connection,
    // and a write that meets the reset makes Qt drop the socket with everything it had not read
    // yet, the server's words among them. So while the line is set up, negotiation goes to the
    // system directly: a failed write is left for the reads to tell, words first. Only with
    // nothing queued in Qt, which would otherwise be overtaken.
    if (socket_.bytesToWrite() > 0) {
        return false;
    }
    const ssize_t sent = ::send(int(socket_.socketDescriptor()), wire.constData(),
                                size_t(wire.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        // The connection's end is left for the reads; anything else (a full buffer) goes to Qt.
        return errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
    }
    if (sent < wire.size()) {
        socket_.write(wire.mid(sent));
    }
    return true;
#else
    Q_UNUSED(wire);
    return false;
#endif
}

void SocketLink::flush() {
    // A flush that finds the connection gone sets off its signals at once; they must not reach
    // the reader from inside the caller.
    const Blocking blocking(*this);
    socket_.flush();
}

std::optional<Failure> SocketLink::write(const QByteArray& data) {
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        return Failure{
            QStringLiteral("the connection to %1 is gone; the command was not sent").arg(where())};
    }
    if (bridge()) {
        if (std::optional<Failure> refused = checkBridgeCommands(data)) {
            return refused;
        }
    }
    const QByteArray wire = telnet() ? telnet::escape(data) : data;
    if (socket_.write(wire) != wire.size()) {
        return Failure{
            QStringLiteral("write refused by %1 (%2)").arg(where(), socket_.errorString())};
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
            const Failure failure{
                QStringLiteral("%1 took nothing for 2 seconds, so the connection is closed and "
                               "the command was not sent whole")
                    .arg(where()),
                {},
                Remedy::Reconnect};
            lose(failure);
            socket_.abort();
            return failure;
        }
    }
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        return QStringLiteral("the connection to %1 is gone; the command was not sent whole")
            .arg(where());
    }
    if (bridge()) {
        keepAlive_.start(); // the next keep-alive is due a while after this write
    }
    return {};
}

QByteArray SocketLink::readAll() {
    notifyPending_ = false;
    return std::exchange(inbox_, {});
}

bool SocketLink::take() {
    if (bridge() && opening()) {
        return false; // the greeting and the password's answer are read by greet()
    }
    // A socket closed with nothing left to read is no longer readable at all.
    const QByteArray chunk = socket_.isReadable() ? socket_.readAll() : QByteArray();
    if (chunk.isEmpty()) {
        return false;
    }
    const qsizetype before = inbox_.size();
    if (bridge()) {
        takeBridgeReplies(chunk);
    } else if (!telnet()) {
        inbox_ += chunk;
    } else {
        QList<telnet::Command> commands;
        const int abandoned = decoder_.abandoned();
        decoder_.feed(chunk, inbox_, commands);
        for (const telnet::Command& command : std::as_const(commands)) {
            handleCommand(command);
        }
        if (decoder_.abandoned() != abandoned) {
            fail(QStringLiteral("%1 sent a Telnet subnegotiation of more than %2 bytes (the "
                                "replies in it were lost)")
                     .arg(where())
                     .arg(telnet::Decoder::MaxSubnegotiation),
                 QStringLiteral("check the server"));
        }
        checkSubnegotiation();
    }
    if (!isOpen()) {
        // Nothing before the line is set is an answer to the panel; none of it is kept, but the
        // first words may say why a server refuses the connection.
        greeting_ += inbox_.left(MaxGreeting - greeting_.size());
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
    if (!notifyPending_ || !isOpen() || inbox_.isEmpty() || blocking_) {
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
    ++commandsHeard_;
    if (command.verb != telnet::Sb) {
        countNegotiation();
        if (const QByteArray reply = negotiator_.answer(command); !reply.isEmpty()) {
            send(reply);
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

void SocketLink::countNegotiation() {
    // The negotiator's answers are bounded, but a server that goes on asking would keep the
    // link reading its requests for ever.
    if (!negotiationWindow_.isValid() || negotiationWindow_.elapsed() >= 1000) {
        negotiationWindow_.start();
        negotiationsInWindow_ = 0;
    }
    if (++negotiationsInWindow_ == MaxNegotiationsPerSecond + 1) {
        fail(QStringLiteral("%1 keeps asking to change Telnet options without end (more than %2 "
                            "requests in a second)")
                 .arg(where())
                 .arg(MaxNegotiationsPerSecond),
             QStringLiteral("check the server"));
    }
}

void SocketLink::checkSubnegotiation() {
    if (!decoder_.inSubnegotiation() || !isOpen()) {
        subnegotiationWatch_.stop();
    } else if (!subnegotiationWatch_.isActive()) {
        subnegotiationWatch_.start();
    }
}

void SocketLink::subnegotiationOverdue() {
    if (decoder_.inSubnegotiation()) {
        fail(QStringLiteral("%1 began a Telnet subnegotiation and did not end it within %2 ms "
                            "(the replies after it would be lost)")
                 .arg(where())
                 .arg(SubnegotiationBoundMs),
             QStringLiteral("check the server"));
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
    fail(QStringLiteral("%1 runs its serial port with %2, not with %3 as asked")
             .arg(where(), describeSetting(answer.code, answer.value),
                  describeSetting(answer.code, asked)),
         QStringLiteral("check that port's settings on the server"));
}

void SocketLink::fail(const QString& what, const QString& advice) {
    if (opening()) {
        if (failure_.isEmpty()) {
            failure_ = QStringLiteral("%1; %2").arg(what, advice);
        }
        return;
    }
    if (state_ != State::Open) {
        return;
    }
    lose(Failure{QStringLiteral("%1, so the port is closed").arg(what), advice, Remedy::Reopen});
    socket_.abort();
}

void SocketLink::onDisconnected() {
    if (state_ != State::Open) {
        return;
    }
    // The loss is known before the last data is announced, so a receive handler that answers it
    // meets a port known to be gone rather than a write that seems to succeed.
    lose(Failure{QStringLiteral("the connection to %1 is gone and the port is closed (the system "
                                "said: %2)")
                     .arg(where(), socket_.errorString()),
                 {},
                 Remedy::Reconnect});
    // What was still in flight is still the projector's.
    pump();
}

void SocketLink::lose(const Failure& failure) {
    if (state_ != State::Open) {
        return;
    }
    state_ = State::Lost;
    subnegotiationWatch_.stop();
    emit dropped(failure);
}
