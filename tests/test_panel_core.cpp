// Start-up, the send-and-show routine and the serial link, over a real pseudo-terminal whose far
// side the test holds.
#include "serial/comm_port.h"
#include "support/form1_test_seam.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestPanelCore : public WindowFixture {
    Q_OBJECT
private slots:
    void startupState();
    void startupOpensTwiceAndCentresOnFullHeight();
    void startHeightShowsTheMainPanelOnly();
    void focusStartsOnPowerOn();
    void startupWithMissingPort();
    void modeOneWritesAndShows();
    void modeTwoShowsWholeBuffer_data();
    void modeTwoShowsWholeBuffer();
    void replyInThreePieces();
    void otherEventCodesChangeNothing();
    void speedSwitchOnOpenPort();
    void portSwitchToWorkingPort();
    void portSwitchToMissingPort();
    void lostDeviceReopenedByChoosingItsPort();
    void portHeldByAnotherProgram();
    void openFailureDescriptions_data();
    void openFailureDescriptions();
    void sendWhileClosed();
    void farSideVanishes();
    void receiveBufferIsBounded();
    void endAndCloseReleaseThePort();
};

void TestPanelCore::startupState() {
    Form1& f = form();
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QCOMPARE(seam(f).PadMode, quint8(0));
    QCOMPARE(seam(f).SendCmd, QString());
    QCOMPARE(seam(f).RecvBuf, QString());
    QCOMPARE(seam(f).PressVal, qint16(0));
    QCOMPARE(seam(f).PanelUnlock, qint16(0));
    QCOMPARE(seam(f).FreeText, QString());
    QCOMPARE(seam(f).CommSettings, QStringLiteral("19200,N,8,1"));
    QCOMPARE(seam(f).CmdPrefix, QString());
    QVERIFY(seam(f).MSComm1->portOpen());
    QCOMPARE(seam(f).MSComm1->commPort(), qint16(1));
    QCOMPARE(seam(f).MSComm1->settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(rig().far().lineSpeed(), 19200);
    QCOMPARE(f.clientHeightTwips(), Form1::StartHeight);
    QCOMPARE(f.height(), 332);
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(named<QPushButton>(f, "Command34")->isHidden());
    QVERIFY(named<QRadioButton>(f, "Option1")->isChecked());
    QVERIFY(named<QRadioButton>(f, "Option9")->isChecked());
    QCOMPARE(f.windowTitle(), QStringLiteral("VEXO   RM-Q27   CONTROL   Ver.1.40"));
    for (QTimer* t : {seam(f).Timer1, seam(f).Timer2, seam(f).Timer3, seam(f).Timer4}) {
        QVERIFY2(!t->isActive(), qPrintable(t->objectName()));
    }
    QCOMPARE(seam(f).Timer1->interval(), 200);
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer3->interval(), 5000);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QCOMPARE(seam(f).Timer1->timerType(), Qt::PreciseTimer);
    QVERIFY(rig().warnings().isEmpty());

    // The first command after start-up goes out as its bare code and a carriage return.
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton);
    expectWire("C00\r");
}

void TestPanelCore::startupOpensTwiceAndCentresOnFullHeight() {
    remakeRig({.load = false});
    // The serial control as stored with the window, before start-up changes it.
    QCOMPARE(seam(form()).MSComm1->commPort(), qint16(1));
    QCOMPARE(seam(form()).MSComm1->settings(), QStringLiteral("9600,N,8,1"));
    QVERIFY(!seam(form()).MSComm1->portOpen());
    QSignalSpy opens(seam(form()).MSComm1, &CommPort::openChanged);
    rig().load();
    QCOMPARE(opens.size(), 3);
    QCOMPARE(opens.at(0).at(0).toBool(), true);
    QCOMPARE(opens.at(1).at(0).toBool(), false);
    QCOMPARE(opens.at(2).at(0).toBool(), true);

    // The outer size: the client area and, with no frame reported yet, the 370-twip allowance
    // for title bar and border; the frame's corner goes to the computed place.
    const QRect screen = form().screen()->geometry();
    QCOMPARE(form().frameGeometry().size(), form().size());
    QCOMPARE(form().pos().y() - screen.y(), qRound((screen.height() - 9100 / 15.0f) / 2.0f));
    QCOMPARE(form().pos().x() - screen.x(), qRound((screen.width() - 633) / 2.0f));
}

