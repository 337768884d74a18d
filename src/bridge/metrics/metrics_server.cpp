#include "bridge/metrics/metrics_server.h"

#include "bridge/metrics/prometheus_text.h"

#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

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

} // namespace

MetricsServer::MetricsServer(std::function<QByteArray()> provider, QObject* parent)
    : QObject(parent), provider_(std::move(provider)), server_(new QTcpServer(this)) {
    server_->setMaxPendingConnections(MaxConnections);
    connect(server_, &QTcpServer::newConnection, this, &MetricsServer::accept);
}

MetricsServer::~MetricsServer() = default;

Result<> MetricsServer::listen(const QHostAddress& address, quint16 port) {
    if (!server_->listen(address, port)) {
        return Failure(QStringLiteral("cannot serve metrics on %1 port %2: %3")
                           .arg(address.toString())
                           .arg(port)
                           .arg(server_->errorString()));
    }
    return succeeded();
}

quint16 MetricsServer::serverPort() const {
    return server_->serverPort();
}

void MetricsServer::accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (requests_.size() >= MaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        requests_.insert(socket, {});
        // The whole connection, request and answer, lives at most this long.
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        deadline->start(requestTimeoutMs_);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            requests_.remove(socket);
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
    const QByteArray path =
        parts[1].left(parts[1].indexOf('?') < 0 ? parts[1].size() : parts[1].indexOf('?'));
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
