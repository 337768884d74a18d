#include "bridge/metrics/metrics_server.h"

#include "bridge/metrics/prometheus_text.h"

#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    }
    return "Error";
}

// The request head ends at the first empty line; clients may end lines with LF alone.
qsizetype headEnd(const QByteArray& buffer) {
    const qsizetype crlf = buffer.indexOf("\r\n\r\n");
    const qsizetype lf = buffer.indexOf("\n\n");
    if (crlf < 0) {
        return lf;
    }
    return lf < 0 ? crlf : std::min(crlf, lf);
}

// The path of a request target: the origin form as it is, the absolute form
// ("http://127.0.0.1:9352/metrics", which a client may send and a server must take) from the
// first slash after the authority; either without its query.
QByteArray targetPath(const QByteArray& target) {
    QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    const qsizetype scheme = path.indexOf("://");
    if (scheme > 0 && !path.startsWith('/')) {
        const qsizetype slash = path.indexOf('/', scheme + 3);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    return path;
}

} // namespace

MetricsServer::MetricsServer(std::function<QByteArray()> provider, QObject* parent)
    : QObject(parent), provider_(std::move(provider)) {}

MetricsServer::~MetricsServer() = default;

Result<> MetricsServer::listen(const QList<QHostAddress>& addresses, quint16 port,
                               const QList<QHostAddress>& optional) {
    for (const QHostAddress& address : addresses + optional) {
        auto* server = new QTcpServer(this);
        // A burst of scrapes waits in the kernel for its turn rather than being dropped there.
        server->setListenBacklogSize(MaxHeld);
        server->setMaxPendingConnections(MaxHeld);
        if (!server->listen(address, servers_.isEmpty() ? port : servers_.front()->serverPort())) {
            const QString why = server->errorString();
            delete server;
            if (optional.contains(address)) {
                continue;
            }
            qDeleteAll(std::exchange(servers_, {}));
            return Failure(QStringLiteral("cannot serve metrics on %1 port %2: %3")
                               .arg(address.toString())
                               .arg(port)
                               .arg(why));
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] { accept(server); });
        servers_ << server;
    }
    return succeeded();
}

quint16 MetricsServer::serverPort() const {
    return servers_.isEmpty() ? 0 : servers_.front()->serverPort();
}

QList<QHostAddress> MetricsServer::addresses() const {
    QList<QHostAddress> all;
    for (const QTcpServer* server : servers_) {
        all << server->serverAddress();
    }
    return all;
}

void MetricsServer::accept(QTcpServer* server) {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (requests_.size() >= MaxHeld) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        Request request;
        request.turnedAway = served_ >= MaxConnections;
        served_ += request.turnedAway ? 0 : 1;
        requests_.insert(socket, request);
        // The whole connection, request and answer, lives at most this long.
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        deadline->start(requestTimeoutMs_);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (const auto request = requests_.find(socket); request != requests_.end()) {
                served_ -= request->turnedAway ? 0 : 1;
                requests_.erase(request);
            }
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        read(socket);
    }
}

void MetricsServer::read(QTcpSocket* socket) {
    const auto request = requests_.find(socket);
    if (request == requests_.end()) {
        return;
    }
    if (request->answered) {
        socket->readAll(); // whatever follows the one request is not read as another
        return;
    }
    request->head += socket->read(RequestLimit + 1 - request->head.size());
    const qsizetype end = headEnd(request->head);
    if (end < 0) {
        if (request->head.size() > RequestLimit) {
            socket->abort();
        }
        return;
    }
    request->answered = true;
    const QByteArray head = request->head.left(end);
    request->head.clear();
    if (request->turnedAway) {
        // The whole request is read first: closing with some of it unread would reset the
        // connection, and the client would lose the answer.
        respond(socket, 503, "Retry-After: " + QByteArray::number(RetryAfterSeconds) + "\r\n",
                "Too many scrapes at once; try again shortly\n", !head.startsWith("HEAD "));
        return;
    }
    answer(socket, head);
}

void MetricsServer::answer(QTcpSocket* socket, const QByteArray& head) {
    const qsizetype lineEnd = head.indexOf('\n');
    const QByteArray requestLine = head.left(lineEnd < 0 ? head.size() : lineEnd).trimmed();
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.")) {
        respond(socket, 400, {}, "Bad request\n", true);
        return;
    }
    const QByteArray& method = parts[0];
    const QByteArray path = targetPath(parts[1]);
    if (path != "/metrics") {
        respond(socket, 404, {}, "Not found: the metrics are at /metrics\n", method != "HEAD");
    } else if (method != "GET" && method != "HEAD") {
        respond(socket, 405, "Allow: GET, HEAD\r\n", "Method not allowed\n", true);
    } else {
        respond(socket, 200, QByteArray("Content-Type: ") + PrometheusContentType + "\r\n",
                provider_(), method == "GET");
    }
}

void MetricsServer::respond(QTcpSocket* socket, int status, const QByteArray& extraHeaders,
                            const QByteArray& body, bool withBody) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    if (status != 200) {
        out += "Content-Type: text/plain; charset=utf-8\r\n";
    }
    out += extraHeaders;
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (withBody) {
        out += body;
    }
    // One write, then close once it is out: the deadline still bounds a reader that stalls.
    socket->write(out);
    socket->disconnectFromHost();
}
