// Opening a device server's link: the connection, the Telnet negotiation bounded in time, and
// what the operator is told when either fails.
#include "serial/socket_link.h"

#include "serial/name_lookup.h"
#include "serial/silence_watch.h"

#include <QDeadlineTimer>
#include <QHostAddress>

namespace {

// The four com port settings the client sends, as bits of their acknowledgements.
constexpr int AllAcknowledged = 0xF;

// A host as a device address writes it: an IPv6 address in brackets.
QString bracketed(const QString& host) {
    return host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
}

// A server's words as one line of plain text: control characters become spaces.
QString plainLine(const QByteArray& bytes) {
    QString text = QString::fromLatin1(bytes);
    for (QChar& ch : text) {
        if (ch.unicode() < 0x20 || (ch.unicode() >= 0x7F && ch.unicode() < 0xA0)) {
            ch = u' ';
        }
    }
    return text.simplified();
}

} // namespace

QString SocketLink::hostAndPort() const {
    return QStringLiteral("%1:%2").arg(bracketed(address_.host)).arg(address_.port);
}

QString SocketLink::where() const {
    return (bridge() ? QStringLiteral("the bridge %1 port %2")
                     : QStringLiteral("the device server %1 port %2"))
        .arg(bracketed(address_.host))
        .arg(address_.port);
}

std::optional<Failure> SocketLink::open(const DeviceAddress& address, const LineSettings& line,
                                        const name_lookup::Resolver& resolver,
                                        const std::optional<QByteArray>& password) {
    close();
    address_ = address;
    decoder_ = telnet::Decoder();
    negotiator_ = telnet::Negotiator();
    negotiationWindow_.invalidate();
    negotiationsInWindow_ = 0;
    commandsHeard_ = 0;
    acknowledged_ = 0;
    unanswered_ = {};
    failure_.clear();
    greeting_.clear();
    blocking_ = true;
    state_ = State::Connecting;
    const QDeadlineTimer deadline(OpenBoundMs);
    line_ = line;
    std::optional<Failure> error;
    if (std::optional<QString> unreached = connectSocket(address, deadline, resolver)) {
        error = Failure{*unreached};
    } else if (telnet()) {
        state_ = State::Negotiating;
        send(negotiator_.start());
        if (std::optional<QString> refused = negotiate(deadline)) {
            error = Failure{*refused};
        }
    } else if (bridge()) {
        state_ = State::Negotiating;
        error = greet(deadline, password);
    }
    blocking_ = false;
    notifyPending_ = false;
    if (error) {
        state_ = State::Closed;
        socket_.abort();
        bridgeReply_.clear();
        return error;
    }
    if (bridge()) {
        keepAlive_.start();
    }
    // Whatever came before the line was set is not an answer to anything the panel sent.
    inbox_.clear();
    state_ = State::Open;
    checkSubnegotiation();
    return {};
}

std::optional<QString> SocketLink::connectSocket(const DeviceAddress& address,
                                                 const QDeadlineTimer& deadline,
                                                 const name_lookup::Resolver& resolver) {
    QList<QHostAddress> candidates;
    QHostAddress literal;
    if (literal.setAddress(address.host)) {
        candidates << literal;
    } else if (std::optional<QString> failure =
                   name_lookup::lookUp(address.host, deadline, candidates, resolver)) {
        return failure;
    }
    // A lookup gives at least one address, so a failed connection always says why.
    QString error = QStringLiteral("%1 has no address to connect to").arg(where());
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

std::optional<QString> SocketLink::negotiate(const QDeadlineTimer& deadline) {
    // The bound holds however fast the server talks: the deadline is checked at every turn, not
    // only when a wait runs out.
    while (acknowledged_ != AllAcknowledged && !negotiator_.comPortRefused() &&
           failure_.isEmpty() && !deadline.hasExpired()) {
        // The settings go out once the server has agreed to the option.
        if (negotiator_.comPortAccepted() && state_ == State::Negotiating) {
            sendLine();
        }
        if (!socket_.flush() && socket_.bytesToWrite() > 0) {
            socket_.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        if (socket_.bytesAvailable() == 0 &&
            !socket_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (socket_.state() != QAbstractSocket::ConnectedState) {
                break;
            }
            continue;
        }
        take();
    }
    // The server may have closed after its last words: they are in the socket still.
    take();
    if (acknowledged_ == AllAcknowledged && failure_.isEmpty()) {
        return std::nullopt;
    }
    return openFailure();
}

QString SocketLink::openFailure() const {
    const bool heardTelnet = commandsHeard_ > 0 || decoder_.inSubnegotiation();
    if (!failure_.isEmpty()) {
        return failure_;
    }
    const QString greeting = plainLine(greeting_);
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        if (!greeting.isEmpty()) {
            // The server's own words say why (ser2net: "Port already in use").
            return QStringLiteral("%1 closed the connection while setting up the line, saying "
                                  "\"%2\"")
                .arg(where(), greeting);
        }
        return QStringLiteral("%1 closed the connection while setting up the line; check that "
                              "it offers the com port option (RFC 2217), or use tcp://%2 for a "
                              "raw link")
            .arg(where(), hostAndPort());
    }
    // Refused outright, or data with no Telnet at all: a server without the option.
    if (negotiator_.comPortRefused() || (!greeting_.isEmpty() && !heardTelnet)) {
        return QStringLiteral("%1 does not offer the com port option (RFC 2217); enable it on the "
                              "server, or use tcp://%2 for a raw link")
            .arg(where(), hostAndPort());
    }
    if (decoder_.inSubnegotiation()) {
        return QStringLiteral("%1 began a Telnet subnegotiation and never ended it; check the "
                              "server")
            .arg(where());
    }
    if (heardTelnet) {
        // It speaks Telnet but is slow: saying it lacks the option would send the operator to
        // tcp://, where the line settings would be silently dropped.
        return QStringLiteral("%1 did not answer the line settings within 2 seconds; check the "
                              "server's load and the network, then try again")
            .arg(where());
    }
    return QStringLiteral("%1 accepted the connection but did not answer the line settings "
                          "within 2 seconds; check that it speaks Telnet with the com port "
                          "option (RFC 2217)")
        .arg(where());
}