void TestPanelCore::startHeightShowsTheMainPanelOnly() {
    Form1& f = form();
    const int visible = f.height();
    const int frame9Top = named<QFrame>(f, "Frame9")->geometry().top();
    QVERIFY(frame9Top < visible); // only its top edge shows
    for (QWidget* w : f.findChildren<QWidget*>()) {
        if (w->isWindow() || w->parentWidget() != &f) {
            continue;
        }
        const QRect r = w->geometry();
        const bool mainPanel = r.bottom() < frame9Top;
        QVERIFY2(mainPanel ? r.bottom() < visible : r.top() >= frame9Top,
                 qPrintable(w->objectName()));
    }
}

void TestPanelCore::focusStartsOnPowerOn() {
    form().show();
    form().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form()));
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(),
                              static_cast<QWidget*>(named<QPushButton>(form(), "Command17")),
                              10000);
}

void TestPanelCore::startupWithMissingPort() {
    Form1& f =
        remakeRig({.com2 = QString(), .com1 = QStringLiteral("/dev/rmq27-missing-com1")}).form();
    const QStringList& warnings = rig().warnings();
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].startsWith(QStringLiteral("COM1 (/dev/rmq27-missing-com1): ")),
             qPrintable(warnings[0]));
    QVERIFY(!seam(f).MSComm1->portOpen());
    QCOMPARE(seam(f).MSComm1->commPort(), qint16(1));
    QCOMPARE(f.clientHeightTwips(), Form1::StartHeight);
}

void TestPanelCore::modeOneWritesAndShows() {
    Form1& f = form();
    named<QLabel>(f, "Label12")->setText(QStringLiteral("before"));
    seam(f).SendCmd = QStringLiteral("CF IMAGE REAL\r");
    f.Hyouji(seam(f).SendCmd, 1);
    QCOMPARE(rig().wire(14), QByteArray("CF IMAGE REAL\r"));
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral(" C F   I M A G E   R E A L CR "));
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral("before"));
    QCOMPARE(seam(f).WaitReply, quint8(1));
    QVERIFY(seam(f).Timer2->isActive());
    QVERIFY(seam(f).Timer4->isActive());
    QCOMPARE(seam(f).RecvBuf, QString());
}

void TestPanelCore::modeTwoShowsWholeBuffer_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("mode 2") << 2;
    QTest::newRow("any other mode acts as 2") << 7;
}

void TestPanelCore::modeTwoShowsWholeBuffer() {
    QFETCH(int, mode);
    Form1& f = form();
    seam(f).RecvBuf = QStringLiteral("00\r");
    const quint8 m = quint8(mode);
    f.Hyouji(seam(f).RecvBuf, m);
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 0 CR "));
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QVERIFY(!seam(f).Timer2->isActive());
    QVERIFY(!seam(f).Timer4->isActive());
    expectWire({});
}

void TestPanelCore::replyInThreePieces() {
    Form1& f = form();
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
    QCOMPARE(rig().wire(4), QByteArray("CR0\r"));
    QCOMPARE(seam(f).WaitReply, quint8(1));

    rig().reply("0");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 "), 10000);
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QString());
    rig().reply("0");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 0 "), 10000);
    rig().reply("\r");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 0 CR "),
                              10000);
    QCOMPARE(seam(f).RecvBuf, QStringLiteral("00\r"));
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"));
}

void TestPanelCore::otherEventCodesChangeNothing() {
    Form1& f = form();
    seam(f).RecvBuf = QStringLiteral("12");
    seam(f).WaitReply = 1;
    named<QLabel>(f, "Label12")->setText(QStringLiteral("kept"));
    for (qint16 code : {0, 1, 3, 4, 1001, -1}) {
        seam(f).MSComm1->raiseCommEvent(code);
    }
    QCOMPARE(seam(f).RecvBuf, QStringLiteral("12"));
    QCOMPARE(seam(f).WaitReply, quint8(1));
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral("kept"));
}

