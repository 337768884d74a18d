#include "serial/line_settings.h"

#include "core/failure.h"

#include <QStringList>

LineSettings parseLineSettings(const QString& settings) {
    const QStringList parts = settings.split(QLatin1Char(','));
    const auto invalid = [&] {
        return StepFailure(QStringLiteral("Invalid line settings \"%1\"").arg(settings));
    };
    if (parts.size() != 4) {
        throw invalid();
    }
    LineSettings line;
    bool ok = false;
    line.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || line.baud <= 0) {
        throw invalid();
    }
    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N")) {
        line.parity = QSerialPort::NoParity;
    } else if (parity == QLatin1String("E")) {
        line.parity = QSerialPort::EvenParity;
    } else if (parity == QLatin1String("O")) {
        line.parity = QSerialPort::OddParity;
    } else if (parity == QLatin1String("M")) {
        line.parity = QSerialPort::MarkParity;
    } else if (parity == QLatin1String("S")) {
        line.parity = QSerialPort::SpaceParity;
    } else {
        throw invalid();
    }
    const int data = parts[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8) {
        throw invalid();
    }
    line.dataBits = static_cast<QSerialPort::DataBits>(data);
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1")) {
        line.stopBits = QSerialPort::OneStop;
    } else if (stop == QLatin1String("1.5")) {
        line.stopBits = QSerialPort::OneAndHalfStop;
    } else if (stop == QLatin1String("2")) {
        line.stopBits = QSerialPort::TwoStop;
    } else {
        throw invalid();
    }
    return line;
}
