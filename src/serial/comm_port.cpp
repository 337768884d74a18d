#include "serial/comm_port.h"

#include "core/failure.h"
#include "serial/device_address.h"
#include "serial/net_link.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
constexpr qint16 MaxPortNumber = 16;
// Read or write errors in a row, with no byte received between them, that make a line dead even
// when the system reports no hang-up.
constexpr int MaxErrorsWithoutData = 1000;
} // namespace

Failure describeOpenFailure(QSerialPort::SerialPortError error, const QString& qtReason,
                            bool accessible) {
    if (error != QSerialPort::PermissionError) {
        return Failure{qtReason};
    }
    // Qt reports a device locked or held exclusively by another program and a device this user
    // may not open alike; only the second is mended by the user's permissions.
    if (accessible) {
        return Failure{QStringLiteral("the port is in use by another program (%1)").arg(qtReason),
                       QStringLiteral("close that program"), Remedy::Reopen};
    }
    return Failure{QStringLiteral("permission denied: this user may not open the device (%1); on "
                                  "Linux, add the user to the group that owns it (usually "
                                  "dialout) and log in again")
                       .arg(qtReason)};
}

bool deviceAccessible(const QString& device) {
#ifdef Q_OS_UNIX
    return ::access(device.toLocal8Bit().constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(device);
    return true;
#endif
}

std::optional<Failure> describeUnusableDevice(int portNumber, const QString& device,
                                              const QString& systemReason,
                                              const QString& deviceOption) {
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    struct stat info {};
    QString problem;
    if (::stat(path.constData(), &info) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            return std::nullopt;
        }
        problem = QStringLiteral("the device does not exist");
    } else if (!S_ISCHR(info.st_mode)) {
        // A directory, a file, a socket, a pipe: none of them is a terminal.
        problem = QStringLiteral("the device is not a serial port");
    } else {
        // A character device that opens and is no terminal (/dev/null, /dev/urandom). One that
        // does not open (held by another program, not this user's) may well be a serial port.
        const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        const bool terminal = ::isatty(fd) == 1;
        ::close(fd);
        if (terminal) {
            return std::nullopt;
        }
        problem = QStringLiteral("the device is not a serial port");
    }
    return Failure{
        QStringLiteral("COM%1 (%2): %3 (%4)").arg(portNumber).arg(device, problem, systemReason),
        {},
        Remedy::NameDevice,
        deviceOption};
#else
    Q_UNUSED(deviceOption);
    Q_UNUSED(portNumber);
    Q_UNUSED(device);
    Q_UNUSED(systemReason);
    return std::nullopt;
#endif
}

CommPort::CommPort(QObject* parent) : QObject(parent) {
    line_ = parseLineSettings(settings_);
    port_.setReadBufferSize(0);
    connect(&port_, &QSerialPort::readyRead, this, [this] {
        errorsWithoutData_ = 0;
        raiseCommEvent(ComEvReceive);
    });
    connect(&port_, &QSerialPort::errorOccurred, this, &CommPort::handleError);
}

CommPort::~CommPort() {
    port_.disconnect(this);
    // The link tells this control nothing more once it starts to go.
    net_.reset();
    if (port_.isOpen()) {
        port_.close();
    }
}

QString CommPort::defaultDevice(int portNumber) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(portNumber);
#else
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
#endif
}

void CommPort::setDevice(int portNumber, const QString& device) {
    if (portNumber == 1 || portNumber == 2) {
        devices_[portNumber - 1] = device;
    }
}

void CommPort::setUnavailable(int portNumber, const QString& why) {
    if (portNumber == 1 || portNumber == 2) {
        unavailable_[portNumber - 1] = why;
    }
}

QString CommPort::device(int portNumber) const {
    if ((portNumber == 1 || portNumber == 2) && !devices_[portNumber - 1].isEmpty()) {
        return devices_[portNumber - 1];
    }
    return defaultDevice(portNumber);
}

QString CommPort::portLabel() const {
    return QStringLiteral("COM%1 (%2)").arg(portNumber_).arg(device(portNumber_));
}

void CommPort::fail(const QString& what, const QString& advice, Remedy remedy) const {
    fail(Failure{what, advice, remedy});
}

void CommPort::fail(Failure failure) const {
    failure.description = QStringLiteral("%1: %2").arg(portLabel(), failure.description);
    throw StepFailure(std::move(failure));
}

