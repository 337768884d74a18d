#include "bridge/web/web_server.h"

#include "bridge/line_queue.h"
#include "bridge/metrics/status_poller.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

using Header = QPair<QByteArray, QByteArray>;

// Every answer forbids framing, sniffing and anything not from the bridge itself.
const QList<QPair<QByteArray, QByteArray>>& guardHeaders() {
    static const QList<QPair<QByteArray, QByteArray>> headers{
        {"Content-Security-Policy",
         "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    };
    return headers;
}

HttpResponse webAnswer(int status, const QByteArray& type, const QByteArray& body) {
    HttpResponse r;
    r.status = status;
    r.contentType = type;
    r.body = body;
    r.headers = guardHeaders();
    return r;
}

HttpResponse webText(int status, const QByteArray& body) {
    return webAnswer(status, "text/plain; charset=utf-8", body + '\n');
}

HttpResponse webJson(int status, const QJsonObject& o) {
    return webAnswer(status, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact));
}

HttpResponse seeOther(const QByteArray& cookie = {}) {
    HttpResponse r = webAnswer(303, "text/plain; charset=utf-8", "See /\n");
    r.headers.append(Header("Location", "/"));
    if (!cookie.isEmpty()) {
        r.headers.append(Header("Set-Cookie", cookie));
    }
    return r;
}

QByteArray resource(const QString& name) {
    QFile f(QStringLiteral(":/web/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Asset {
    const char* path;
    const char* file;
    const char* type;
};
constexpr Asset kAssets[] = {
    {"/style.css", "style.css", "text/css; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/favicon.svg", "favicon.svg", "image/svg+xml"},
};

} // namespace

WebServer::WebServer(LineQueue& queue, StatusPoller& poller,
                     std::function<MetricsSnapshot()> snapshot, std::optional<QByteArray> password,
                     QObject* parent)
    : QObject(parent), http_([this](const HttpRequest& request, HttpResponder respond) {
          handle(request, std::move(respond));
      }),
      queue_(queue), poller_(poller), snapshot_(std::move(snapshot)),
      password_(std::move(password)) {
    http_.setServiceName(QStringLiteral("the web page"));
    clock_.start();
    queue_.addUser(this, UserKind::Web);
    connect(&poller_, &StatusPoller::pollEnded, this, &WebServer::pollEnded);
}

std::optional<WebSessions::Session> WebServer::sessionOf(const HttpRequest& request) const {
    const std::optional<QByteArray> id = cookieValue(request.header("cookie"), CookieName);
    return id ? sessions_.find(*id, now()) : std::nullopt;
}

void WebServer::handle(const HttpRequest& request, HttpResponder respond) {
    const QByteArray host = request.header("host");
    // Without a password nothing but the name of the machine itself is served: a foreign site's
    // name pointed at 127.0.0.1 gets nothing.
    if (!password_ && !anyHost_ && !isLiteralHost(host)) {
        respond(webText(403, "Ask for this page by the bridge's address or as localhost."));
        return;
    }
    const std::optional<WebSessions::Session> session = sessionOf(request);
    const bool signedIn = !password_ || session.has_value();
    if (request.method == "GET" || request.method == "HEAD") {
        if (request.path == "/") {
            respond(signedIn ? webAnswer(200, "text/html; charset=utf-8", page(session))
                             : webAnswer(200, "text/html; charset=utf-8", signInPage({})));
            return;
        }
        if (request.path == "/status.json") {
            if (!signedIn) {
                respond(webJson(401, {{QStringLiteral("signIn"), true}}));
                return;
            }
            const MetricsSnapshot s = snapshot_();
            respond(webAnswer(
                200, "application/json",
                web::statusJson(s, QStringLiteral("RM-Q27"), QDateTime::currentMSecsSinceEpoch())));
            return;
        }
        for (const Asset& a : kAssets) {
            if (request.path == a.path) {
                HttpResponse r = webAnswer(200, a.type, resource(QLatin1String(a.file)));
                respond(r);
                return;
            }
        }
        respond(webText(404, "Not found."));
        return;
    }
    if (request.method != "POST") {
        HttpResponse r = webText(405, "Only GET and POST are answered here.");
        r.headers.append(Header("Allow", "GET, HEAD, POST"));
        respond(r);
        return;
    }
    // Every change comes from a page of this server, or not at all.
    if (!sameOrigin(host, request.header("origin"), request.header("referer"))) {
        respond(webText(403, "Refused: this request did not come from the bridge's own page."));
        return;
    }
    if (request.path == "/sign-in") {
        signIn(request, respond);
        return;
    }
    if (password_) {
        const std::optional<QByteArray> token = formValue(request.body, "token");
        if (!session || !token || !sameSecret(*token, session->token)) {
            respond(webText(403, "Refused: sign in again on the bridge's page."));
            return;
        }
    }
    if (request.path == "/sign-out") {
        signOut(request, respond);
    } else if (request.path == "/control") {
        control(request, respond);
    } else {
        respond(webText(404, "Not found."));
    }
}

void WebServer::signIn(const HttpRequest& request, const HttpResponder& respond) {
    if (!password_) {
        respond(seeOther()); // nothing to sign in to
        return;
    }
    const int delay = throttle_.delayMs(request.peer, now());
    if (delay == 0) {
        checkPassword(request, respond);
        return;
    }
    if (delayed_.contains(request.peer) || delayed_.size() >= MaxDelayedSignIns) {
        HttpResponse r =
            webAnswer(429, "text/html; charset=utf-8",
                      signInPage(QStringLiteral("Too many tries: wait for the last one's answer, "
                                                "then try again.")));
        r.headers.append(Header("Retry-After", QByteArray::number((delay + 999) / 1000)));
        respond(r);
        return;
    }
    // The answer waits on a timer; the event loop goes on serving everybody else.
    delayed_.insert(request.peer);
    QTimer::singleShot(delay, this, [this, request, respond] {
        delayed_.remove(request.peer);
        checkPassword(request, respond);
    });
}

void WebServer::checkPassword(const HttpRequest& request, const HttpResponder& respond) {
    const std::optional<QByteArray> given = formValue(request.body, "password");
    if (given && sameSecret(*given, *password_)) {
        throttle_.succeeded(request.peer);
        const WebSessions::Session s = sessions_.open(now());
        respond(seeOther(QByteArray(CookieName) + '=' + s.id +
                         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                         QByteArray::number(WebSessions::LifetimeMs / 1000)));
        return;
    }
    throttle_.failed(request.peer, now());
    if (throttle_.failures(request.peer, now()) == SignInThrottle::FreeFailures + 1 && log_) {
        log_(QStringLiteral("web: repeated wrong passwords from %1; its sign-ins are slowed")
                 .arg(request.peer.toString()));
    }
    HttpResponse r = webAnswer(403, "text/html; charset=utf-8",
                               signInPage(QStringLiteral("That password is not right.")));
    respond(r);
}

void WebServer::signOut(const HttpRequest& request, const HttpResponder& respond) {
    if (const std::optional<QByteArray> id = cookieValue(request.header("cookie"), CookieName)) {
        sessions_.close(*id);
    }
    respond(seeOther(QByteArray(CookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"));
}

void WebServer::control(const HttpRequest& request, const HttpResponder& respond) {
    const web::Control* c =
        web::findControl(formValue(request.body, "action").value_or(QByteArray()));
    if (!c) {
        respond(webJson(400, {{QStringLiteral("outcome"), QStringLiteral("unknown")},
                              {QStringLiteral("message"), QStringLiteral("No such control.")}}));
        return;
    }
    const auto done = [this, c, respond](const QList<LineAnswer>& answers) {
        const web::Outcome o = web::outcomeOf(answers);
        const QString message = web::outcomeText(*c, o);
        if (o == web::Outcome::Done && waiting_.size() < MaxWaitingForPoll) {
            // Answered once a poll that began after the change shows what it did.
            waiting_.append({poller_.pollAgain(), respond, web::outcomeName(o), message});
            return;
        }
        answerControl(respond, web::outcomeName(o), message);
    };
    if (!queue_.submit(this, web::controlCodes(*c), done)) {
        HttpResponse r = webJson(503, {{QStringLiteral("outcome"), QStringLiteral("busy")},
                                       {QStringLiteral("message"),
                                        QStringLiteral("Too many requests are waiting for the "
                                                       "projector. Try again in a moment.")}});
        r.headers.append(Header("Retry-After", "1"));
        respond(r);
    }
}

void WebServer::answerControl(const HttpResponder& respond, const QByteArray& outcome,
                              const QString& message) {
    const QJsonObject status =
        QJsonDocument::fromJson(web::statusJson(snapshot_(), QStringLiteral("RM-Q27"),
                                                QDateTime::currentMSecsSinceEpoch()))
            .object();
    respond(webJson(200, {{QStringLiteral("outcome"), QString::fromLatin1(outcome)},
                          {QStringLiteral("message"), message},
                          {QStringLiteral("status"), status}}));
}

void WebServer::pollEnded(quint64 number) {
    for (qsizetype i = 0; i < waiting_.size();) {
        if (waiting_[i].poll <= number) {
            const Waiting w = waiting_.takeAt(i);
            answerControl(w.respond, w.outcome, w.message);
        } else {
            ++i;
        }
    }
}

QByteArray WebServer::page(const std::optional<WebSessions::Session>& session) const {
    QByteArray html = resource(QStringLiteral("index.html"));
    const QByteArray token = session ? session->token : QByteArray();
    html.replace("{{TOKEN}}", token);
    html.replace("{{SIGN_OUT}}",
                 session ? resource(QStringLiteral("sign-out.html")).replace("{{TOKEN}}", token)
                         : QByteArray());
    return html;
}

QByteArray WebServer::signInPage(const QString& message) const {
    QByteArray html = resource(QStringLiteral("sign-in.html"));
    html.replace("{{MESSAGE}}", message.toHtmlEscaped().toUtf8());
    html.replace("{{HIDDEN}}", message.isEmpty() ? " hidden" : "");
    return html;
}
