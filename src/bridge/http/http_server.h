#pragma once

#include "core/failure.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <functional>
#include <memory>

// The bridge's HTTP side (the metrics and the projector's web page) on a maintained library,
// driven from the program's one event loop: no thread of its own, no handler that waits.
//
// A request reaches the handler whole (head and body, within the limits); the handler answers
// through its Responder, at once or later (a control that waits for its turn on the line), once.
// A Responder outlives its connection harmlessly: a reply to a connection gone is dropped.
struct HttpRequest {
    QByteArray method; // "GET", "POST", ...
    QByteArray path;   // "/metrics": the path of the target (the absolute form reduced to it)
    QByteArray query;  // after '?', undecoded; empty when none
    QHostAddress peer; // the client's address
    QList<QPair<QByteArray, QByteArray>> headers; // names lower-cased, in the order sent
    QByteArray body;

    // The first header of that (lower-case) name; empty when absent.
    QByteArray header(const QByteArray& name) const;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // added as given (Set-Cookie, Cache-Control...)
};

using HttpResponder = std::function<void(const HttpResponse& response)>;
using HttpHandler = std::function<void(const HttpRequest& request, HttpResponder respond)>;

struct HttpLimits {
    int maxConnections = 16;           // served at once; past it: 503 with Retry-After
    int maxConnectionsPerPeer = 8;     // from one address at once
    qsizetype maxRequestBytes = 16384; // head and body together; past it: 413, or closed
    int requestTimeoutMs = 5000;       // a request not whole within it: closed
    int retryAfterSeconds = 1;         // what a 503 past maxConnections advises
    // Held at once, served and turned away together (in all, and from one address): past these
    // a connection is closed as it arrives, with no answer. Set above the two bounds served, so
    // that a client past those hears 503 rather than a reset.
    int maxHeldConnections = 256;
    int maxHeldPerPeer = 64;
};

class HttpServer : public QObject {
    Q_OBJECT
public:
    explicit HttpServer(HttpHandler handler, QObject* parent = nullptr);
    ~HttpServer() override;

    void setLimits(const HttpLimits& limits); // before listen()
    const HttpLimits& limits() const;
    // What is served, as a failure to listen names it ("cannot serve metrics on ..."); "HTTP"
    // unless set.
    void setServiceName(const QString& name);

    // Listens on every address at port (0: a free port, the same one on each address after the
    // first). Fails, saying where and why, when an address cannot be bound, unless it is one of
    // optional (the IPv6 loopback on a host without IPv6).
    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional = {});
    quint16 serverPort() const;
    QList<QHostAddress> addresses() const; // those really listened on
    int connectionCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
