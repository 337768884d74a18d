#pragma once

#include <QList>
#include <QString>
#include <memory>
#include <optional>

class CommPort;

// One serial port the system reports.
struct SerialPortEntry {
    QString device; // what to open: /dev/ttyUSB0, COM3
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
};

QList<SerialPortEntry> availableSerialPorts();
// One port a line: device, description, manufacturer, USB vendor:product and serial number where
// known; words when there are none.
QString describePorts(const QList<SerialPortEntry>& ports);
// describePorts() of the ports present now.
QString listPorts();
// The first USB serial adapter among the ports, or an empty string.
QString firstUsbAdapter(const QList<SerialPortEntry>& ports);
// The text that names the device behind a port option: "COM1: /dev/ttyUSB0 (FT232R USB UART)".
QString portTooltip(int portNumber, const QString& device, const QList<SerialPortEntry>& ports);

// Which device stands behind COM1 and COM2: the one named on the command line; else the one last
// opened on that port number, remembered in the user's settings (a plain INI file the user may
// edit or delete); else, for COM1, the first USB serial adapter; else the platform default.
//
// The file is read at the start, and again just before a device is stored: only a regular file
// of sane size, opened without blocking. One that cannot be read or makes no sense is ignored
// with one line on standard error and is never written to, so the user can still mend it; a
// device that opens then is not remembered, and one line says so, where and why. The file is
// written only when what it holds changes.
class PortDeviceChoice {
public:
    explicit PortDeviceChoice(const QString& settingsFile = userSettingsFile());

    // ~/.config/rmq27-panel/rmq27-panel.ini on Linux ($XDG_CONFIG_HOME when set), the same place
    // under %APPDATA% on Windows.
    static QString userSettingsFile();
    QString settingsFile() const { return memory_->file; }

    QString choose(int portNumber, const QString& commandLine,
                   const QList<SerialPortEntry>& ports) const;
    QString remembered(int portNumber) const;

    // Remembers the device for the port number, in the file too where the file allows.
    void remember(int portNumber, const QString& device);
    // Clears what was remembered; what went wrong, if anything.
    [[nodiscard]] std::optional<QString> forget();
    // From now on remember() every device that opens on the port, except on a port marked
    // transient (a simulated projector's pseudo-terminal, new at every run). The port keeps a
    // share of this choice, so it may outlive it.
    void watch(CommPort& port, int transientPortNumber = 0) const;

    struct Memory {
        QString file;
        // Why the file is left alone this run; nothing when it may be written.
        std::optional<QString> unusable;
        QString devices[2];
    };

private:
    std::shared_ptr<Memory> memory_;
};
