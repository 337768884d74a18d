#include "serial/port_devices.h"

#include "serial/comm_port.h"
#include "serial/device_address.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSettings>

#include <array>

namespace {

constexpr qsizetype MaxDeviceLength = 1024;

// Who speaks in a warning: the program, so that rmq27-ctl's lines read like its others.
QString speaker() {
    const QString name =
        QCoreApplication::instance() ? QCoreApplication::applicationName() : QString();
    return name.isEmpty() ? QStringLiteral("rmq27") : name;
}

QString key(int portNumber) {
    return QStringLiteral("devices/com%1").arg(portNumber);
}

// A device name the user's file may hold: printable, of sane length, and a reachable form.
bool plausibleDevice(const QString& device) {
    if (device.isEmpty() || device.size() > MaxDeviceLength) {
        return false;
    }
    for (const QChar ch : device) {
        if (!ch.isPrint()) {
            return false;
        }
    }
    return parseDeviceAddress(device).error.isEmpty();
}

QString hex4(quint16 value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

void store(const QString& file, int portNumber, const QString& device) {
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(key(portNumber), device);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qWarning("%s: cannot remember %s for COM%d in %s", qPrintable(speaker()),
                 qPrintable(device), portNumber, qPrintable(file));
    }
}

} // namespace

QList<SerialPortEntry> availableSerialPorts() {
    QList<SerialPortEntry> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : infos) {
        SerialPortEntry entry;
        entry.device = info.systemLocation();
        entry.description = info.description();
        entry.manufacturer = info.manufacturer();
        entry.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier()) {
            entry.vendorId = info.vendorIdentifier();
        }
        if (info.hasProductIdentifier()) {
            entry.productId = info.productIdentifier();
        }
        ports << entry;
    }
    return ports;
}

QString describePorts(const QList<SerialPortEntry>& ports) {
    if (ports.isEmpty()) {
        return QStringLiteral("No serial ports found.\n");
    }
    QString out;
    for (const SerialPortEntry& port : ports) {
        QStringList fields{port.device};
        if (!port.description.isEmpty()) {
            fields << port.description;
        }
        if (!port.manufacturer.isEmpty()) {
            fields << port.manufacturer;
        }
        if (port.vendorId) {
            fields << QStringLiteral("USB %1:%2")
                          .arg(hex4(*port.vendorId),
                               port.productId ? hex4(*port.productId) : "????");
        }
        if (!port.serialNumber.isEmpty()) {
            fields << QStringLiteral("serial %1").arg(port.serialNumber);
        }
        out += fields.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    return out;
}

QString listPorts() {
    return describePorts(availableSerialPorts());
}

QString firstUsbAdapter(const QList<SerialPortEntry>& ports) {
    for (const SerialPortEntry& port : ports) {
        const QString name = QFileInfo(port.device).fileName();
        if (port.vendorId || name.startsWith(QLatin1String("ttyUSB")) ||
            name.startsWith(QLatin1String("ttyACM"))) {
            return port.device;
        }
    }
    return {};
}

QString portTooltip(int portNumber, const QString& device, const QList<SerialPortEntry>& ports) {
    QString text = QStringLiteral("COM%1: %2").arg(portNumber).arg(device);
    if (parseDeviceAddress(device).isNetwork()) {
        return text + QStringLiteral(" (serial device server)");
    }
    for (const SerialPortEntry& port : ports) {
        if (port.device == device && !port.description.isEmpty()) {
            return text + QStringLiteral(" (%1)").arg(port.description);
        }
    }
    return text;
}

PortDeviceChoice::PortDeviceChoice(const QString& settingsFile) : file_(settingsFile) {
    if (!QFileInfo::exists(file_)) {
        return;
    }
    QString problem;
    QFile probe(file_);
    if (!probe.open(QIODevice::ReadOnly)) {
        problem = probe.errorString();
    } else {
        QSettings settings(file_, QSettings::IniFormat);
        if (settings.status() != QSettings::NoError) {
            problem = QStringLiteral("it is not a settings file");
        }
        for (int n = 1; n <= 2 && problem.isEmpty(); ++n) {
            const QVariant value = settings.value(key(n));
            if (!value.isValid()) {
                continue;
            }
            const QString device = value.toString();
            if (value.typeId() != QMetaType::QString || !plausibleDevice(device)) {
                problem = QStringLiteral("COM%1 is not a device name").arg(n);
            } else {
                remembered_[n - 1] = device;
            }
        }
    }
    if (!problem.isEmpty()) {
        usable_ = false;
        remembered_[0].clear();
        remembered_[1].clear();
        qWarning("%s: ignoring the remembered devices in %s (%s)", qPrintable(speaker()),
                 qPrintable(file_), qPrintable(problem));
    }
}

QString PortDeviceChoice::userSettingsFile() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("rmq27-panel"),
                     QStringLiteral("rmq27-panel"))
        .fileName();
}

QString PortDeviceChoice::remembered(int portNumber) const {
    return portNumber == 1 || portNumber == 2 ? remembered_[portNumber - 1] : QString();
}

QString PortDeviceChoice::choose(int portNumber, const QString& commandLine,
                                 const QList<SerialPortEntry>& ports) const {
    if (!commandLine.isEmpty()) {
        return commandLine;
    }
    if (!remembered(portNumber).isEmpty()) {
        return remembered(portNumber);
    }
    if (portNumber == 1) {
        const QString usb = firstUsbAdapter(ports);
        if (!usb.isEmpty()) {
            return usb;
        }
    }
    return CommPort::defaultDevice(portNumber);
}

void PortDeviceChoice::remember(int portNumber, const QString& device) {
    if ((portNumber != 1 && portNumber != 2) || !plausibleDevice(device)) {
        return;
    }
    if (remembered_[portNumber - 1] == device) {
        return;
    }
    remembered_[portNumber - 1] = device;
    if (usable_) {
        store(file_, portNumber, device);
    }
}

QString PortDeviceChoice::forget() {
    remembered_[0].clear();
    remembered_[1].clear();
    usable_ = true;
    if (QFileInfo::exists(file_) && !QFile::remove(file_)) {
        return QStringLiteral("cannot remove %1").arg(file_);
    }
    return {};
}

void PortDeviceChoice::watch(CommPort& port, int transientPortNumber) const {
    if (!usable_) {
        return;
    }
    const QString file = file_;
    QObject::connect(
        &port, &CommPort::openChanged, &port,
        [&port, file, transientPortNumber,
         last = std::array<QString, 2>{remembered_[0], remembered_[1]}](bool open) mutable {
            const int n = port.commPort();
            if (!open || n == transientPortNumber || (n != 1 && n != 2)) {
                return;
            }
            const QString device = port.device(n);
            if (last[n - 1] != device && plausibleDevice(device)) {
                last[n - 1] = device;
                store(file, n, device);
            }
        });
}
