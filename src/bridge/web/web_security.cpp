#include "bridge/web/web_security.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

QByteArray peerKey(const QHostAddress& peer) {
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    if (mapped) {
        return QByteArray::number(v4);
    }
    const Q_IPV6ADDR v6 = peer.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 16);
}

QByteArray randomHex(int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), bytes / 4);
    return raw.toHex();
}

// "host:port" of a URL written as http://host:port/..., or nothing when it is no such URL.
std::optional<QByteArray> authorityOf(const QByteArray& url) {
    static const QByteArray scheme = QByteArrayLiteral("http://");
    if (!url.startsWith(scheme)) {
        return std::nullopt;
    }
    const QByteArray rest = url.mid(scheme.size());
    const qsizetype end = rest.indexOf('/');
    return end < 0 ? rest : rest.left(end);
}

} // namespace

const SignInThrottle::Peer* SignInThrottle::find(const QHostAddress& peer, qint64 nowMs) const {
    const auto it = peers_.constFind(peerKey(peer));
    if (it == peers_.cend() || nowMs - it->lastMs > ForgetAfterMs) {
        return nullptr;
    }
    return &*it;
}

int SignInThrottle::failures(const QHostAddress& peer, qint64 nowMs) const {
    const Peer* p = find(peer, nowMs);
    return p ? p->failures : 0;
}

int SignInThrottle::delayMs(const QHostAddress& peer, qint64 nowMs) const {
    return ClientListener::throttleMs(failures(peer, nowMs));
}

void SignInThrottle::failed(const QHostAddress& peer, qint64 nowMs) {
    const QByteArray key = peerKey(peer);
    if (!peers_.contains(key) && peers_.size() >= MaxPeers) {
        const auto oldest =
            std::min_element(peers_.begin(), peers_.end(),
                             [](const Peer& a, const Peer& b) { return a.lastMs < b.lastMs; });
        peers_.erase(oldest);
    }
    Peer& p = peers_[key];
    if (nowMs - p.lastMs > ForgetAfterMs) {
        p.failures = 0;
    }
    p.failures = std::min(p.failures + 1, 1000);
    p.lastMs = nowMs;
}

void SignInThrottle::succeeded(const QHostAddress& peer) {
    peers_.remove(peerKey(peer));
}

WebSessions::Session WebSessions::open(qint64 nowMs) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = it->expiresMs <= nowMs ? sessions_.erase(it) : std::next(it);
    }
    if (sessions_.size() >= MaxSessions) {
        const auto oldest = std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const Session& a, const Session& b) { return a.expiresMs < b.expiresMs; });
        sessions_.erase(oldest);
    }
    Session s{randomHex(32), randomHex(32), nowMs + LifetimeMs};
    sessions_.insert(s.id, s);
    return s;
}

std::optional<WebSessions::Session> WebSessions::find(const QByteArray& id, qint64 nowMs) const {
    const auto it = sessions_.constFind(id);
    if (id.isEmpty() || it == sessions_.cend() || it->expiresMs <= nowMs) {
        return std::nullopt;
    }
    return *it;
}

void WebSessions::close(const QByteArray& id) {
    sessions_.remove(id);
}

bool sameSecret(const QByteArray& a, const QByteArray& b) {
    // Every byte of the longer is looked at whatever the first difference.
    const qsizetype n = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0 : 1;
    for (qsizetype i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= unsigned(x ^ y);
    }
    return difference == 0;
}

std::optional<QByteArray> cookieValue(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray pair = part.trimmed();
        const qsizetype eq = pair.indexOf('=');
        if (eq > 0 && pair.left(eq) == name) {
            return pair.mid(eq + 1);
        }
    }
    return std::nullopt;
}

std::optional<QByteArray> formValue(const QByteArray& body, const QByteArray& name) {
    for (const QByteArray& part : body.split('&')) {
        const qsizetype eq = part.indexOf('=');
        const QByteArray key = eq < 0 ? part : part.left(eq);
        if (key == name) {
            QByteArray value = eq < 0 ? QByteArray() : part.mid(eq + 1);
            value.replace('+', ' ');
            return QByteArray::fromPercentEncoding(value);
        }
    }
    return std::nullopt;
}

bool sameOrigin(const QByteArray& host, const QByteArray& origin, const QByteArray& referer) {
    if (host.isEmpty()) {
        return false;
    }
    // "null" (a sandboxed or privacy-hiding page) is no origin of ours.
    const std::optional<QByteArray> from =
        !origin.isEmpty() ? authorityOf(origin) : authorityOf(referer);
    if (!origin.isEmpty() && origin.contains('/') && origin.count('/') > 2) {
        return false; // an Origin is scheme://host[:port] and nothing after it
    }
    return from && from->compare(host, Qt::CaseInsensitive) == 0;
}

bool isLiteralHost(const QByteArray& host) {
    QByteArray name = host;
    if (name.startsWith('[')) {
        const qsizetype close = name.indexOf(']');
        if (close < 0) {
            return false;
        }
        const QByteArray rest = name.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':')) {
            return false;
        }
        return !QHostAddress(QString::fromLatin1(name.mid(1, close - 1))).isNull();
    }
    const qsizetype colon = name.lastIndexOf(':');
    if (colon >= 0) {
        name.truncate(colon);
    }
    if (name.compare("localhost", Qt::CaseInsensitive) == 0) {
        return true;
    }
    QHostAddress address;
    return address.setAddress(QString::fromLatin1(name)) &&
           address.protocol() == QAbstractSocket::IPv4Protocol;
}
