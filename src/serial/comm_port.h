#pragma once

// Failures in serial/ take one of two forms.
// - A step of the control that fails (an open, a write, a setting the port cannot take) throws
//   StepFailure, as the control the window was designed around raises its errors: what happened,
//   naming port and device, any advice, and the remedy apart as data. The steps after it do not
//   run.
// - A function that only finds something out and reports it returns std::optional of its finding
//   (a Failure, or a description), nothing when all is well. No function returns a QString that
//   is empty on success.
// Results that must not be dropped are [[nodiscard]].

#include "core/failure.h"

#include "serial/line_settings.h"
#include "serial/name_resolver.h"

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <memory>
#include <optional>

class DeviceServersModule;
class NetLink;

// Why an open failed. Qt gives a permission error both for a device another program holds and
// for one this user may not open; `accessible` (the user may read and write the device file)
// tells them apart.
[[nodiscard]] Failure describeOpenFailure(QSerialPort::SerialPortError error,
                                          const QString& qtReason, bool accessible);
[[nodiscard]] bool deviceAccessible(const QString& device);
// The operator's description of a device that cannot be a serial port at all: one that does not
// exist, or anything that is no terminal (a directory, a file, a socket, /dev/null, /dev/urandom),
// judged by what the device is, whatever the system said. Names the port and device, keeps the
// system's words in brackets; its remedy is to name the right device with `deviceOption`
// ("--com1"). Nothing when the device may be a serial port and the failure lies elsewhere.
[[nodiscard]] std::optional<Failure> describeUnusableDevice(int portNumber, const QString& device,
                                                            const QString& systemReason,
                                                            const QString& deviceOption);

// The serial control the window was designed around: a port number, a settings string such as
// "19200,N,8,1", open / close / is-open, a whole-string write, a read of everything waiting, the
// event code of the last notification (2 = characters received) and a receive notification as
// soon as one character waits. One character is one byte both ways (Latin-1), so what the window
// shows is the wire, token for token.
//
// A device is a local serial device, a serial device server given as rfc2217://HOST:PORT or
// tcp://HOST:PORT, or a projector held by rmq27-bridge given as rmq27://HOST:PORT (see
// DeviceAddress); the window sees no difference between them, but for one: the bridge sets the
// line for all its users, so a change of the settings while a bridged port is open is refused.
//
// Every failing operation throws StepFailure with a description naming the port and its device.
// A device that vanishes while open (an unplugged USB adapter) closes the port at once and is
// reported once through lost(); the control never spins on a dead port.
//
// A local device is locked by what it is, not by the name it was given: links are resolved before
// the lock is taken, and the terminal is held in exclusive mode while open, so a second program is
// refused whichever name it uses.
class CommPort : public QObject {
    Q_OBJECT
public:
    // The event code of received characters. The receive notification comes as soon as one
    // character waits, and a read takes everything waiting.
    static constexpr qint16 ComEvReceive = 2;

    explicit CommPort(QObject* parent = nullptr);
    ~CommPort() override;

    // Port n maps to /dev/ttyS(n-1) on Linux and COMn on Windows unless overridden here.
    static QString defaultDevice(int portNumber);
    void setDevice(int portNumber, const QString& device);
    QString device(int portNumber) const;
    // A port whose device cannot be had this run (a simulated projector that could not start):
    // every open of it fails with `why`, and no other device stands in for it.
    void setUnavailable(int portNumber, const QString& why);
    // The program's option that names the device, for the advice of a failure: --com1 or --com2
    // after the port unless set; a program with one option for its one port sets that.
    void setDeviceOptionName(const QString& option) { deviceOption_ = option; }
    // What turns a device server's host name into addresses from the next open on; empty (the
    // default) for the system's resolver.
    void setResolver(name_lookup::Resolver resolver) { resolver_ = std::move(resolver); }
    // Where device server links come from; null (the default) for the program's installed module.
    void setDeviceServersModule(DeviceServersModule* module) { module_ = module; }
    // The password proved to a bridge that asks for one, from the next open on.
    void setPassword(std::optional<QByteArray> password) { password_ = std::move(password); }

    qint16 commPort() const { return portNumber_; }
    void setCommPort(qint16 portNumber);

    QString settings() const { return settings_; }
    // Parses "baud,parity,data,stop"; applies at once to an open port, without reopening it.
    void setSettings(const QString& settings);

    bool portOpen() const;
    void setPortOpen(bool open);

    // Writes the whole text before returning control to the caller's next step: the bytes are
    // handed to the driver (flushed), not left in a user-space buffer.
    void output(const QString& text);
    // Everything waiting, emptied from the buffer.
    QString input();
    qint16 commEvent() const { return event_; }

    // Raises the notification with an event code, as the device driver does; code 2 comes from
    // received characters. Public so that other event codes can be exercised.
    void raiseCommEvent(qint16 code);

    // Describes the current port for messages: "COM1 (/dev/ttyS0)".
    QString portLabel() const;

    // The local serial port: the line speed, parity, data and stop bits it actually runs with.
    // A device server's port is not this one.
    QSerialPort& serialPort() { return port_; }

signals:
    void onComm();
    // The port was opened (true) or closed (false).
    void openChanged(bool open);
    void lost(const Failure& failure);

private:
    void applySettings();
    void openLocal();
    void noteDropped(const Failure& reason);
    void handleError(QSerialPort::SerialPortError error);
    void closeLostPort();
    // A read or write error means a dead device only when the device is really gone; another
    // reader of the same line can leave a read with nothing to take.
    bool localDeviceGone();
    // Closes a port whose device is gone; returns the loss, naming port and device.
    Failure closeDeadPort();
    [[noreturn]] void fail(const QString& what, const QString& advice = {},
                           Remedy remedy = Remedy::None) const;
    [[noreturn]] void fail(Failure failure) const;

    QSerialPort port_;
    // The device server link, made when a network device is first opened; in use while netOpen_.
    std::unique_ptr<NetLink> net_;
    bool netOpen_ = false;
    bool bridged_ = false; // the open link is to a bridge
    std::optional<QByteArray> password_;
    qint16 portNumber_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    LineSettings line_;
    qint16 event_ = 0;
    bool lostPending_ = false;
    int errorsWithoutData_ = 0;
    // What the first error of a dead device said; later errors of the same descriptor say less.
    Failure lostReason_;
    QString devices_[2];
    std::optional<QString> unavailable_[2];
    QString deviceOption_;
    name_lookup::Resolver resolver_;
    DeviceServersModule* module_ = nullptr;
};
