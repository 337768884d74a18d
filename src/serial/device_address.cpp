#include "serial/device_address.h"

namespace {

const QString kForm = QStringLiteral("give the device server as rfc2217://HOST:PORT or "
                                     "tcp://HOST:PORT, or a bridge as rmq27://HOST:PORT (an IPv6 "
                                     "host in brackets: [::1])");

DeviceAddress invalid(const QString& what) {
    DeviceAddress address;
    address.error = what;
    return address;
}

} // namespace

DeviceAddress parseDeviceAddress(const QString& device) {
    DeviceAddress address;
    const qsizetype schemeEnd = device.indexOf(QLatin1String("://"));
    if (schemeEnd < 0) {
        return address;
    }
    const QString scheme = device.left(schemeEnd).toLower();
    if (scheme == QLatin1String("tcp")) {
        address.kind = DeviceAddress::Kind::Tcp;
    } else if (scheme == QLatin1String("rfc2217")) {
        address.kind = DeviceAddress::Kind::Rfc2217;
    } else if (scheme == QLatin1String("rmq27")) {
        address.kind = DeviceAddress::Kind::Bridge;
    } else {
        return invalid(QStringLiteral("unknown scheme \"%1\"; name a serial device (such as "
                                      "/dev/ttyUSB0), or %2")
                           .arg(device.left(schemeEnd), kForm));
    }
    QString rest = device.mid(schemeEnd + 3);
    if (rest.endsWith(QLatin1Char('/'))) {
        rest.chop(1);
    }
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return invalid(QStringLiteral("\"%1\" has no closing bracket; %2").arg(rest, kForm));
        }
        address.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':'))) {
            return invalid(QStringLiteral("\"%1\" is not HOST:PORT; %2").arg(rest, kForm));
        }
        if (after.size() > 1) {
            portText = after.mid(1);
        }
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && rest.indexOf(QLatin1Char(':')) != colon) {
            return invalid(
                QStringLiteral("\"%1\": an IPv6 host goes in brackets; %2").arg(rest, kForm));
        }
        address.host = colon < 0 ? rest : rest.left(colon);
        portText = colon < 0 ? QString() : rest.mid(colon + 1);
    }
    if (address.host.isEmpty()) {
        return invalid(QStringLiteral("no host given; %1").arg(kForm));
    }
    if (portText.isEmpty()) {
        return invalid(QStringLiteral("no port given; %1").arg(kForm));
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        return invalid(QStringLiteral("port \"%1\" is out of range; give a port from 1 to 65535")
                           .arg(portText));
    }
    address.port = quint16(port);
    return address;
}
