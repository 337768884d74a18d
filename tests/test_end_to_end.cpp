// The panel against the simulated projector over a real pseudo-terminal: clicks go out on the
// line, the projector answers, and the status line reads the answer.
#include "serial/comm_port.h"
#include "support/form1_test_seam.h"
#include "support/window_fixture.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using Mode = SimProjector::FaultMode;

class TestEndToEnd : public WindowFixture {
    Q_OBJECT
private slots:
    void powerOnCountsDownThenRuns();
    void modeFollowsInput();
    void temperaturesAndPressure();
    void silentProjectorGivesTheNoReplyMark();
    void piecesReadLikeWholeReplies_data();
    void piecesReadLikeWholeReplies();
    void noisyProjectorNeverBreaksThePanel();
    void floodKeepsTheBufferBounded();
    void vanishingProjectorClosesThePortOnce();

private:
    // Clicks a button and keeps the exchange's own timers out of the way, so the test decides
    // when the reply window ends.
    void click(QAnyStringView control) {
        QTest::mouseClick(form().findChild<QAbstractButton*>(control.toString()), Qt::LeftButton);
        seam(form()).Timer2->stop();
        seam(form()).Timer4->stop();
    }
    QString status() { return rig().line("Label22"); }
    QString received() { return rig().line("Label12"); }
    // Ends the reply window as its tick would, ready for the next exchange.
    void endWindow() {
        form().timer2Tick();
        form().timer4Tick();
    }
};

void TestEndToEnd::powerOnCountsDownThenRuns() {
    simulate(Mode::None).setCountDownMs(3000);
    click("Command17"); // POWER ON
    QTRY_COMPARE_WITH_TIMEOUT(received(), QStringLiteral(" ACK CR "), 10000);
    endWindow();
    click("Command44"); // STATUS
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral(" Count down"), 10000);
    endWindow();
    QTest::qWait(3100);
    click("Command44");
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral(" Power ON"), 10000);
    QVERIFY(rig().warnings().isEmpty());
}

void TestEndToEnd::modeFollowsInput() {
    simulate(Mode::None);
    click("Command28"); // INPUT MODE SET "2"
    QTRY_COMPARE_WITH_TIMEOUT(received(), QStringLiteral(" ACK CR "), 10000);
    endWindow();
    click("Command45"); // MODE
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral(" Input mode 2"), 10000);
}

void TestEndToEnd::temperaturesAndPressure() {
    simulate(Mode::None);
    click("Command54"); // TEMP
    QTRY_VERIFY_WITH_TIMEOUT(status().startsWith(QStringLiteral("  S1=")), 10000);
    const QString temps = status();
    QVERIFY2(temps.contains(QStringLiteral(" C  ,   S2= ")) && temps.endsWith(QStringLiteral(" C")),
             qPrintable(temps));
    QCOMPARE(temps.count(QRegularExpression(QStringLiteral("\\d \\. \\d"))), 3);
    endWindow();
    click("Command68"); // PRESSURE
    QTRY_VERIFY_WITH_TIMEOUT(status().endsWith(QStringLiteral(" hPa")), 10000);
    QCOMPARE(status(), QStringLiteral("1013 hPa"));
}

void TestEndToEnd::silentProjectorGivesTheNoReplyMark() {
    simulate(Mode::Silent);
    click("Command44");
    QTest::qWait(300);
    QCOMPARE(seam(form()).WaitReply, quint8(1));
    form().timer2Tick();
    QCOMPARE(received(), QStringLiteral(" X X X X"));
    QCOMPARE(seam(form()).WaitReply, quint8(0));
    form().timer4Tick();
    QCOMPARE(received(), QString());
    QCOMPARE(named<QLabel>(form(), "Label11")->text(), QString());
}

void TestEndToEnd::piecesReadLikeWholeReplies_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("reading");
    QTest::newRow("STATUS") << "Command44"
                            << " Stand by";
    QTest::newRow("PRESSURE") << "Command68"
                              << "1013 hPa";
    QTest::newRow("L-TIME") << "Command46"
                            << " 0 1 2 3 4 CR  Hour Use";
}

void TestEndToEnd::piecesReadLikeWholeReplies() {
    QFETCH(QString, button);
    QFETCH(QString, reading);
    for (Mode mode : {Mode::None, Mode::Pieces}) {
        simulate(mode);
        click(button);
        QTRY_COMPARE_WITH_TIMEOUT(status(), reading, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(received().endsWith(QStringLiteral("CR ")), 10000);
    }
}

void TestEndToEnd::noisyProjectorNeverBreaksThePanel() {
    simulate(Mode::Noisy).setNoiseSeed(27);
    for (int i = 0; i < 20; ++i) {
        click("Command44");
        QTest::qWait(20);
        endWindow();
    }
    click("Command44");
    QTRY_VERIFY_WITH_TIMEOUT(!received().isEmpty(), 10000);
    QVERIFY(seam(form()).RecvBuf.size() <= Form1::RecvBufLimit);
    QVERIFY(seam(form()).MSComm1->portOpen());
    QVERIFY(rig().warnings().isEmpty());
}

void TestEndToEnd::floodKeepsTheBufferBounded() {
    simulate(Mode::Flood).setFloodBytesPerSecond(400000);
    QTRY_COMPARE_WITH_TIMEOUT(seam(form()).RecvBuf.size(), Form1::RecvBufLimit, 30000);
    QTest::qWait(500);
    QCOMPARE(seam(form()).RecvBuf.size(), Form1::RecvBufLimit);
    // Every character has one token of at most four characters.
    QVERIFY(received().size() <= 1 + 4 * Form1::RecvBufLimit);
    // The panel still sends while the line floods.
    click("Command44");
    QCOMPARE(seam(form()).WaitReply, quint8(1));
    QVERIFY(rig().warnings().isEmpty());
}

void TestEndToEnd::vanishingProjectorClosesThePortOnce() {
    simulate(Mode::Vanish).setVanishAfter(2);
    for (int i = 0; i < 3; ++i) {
        QTest::mouseClick(named<QPushButton>(form(), "Command44"), Qt::LeftButton);
        QTest::qWait(50);
        if (!seam(form()).MSComm1->portOpen()) {
            break;
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(!seam(form()).MSComm1->portOpen(), 10000);
    QTest::qWait(200);
    QCOMPARE(rig().warnings().size(), 1);
    QVERIFY2(rig().warnings()[0].contains(QStringLiteral("gone")), qPrintable(rig().warnings()[0]));
}

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
