#pragma once

// For a test's own server threads: writes all of data to the socket fd, waiting while its buffer
// is full. False when the peer has gone or stop was set first.
#include <QByteArray>

#include <atomic>

#include <poll.h>
#include <sys/socket.h>

inline bool sendWhole(int fd, QByteArray data, const std::atomic<bool>& stop) {
    while (!data.isEmpty() && !stop) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::send(fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data.remove(0, n);
    }
    return !stop;
}
