// The panel through Debian's ser2net, in front of a pseudo-terminal the test holds: over Telnet
// with the com port control option, and as a raw TCP stream.
#include "panel/form1_test_seam.h"
#include "serial/comm_port.h"
#include "support/panel_rig.h"
#include "support/ser2net.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

constexpr int kWaitMs = 10000;

} // namespace

class TestDeviceServer : public QObject {
    Q_OBJECT
private slots:
    void init();
    void throughSer2net_data();
    void throughSer2net();
    void serverWithoutTheOption();
};

void TestDeviceServer::init() {
    if (!Ser2Net::available()) {
        QSKIP("ser2net is not installed (scripts/install-deps installs it)");
    }
}

void TestDeviceServer::throughSer2net_data() {
    QTest::addColumn<QString>("accepter");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("telnet, com port control") << "telnet(rfc2217)"
                                              << "rfc2217";
    QTest::newRow("raw") << ""
                         << "tcp";
}

void TestDeviceServer::throughSer2net() {
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    const bool telnet = scheme == QLatin1String("rfc2217");
    Ser2Net server(accepter);
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), server.url(scheme));
    Form1& f = rig.form();
    QVERIFY(server.start(rig.far().devicePath()));
    rig.load();
    QVERIFY2(rig.warnings().isEmpty(), qPrintable(rig.warnings().join(QLatin1String(" | "))));
    QVERIFY(seam(f).MSComm1->portOpen());
    if (telnet) {
        // The line was set before open returned, so the first command goes out at its speed.
        QCOMPARE(rig.far().lineSpeed(), 19200);
    }

    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
    QCOMPARE(rig.wire(4), QByteArray("CR0\r"));
    rig.reply("00\r");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"),
                              kWaitMs);

    if (telnet) {
        named<QRadioButton>(f, "Option10")->click();
        QTRY_COMPARE_WITH_TIMEOUT(rig.far().lineSpeed(), 9600, kWaitMs);
        named<QRadioButton>(f, "Option9")->click();
        QTRY_COMPARE_WITH_TIMEOUT(rig.far().lineSpeed(), 19200, kWaitMs);
    }

    // 0xFF, the Telnet escape, passes both ways as itself.
    f.timer2Tick();
    seam(f).MSComm1->output(QStringLiteral("\u00ff\r"));
    QCOMPARE(rig.wire(2), QByteArray("\xff\r"));
    rig.reply("\xff\xff\r");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("\u00ff\u00ff\r"), kWaitMs);

    // The server goes away: the port closes, the operator is told once, the panel idles.
    server.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), kWaitMs);
    QTest::qWait(300);
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings()[0].startsWith(QStringLiteral("COM1 (%1): ").arg(server.url(scheme))),
             qPrintable(rig.warnings()[0]));
    const double cpu0 = cpuSeconds();
    const double wall0 = wallSeconds();
    QTest::qWait(500);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = wallSeconds() - wall0;
    QVERIFY2(cpu < wall / 2, qPrintable(QStringLiteral("%1 s CPU in %2 s").arg(cpu).arg(wall)));
    QCOMPARE(rig.warnings().size(), 1);

    // Back again: choosing the port reconnects and commands flow.
    QVERIFY(server.start(rig.far().devicePath()));
    QTest::mouseClick(named<QPushButton>(f, "Command33"), Qt::LeftButton);
    QTest::mouseClick(named<QRadioButton>(f, "Option1"), Qt::LeftButton);
    QVERIFY(seam(f).MSComm1->portOpen());
    rig.drainWire();
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton); // POWER ON
    QCOMPARE(rig.wire(4), QByteArray("C00\r"));
    QCOMPARE(rig.warnings().size(), 1);
}

void TestDeviceServer::serverWithoutTheOption() {
    Ser2Net server(QStringLiteral("telnet"));
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), server.url(QStringLiteral("rfc2217")));
    QVERIFY(server.start(rig.far().devicePath()));
    rig.load();
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings()[0].contains(QStringLiteral("does not offer the com port option")),
             qPrintable(rig.warnings()[0]));
    QVERIFY(!seam(rig.form()).MSComm1->portOpen());
}

QTEST_MAIN(TestDeviceServer)
#include "test_device_server.moc"
