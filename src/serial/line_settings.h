#pragma once

#include <QSerialPort>
#include <QString>

// The line a settings string such as "19200,N,8,1" describes: baud, parity, data bits, stop bits.
struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    bool operator==(const LineSettings&) const = default;
};

// Throws StepFailure naming the string when it is not "baud,parity,data,stop".
LineSettings parseLineSettings(const QString& settings);
