#include "bridge/http/http_server.h"

#include <QHash>
#include <QSet>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <utility>

// libmicrohttpd runs here in its external-event-loop mode: it owns no thread and no listening
// socket. Our QTcpServers accept and hand each connection over (MHD_add_connection); the
// library's epoll descriptor is watched by one QSocketNotifier and its next deadline by one
// QTimer, and MHD_run() does whatever is due when either fires. An answer given later suspends
// the connection (MHD_suspend_connection) until the responder resumes it.

namespace {

// The path of a request target: the origin form as it is, the absolute form
// ("http://127.0.0.1:9352/metrics", which a client may send and a server must take) from the
// first slash after the authority; the query apart.
std::pair<QByteArray, QByteArray> splitTarget(const QByteArray& target) {
    const qsizetype mark = target.indexOf('?');
    QByteArray path = mark < 0 ? target : target.left(mark);
    const QByteArray query = mark < 0 ? QByteArray() : target.mid(mark + 1);
    const qsizetype scheme = path.indexOf("://");
    if (scheme > 0 && !path.startsWith('/')) {
        const qsizetype slash = path.indexOf('/', scheme + 3);
        path = slash < 0 ? QByteArray("/") : path.mid(slash);
    }
    return {path, query};
}

} // namespace

// What the server keeps per connection, and its listening sockets; named apart, as the server's
// Impl holds them.
namespace http_detail {

// A listening socket whose accepted connections go to the library, not into Qt sockets.
class Listener : public QTcpServer {
public:
    Listener(std::function<void(qintptr)> take, QObject* parent)
        : QTcpServer(parent), take_(std::move(take)) {}

protected:
    void incomingConnection(qintptr descriptor) override { take_(descriptor); }

private:
    std::function<void(qintptr)> take_;
};

// One request's answer, shared by the connection and the responder handed out for it.
struct Answer {
    MHD_Connection* connection = nullptr; // null once the connection is gone
    bool given = false;                   // the responder was called
    bool suspended = false;               // the handler returned without answering
    std::optional<HttpResponse> response; // given, not yet queued
};

// One connection: one request (every answer closes the connection).
struct Connection {
    QHostAddress peer;
    bool counted = false; // within the bounds served; otherwise answered 503
    qintptr descriptor = -1;
    QTimer* deadline = nullptr;
    QByteArray target; // as sent
    QByteArray body;
    bool started = false; // the library has called us for this request
    std::shared_ptr<Answer> answer;
};

} // namespace http_detail

using http_detail::Answer;
using http_detail::Connection;
using http_detail::Listener;

QByteArray HttpRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

struct HttpServer::Impl {
    HttpServer* self = nullptr;
    HttpHandler handler;
    HttpLimits limits;
    QString serviceName = QStringLiteral("HTTP");
    QList<Listener*> listeners;
    MHD_Daemon* daemon = nullptr;
    QSocketNotifier* notifier = nullptr;
    QTimer* wakeUp = nullptr; // the library's next deadline, or at once after a change
    QSet<Connection*> connections;
    int served = 0;
    QHash<QHostAddress, int> servedFrom;
    // Responders reach the server through this; it is emptied when the server goes.
    std::shared_ptr<Impl*> alive = std::make_shared<Impl*>(this);

    ~Impl() {
        *alive = nullptr;
        qDeleteAll(std::exchange(listeners, {}));
        if (daemon != nullptr) {
            // The library stops only with no connection suspended: those still waiting for an
            // answer are resumed, to be closed unanswered.
            for (const Connection* c : std::as_const(connections)) {
                if (c->answer && c->answer->suspended) {
                    c->answer->suspended = false;
                    MHD_resume_connection(c->answer->connection);
                }
            }
            MHD_stop_daemon(std::exchange(daemon, nullptr));
        }
    }

