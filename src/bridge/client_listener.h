#pragma once

#include "bridge/client_connection.h"
#include "core/failure.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class QTcpServer;
class QTcpSocket;

// Listens on every address at port (0: a free port, the same one on each address after the
// first), the servers children of owner. An address that cannot be had fails it unless optional
// (the IPv6 loopback on a host without IPv6). Every listener of the bridge starts here.
Result<QList<QTcpServer*>> listenAll(QObject* owner, const QList<QHostAddress>& addresses,
                                     quint16 port, const QList<QHostAddress>& optional);

// What every client port of the bridge (PJLink, native) does alike: listens on the addresses of
// its plan; admits a connection in two steps, as a stranger (a budget of its own, per address and
// in all, and a few seconds to authenticate or send a valid command) and then among the
// established ones (bounded in number); counts them and their failed passwords; holds back an
// address whose passwords keep failing (its greetings wait, doubling, up to MaxThrottleMs). The
// log gets one line for each established connection closed for a reason; refusals, strangers
// closed and failed passwords are one line as they start, then one a minute with a count. Each
// port makes its own connections.
class ClientListener : public QObject {
    Q_OBJECT
public:
    // Failed passwords an address may have before its greetings wait.
    static constexpr int FreeFailures = 3;
    static constexpr int FirstThrottleMs = 1000;
    static constexpr int MaxThrottleMs = 30000;
    // An address's failures are forgotten this long after its last one.
    static constexpr int FailureMemoryMs = 10 * 60 * 1000;
    // Addresses remembered at most: beyond, the one that failed longest ago goes.
    static constexpr int MaxPeers = 1024;
    static constexpr int SummaryMs = 60000;
    // How long a greeting waits after so many failed passwords (the web page's sign-in waits as
    // long).
    static int throttleMs(int failures);

    // what: the connections' name in the log ("connection", "native connection").
    ClientListener(int maxConnections, QString what, QObject* parent = nullptr);

    void setLimits(const ConnectionLimits& limits) { limits_ = limits; }
    // One line for the log, for each connection refused or closed for a reason.
    void setLog(std::function<void(const QString&)> log) { log_ = std::move(log); }

    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional = {});
    quint16 port() const;
    QList<QHostAddress> addresses() const;
    // Every connection open, strangers and established alike.
    int connectionCount() const { return established_ + strangers_; }
    qint64 authenticationFailures() const { return authFailures_; }
    qint64 connectionsAccepted() const { return accepted_; }

protected:
    // A connection for a client just accepted, a child of this listener; it greets once started.
    virtual ClientConnection* makeConnection(QTcpSocket* socket) = 0;
    const ConnectionLimits& limits() const { return limits_; }

private:
    // Events of one kind logged as they start, then counted and summed up once a minute.
    struct Tally {
        bool open = false; // a line went out within the current minute
        qint64 count = 0;  // since then, not yet logged
    };
    struct Peer {
        int strangers = 0;
        int failures = 0;
        QElapsedTimer lastFailure;
        Tally failed;
    };

    void onNewConnection(QTcpServer* server);
    void onAdmitted(ClientConnection* connection, const QHostAddress& peer);
    void onFailure(const QHostAddress& peer);
    void onClosed(ClientConnection* connection, const QHostAddress& peer, bool failed,
                  const QString& why);
    Peer& peer(const QHostAddress& address);
    void forgetIfIdle(const QHostAddress& address);
    int greetingDelayMs(const QHostAddress& address);
    // Logs line, or counts it when one of its kind went out within the minute.
    void tally(Tally& t, const QString& line);
    void summarize();
    void note(const QString& line);

    int maxConnections_;
    QString what_;
    ConnectionLimits limits_;
    QList<QTcpServer*> servers_;
    int established_ = 0;
    int strangers_ = 0;
    qint64 accepted_ = 0;
    qint64 authFailures_ = 0;
    QHash<QHostAddress, Peer> peers_;
    Tally refused_;
    Tally strangersClosed_;
    QTimer summary_;
    std::function<void(const QString&)> log_;
};