void TestPanelCore::speedSwitchOnOpenPort() {
    Form1& f = form();
    named<QFrame>(f, "Frame8")->show();
    QSignalSpy opens(seam(f).MSComm1, &CommPort::openChanged);
    named<QRadioButton>(f, "Option10")->click();
    QCOMPARE(rig().far().lineSpeed(), 9600);
    QCOMPARE(seam(f).CommSettings, QStringLiteral("9600,N,8,1"));
    QVERIFY(seam(f).MSComm1->portOpen());
    QCOMPARE(opens.size(), 0);
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(named<QRadioButton>(f, "Option1")->isChecked()); // the port group is untouched

    named<QRadioButton>(f, "Option9")->click();
    QCOMPARE(rig().far().lineSpeed(), 19200);
    QCOMPARE(opens.size(), 0);
}

void TestPanelCore::portSwitchToWorkingPort() {
    PtyPair& com2 = com2Pty();
    Form1& f = remakeRig({.com2 = com2.devicePath()}).form();
    named<QFrame>(f, "Frame8")->show();
    QSignalSpy opens(seam(f).MSComm1, &CommPort::openChanged);
    named<QRadioButton>(f, "Option2")->click();
    QCOMPARE(opens.size(), 2); // closed, then opened on COM2
    QVERIFY(seam(f).MSComm1->portOpen());
    QCOMPARE(seam(f).MSComm1->commPort(), qint16(2));
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(named<QRadioButton>(f, "Option9")->isChecked());
    QVERIFY(rig().warnings().isEmpty());

    QTest::mouseClick(named<QPushButton>(f, "Command18"), Qt::LeftButton);
    QByteArray got;
    QVERIFY(waitFor([&] { return (got += com2.readAll()).size() >= 4; }));
    QCOMPARE(got, QByteArray("C01\r"));
}

void TestPanelCore::portSwitchToMissingPort() {
    Form1& f = form();
    named<QFrame>(f, "Frame8")->show();
    named<QRadioButton>(f, "Option2")->click();
    QCOMPARE(rig().warnings().size(), 1);
    QVERIFY2(rig().warnings()[0].startsWith(QStringLiteral("COM2 (/dev/rmq27-no-such-port): ")),
             qPrintable(rig().warnings()[0]));
    QCOMPARE(seam(f).MSComm1->commPort(), qint16(1)); // the fallback
    QVERIFY(!seam(f).MSComm1->portOpen());
    QVERIFY(!named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(named<QRadioButton>(f, "Option2")->isChecked());

    // With the port closed, COM1 sets the number and opens the port again.
    named<QRadioButton>(f, "Option1")->click();
    QCOMPARE(seam(f).MSComm1->commPort(), qint16(1));
    QVERIFY(seam(f).MSComm1->portOpen());
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QCOMPARE(rig().warnings().size(), 1);
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton);
    QCOMPARE(rig().wire(4), QByteArray("C00\r"));
}

void TestPanelCore::lostDeviceReopenedByChoosingItsPort() {
    // An adapter unplugged and plugged in again comes back under the same name: here a link
    // that points at one pseudo-terminal, then at another.
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("projector"));
    auto before = std::make_unique<PtyPair>();
    QVERIFY(QFile::link(before->devicePath(), device));
    Form1& f = remakeRig({.com2 = QString(), .com1 = device}).form();
    const QStringList& warnings = rig().warnings();
    QVERIFY(seam(f).MSComm1->portOpen());

    before->close();
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), 10000);
    QCOMPARE(warnings.size(), 1);
    PtyPair after;
    QVERIFY(QFile::remove(device) && QFile::link(after.devicePath(), device));

    // A click on the option that is already selected reopens its port.
    QTest::mouseClick(named<QPushButton>(f, "Command33"), Qt::LeftButton);
    QVERIFY(named<QRadioButton>(f, "Option1")->isChecked());
    QTest::mouseClick(named<QRadioButton>(f, "Option1"), Qt::LeftButton);
    QVERIFY(seam(f).MSComm1->portOpen());
    QCOMPARE(seam(f).MSComm1->commPort(), qint16(1));
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QCOMPARE(warnings.size(), 1);
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton);
    QByteArray got;
    QVERIFY(waitFor([&] { return (got += after.readAll()).size() >= 4; }));
    QCOMPARE(got, QByteArray("C00\r"));
}