void CommPort::setCommPort(qint16 portNumber) {
    if (portNumber < 1 || portNumber > MaxPortNumber) {
        throw StepFailure(QStringLiteral("Invalid port number %1").arg(portNumber));
    }
    if (portOpen()) {
        fail(QStringLiteral("the port is open; close it before changing the port number"));
    }
    portNumber_ = portNumber;
}

void CommPort::setSettings(const QString& settings) {
    const LineSettings line = parseLineSettings(settings);
    if (netOpen_ && bridged_ && line != line_) {
        // Other users share the line the bridge holds; what it runs is the bridge's to say.
        fail(QStringLiteral("the bridge sets the projector's line for all its users, so \"%1\" "
                            "was not applied")
                 .arg(settings),
             QStringLiteral("change the speed with the bridge's --baud option"));
    }
    line_ = line;
    settings_ = settings;
    if (netOpen_) {
        net_->setLine(line_);
    } else if (port_.isOpen()) {
        applySettings();
    }
}

void CommPort::applySettings() {
    const bool ok = port_.setBaudRate(line_.baud) && port_.setParity(line_.parity) &&
                    port_.setDataBits(line_.dataBits) && port_.setStopBits(line_.stopBits) &&
                    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!ok) {
        fail(QStringLiteral("cannot apply \"%1\": %2").arg(settings_, port_.errorString()));
    }
}

bool CommPort::portOpen() const {
    return netOpen_ || port_.isOpen();
}

void CommPort::setPortOpen(bool open) {
    if (!open) {
        // Closing a port that is already closed does nothing.
        lostPending_ = false;
        if (portOpen()) {
            if (netOpen_) {
                netOpen_ = false;
                net_->close();
            } else {
                port_.close();
            }
            emit openChanged(false);
        }
        return;
    }
    if (portOpen()) {
        fail(QStringLiteral("the port is already open"));
    }
    lostPending_ = false;
    if ((portNumber_ == 1 || portNumber_ == 2) && unavailable_[portNumber_ - 1]) {
        fail(*unavailable_[portNumber_ - 1]);
    }
    const DeviceAddress address = parseDeviceAddress(device(portNumber_));
    if (address.error) {
        fail(*address.error);
    }
    if (address.isNetwork()) {
        if (!net_) {
            DeviceServersModule& module = module_ ? *module_ : DeviceServersModule::installed();
            NetLinkMade made =
                module.make({[this] { raiseCommEvent(ComEvReceive); },
                             [this](const Failure& failure) { noteDropped(failure); }});
            if (made.failure) {
                fail(*made.failure);
            }
            net_ = std::move(made.link);
        }
        if (const std::optional<Failure> error = net_->open(address, line_, resolver_, password_)) {
            fail(*error);
        }
        netOpen_ = true;
        bridged_ = address.kind == DeviceAddress::Kind::Bridge;
    } else {
        openLocal();
    }
    event_ = 0;
    emit openChanged(true);
}

void CommPort::openLocal() {
    // Qt locks the device by the name it opens, so it opens the device's own name: a link to a
    // device held open under another name is refused as the device itself would be.
    const QString resolved = QFileInfo(device(portNumber_)).canonicalFilePath();
    port_.setPortName(resolved.isEmpty() ? device(portNumber_) : resolved);
    if (!port_.open(QIODevice::ReadWrite)) {
        const QString option =
            deviceOption_.isEmpty() ? QStringLiteral("--com%1").arg(portNumber_) : deviceOption_;
        if (const auto unusable = describeUnusableDevice(portNumber_, device(portNumber_),
                                                         port_.errorString(), option)) {
            port_.clearError();
            throw StepFailure(*unusable);
        }
        const Failure reason = describeOpenFailure(port_.error(), port_.errorString(),
                                                   deviceAccessible(device(portNumber_)));
        port_.clearError();
        fail(reason);
    }
#ifdef Q_OS_UNIX
    // Exclusive mode keeps out programs that take no lock at all; closing the port ends it.
    ::ioctl(int(port_.handle()), TIOCEXCL);
#endif
    try {
        applySettings();
    } catch (...) {
        port_.close();
        throw;
    }
    port_.clear(QSerialPort::AllDirections);
    errorsWithoutData_ = 0;
}

