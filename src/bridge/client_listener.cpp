#include "bridge/client_listener.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <memory>

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
    : QObject(parent), maxConnections_(maxConnections), what_(std::move(what)) {
    summary_.setInterval(SummaryMs);
    connect(&summary_, &QTimer::timeout, this, &ClientListener::summarize);
}

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
        const QHostAddress address = socket->peerAddress();
        const int fromThere = peers_.contains(address) ? peers_.value(address).strangers : 0;
        QString full;
        if (established_ >= maxConnections_) {
            full = QStringLiteral("%1 connections already open").arg(established_);
        } else if (strangers_ >= limits_.strangers) {
            full = QStringLiteral("%1 connections not yet admitted").arg(strangers_);
        } else if (fromThere >= limits_.strangersPerPeer) {
            full = QStringLiteral("%1 connections from there not yet admitted").arg(fromThere);
        }
        if (!full.isEmpty()) {
            tally(refused_,
                  QStringLiteral("refused a %1 from %2: %3").arg(what_, address.toString(), full));
            socket->abort();
            socket->deleteLater();
            forgetIfIdle(address);
            continue;
        }
        ++strangers_;
        ++peer(address).strangers;
        ++accepted_;
        const int delayMs = greetingDelayMs(address);
        ClientConnection* connection = makeConnection(socket);
        const auto failed = std::make_shared<bool>(false);
        connect(connection, &ClientConnection::admitted, this,
                [this, connection, address] { onAdmitted(connection, address); });
        connect(connection, &ClientConnection::authenticationFailed, this, [this, address, failed] {
            *failed = true;
            onFailure(address);
        });
        connect(connection, &ClientConnection::closed, this,
                [this, connection, address, failed](const QString& why) {
                    onClosed(connection, address, *failed, why);
                });
        connection->start(delayMs);
    }
}

void ClientListener::onAdmitted(ClientConnection* connection, const QHostAddress& address) {
    --strangers_;
    Peer& p = peer(address);
    --p.strangers;
    p.failures = 0; // the password holds: whoever had it wrong before was this client
    ++established_;
    if (established_ > maxConnections_) {
        connection->drop(QStringLiteral("%1 connections already open").arg(maxConnections_));
    }
}

void ClientListener::onFailure(const QHostAddress& address) {
    ++authFailures_;
    Peer& p = peer(address);
    ++p.failures;
    p.lastFailure.start();
}

void ClientListener::onClosed(ClientConnection* connection, const QHostAddress& address,
                              bool failed, const QString& why) {
    const QString line =
        QStringLiteral("closed the %1 from %2: %3").arg(what_, address.toString(), why);
    const bool admitted = connection->isAdmitted();
    Peer& p = peer(address);
    if (admitted) {
        --established_;
    } else {
        --strangers_;
        --p.strangers;
    }
    if (failed) {
        tally(p.failed, line);
    } else if (!why.isEmpty()) {
        if (admitted) {
            note(line);
        } else {
            tally(strangersClosed_, line);
        }
    }
    forgetIfIdle(address);
}

ClientListener::Peer& ClientListener::peer(const QHostAddress& address) {
    if (!peers_.contains(address) && peers_.size() >= MaxPeers) {
        for (const QHostAddress& a : peers_.keys()) {
            forgetIfIdle(a);
        }
        if (peers_.size() >= MaxPeers) {
            // The one that failed longest ago, with no connection open, makes room.
            auto oldest = peers_.end();
            for (auto it = peers_.begin(); it != peers_.end(); ++it) {
                if (it->strangers == 0 &&
                    (oldest == peers_.end() ||
                     it->lastFailure.elapsed() > oldest->lastFailure.elapsed())) {
                    oldest = it;
                }
            }
            if (oldest != peers_.end()) {
                peers_.erase(oldest);
            }
        }
    }
    return peers_[address];
}

void ClientListener::forgetIfIdle(const QHostAddress& address) {
    const auto it = peers_.find(address);
    if (it == peers_.end()) {
        return;
    }
    const bool failedLately = it->failures > 0 && it->lastFailure.isValid() &&
                              it->lastFailure.elapsed() < FailureMemoryMs;
    if (it->strangers == 0 && !it->failed.open && !failedLately) {
        peers_.erase(it);
    }
}

int ClientListener::greetingDelayMs(const QHostAddress& address) {
    Peer& p = peer(address);
    if (p.failures > 0 && p.lastFailure.elapsed() >= FailureMemoryMs) {
        p.failures = 0;
    }
    return throttleMs(p.failures);
}

int ClientListener::throttleMs(int failures) {
    if (failures < FreeFailures) {
        return 0;
    }
    return std::min(MaxThrottleMs, FirstThrottleMs << std::min(failures - FreeFailures, 16));
}

void ClientListener::tally(Tally& t, const QString& line) {
    if (t.open) {
        ++t.count;
        return;
    }
    t.open = true;
    note(line);
    if (!summary_.isActive()) {
        summary_.start();
    }
}

void ClientListener::summarize() {
    bool open = false;
    const auto sum = [this, &open](Tally& t, const std::function<QString(qint64)>& line) {
        if (t.count > 0) {
            note(line(t.count));
            t.count = 0;
        } else {
            t.open = false;
        }
        open = open || t.open;
    };
    sum(refused_, [this](qint64 n) {
        return QStringLiteral("refused %1 more %2s in the last minute").arg(n).arg(what_);
    });
    sum(strangersClosed_, [this](qint64 n) {
        return QStringLiteral("closed %1 more %2s not yet admitted in the last minute")
            .arg(n)
            .arg(what_);
    });
    for (auto it = peers_.begin(); it != peers_.end(); ++it) {
        const QString from = it.key().toString();
        const int waitMs = throttleMs(it->failures);
        sum(it->failed, [this, &from, waitMs](qint64 n) {
            return QStringLiteral("closed %1 more %2s from %3 for a wrong password in the last "
                                  "minute; its greetings now wait %4 s")
                .arg(n)
                .arg(what_, from)
                .arg(waitMs / 1000);
        });
    }
    for (const QHostAddress& a : peers_.keys()) {
        forgetIfIdle(a);
    }
    if (!open) {
        summary_.stop();
    }
}

void ClientListener::note(const QString& line) {
    if (log_) {
        log_(line);
    }
}
