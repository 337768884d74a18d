#pragma once

#include "core/failure.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>

// The metrics port unless --metrics names another: in the range Prometheus exporters use, and
// taken by no well-known exporter. Each further bridge on one machine takes the next one.
constexpr quint16 DefaultMetricsPort = 9352;

class QTcpServer;
class QTcpSocket;

// A minimal HTTP/1.1 server for one resource: GET /metrics answers with the body the provider
// renders (HEAD with its headers), other paths 404, other methods 405, a malformed request 400.
// Every connection answers one request and closes. A request head past RequestLimit bytes, or
// not complete within the request timeout, closes the connection unanswered; connections past
// MaxConnections are closed as they arrive. A scrape never waits on anything: it renders what
// is there.
class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype RequestLimit = 4096;
    static constexpr int MaxConnections = 16;
    static constexpr int DefaultRequestTimeoutMs = 5000;

    explicit MetricsServer(std::function<QByteArray()> provider, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Fails, saying where and why, when the address cannot be bound.
    Result<> listen(const QHostAddress& address, quint16 port);
    quint16 serverPort() const;
    int connectionCount() const { return int(requests_.size()); }
    void setRequestTimeoutMs(int ms) { requestTimeoutMs_ = ms; }

private:
    void accept();
    void read(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& head);
    static void respond(QTcpSocket* socket, int status, const QByteArray& extraHeaders,
                        const QByteArray& body, bool withBody);

    std::function<QByteArray()> provider_;
    QTcpServer* server_;
    struct Request {
        QByteArray head; // what has arrived of the request head
        bool answered = false;
    };
    QHash<QTcpSocket*, Request> requests_;
    int requestTimeoutMs_ = DefaultRequestTimeoutMs;
};
