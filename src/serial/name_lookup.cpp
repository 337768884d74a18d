#include "serial/name_lookup.h"

#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#ifndef Q_OS_WIN
#include <netdb.h>
#endif

namespace name_lookup {

namespace {

struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<sockaddr_storage> addresses;
};

int systemResolver(const std::string& name, std::vector<sockaddr_storage>& found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (status == 0) {
        for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
            sockaddr_storage address{};
            std::memcpy(&address, entry->ai_addr,
                        std::min(size_t(entry->ai_addrlen), sizeof address));
            found.push_back(address);
        }
        ::freeaddrinfo(list);
    }
    return status;
}

QString lookupError(int status) {
#ifdef Q_OS_WIN
    return QStringLiteral("error %1").arg(status);
#else
    return QString::fromLocal8Bit(::gai_strerror(status));
#endif
}

} // namespace

std::optional<QString> lookUp(const QString& host, const QDeadlineTimer& deadline,
                              QList<QHostAddress>& addresses, const Resolver& resolver) {
    QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty()) {
        ace = host.toUtf8();
    }
    auto lookup = std::make_shared<Lookup>();
    // The thread owns its copy of the resolver and shares only `lookup`, which outlives either
    // side; the addresses become QHostAddress here, on the caller's thread.
    try {
        std::thread([lookup, resolve = resolver ? resolver : Resolver(systemResolver),
                     name = ace.toStdString()] {
            std::vector<sockaddr_storage> found;
            const int status = resolve(name, found);
            const std::lock_guard lock(lookup->mutex);
            lookup->status = status;
            lookup->addresses = std::move(found);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        return QStringLiteral("cannot look up \"%1\": the system gives no thread for it (%2)")
            .arg(host, QString::fromLocal8Bit(error.what()));
    }
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()),
                               [&] { return lookup->finished; })) {
        return QStringLiteral("no answer within 2 seconds from the name lookup of \"%1\"; check "
                              "the name, or give the server's address")
            .arg(host);
    }
    for (const sockaddr_storage& address : lookup->addresses) {
        const QHostAddress candidate(reinterpret_cast<const sockaddr*>(&address));
        if (!candidate.isNull() && !addresses.contains(candidate)) {
            addresses << candidate;
        }
    }
    if (lookup->status != 0 || addresses.isEmpty()) {
        return QStringLiteral("the host \"%1\" was not found (%2); check the name, or give the "
                              "server's address")
            .arg(host,
                 lookup->status != 0 ? lookupError(lookup->status) : QStringLiteral("no address"));
    }
    return {};
}

} // namespace name_lookup
