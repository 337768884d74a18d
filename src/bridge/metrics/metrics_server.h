#pragma once

#include "bridge/http/http_server.h"
#include "core/failure.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

// The metrics port unless --metrics names another: in the range Prometheus exporters use, and
// taken by no well-known exporter. Each further bridge on one machine takes the next one.
constexpr quint16 DefaultMetricsPort = 9352;

// GET /metrics answers with the body the provider renders (HEAD with its headers), other paths
// 404, other methods 405; the target may be the path or the absolute form
// (http://host:port/metrics). The HTTP itself is the bridge's HTTP server's: every connection
// answers one request and closes; a malformed request is answered 400; a request head past
// RequestLimit bytes, or not complete within the request timeout, closes the connection
// unanswered. Past MaxConnections a connection's request is answered 503 with Retry-After, so
// that Prometheus sees a busy target rather than a reset; past MaxHeld in all, connections are
// closed as they arrive. A scrape never waits on anything: it renders what is there.
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
                    const QList<QHostAddress>& optional = {}) {
        return http_.listen(addresses, port, optional);
    }
    Result<> listen(const QHostAddress& address, quint16 port) {
        return listen(QList<QHostAddress>{address}, port);
    }
    quint16 serverPort() const { return http_.serverPort(); }
    // The addresses really listened on.
    QList<QHostAddress> addresses() const { return http_.addresses(); }
    int connectionCount() const { return http_.connectionCount(); }
    void setRequestTimeoutMs(int ms); // before listen()

private:
    HttpResponse answer(const HttpRequest& request) const;

    std::function<QByteArray()> provider_;
    HttpServer http_;
};
