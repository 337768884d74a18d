#pragma once

#include "bridge/http/http_server.h"
#include "bridge/metrics/metrics_snapshot.h"
#include "bridge/web/web_security.h"
#include "bridge/web/web_status.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>
#include <optional>

class LineQueue;
class StatusPoller;

// The projector's own web page (--web): one page of its status from the poller's last readings,
// refreshed by the browser from /status.json, which never touches the line; and its buttons, each
// a POST that goes through the line queue as the web's own user and is answered in words once the
// projector has answered (and, when it did what was asked, once a fresh poll shows the result).
//
// With the bridge's password the page wants a sign-in (throttled per peer); every change must come
// from the page itself (Origin, else Referer, against Host) and, when signed in, carry the
// session's token. Without a password the bridge listens on loopback only and answers only
// requests that name it by address or as localhost.
class WebServer : public QObject {
    Q_OBJECT
public:
    static constexpr const char* CookieName = "rmq27_session";
    // Controls waiting for the poll that shows their result, at most; past it they are answered
    // without waiting.
    static constexpr qsizetype MaxWaitingForPoll = 32;
    // Slowed sign-ins waiting on their timer, at most: one per address, and this many in all;
    // past either the attempt is turned away at once (429), so a guesser who hangs up and calls
    // again piles up nothing.
    static constexpr qsizetype MaxDelayedSignIns = 64;

    WebServer(LineQueue& queue, StatusPoller& poller, std::function<MetricsSnapshot()> snapshot,
              std::optional<QByteArray> password, QObject* parent = nullptr);

    Result<> listen(const QList<QHostAddress>& addresses, quint16 port,
                    const QList<QHostAddress>& optional = {}) {
        return http_.listen(addresses, port, optional);
    }
    quint16 port() const { return http_.serverPort(); }
    QList<QHostAddress> addresses() const { return http_.addresses(); }
    void setLog(std::function<void(const QString&)> log) { log_ = std::move(log); }
    // Open access (--no-password): the page may be asked for by any host name.
    void setAnyHost(bool any) { anyHost_ = any; }

    // One request, as the HTTP server hands it over (tests call it directly).
    void handle(const HttpRequest& request, HttpResponder respond);

private:
    struct Waiting {
        quint64 poll;
        HttpResponder respond;
        QByteArray outcome;
        QString message;
    };

    qint64 now() const { return clock_.elapsed(); }
    std::optional<WebSessions::Session> sessionOf(const HttpRequest& request) const;
    void signIn(const HttpRequest& request, const HttpResponder& respond);
    void checkPassword(const HttpRequest& request, const HttpResponder& respond);
    void signOut(const HttpRequest& request, const HttpResponder& respond);
    void control(const HttpRequest& request, const HttpResponder& respond);
    void answerControl(const HttpResponder& respond, const QByteArray& outcome,
                       const QString& message);
    void pollEnded(quint64 number);
    QByteArray page(const std::optional<WebSessions::Session>& session) const;
    QByteArray signInPage(const QString& message) const;

    HttpServer http_;
    LineQueue& queue_;
    StatusPoller& poller_;
    std::function<MetricsSnapshot()> snapshot_;
    std::optional<QByteArray> password_;
    WebSessions sessions_;
    SignInThrottle throttle_;
    QList<Waiting> waiting_;
    QSet<QHostAddress> delayed_; // addresses whose sign-in waits on its timer
    QElapsedTimer clock_;
    std::function<void(const QString&)> log_;
    bool anyHost_ = false;
};
