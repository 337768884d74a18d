#include "bridge/pjlink_server.h"

#include "bridge/line_queue.h"

#include <QTcpServer>
#include <QTcpSocket>

PjlinkServer::PjlinkServer(LineQueue& queue, pjlink::Identity identity,
                           std::optional<QByteArray> password, QObject* parent)
    : QObject(parent), queue_(queue), identity_(std::move(identity)),
      password_(std::move(password)) {}

Result<QList<QTcpServer*>> listenAll(QObject* owner, const QList<QHostAddress>& addresses,
                                     quint16 port, const QList<QHostAddress>& optional) {
    QList<QTcpServer*> servers;
    QList<QHostAddress> all = addresses;
    all += optional;
    for (const QHostAddress& address : all) {
        auto* server = new QTcpServer(owner);
        if (!server->listen(address, port)) {
            const Failure failure(QStringLiteral("cannot listen on %1 port %2: %3")
                                      .arg(address.toString())
                                      .arg(port)
                                      .arg(server->errorString()));
            delete server;
            if (optional.contains(address)) {
                continue;
            }
            qDeleteAll(servers);
            return failure;
        }
        port = server->serverPort();
        servers.append(server);
    }
    if (servers.isEmpty()) {
        return Failure(QStringLiteral("no address to listen on"));
    }
    return servers;
}

Result<> PjlinkServer::listen(const QList<QHostAddress>& addresses, quint16 port,
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

quint16 PjlinkServer::port() const {
    return servers_.isEmpty() ? 0 : servers_.front()->serverPort();
}

QList<QHostAddress> PjlinkServer::addresses() const {
    QList<QHostAddress> out;
    for (const QTcpServer* s : servers_) {
        out.append(s->serverAddress());
    }
    return out;
}

void PjlinkServer::onNewConnection(QTcpServer* server) {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (connections_ >= MaxConnections) {
            note(QStringLiteral("refused a connection from %1: %2 connections already open")
                     .arg(socket->peerAddress().toString())
                     .arg(connections_));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++connections_;
        ++accepted_;
        const QString peer = socket->peerAddress().toString();
        auto* connection =
            new PjlinkConnection(socket, queue_, identity_, password_, limits_, this);
        connect(connection, &PjlinkConnection::authenticationFailed, this,
                [this] { ++authFailures_; });
        connect(connection, &PjlinkConnection::closed, this, [this, peer](const QString& why) {
            --connections_;
            if (!why.isEmpty()) {
                note(QStringLiteral("closed the connection from %1: %2").arg(peer, why));
            }
        });
    }
}

void PjlinkServer::note(const QString& line) {
    if (log_) {
        log_(line);
    }
}
