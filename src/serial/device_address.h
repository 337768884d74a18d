#pragma once

#include <QString>
#include <optional>

// Where a device string points: a local serial device (a path, or COMn on Windows), or a serial
// device server reached over TCP, either as a raw byte stream ("tcp://HOST:PORT") or through the
// Telnet com port control option ("rfc2217://HOST:PORT"), or a projector that rmq27-bridge holds,
// through the bridge's own protocol ("rmq27://HOST:PORT", its --serve port). IPv6 hosts go in
// brackets: "rfc2217://[::1]:7000".
struct [[nodiscard]] DeviceAddress {
    enum class Kind { Local, Tcp, Rfc2217, Bridge };
    Kind kind = Kind::Local;
    QString host;
    quint16 port = 0;
    // Set when the string names a device server but not in a form that can be reached: what was
    // wrong and how to write it instead.
    std::optional<QString> error;

    bool isNetwork() const { return kind != Kind::Local; }
};

DeviceAddress parseDeviceAddress(const QString& device);
