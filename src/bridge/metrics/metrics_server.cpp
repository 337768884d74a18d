#include "bridge/metrics/metrics_server.h"

#include "bridge/metrics/prometheus_text.h"

#include <utility>

MetricsServer::MetricsServer(std::function<QByteArray()> provider, QObject* parent)
    : QObject(parent), provider_(std::move(provider)),
      http_([this](const HttpRequest& request, const HttpResponder& respond) {
          respond(answer(request));
      }) {
    http_.setServiceName(QStringLiteral("metrics"));
    setRequestTimeoutMs(DefaultRequestTimeoutMs);
}

MetricsServer::~MetricsServer() = default;

void MetricsServer::setRequestTimeoutMs(int ms) {
    HttpLimits limits;
    limits.maxConnections = MaxConnections;
    // Scrapers are few; any one of them may take every place.
    limits.maxConnectionsPerPeer = MaxConnections;
    limits.maxRequestBytes = RequestLimit;
    limits.requestTimeoutMs = ms;
    limits.retryAfterSeconds = RetryAfterSeconds;
    limits.maxHeldConnections = MaxHeld;
    limits.maxHeldPerPeer = MaxHeld;
    http_.setLimits(limits);
}

namespace {

HttpResponse reply(int status, QByteArray body) {
    HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

} // namespace

HttpResponse MetricsServer::answer(const HttpRequest& request) const {
    if (request.path != "/metrics") {
        return reply(404, "Not found: the metrics are at /metrics\n");
    }
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse response = reply(405, "Method not allowed\n");
        response.headers.append({QByteArray("Allow"), QByteArray("GET, HEAD")});
        return response;
    }
    // HEAD is answered with the headers of GET; the library leaves the body out.
    HttpResponse response = reply(200, provider_());
    response.contentType = PrometheusContentType;
    return response;
}
