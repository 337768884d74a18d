#pragma once

#include "bridge/pjlink_connection.h"
#include "bridge/pjlink_protocol.h"
#include "core/failure.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class LineQueue;
class QTcpServer;

// Listens on every address at port (0: a free port, the same one on each address after the
// first), the servers children of owner. An address that cannot be had fails it unless optional
// (the IPv6 loopback on a host without IPv6). Every listener of the bridge starts here.
Result<QList<QTcpServer*>> listenAll(QObject* owner, const QList<QHostAddress>& addresses,
                                     quint16 port, const QList<QHostAddress>& optional);

// The PJLink side: listens on one or more addresses, greets, bounds the number of connections
// and hands each client's lines to the one line queue.
class PjlinkServer : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 32;

    PjlinkServer(LineQueue& queue, pjlink::Identity identity, std::optional<QByteArray> password,
                 QObject* parent = nullptr);

    void setLimits(const ConnectionLimits& limits) { limits_ = limits; }
    // One line for the log, for each connection refused or closed for a reason.
    void setLog(std::function<void(const QString&)> log) { log_ = std::move(log); }

    // Listens on every address at port (0: a free port, the same one on each address after the
    // first). An address that cannot be had fails it unless optional (the IPv6 loopback on a host
    // without IPv6).
    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional = {});
    quint16 port() const;
    QList<QHostAddress> addresses() const;
    int connectionCount() const { return connections_; }
    qint64 authenticationFailures() const { return authFailures_; }
    qint64 connectionsAccepted() const { return accepted_; }

private:
    void onNewConnection(QTcpServer* server);
    void note(const QString& line);

    LineQueue& queue_;
    pjlink::Identity identity_;
    std::optional<QByteArray> password_;
    ConnectionLimits limits_;
    QList<QTcpServer*> servers_;
    int connections_ = 0;
    qint64 accepted_ = 0;
    qint64 authFailures_ = 0;
    std::function<void(const QString&)> log_;
};
