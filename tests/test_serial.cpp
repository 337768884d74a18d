// The serial layer on its own: which failures of an open the operator is told about, and how.
#include "core/failure.h"
#include "serial/comm_port.h"

#include <QTest>

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void unusableDevice_data();
    void unusableDevice();
};

void TestSerial::unusableDevice_data() {
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no terminal")
        << 1 << "/dev/null"
        << "COM1 (/dev/null): the device is not a serial port (Inappropriate ioctl for device); "
           "name the device with --com1 DEVICE";
    QTest::newRow("directory") << 2 << "/"
                               << "COM2 (/): the device is not a serial port (Is a directory); "
                                  "name the device with --com2 DEVICE";
    QTest::newRow("missing")
        << 1 << "/dev/rmq27-no-such-device"
        << "COM1 (/dev/rmq27-no-such-device): the device does not exist (No such file or "
           "directory); name the device with --com1 DEVICE";
}

void TestSerial::unusableDevice() {
    QFETCH(int, portNumber);
    QFETCH(QString, device);
    QFETCH(QString, expected);
    CommPort port;
    port.setDevice(portNumber, device);
    port.setCommPort(qint16(portNumber));
    try {
        port.setPortOpen(true);
        QFAIL("opened");
    } catch (const PanelFailure& f) {
        QCOMPARE(f.description(), expected);
    }
    QVERIFY(!port.portOpen());
}

QTEST_GUILESS_MAIN(TestSerial)
#include "test_serial.moc"
