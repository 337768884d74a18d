#include "sim/pty_pair.h"

#include "core/failure.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair(QObject* parent) : QObject(parent) {
    char name[256] = {};
    if (::openpty(&masterFd_, &slaveFd_, name, nullptr, nullptr) != 0) {
        throw StepFailure(QStringLiteral("No pseudo-terminal: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    devicePath_ = QString::fromLocal8Bit(name);

    // Raw on both sides: no echo, no CR/LF translation, every byte value passes as it is.
    termios tio{};
    if (::tcgetattr(slaveFd_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slaveFd_, TCSANOW, &tio);
    }
    ::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
    ::fcntl(masterFd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);

    notifier_ = new QSocketNotifier(masterFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PtyPair::readyRead);
}

PtyPair::~PtyPair() {
    close();
}

qint64 PtyPair::write(const QByteArray& bytes) {
    qint64 done = 0;
    while (masterFd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(masterFd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; // buffer full (EAGAIN) or the line is gone
        }
    }
    return done;
}

QByteArray PtyPair::readAll() {
    QByteArray out;
    char buf[4096];
    while (masterFd_ >= 0) {
        const ssize_t n = ::read(masterFd_, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return out;
}

int PtyPair::lineSpeed() const {
    termios tio{};
    if (slaveFd_ < 0 || ::tcgetattr(slaveFd_, &tio) != 0) {
        return 0;
    }
    switch (::cfgetospeed(&tio)) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return -1;
    }
}

void PtyPair::close() {
    if (notifier_) {
        notifier_->setEnabled(false);
        delete notifier_;
        notifier_ = nullptr;
    }
    if (masterFd_ >= 0) {
        ::close(masterFd_);
        masterFd_ = -1;
    }
    if (slaveFd_ >= 0) {
        ::close(slaveFd_);
        slaveFd_ = -1;
    }
}
