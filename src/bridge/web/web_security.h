#pragma once

#include "bridge/client_listener.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QtGlobal>
#include <optional>

// The web page's guards as plain data and functions, with the clock passed in: who is signed in,
// how long a peer that keeps giving wrong passwords must wait, and whether a change comes from
// the page itself. No sockets and no timers here; the web server applies them.

// Sign-in attempts per peer, slowed as PJLink's and the native port's greetings are (the same
// schedule, ClientListener's): the first FreeFailures wrong passwords cost nothing, each one after
// them makes the next attempt wait twice as long, up to 30 s. A right password clears the peer.
// The table is bounded: past MaxPeers the peer not heard from longest is dropped. Unlike the
// listener's, it counts sign-ins, not connections: one browser's connections come and go.
class SignInThrottle {
public:
    static constexpr int FreeFailures = ClientListener::FreeFailures;
    static constexpr qsizetype MaxPeers = ClientListener::MaxPeers;
    // A peer that has not failed for this long starts afresh.
    static constexpr qint64 ForgetAfterMs = ClientListener::FailureMemoryMs;

    // How long the peer's next attempt waits before it is checked (0: at once).
    int delayMs(const QHostAddress& peer, qint64 nowMs) const;
    void failed(const QHostAddress& peer, qint64 nowMs);
    void succeeded(const QHostAddress& peer);
    // Failures counted for the peer (for the one log line when it starts to be slowed).
    int failures(const QHostAddress& peer, qint64 nowMs) const;
    qsizetype peers() const { return peers_.size(); }

private:
    struct Peer {
        int failures = 0;
        qint64 lastMs = 0;
    };
    const Peer* find(const QHostAddress& peer, qint64 nowMs) const;
    QHash<QByteArray, Peer> peers_; // by the address's bytes (an IPv4-mapped address as IPv4)
};

// The signed-in browsers. A session is a random identifier in an HttpOnly cookie, with a random
// token of its own that every change must carry; it ends when signed out or LifetimeMs after
// sign-in. At most MaxSessions are kept: a new one past that ends the oldest.
class WebSessions {
public:
    static constexpr qint64 LifetimeMs = 8LL * 60 * 60 * 1000;
    static constexpr qsizetype MaxSessions = 32;

    struct Session {
        QByteArray id;
        QByteArray token;
        qint64 expiresMs = 0;
    };

    Session open(qint64 nowMs);
    // The live session with that identifier; none for an unknown or expired one.
    std::optional<Session> find(const QByteArray& id, qint64 nowMs) const;
    void close(const QByteArray& id);
    qsizetype count() const { return sessions_.size(); }

private:
    QHash<QByteArray, Session> sessions_;
};

// Equal contents, compared in a time that does not depend on where they differ.
bool sameSecret(const QByteArray& a, const QByteArray& b);

// The value of one cookie in a Cookie header; none when absent.
std::optional<QByteArray> cookieValue(const QByteArray& header, const QByteArray& name);

// One field of an application/x-www-form-urlencoded body, decoded; none when absent.
std::optional<QByteArray> formValue(const QByteArray& body, const QByteArray& name);

// Whether a change comes from a page of this server: the Origin header, or without it the
// Referer, names http://HOST exactly as the Host header does. Neither present, or no Host: no.
bool sameOrigin(const QByteArray& host, const QByteArray& origin, const QByteArray& referer);

// Whether a Host header names this machine by an address or as localhost, so that a page on
// another site whose name is pointed at 127.0.0.1 (DNS rebinding) is not served: without a
// password, that is the only thing between such a page and the controls.
bool isLiteralHost(const QByteArray& host);