    Result<> start();
    void take(qintptr descriptor);
    void run();
    void runSoon() { wakeUp->start(0); }
    void schedule();
    void opened(MHD_Connection* mhd, void** context);
    void closed(void** context);
    MHD_Result access(MHD_Connection* mhd, Connection& c, const char* method, const char* version,
                      const char* upload, size_t* uploadSize);
    void handOver(MHD_Connection* mhd, Connection& c, const char* method);
    static MHD_Result queue(MHD_Connection* mhd, const HttpResponse& response);
    qsizetype headBytes(MHD_Connection* mhd, const Connection& c, const char* method,
                        const char* version) const;
    void busy(MHD_Connection* mhd);

    // The library's callbacks; cls is the Impl.
    static void onConnection(void* cls, MHD_Connection* mhd, void** context,
                             MHD_ConnectionNotificationCode code);
    static void* onTarget(void* cls, const char* uri, MHD_Connection* mhd);
    static MHD_Result onRequest(void* cls, MHD_Connection* mhd, const char* url, const char* method,
                                const char* version, const char* upload, size_t* uploadSize,
                                void** requestContext);
};

namespace {

Connection* connectionOf(MHD_Connection* mhd) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<Connection*>(info->socket_context);
}

} // namespace

void HttpServer::Impl::onConnection(void* cls, MHD_Connection* mhd, void** context,
                                    MHD_ConnectionNotificationCode code) {
    auto* impl = static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        impl->opened(mhd, context);
    } else {
        impl->closed(context);
    }
}

// The target exactly as sent, before the library decodes it.
void* HttpServer::Impl::onTarget(void* /*cls*/, const char* uri, MHD_Connection* mhd) {
    if (Connection* c = connectionOf(mhd)) {
        c->target = QByteArray(uri);
    }
    return nullptr;
}

MHD_Result HttpServer::Impl::onRequest(void* cls, MHD_Connection* mhd, const char* /*url*/,
                                       const char* method, const char* version, const char* upload,
                                       size_t* uploadSize, void** /*requestContext*/) {
    Connection* c = connectionOf(mhd);
    if (c == nullptr) {
        return MHD_NO;
    }
    return static_cast<Impl*>(cls)->access(mhd, *c, method, version, upload, uploadSize);
}

namespace {

MHD_Result collectHeader(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
    static_cast<QList<QPair<QByteArray, QByteArray>>*>(cls)->append(
        {QByteArray(key).toLower(), QByteArray(value == nullptr ? "" : value)});
    return MHD_YES;
}

} // namespace

Result<> HttpServer::Impl::start() {
    const auto seconds = unsigned((std::max(limits.requestTimeoutMs, 1) + 999) / 1000);
    // The library holds each connection's request head in a pool of this size: room for our own
    // bound with some to spare, so that the bound we check decides, not the library.
    const auto pool = size_t(std::max<qsizetype>(limits.maxRequestBytes, 1024) * 2 + 8192);
    daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
        &onRequest, this, MHD_OPTION_CONNECTION_LIMIT, unsigned(limits.maxHeldConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(limits.maxHeldPerPeer),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_CONNECTION_TIMEOUT, seconds,
        MHD_OPTION_NOTIFY_CONNECTION, &onConnection, this, MHD_OPTION_URI_LOG_CALLBACK, &onTarget,
        this, MHD_OPTION_END);
    if (daemon == nullptr) {
        return Failure(
            QStringLiteral("cannot serve %1: the HTTP library did not start").arg(serviceName));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    notifier = new QSocketNotifier(info->epoll_fd, QSocketNotifier::Read, self);
    QObject::connect(notifier, &QSocketNotifier::activated, self, [this] { run(); });
    wakeUp = new QTimer(self);
    wakeUp->setSingleShot(true);
    QObject::connect(wakeUp, &QTimer::timeout, self, [this] { run(); });
    return succeeded();
}

void HttpServer::Impl::take(qintptr descriptor) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const auto fd = int(descriptor);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    // Past the library's own bounds it closes the socket itself.
    (void)MHD_add_connection(daemon, fd, reinterpret_cast<sockaddr*>(&address), length);
    runSoon();
}

void HttpServer::Impl::run() {
    MHD_run(daemon);
    schedule();
}

