// The panel against the simulated projector over a real pseudo-terminal: clicks go out on the
// line, the projector answers, and the status line reads the answer.
#include "panel/form1.h"
#include "panel/form1_test_seam.h"
#include "serial/comm_port.h"
#include "sim/sim_projector.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

using Mode = SimProjector::FaultMode;

struct Bench {
    explicit Bench(Mode mode) : projector(mode) {
        form = std::make_unique<Form1>(Form1::PortDevices{projector.devicePath(), QString()});
        seam(*form).guard.setPresenter([this](const QString& d) { warnings << d; });
        form->formLoad();
    }
    // Clicks a button and keeps the exchange's own timers out of the way, so the test decides
    // when the reply window ends.
    void click(QAbstractButton* button) {
        QTest::mouseClick(button, Qt::LeftButton);
        seam(*form).Timer2->stop();
        seam(*form).Timer4->stop();
    }
    QString status() const { return named<QLabel>(*form, "Label22")->text(); }
    QString received() const { return named<QLabel>(*form, "Label12")->text(); }
    // Ends the reply window as its tick would, ready for the next exchange.
    void endWindow() {
        form->timer2Tick();
        form->timer4Tick();
    }

    SimProjector projector;
    std::unique_ptr<Form1> form;
    QStringList warnings;
};

} // namespace

class TestEndToEnd : public QObject {
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
};

void TestEndToEnd::powerOnCountsDownThenRuns() {
    Bench b(Mode::None);
    b.projector.setCountDownMs(3000);
    b.click(named<QPushButton>(*b.form, "Command17")); // POWER ON
    QTRY_COMPARE_WITH_TIMEOUT(b.received(), QStringLiteral(" ACK CR "), 10000);
    b.endWindow();
    b.click(named<QPushButton>(*b.form, "Command44")); // STATUS
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QStringLiteral(" Count down"), 10000);
    b.endWindow();
    QTest::qWait(3100);
    b.click(named<QPushButton>(*b.form, "Command44"));
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QStringLiteral(" Power ON"), 10000);
    QVERIFY(b.warnings.isEmpty());
}

void TestEndToEnd::modeFollowsInput() {
    Bench b(Mode::None);
    b.click(named<QPushButton>(*b.form, "Command28")); // INPUT MODE SET "2"
    QTRY_COMPARE_WITH_TIMEOUT(b.received(), QStringLiteral(" ACK CR "), 10000);
    b.endWindow();
    b.click(named<QPushButton>(*b.form, "Command45")); // MODE
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QStringLiteral(" Input mode 2"), 10000);
}

void TestEndToEnd::temperaturesAndPressure() {
    Bench b(Mode::None);
    b.click(named<QPushButton>(*b.form, "Command54")); // TEMP
    QTRY_VERIFY_WITH_TIMEOUT(b.status().startsWith(QStringLiteral("  S1=")), 10000);
    const QString temps = b.status();
    QVERIFY2(temps.contains(QStringLiteral(" C  ,   S2= ")) && temps.endsWith(QStringLiteral(" C")),
             qPrintable(temps));
    QCOMPARE(temps.count(QRegularExpression(QStringLiteral("\\d \\. \\d"))), 3);
    b.endWindow();
    b.click(named<QPushButton>(*b.form, "Command68")); // PRESSURE
    QTRY_VERIFY_WITH_TIMEOUT(b.status().endsWith(QStringLiteral(" hPa")), 10000);
    QCOMPARE(b.status(), QStringLiteral("1013 hPa"));
}

void TestEndToEnd::silentProjectorGivesTheNoReplyMark() {
    Bench b(Mode::Silent);
    b.click(named<QPushButton>(*b.form, "Command44"));
    QTest::qWait(300);
    QCOMPARE(seam(*b.form).WaitReply, quint8(1));
    b.form->timer2Tick();
    QCOMPARE(b.received(), QStringLiteral(" X X X X"));
    QCOMPARE(seam(*b.form).WaitReply, quint8(0));
    b.form->timer4Tick();
    QCOMPARE(b.received(), QString());
    QCOMPARE(named<QLabel>(*b.form, "Label11")->text(), QString());
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
        Bench b(mode);
        b.click(b.form->findChild<QAbstractButton*>(button));
        QTRY_COMPARE_WITH_TIMEOUT(b.status(), reading, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(b.received().endsWith(QStringLiteral("CR ")), 10000);
    }
}

void TestEndToEnd::noisyProjectorNeverBreaksThePanel() {
    Bench b(Mode::Noisy);
    b.projector.setNoiseSeed(27);
    for (int i = 0; i < 20; ++i) {
        b.click(named<QPushButton>(*b.form, "Command44"));
        QTest::qWait(20);
        b.endWindow();
    }
    b.click(named<QPushButton>(*b.form, "Command44"));
    QTRY_VERIFY_WITH_TIMEOUT(!b.received().isEmpty(), 10000);
    QVERIFY(seam(*b.form).RecvBuf.size() <= Form1::RecvBufLimit);
    QVERIFY(seam(*b.form).MSComm1->portOpen());
    QVERIFY(b.warnings.isEmpty());
}

void TestEndToEnd::floodKeepsTheBufferBounded() {
    Bench b(Mode::Flood);
    b.projector.setFloodBytesPerSecond(400000);
    QTRY_COMPARE_WITH_TIMEOUT(seam(*b.form).RecvBuf.size(), Form1::RecvBufLimit, 30000);
    QTest::qWait(500);
    QCOMPARE(seam(*b.form).RecvBuf.size(), Form1::RecvBufLimit);
    // Every character has one token of at most four characters.
    QVERIFY(b.received().size() <= 1 + 4 * Form1::RecvBufLimit);
    // The panel still sends while the line floods.
    b.click(named<QPushButton>(*b.form, "Command44"));
    QCOMPARE(seam(*b.form).WaitReply, quint8(1));
    QVERIFY(b.warnings.isEmpty());
}

void TestEndToEnd::vanishingProjectorClosesThePortOnce() {
    Bench b(Mode::Vanish);
    b.projector.setVanishAfter(2);
    for (int i = 0; i < 3; ++i) {
        QTest::mouseClick(named<QPushButton>(*b.form, "Command44"), Qt::LeftButton);
        QTest::qWait(50);
        if (!seam(*b.form).MSComm1->portOpen()) {
            break;
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(!seam(*b.form).MSComm1->portOpen(), 10000);
    QTest::qWait(200);
    QCOMPARE(b.warnings.size(), 1);
    QVERIFY2(b.warnings[0].contains(QStringLiteral("gone")), qPrintable(b.warnings[0]));
}

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
