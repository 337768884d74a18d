// Faults from the line and from the operator: every byte value, a device that vanishes during a
// hold, a device this user may not open, a flood, and random runs of operator actions against
// the simulated projector in each of its fault modes.
#include "core/bindings.h"
#include "core/transcript.h"
#include "panel/picture_box.h"
#include "serial/comm_port.h"
#include "sim/sim_projector.h"
#include "support/form1_test_seam.h"
#include "support/window_fixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;

} // namespace

class TestFaults : public WindowFixture {
    Q_OBJECT
private slots:
    void everyByteValueArrivesAndRenders();
    void everyByteValueAfterEachQuery_data();
    void everyByteValueAfterEachQuery();
    void deviceVanishesDuringHold();
    void deviceNotPermitted();
    void floodKeepsThePanelResponsive();
    void randomOperatorRun_data();
    void randomOperatorRun();
};

void TestFaults::everyByteValueArrivesAndRenders() {
    Form1& f = form();
    for (int code = 0; code < 256; ++code) {
        f.timer2Tick();
        rig().reply(QByteArray(1, char(code)));
        QVERIFY2(waitFor([&] { return !seam(f).RecvBuf.isEmpty(); }),
                 qPrintable(QString::number(code)));
        QCOMPARE(seam(f).RecvBuf, QString(QChar(code)));
        QCOMPARE(named<QLabel>(f, "Label12")->text(), renderTranscript(QString(QChar(code))));
    }
    QVERIFY(rig().warnings().isEmpty());
    QVERIFY(seam(f).MSComm1->portOpen());
}

void TestFaults::everyByteValueAfterEachQuery_data() {
    QTest::addColumn<QString>("query");
    for (const char* q :
         {"CR0", "CR1", "CR4", "CR3", "CR6", "CRA", "CR9", "CR PRESSURE", "CR7", "C00"}) {
        QTest::newRow(q) << QString::fromLatin1(q);
    }
}

void TestFaults::everyByteValueAfterEachQuery() {
    QFETCH(QString, query);
    Form1& f = form();
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[i] = char(i);
    }
    seam(f).SendCmd = query + QChar(13);
    rig().reply(all);
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf.size(), 256, kWaitMs);
    QCOMPARE(seam(f).RecvBuf, QString::fromLatin1(all));
    QCOMPARE(named<QLabel>(f, "Label12")->text(), renderTranscript(seam(f).RecvBuf));
    // The reply starts with NUL, so the pattern queries find nothing, the pressure reads 0 and
    // the whole-transcript query shows the received line.
    QVERIFY(rig().warnings().isEmpty());
    if (query == QLatin1String("CR9")) {
        QCOMPARE(named<QLabel>(f, "Label22")->text(), named<QLabel>(f, "Label12")->text());
    } else if (query == QLatin1String("CR PRESSURE")) {
        QCOMPARE(named<QLabel>(f, "Label22")->text(), QStringLiteral("106 hPa"));
    } else if (query != QLatin1String("CR3") && query != QLatin1String("CR6")) {
        QCOMPARE(named<QLabel>(f, "Label22")->text(), QString());
    }
}

void TestFaults::deviceVanishesDuringHold() {
    Form1& f = form();
    QSignalSpy errors(&seam(f).MSComm1->serialPort(), &QSerialPort::errorOccurred);
    QTest::mousePress(named<QPushButton>(f, "Command15"),
                      Qt::LeftButton); // Zoom "+", repeating every 150 ms
    QCOMPARE(rig().wire(8), QByteArray("C47\rC47\r"));
    QVERIFY(seam(f).Timer1->isActive());

    rig().far().close();
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).Timer1->isActive(), kWaitMs);
    QCOMPARE(seam(f).HoldCode, quint8(0));
    // The repeat's next tick, as its timer would run it, and whatever was queued behind the loss:
    // nothing else goes wrong, nothing else is said.
    seam(f).guard.run([&f] { f.timer1Tick(); });
    QVERIFY(turnEventLoop());
    QVERIFY2(rig().warnings().size() == 1, qPrintable(rig().warnings().join(QLatin1String(" | "))));
    QVERIFY2(rig().warnings()[0].startsWith(QStringLiteral("COM1 (")),
             qPrintable(rig().warnings()[0]));

    // Idle afterwards: no error keeps arriving from the dead descriptor, and the process does
    // not spin (a busy loop would use about as much CPU time as wall time).
    const auto errorsBefore = errors.size();
    const double cpu0 = cpuSeconds();
    const double wall0 = wallSeconds();
    QTest::qWait(200);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = wallSeconds() - wall0;
    QCOMPARE(errors.size(), errorsBefore);
    QVERIFY2(cpu < wall / 2, qPrintable(QStringLiteral("%1 s CPU in %2 s").arg(cpu).arg(wall)));

    // The release still ends the hold as usual and says nothing.
    const qsizetype said = rig().warnings().size();
    QTest::mouseRelease(named<QPushButton>(f, "Command15"), Qt::LeftButton);
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(rig().warnings().size(), said);
}