void HttpServer::Impl::schedule() {
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon, &ms) == MHD_YES) {
        wakeUp->start(int(std::min<MHD_UNSIGNED_LONG_LONG>(ms, INT_MAX)));
    } else {
        wakeUp->stop();
    }
}

void HttpServer::Impl::opened(MHD_Connection* mhd, void** context) {
    auto* c = new Connection;
    *context = c;
    connections.insert(c);
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
        c->peer = QHostAddress(info->client_addr);
    }
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        c->descriptor = info->connect_fd;
    }
    int& fromPeer = servedFrom[c->peer];
    c->counted = served < limits.maxConnections && fromPeer < limits.maxConnectionsPerPeer;
    if (c->counted) {
        ++served;
        ++fromPeer;
    } else if (fromPeer == 0) {
        servedFrom.remove(c->peer);
    }
    // A request not whole in time is ended by shutting the socket down under the library, which
    // then reads the end and closes the connection as if the client had.
    c->deadline = new QTimer(self);
    c->deadline->setSingleShot(true);
    QObject::connect(c->deadline, &QTimer::timeout, self, [this, c] {
        ::shutdown(int(c->descriptor), SHUT_RDWR);
        runSoon();
    });
    c->deadline->start(limits.requestTimeoutMs);
}

void HttpServer::Impl::closed(void** context) {
    auto* c = static_cast<Connection*>(std::exchange(*context, nullptr));
    if (c == nullptr) {
        return;
    }
    connections.remove(c);
    if (c->counted) {
        --served;
        if (--servedFrom[c->peer] <= 0) {
            servedFrom.remove(c->peer);
        }
    }
    if (c->answer) {
        c->answer->connection = nullptr;
    }
    delete c->deadline;
    delete c;
}

qsizetype HttpServer::Impl::headBytes(MHD_Connection* mhd, const Connection& c, const char* method,
                                      const char* version) const {
    QList<QPair<QByteArray, QByteArray>> headers;
    MHD_get_connection_values(mhd, MHD_HEADER_KIND, &collectHeader, &headers);
    qsizetype bytes = qstrlen(method) + 1 + c.target.size() + 1 + qstrlen(version) + 4;
    for (const auto& [name, value] : headers) {
        bytes += name.size() + 2 + value.size() + 2;
    }
    return bytes;
}

MHD_Result HttpServer::Impl::access(MHD_Connection* mhd, Connection& c, const char* method,
                                    const char* version, const char* upload, size_t* uploadSize) {
    if (!c.started) {
        c.started = true;
        const qsizetype head = headBytes(mhd, c, method, version);
        if (head > limits.maxRequestBytes) {
            return MHD_NO; // closed unanswered, as a head that never ends is
        }
        if (!c.counted) {
            c.deadline->stop();
            busy(mhd);
            return MHD_YES;
        }
        const char* length =
            MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length != nullptr && QByteArray(length).toLongLong() > limits.maxRequestBytes - head) {
            c.deadline->stop();
            HttpResponse tooLarge;
            tooLarge.status = 413;
            tooLarge.body = "Request too large\n";
            return queue(mhd, tooLarge);
        }
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        if (c.body.size() + qsizetype(*uploadSize) > limits.maxRequestBytes) {
            return MHD_NO;
        }
        c.body.append(upload, qsizetype(*uploadSize));
        *uploadSize = 0;
        return MHD_YES;
    }
    if (!c.answer) {
        handOver(mhd, c, method);
    }
    if (c.answer->response) {
        const HttpResponse response = *std::exchange(c.answer->response, std::nullopt);
        return queue(mhd, response);
    }
    if (!c.answer->suspended) {
        c.answer->suspended = true;
        MHD_suspend_connection(mhd);
    }
    return MHD_YES;
}

