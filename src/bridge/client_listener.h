#pragma once

#include "bridge/client_connection.h"
#include "core/failure.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QTcpServer;
class QTcpSocket;

// Listens on every address at port (0: a free port, the same one on each address after the
// first), the servers children of owner. An address that cannot be had fails it unless optional
// (the IPv6 loopback on a host without IPv6). Every listener of the bridge starts here.
Result<QList<QTcpServer*>> listenAll(QObject* owner, const QList<QHostAddress>& addresses,
                                     quint16 port, const QList<QHostAddress>& optional);

// What every client port of the bridge (PJLink, native) does alike: listens on the addresses of
// its plan, bounds its number of connections, counts them and their failed passwords, and logs
// one line for each connection refused or closed for a reason. Each port makes its own
// connections.
class ClientListener : public QObject {
    Q_OBJECT
public:
    // what: the connections' name in the log ("connection", "native connection").
    ClientListener(int maxConnections, QString what, QObject* parent = nullptr);

    void setLimits(const ConnectionLimits& limits) { limits_ = limits; }
    // One line for the log, for each connection refused or closed for a reason.
    void setLog(std::function<void(const QString&)> log) { log_ = std::move(log); }

    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional = {});
    quint16 port() const;
    QList<QHostAddress> addresses() const;
    int connectionCount() const { return connections_; }
    qint64 authenticationFailures() const { return authFailures_; }
    qint64 connectionsAccepted() const { return accepted_; }

protected:
    // A connection for a client just accepted, a child of this listener.
    virtual ClientConnection* makeConnection(QTcpSocket* socket) = 0;
    const ConnectionLimits& limits() const { return limits_; }

private:
    void onNewConnection(QTcpServer* server);
    void note(const QString& line);

    int maxConnections_;
    QString what_;
    ConnectionLimits limits_;
    QList<QTcpServer*> servers_;
    int connections_ = 0;
    qint64 accepted_ = 0;
    qint64 authFailures_ = 0;
    std::function<void(const QString&)> log_;
};
