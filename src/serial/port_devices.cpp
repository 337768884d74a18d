#include "serial/port_devices.h"

#include "serial/comm_port.h"
#include "serial/device_address.h"
#include "serial/settings_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStandardPaths>

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
    return !parseDeviceAddress(device).error.has_value();
}

QString hex4(quint16 value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// The one routine that remembers a device: in memory, and in the file where the file is ours and
// does not hold it already.
void rememberIn(PortDeviceChoice::Memory& memory, int portNumber, const QString& device) {
    if ((portNumber != 1 && portNumber != 2) || !plausibleDevice(device) ||
        memory.devices[portNumber - 1] == device) {
        return;
    }
    memory.devices[portNumber - 1] = device;
    const auto notRemembered = [&](const QString& why) {
        qWarning("%s: %s is not remembered for COM%d: %s is left as it is (%s)",
                 qPrintable(speaker()), qPrintable(device), portNumber, qPrintable(memory.file),
                 qPrintable(why));
    };
    if (memory.unusable) {
        notRemembered(*memory.unusable);
        return;
    }
    // Read again: another run, or the user, may have changed the file since the start.
    const settings_file::Content content = settings_file::read(memory.file);
    if (content.problem) {
        notRemembered(*content.problem);
        return;
    }
    const settings_file::Values values = settings_file::parse(content.bytes, {key(portNumber)});
    if (values.problem) {
        notRemembered(*values.problem);
        return;
    }
    const QVariant& stored = values.values.front();
    if (stored.typeId() == QMetaType::QString && stored.toString() == device) {
        return;
    }
    std::optional<QString> failure = QStringLiteral("the settings cannot be written");
    if (const auto text = settings_file::withValue(content.bytes, key(portNumber), device)) {
        failure = settings_file::replace(memory.file, *text);
    }
    if (failure) {
        qWarning("%s: cannot remember %s for COM%d in %s (%s)", qPrintable(speaker()),
                 qPrintable(device), portNumber, qPrintable(memory.file), qPrintable(*failure));
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

PortDeviceChoice::PortDeviceChoice(const QString& settingsFile)
    : memory_(std::make_shared<Memory>()) {
    Memory& memory = *memory_;
    memory.file = settingsFile;
    const settings_file::Content content = settings_file::read(settingsFile);
    std::optional<QString> problem = content.problem;
    if (content.exists && !problem) {
        const settings_file::Values values = settings_file::parse(content.bytes, {key(1), key(2)});
        problem = values.problem;
        for (int n = 1; n <= 2 && !problem; ++n) {
            const QVariant& value = values.values[n - 1];
            if (!value.isValid()) {
                continue;
            }
            const QString device = value.toString();
            if (value.typeId() != QMetaType::QString || !plausibleDevice(device)) {
                problem = QStringLiteral("COM%1 is not a device name").arg(n);
            } else {
                memory.devices[n - 1] = device;
            }
        }
    }
    if (problem) {
        memory.unusable = problem;
        memory.devices[0].clear();
        memory.devices[1].clear();
        qWarning("%s: ignoring the remembered devices in %s (%s)", qPrintable(speaker()),
                 qPrintable(settingsFile), qPrintable(*problem));
    }
}

QString PortDeviceChoice::userSettingsFile() {
    // Not through QSettings: it would open the file (a pipe there would block the start) and
    // keep what it read for later readers.
#ifdef Q_OS_WIN
    const QString base = qEnvironmentVariable("APPDATA");
#else
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
#endif
    return QDir(base).filePath(QStringLiteral("rmq27-panel/rmq27-panel.ini"));
}

QString PortDeviceChoice::remembered(int portNumber) const {
    return portNumber == 1 || portNumber == 2 ? memory_->devices[portNumber - 1] : QString();
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
    rememberIn(*memory_, portNumber, device);
}

std::optional<QString> PortDeviceChoice::forget() {
    memory_->devices[0].clear();
    memory_->devices[1].clear();
    memory_->unusable.reset();
    const QFileInfo info(memory_->file);
    if ((info.exists() || info.isSymLink()) && !QFile::remove(memory_->file)) {
        return QStringLiteral("cannot remove %1").arg(memory_->file);
    }
    return std::nullopt;
}

void PortDeviceChoice::watch(CommPort& port, int transientPortNumber) const {
    QObject::connect(&port, &CommPort::openChanged, &port,
                     [&port, memory = memory_, transientPortNumber](bool open) {
                         const int n = port.commPort();
                         if (open && n != transientPortNumber) {
                             rememberIn(*memory, n, port.device(n));
                         }
                     });
}
