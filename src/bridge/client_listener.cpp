#include "bridge/client_listener.h"

#include <QTcpServer>
#include <QTcpSocket>

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

ClientListener::ClientListener(int maxConnections, QString what, QObject* parent)
    : QObject(parent), maxConnections_(maxConnections), what_(std::move(what)) {}

Result<> ClientListener::listen(const QList<QHostAddress>& addresses, quint16 port,
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

quint16 ClientListener::port() const {
    return servers_.isEmpty() ? 0 : servers_.front()->serverPort();
}

QList<QHostAddress> ClientListener::addresses() const {
    QList<QHostAddress> out;
    for (const QTcpServer* s : servers_) {
        out.append(s->serverAddress());
    }
    return out;
}

void ClientListener::onNewConnection(QTcpServer* server) {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (connections_ >= maxConnections_) {
            note(QStringLiteral("refused a %1 from %2: %3 connections already open")
                     .arg(what_, socket->peerAddress().toString())
                     .arg(connections_));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++connections_;
        ++accepted_;
        const QString peer = socket->peerAddress().toString();
        ClientConnection* connection = makeConnection(socket);
        connect(connection, &ClientConnection::authenticationFailed, this,
                [this] { ++authFailures_; });
        connect(connection, &ClientConnection::closed, this, [this, peer](const QString& why) {
            --connections_;
            if (!why.isEmpty()) {
                note(QStringLiteral("closed the %1 from %2: %3").arg(what_, peer, why));
            }
        });
    }
}

void ClientListener::note(const QString& line) {
    if (log_) {
        log_(line);
    }
}