void TestPanelCore::portHeldByAnotherProgram() {
    PtyPair& com2 = com2Pty();
    QSerialPort other;
    other.setPortName(com2.devicePath());
    QVERIFY(other.open(QIODevice::ReadWrite));
    remakeRig({.com2 = com2.devicePath()});
    named<QRadioButton>(form(), "Option2")->click();
    QCOMPARE(rig().warnings().size(), 1);
    QVERIFY2(rig().warnings()[0].contains(QStringLiteral("in use by another program")),
             qPrintable(rig().warnings()[0]));
    QVERIFY(!seam(form()).MSComm1->portOpen());
    QCOMPARE(seam(form()).MSComm1->commPort(), qint16(1));
}

void TestPanelCore::openFailureDescriptions_data() {
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("accessible");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing device")
        << int(QSerialPort::DeviceNotFoundError) << false << "No such file or directory";
    QTest::newRow("held elsewhere")
        << int(QSerialPort::PermissionError) << true << "in use by another program";
    QTest::newRow("not permitted")
        << int(QSerialPort::PermissionError) << false << "this user may not open the device";
}

void TestPanelCore::openFailureDescriptions() {
    QFETCH(int, error);
    QFETCH(bool, accessible);
    QFETCH(QString, expected);
    const QString text =
        describeOpenFailure(QSerialPort::SerialPortError(error),
                            QStringLiteral("No such file or directory"), accessible)
            .text(panelRemedyWords());
    QVERIFY2(text.contains(expected), qPrintable(text));
}

void TestPanelCore::sendWhileClosed() {
    Form1& f = form();
    seam(f).MSComm1->setPortOpen(false);
    seam(f).MSComm1->setPortOpen(false); // closing a closed port does nothing
    named<QLabel>(f, "Label11")->setText(QStringLiteral("earlier"));
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton);
    QCOMPARE(rig().warnings(), QStringList{QStringLiteral("COM1 is not open")});
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral("earlier"));
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QVERIFY(!seam(f).Timer2->isActive());
    QVERIFY(!seam(f).Timer4->isActive());
    QCOMPARE(seam(f).SendCmd, QStringLiteral("C00\r"));
}

void TestPanelCore::farSideVanishes() {
    Form1& f = form();
    QSignalSpy errors(&seam(f).MSComm1->serialPort(), &QSerialPort::errorOccurred);
    rig().far().close();
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), 10000);
    QCOMPARE(rig().warnings().size(), 1);
    QVERIFY2(rig().warnings()[0].startsWith(QStringLiteral("COM1 (")),
             qPrintable(rig().warnings()[0]));
    // The dead descriptor is gone: no stream of errors keeps the event loop busy.
    const auto before = errors.size();
    QTest::qWait(300);
    QVERIFY2(errors.size() - before == 0, qPrintable(QString::number(errors.size() - before)));
    QVERIFY(before < 10);
    QCOMPARE(rig().warnings().size(), 1);

    // The panel stays usable: a send is refused with its own message.
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton);
    QCOMPARE(rig().warnings().size(), 2);
    QCOMPARE(rig().warnings().last(), QStringLiteral("COM1 is not open"));
}

void TestPanelCore::receiveBufferIsBounded() {
    Form1& f = form();
    QByteArray flood(40000, 'A');
    qint64 sent = 0;
    QVERIFY(waitFor([&] {
        sent += rig().far().write(flood.mid(sent));
        return sent == flood.size();
    }));
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf.size(), Form1::RecvBufLimit, 10000);
    QTest::qWait(100);
    QCOMPARE(seam(f).RecvBuf.size(), Form1::RecvBufLimit);
    QCOMPARE(named<QLabel>(f, "Label12")->text().size(), 1 + 2 * Form1::RecvBufLimit);
    // A new reply window starts a new buffer.
    f.timer2Tick();
    rig().reply("80\r");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("80\r"), 10000);
}

void TestPanelCore::endAndCloseReleaseThePort() {
    QTest::mouseClick(named<QPushButton>(form(), "Command16"), Qt::LeftButton);
    QVERIFY(!seam(form()).MSComm1->portOpen());
    QVERIFY(rig().warnings().isEmpty());

    remakeRig({});
    form().show();
    form().close();
    QVERIFY(!seam(form()).MSComm1->portOpen());
}

QTEST_MAIN(TestPanelCore)
#include "test_panel_core.moc"