void CommPort::output(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar ch : text) {
        if (ch.unicode() > 0xFF) {
            throw StepFailure(
                QStringLiteral("Cannot send \"%1\" (U+%2): one character is one byte on the line, "
                               "and this character has no one-byte form. Nothing was sent.")
                    .arg(ch)
                    .arg(ch.unicode(), 4, 16, QLatin1Char('0')));
        }
        bytes.append(char(ch.unicode()));
    }
    if (lostPending_) {
        // The device went away and its close has not run yet: close it now and report the loss
        // here, once, instead of a second message from the event loop.
        throw StepFailure(closeDeadPort());
    }
    if (!portOpen()) {
        throw StepFailure(QStringLiteral("COM%1 is not open").arg(portNumber_));
    }
    if (netOpen_) {
        const std::optional<Failure> error = net_->write(bytes);
        if (lostPending_) {
            throw StepFailure(closeDeadPort());
        }
        if (error) {
            fail(*error);
        }
        return;
    }
    const qint64 written = port_.write(bytes);
    if (written == bytes.size()) {
        port_.flush();
    }
    if (lostPending_) {
        throw StepFailure(closeDeadPort());
    }
    if (written != bytes.size()) {
        fail(QStringLiteral("write refused: %1").arg(port_.errorString()));
    }
}

QString CommPort::input() {
    if (netOpen_) {
        return QString::fromLatin1(net_->readAll());
    }
    if (!port_.isOpen()) {
        return {};
    }
    return QString::fromLatin1(port_.readAll());
}

void CommPort::raiseCommEvent(qint16 code) {
    event_ = code;
    emit onComm();
}

void CommPort::handleError(QSerialPort::SerialPortError error) {
    // A device that is gone shows as a resource error (an unplugged adapter), or as a read or
    // write error that repeats at every turn of the event loop (a pseudo-terminal whose far
    // side closed).
    // Either way the descriptor is dead and must be closed, or the loop spins on it.
    const bool dead = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                      error == QSerialPort::WriteError;
    if (!dead || !port_.isOpen() || lostPending_) {
        return;
    }
    // A read that found nothing, as another reader of the line may cause, is no loss; but an
    // error that repeats without a byte in between is a dead line however it looks.
    if (error != QSerialPort::ResourceError && !localDeviceGone() &&
        ++errorsWithoutData_ < MaxErrorsWithoutData) {
        port_.clearError();
        return;
    }
    // The close runs from the event loop, not inside QSerialPort's own notifier callback; until
    // then every further error of the dead descriptor is ignored here.
    lostPending_ = true;
    lostReason_ = Failure{port_.errorString()};
    QMetaObject::invokeMethod(this, &CommPort::closeLostPort, Qt::QueuedConnection);
}

bool CommPort::localDeviceGone() {
#ifdef Q_OS_UNIX
    // A line whose far side is gone reports a hang-up; one with nothing to read yet does not.
    pollfd state{int(port_.handle()), POLLIN | POLLOUT, 0};
    if (::poll(&state, 1, 0) < 0) {
        return true;
    }
    return (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return true;
#endif
}

void CommPort::noteDropped(const Failure& reason) {
    if (!netOpen_ || lostPending_) {
        return;
    }
    lostPending_ = true;
    lostReason_ = reason;
    QMetaObject::invokeMethod(this, &CommPort::closeLostPort, Qt::QueuedConnection);
}

void CommPort::closeLostPort() {
    if (lostPending_) {
        emit lost(closeDeadPort());
    }
}

Failure CommPort::closeDeadPort() {
    const Failure reason = lostReason_;
    lostPending_ = false;
    if (netOpen_) {
        netOpen_ = false;
        net_->close();
        emit openChanged(false);
        // The link's own description: a dropped connection, a server that stopped taking data,
        // or one that runs its port otherwise than asked.
        Failure loss = reason;
        loss.description = QStringLiteral("%1: %2").arg(portLabel(), reason.description);
        return loss;
    }
    port_.close();
    port_.clearError();
    emit openChanged(false);
    // The system's word for a device that went away is whatever call last failed on its dead
    // descriptor ("Inappropriate ioctl for device", "Resource temporarily unavailable"): it tells
    // the operator nothing, so the plain reason stands alone.
    return Failure{
        QStringLiteral("%1: the device is gone and the port is closed").arg(portLabel())};
}