void TestFaults::deviceNotPermitted() {
    if (::geteuid() == 0) {
        QSKIP("root may open any device, so a permission failure cannot be provoked");
    }
    PtyPair& com2 = com2Pty();
    QVERIFY(::chmod(QFile::encodeName(com2.devicePath()).constData(), 0) == 0);
    remakeRig({.com2 = com2.devicePath()});
    named<QRadioButton>(form(), "Option2")->click();
    QCOMPARE(rig().warnings().size(), 1);
    QVERIFY2(rig().warnings()[0].contains(QStringLiteral("this user may not open the device")),
             qPrintable(rig().warnings()[0]));
    QVERIFY(!seam(form()).MSComm1->portOpen());
}

void TestFaults::floodKeepsThePanelResponsive() {
    Form1& f = form();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));

    // The far side sends as fast as the line takes it, from a thread of its own.
    std::atomic<bool> stop{false};
    QByteArray pattern(4096, '\0');
    for (int i = 0; i < pattern.size(); ++i) {
        pattern[i] = char(i & 0xFF);
    }
    std::thread flood([&] {
        while (!stop) {
            if (rig().far().write(pattern) == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    qsizetype longest = 0;
    QTimer sample;
    connect(&sample, &QTimer::timeout, [&] { longest = qMax(longest, seam(f).RecvBuf.size()); });
    sample.start(5);
    QSignalSpy reads(seam(f).MSComm1, &CommPort::onComm);

    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf.size(), Form1::RecvBufLimit, kWaitMs);
    // A command still goes out in the middle of the flood.
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
    QCOMPARE(rig().wire(4), QByteArray("CR0\r"));
    // The flood goes on after it, and the panel goes on reading it.
    const qsizetype readsAfterSend = reads.size();
    QTRY_VERIFY_WITH_TIMEOUT(reads.size() >= readsAfterSend + 3, kWaitMs);
    stop = true;
    flood.join();
    sample.stop();

    QCOMPARE(longest, Form1::RecvBufLimit);
    QVERIFY(seam(f).RecvBuf.size() <= Form1::RecvBufLimit);
    QVERIFY(seam(f).MSComm1->portOpen());
    QVERIFY(rig().warnings().isEmpty());

    // Once the line is quiet the next reply is read and decoded as usual.
    QVERIFY(readLineDry());
    seam(f).SendCmd = QStringLiteral("CR0\r");
    rig().reply("00\r");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"),
                              kWaitMs);
    QCOMPARE(seam(f).RecvBuf, QStringLiteral("00\r"));
}

void TestFaults::randomOperatorRun_data() {
    QTest::addColumn<int>("mode");
    for (const QString& name : SimProjector::faultModeNames()) {
        QTest::newRow(qPrintable(name)) << int(*SimProjector::parseFaultMode(name));
    }
}

// Random clicks, presses and releases of any button, keys, the service chord, double-clicks,
// typed commands and port and speed switches, against the simulated projector. Nothing may
// crash or grow beyond its bound, every warning must come from an operator action, and once
// the operator stops the panel falls quiet. RMQ27_FAULT_ACTIONS makes the run longer.
void TestFaults::randomOperatorRun() {
    QFETCH(int, mode);
    const auto faultMode = SimProjector::FaultMode(mode);
    SimProjector& projector = simulate(faultMode, com2Pty().devicePath());
    projector.setNoiseSeed(quint32(mode + 1));
    projector.setReplyDelayMs(40);
    projector.setPieceGapMs(10);
    projector.setVanishAfter(20);
    projector.setCountDownMs(200);
    projector.setCoolDownMs(200);
    Form1& f = form();
    const QStringList& warnings = rig().warnings();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));

    const int actions = qEnvironmentVariableIntValue("RMQ27_FAULT_ACTIONS") > 0
                            ? qEnvironmentVariableIntValue("RMQ27_FAULT_ACTIONS")
                            : 80;
    QRandomGenerator rng(quint32(1000 + mode));
    QList<QAbstractButton*> oneShots;
    for (const OneShotBinding& b : oneShotBindings()) {
        if (QLatin1String(b.control) != QLatin1String("Command16")) { // END quits the program
            oneShots << f.findChild<QAbstractButton*>(QLatin1String(b.control));
        }
    }
    QList<QAbstractButton*> holds;
    for (const HoldBinding& b : holdBindings()) {
        holds << f.findChild<QAbstractButton*>(QLatin1String(b.control));
    }
    const QList<QAbstractButton*> service{
        named<QPushButton>(f, "Command33"), named<QPushButton>(f, "Command34"),
        named<QPushButton>(f, "Command95"), named<QPushButton>(f, "Command96"),
        named<QRadioButton>(f, "Option1"),  named<QRadioButton>(f, "Option2"),
        named<QRadioButton>(f, "Option9"),  named<QRadioButton>(f, "Option10")};
    const QStringList typed{QStringLiteral("CR0"),         QStringLiteral("CR9"),
                            QStringLiteral("CR PRESSURE"), QStringLiteral("CRA"),
                            QStringLiteral("C00"),         QStringLiteral("x{~")};
    // Within the window as it is cut now, and shown: what an operator could reach.
    const auto reachable = [&](QWidget* w) {
        return w && w->isVisible() && f.rect().contains(w->mapTo(&f, w->rect().center()));
    };

    QStringList log;
    qsizetype failingActions = 0;
    for (int i = 0; i < actions; ++i) {
        const qsizetype warningsBefore = warnings.size();
        QString action;
        const int kind = int(rng.bounded(10));
        if (kind < 3) {
            QAbstractButton* b = oneShots[rng.bounded(int(oneShots.size()))];
            if (reachable(b)) {
                QTest::mouseClick(b, Qt::LeftButton);
                action = QStringLiteral("click ") + b->objectName();
            }
        } else if (kind < 5) {
            QAbstractButton* b = holds[rng.bounded(int(holds.size()))];
            if (reachable(b)) {
                const Qt::MouseButton mouse = rng.bounded(2) ? Qt::LeftButton : Qt::RightButton;
                QTest::mousePress(b, mouse);
                QTest::qWait(int(rng.bounded(40)));
                QTest::mouseRelease(b, mouse);
                action = QStringLiteral("hold ") + b->objectName();
            }
        } else if (kind == 5) {
            QAbstractButton* b = service[rng.bounded(int(service.size()))];
            if (reachable(b)) {
                QTest::mouseClick(b, Qt::LeftButton);
                action = QStringLiteral("click ") + b->objectName();
            }
        } else if (kind == 6) {
            QTest::keyClick(&f, Qt::Key_K, Qt::ControlModifier);
            action = QStringLiteral("Ctrl+K");
        } else if (kind == 7) {
            const auto key = Qt::Key(Qt::Key_A + rng.bounded(26));
            QTest::keyClick(&f, key, Qt::KeyboardModifiers(rng.bounded(8) << 25));
            action = QStringLiteral("key");
        } else if (kind == 8) {
            if (reachable(named<PictureBox>(f, "Image1"))) {
                QTest::mouseDClick(named<PictureBox>(f, "Image1"), Qt::LeftButton);
                action = QStringLiteral("double-click Image1");
            }
        } else if (reachable(named<QLineEdit>(f, "Text1"))) {
            named<QLineEdit>(f, "Text1")->clear();
            QTest::keyClicks(named<QLineEdit>(f, "Text1"), typed[rng.bounded(int(typed.size()))]);
            action = QStringLiteral("type ") + named<QLineEdit>(f, "Text1")->text();
        }
        if (!action.isEmpty()) {
            log << action;
        }
        QTest::qWait(int(rng.bounded(6)));
        if (warnings.size() > warningsBefore) {
            ++failingActions;
        }
        QVERIFY2(seam(f).RecvBuf.size() <= Form1::RecvBufLimit,
                 qPrintable(log.join(QLatin1String(", "))));
    }

    // Without the operator, nothing repeats and nothing more is said: once the projector has
    // sent all it had waiting and what was queued has run, the repeat's tick (as its timer would
    // run it) says nothing.
    // A slow projector may still owe the replies to thousands of actions of a long run.
    QTRY_COMPARE_WITH_TIMEOUT(projector.queuedBytes(), 0, 300000);
    QVERIFY(turnEventLoop());
    const qsizetype settled = warnings.size();
    seam(f).guard.run([&f] { f.timer1Tick(); });
    QCOMPARE(warnings.size(), settled);
    QVERIFY(!seam(f).Timer1->isActive());
    QCOMPARE(seam(f).HoldCode, quint8(0));
    // At most one warning per operator action, and one more for a vanished device.
    QVERIFY2(settled <= log.size() + 1,
             qPrintable(QStringLiteral("%1 warnings for %2 actions (%3 failing): %4")
                            .arg(settled)
                            .arg(log.size())
                            .arg(failingActions)
                            .arg(warnings.mid(0, 5).join(QLatin1String(" | ")))));
}

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
