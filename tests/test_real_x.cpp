// The panel under a real X server (Xvfb, the xcb platform), driven by real X input from xdotool:
// what the offscreen platform cannot show. A window-modal warning box keeps the mouse release
// from the window; the line editor's own key bindings are in force.
#include "serial/comm_port.h"
#include "support/form1_test_seam.h"
#include "support/window_fixture.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

namespace {

// Real input through the X server's test extension.
bool xdotool(const QStringList& args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

QStringList at(QWidget* w) {
    const QPoint p = w->mapToGlobal(w->rect().center());
    return {QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y())};
}

QMessageBox* openBox(Form1& f) {
    auto* box = f.findChild<QMessageBox*>();
    return box && box->isVisible() ? box : nullptr;
}

} // namespace

class TestRealX : public WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void failureWhileHeldUnderTheRealBox_data();
    void failureWhileHeldUnderTheRealBox();
    void everyMouseButtonPressesAndReleases();
    void chordLeavesTheFreeTextLineAlone();
    void centredByOuterSize();
};

void TestRealX::init() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        QSKIP("needs a real X server (run under xvfb-run with QT_QPA_PLATFORM=xcb)");
    }
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty(),
             "xdotool is missing (scripts/install-deps installs it)");
    WindowFixture::init();
    Form1& f = form();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    // No window manager gives the focus: the window takes it itself.
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
}

void TestRealX::failureWhileHeldUnderTheRealBox_data() {
    QTest::addColumn<bool>("pressFails");
    QTest::newRow("a tick fails") << false;
    QTest::newRow("the press fails") << true;
}

void TestRealX::failureWhileHeldUnderTheRealBox() {
    QFETCH(bool, pressFails);
    Form1& f = form();
    seam(f).guard.setPresenter({});
    QPushButton* minus = named<QPushButton>(f, "Command49"); // D.Zoom -
    if (pressFails) {
        seam(f).MSComm1->setPortOpen(false);
    }
    QVERIFY(xdotool(at(minus) << QStringLiteral("mousedown") << QStringLiteral("1")));
    if (!pressFails) {
        QTRY_COMPARE_WITH_TIMEOUT(seam(f).HoldCode, quint8(18), 10000);
        QCOMPARE(rig().wire(4), QByteArray("C31\r"));
        seam(f).MSComm1->setPortOpen(false); // the next tick fails
    }
    QTRY_VERIFY_WITH_TIMEOUT(openBox(f), 10000);
    QVERIFY(xdotool({QStringLiteral("mouseup"), QStringLiteral("1")}));
    QTest::qWait(200);
    // Ended exactly as the release of D.Zoom - ends a hold.
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    QCOMPARE(seam(f).Timer1->interval(), 5);
    QCOMPARE(seam(f).PadMode, quint8(3));
    QVERIFY(!seam(f).Timer2->isActive());
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QCOMPARE(seam(f).RecvBuf, QString());
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QVERIFY(xdotool(at(openBox(f)->button(QMessageBox::Ok))
                    << QStringLiteral("click") << QStringLiteral("1")));
    QTRY_VERIFY_WITH_TIMEOUT(!openBox(f), 10000);
    QVERIFY(!minus->isDown());
    QCOMPARE(rig().drainWire(), QByteArray());
}

void TestRealX::everyMouseButtonPressesAndReleases() {
    Form1& f = form();
    QPushButton* zoom = named<QPushButton>(f, "Command15"); // Zoom +
    QVERIFY(xdotool(at(zoom) << QStringLiteral("mousedown") << QStringLiteral("1")));
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).HoldCode, quint8(7), 10000);
    seam(f).Timer1->setInterval(1000000);
    QCOMPARE(rig().wire(4), QByteArray("C47\r"));
    QVERIFY(xdotool({QStringLiteral("mousedown"), QStringLiteral("3")}));
    QCOMPARE(rig().wire(4), QByteArray("C47\r"));
    QVERIFY(xdotool({QStringLiteral("mouseup"), QStringLiteral("3")}));
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).HoldCode, quint8(0), 10000);
    QVERIFY(!seam(f).Timer1->isActive());
    QVERIFY(xdotool({QStringLiteral("mouseup"), QStringLiteral("1")}));
    QTest::qWait(200);
    QCOMPARE(seam(f).HoldCode, quint8(0));
    expectWire({});
}

void TestRealX::chordLeavesTheFreeTextLineAlone() {
    Form1& f = form();
    QLineEdit* line = named<QLineEdit>(f, "Text1");
    line->setText(QStringLiteral("CR0 ABC"));
    line->setFocus();
    QTRY_VERIFY(line->hasFocus());
    line->setCursorPosition(3);
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+k")}));
    QTRY_COMPARE_WITH_TIMEOUT(f.clientHeightTwips(), int(Form1::ServiceHeight), 10000);
    QCOMPARE(line->text(), QStringLiteral("CR0 ABC"));
    QCOMPARE(line->cursorPosition(), 3);
    // Other keys still edit the line.
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("x")}));
    QTRY_COMPARE_WITH_TIMEOUT(line->text(), QStringLiteral("CR0x ABC"), 10000);
}

void TestRealX::centredByOuterSize() {
    // With no window manager, Xvfb draws no frame: the outer size is the client size, and the
    // start-up placement used the 370-twip allowance for the frame still to come.
    Form1& f = form();
    const QRect screen = f.screen()->geometry();
    QCOMPARE(f.frameGeometry().topLeft() - screen.topLeft(),
             QPoint(qRound((screen.width() - 633) / 2.0f),
                    qRound((screen.height() - 9100 / 15.0f) / 2.0f)));
}

QTEST_MAIN(TestRealX)
#include "test_real_x.moc"
