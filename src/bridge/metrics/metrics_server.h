#pragma once

#include "core/failure.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

// The metrics port unless --metrics names another: in the range Prometheus exporters use, and
// taken by no well-known exporter. Each further bridge on one machine takes the next one.
constexpr quint16 DefaultMetricsPort = 9352;

class QTcpServer;
class QTcpSocket;

// A minimal HTTP/1.1 server for one resource: GET /metrics answers with the body the provider
// renders (HEAD with its headers), other paths 404, other methods 405, a malformed request 400;
// the target may be the path or the absolute form (http://host:port/metrics). Every connection
// answers one request and closes. A request head past RequestLimit bytes, or not complete within
// the request timeout, closes the connection unanswered. Past MaxConnections a connection's
// request is answered 503 with Retry-After, so that Prometheus sees a busy target rather than a
// reset; past MaxHeld in all, connections are closed as they arrive. A scrape never waits on
// anything: it renders what is there.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype RequestLimit = 4096;
    static constexpr int MaxConnections = 16;
    static constexpr int MaxHeld = 256; // served and turned away together
    static constexpr int DefaultRequestTimeoutMs = 5000;
    static constexpr int RetryAfterSeconds = 1;

    explicit MetricsServer(std::function<QByteArray()> provider, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Listens on every address at port (0: a free port, the same one on each address after the
    // first). Fails, saying where and why, when an address cannot be bound, unless it is one of
    // optional (the IPv6 loopback on a host without IPv6).
    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional = {});
    Result<> listen(const QHostAddress& address, quint16 port) {
        return listen(QList<QHostAddress>{address}, port);
    }
    quint16 serverPort() const;
    // The addresses really listened on.
    QList<QHostAddress> addresses() const;
    int connectionCount() const { return int(requests_.size()); }
    void setRequestTimeoutMs(int ms) { requestTimeoutMs_ = ms; }

private:
    void accept(QTcpServer* server);
    void read(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& head);
    static void respond(QTcpSocket* socket, int status, const QByteArray& extraHeaders,
                        const QByteArray& body, bool withBody);

    std::function<QByteArray()> provider_;
    QList<QTcpServer*> servers_;
    struct Request {
        QByteArray head; // what has arrived of the request head
        bool answered = false;
        bool turnedAway = false; // came past MaxConnections: answered 503
    };
    QHash<QTcpSocket*, Request> requests_;
    int served_ = 0; // of requests_, those not turned away
    int requestTimeoutMs_ = DefaultRequestTimeoutMs;
};