void HttpServer::Impl::handOver(MHD_Connection* mhd, Connection& c, const char* method) {
    c.deadline->stop();
    HttpRequest request;
    request.method = method;
    std::tie(request.path, request.query) = splitTarget(c.target);
    request.peer = c.peer;
    MHD_get_connection_values(mhd, MHD_HEADER_KIND, &collectHeader, &request.headers);
    request.body = std::exchange(c.body, {});
    c.answer = std::make_shared<Answer>();
    c.answer->connection = mhd;
    std::weak_ptr<Answer> weakAnswer = c.answer;
    std::weak_ptr<Impl*> weakServer = alive;
    handler(request, [weakAnswer, weakServer](const HttpResponse& response) {
        const std::shared_ptr<Answer> answer = weakAnswer.lock();
        const std::shared_ptr<Impl*> server = weakServer.lock();
        if (!answer || !server || *server == nullptr || answer->given ||
            answer->connection == nullptr) {
            return; // answered already, or nobody is waiting any more
        }
        answer->given = true;
        answer->response = response;
        if (answer->suspended) {
            answer->suspended = false;
            MHD_resume_connection(answer->connection);
            (*server)->runSoon();
        }
    });
}

MHD_Result HttpServer::Impl::queue(MHD_Connection* mhd, const HttpResponse& response) {
    MHD_Response* r = MHD_create_response_from_buffer(size_t(response.body.size()),
                                                      const_cast<char*>(response.body.constData()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) {
        return MHD_NO;
    }
    if (!response.contentType.isEmpty()) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.constData());
    }
    // The library refuses a header with a line break in it; such a header is left out.
    for (const auto& [name, value] : response.headers) {
        MHD_add_response_header(r, name.constData(), value.constData());
    }
    // One request per connection: its place is free again as soon as it is answered.
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(mhd, unsigned(response.status), r);
    MHD_destroy_response(r);
    return queued;
}

void HttpServer::Impl::busy(MHD_Connection* mhd) {
    HttpResponse response;
    response.status = 503;
    response.body = "Too many connections at once; try again shortly\n";
    response.headers.append(
        {MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number(limits.retryAfterSeconds)});
    (void)queue(mhd, response);
}

HttpServer::HttpServer(HttpHandler handler, QObject* parent)
    : QObject(parent), impl_(std::make_unique<Impl>()) {
    impl_->self = this;
    impl_->handler = std::move(handler);
}

HttpServer::~HttpServer() = default;

void HttpServer::setLimits(const HttpLimits& limits) {
    impl_->limits = limits;
}

const HttpLimits& HttpServer::limits() const {
    return impl_->limits;
}

void HttpServer::setServiceName(const QString& name) {
    impl_->serviceName = name;
}

Result<> HttpServer::listen(const QList<QHostAddress>& addresses, quint16 port,
                            const QList<QHostAddress>& optional) {
    if (impl_->daemon == nullptr) {
        if (Result<> started = impl_->start(); !started) {
            return started;
        }
    }
    QList<Listener*>& listeners = impl_->listeners;
    for (const QHostAddress& address : addresses + optional) {
        auto* listener = new Listener([this](qintptr fd) { impl_->take(fd); }, this);
        // A burst of connections waits in the kernel for its turn rather than being dropped.
        listener->setListenBacklogSize(impl_->limits.maxHeldConnections);
        if (!listener->listen(address,
                              listeners.isEmpty() ? port : listeners.front()->serverPort())) {
            const QString why = listener->errorString();
            delete listener;
            if (optional.contains(address)) {
                continue;
            }
            qDeleteAll(std::exchange(listeners, {}));
            return Failure(QStringLiteral("cannot serve %1 on %2 port %3: %4")
                               .arg(impl_->serviceName, address.toString())
                               .arg(port)
                               .arg(why));
        }
        listeners << listener;
    }
    return succeeded();
}

quint16 HttpServer::serverPort() const {
    return impl_->listeners.isEmpty() ? 0 : impl_->listeners.front()->serverPort();
}

QList<QHostAddress> HttpServer::addresses() const {
    QList<QHostAddress> all;
    for (const Listener* listener : impl_->listeners) {
        all << listener->serverAddress();
    }
    return all;
}

int HttpServer::connectionCount() const {
    return int(impl_->connections.size());
}
