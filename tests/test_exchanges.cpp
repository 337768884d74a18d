// Every command button, the exchange timers and the press-and-hold repeat, over a real
// pseudo-terminal whose far side the test holds.
#include "serial/comm_port.h"
#include "support/form1_test_seam.h"
#include "support/window_fixture.h"

#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

enum Kind { Plain, Window2s, Window5s, MenuPace, Hold };

// The panel's command buttons as the operator sees them, typed out independently of the
// program's own binding data.
struct Row {
    const char* control;
    const char* caption;
    const char* command;
    Kind kind;
};

// clang-format off
const Row Buttons[] = {
    {"Command17", "ON", "C00", Plain},
    {"Command18", "OFF", "C01", Plain},
    {"Command27", "1", "C05", Plain},
    {"Command28", "2", "C06", Plain},
    {"Command29", "3", "C07", Plain},
    {"Command43", "NETWORK", "C08", Plain},
    {"Command23", "ON", "C1C", MenuPace},
    {"Command24", "OFF", "C1D", Plain},
    {"Command21", "ON", "C0D", Plain},
    {"Command22", "OFF", "C0E", Plain},
    {"Command25", "ON", "C43", Plain},
    {"Command26", "OFF", "C44", Plain},
    {"Command31", "Regular", "C0F", Plain},
    {"Command32", "Wide", "C10", Plain},
    {"Command5", "↑", "C3C", Hold},
    {"Command7", "↓", "C3D", Hold},
    {"Command9", "←", "C3B", Hold},
    {"Command8", "→", "C3A", Hold},
    {"Command6", "ENTER", "C3F", Hold},
    {"Command15", "+", "C47", Hold},
    {"Command35", "-", "C46", Hold},
    {"Command36", "+", "C4B", Hold},
    {"Command37", "-", "C4A", Hold},
    {"Command48", "+", "C30", Hold},
    {"Command49", "-", "C31", Hold},
    {"Command50", "↑", "C8E", Hold},
    {"Command51", "↓", "C8F", Hold},
    {"Command67", "←", "C91", Hold},
    {"Command66", "→", "C90", Hold},
    {"Command59", "↑", "C5D", Hold},
    {"Command62", "↓", "C5E", Hold},
    {"Command61", "←", "C5F", Hold},
    {"Command60", "→", "C60", Hold},
    {"Command4", "STANDARD", "CF IMAGE STAND", Window2s},
    {"Command10", "REAL", "CF IMAGE REAL", Window2s},
    {"Command11", "CINEMA", "CF IMAGE CINEMA", Window2s},
    {"Command39", "IMAGE1", "CF IMAGE CUSTOM1", Window2s},
    {"Command40", "IMAGE2", "CF IMAGE CUSTOM2", Window2s},
    {"Command41", "IMAGE3", "CF IMAGE CUSTOM3", Window2s},
    {"Command42", "IMAGE4", "CF IMAGE CUSTOM4", Window2s},
    {"Command13", "A-IMAGE", "C89", MenuPace},
    {"Command30", "IMAGE", "C27", Plain},
    {"Command14", "P-TIMER", "C8A", Plain},
    {"Command3", "DISPLAY CLEAR", "C1E", Plain},
    {"Command56", "NONE", "CF KEYDIS NONE", Plain},
    {"Command57", "R/C", "CF KEYDIS RC", Plain},
    {"Command58", "KEY", "CF KEYDIS KEY", Plain},
    {"Command44", "STATUS", "CR0", Plain},
    {"Command45", "MODE", "CR1", Plain},
    {"Command46", "L-TIME", "CR3", Plain},
    {"Command47", "SETTING", "CR4", Plain},
    {"Command54", "TEMP", "CR6", Plain},
    {"Command52", "P-FAIL", "CR ALLPFAIL", Window2s},
    {"Command68", "PRESSURE", "CR PRESSURE", Plain},
    {"Command63", "FILTER(usable)", "CR FILREMAIN", Plain},
    {"Command64", "RGB", "C50", Window5s},
    {"Command65", "SCART", "C51", Window5s},
    {"Command38", "DVI", "C52", Window5s},
    {"Command53", "HDCP", "C53", Window5s},
    {"Command76", "Monitor OUT", "C54", Window5s},
    {"Command72", "RGB", "C25", Window5s},
    {"Command12", "VIDEO", "C23", Window5s},
    {"Command80", "Y,Pb/Cb,Pr/Cr", "C24", Window5s},
    {"Command81", "VIDEO", "C33", Window5s},
    {"Command84", "S-VIDEO", "C34", Window5s},
    {"Command82", "Y,Pb/Cb,Pr/Cr", "C35", Window5s},
    {"Command97", "MAX", "CF FANSPEED MAX", Plain},
    {"Command98", "NOR", "CF FANSPEED NOR", Plain},
};
// clang-format on

QPushButton* button(Form1& f, const QString& name) {
    auto* b = f.findChild<QPushButton*>(name);
    if (!b) {
        qFatal("no button %s", qPrintable(name));
    }
    return b;
}

void press(QWidget* w, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mousePress(w, b);
}
void release(QWidget* w, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mouseRelease(w, b);
}

// Sentinel intervals, so that any change a send makes is seen.
void presetIntervals(Form1& f) {
    seam(f).Timer1->setInterval(111);
    seam(f).Timer2->setInterval(222);
    seam(f).Timer4->setInterval(444);
}

// The wire holds one or more copies of the framed command and nothing else.
bool onlyRepeats(const QByteArray& wire, const QByteArray& framed) {
    if (wire.isEmpty() || wire.size() % framed.size() != 0) {
        return false;
    }
    for (qsizetype i = 0; i < wire.size(); i += framed.size()) {
        if (wire.mid(i, framed.size()) != framed) {
            return false;
        }
    }
    return true;
}

} // namespace

class TestExchanges : public WindowFixture {
    Q_OBJECT
private slots:
    void everyButtonSendsItsCommand_data();
    void everyButtonSendsItsCommand();
    void allButtonsInOneRun();
    void failedSendAndTimerOrder_data();
    void failedSendAndTimerOrder();

    void holdTable_data();
    void holdTable();
    void quickHoldSendsOnce_data();
    void quickHoldSendsOnce();
    void releaseSteps();
    void releaseOfDigitalZoom_data();
    void releaseOfDigitalZoom();
    void cursorPadRule_data();
    void cursorPadRule();
    void secondMouseButtonDuringHold_data();
    void secondMouseButtonDuringHold();
    void doubleClickOnHoldButton();
    void keyboardSendsNothingFromHoldButtons();
    void failedTickEndsHold_data();
    void failedTickEndsHold();
    void failedRealTickEndsHold();
    void failedPressEndsHoldAsReleaseWould_data();
    void failedPressEndsHoldAsReleaseWould();
    void failureUnderRealBoxEndsHold_data();
    void failureUnderRealBoxEndsHold();
    void realHoldRepeats();

    void noReply();
    void replyInsideWindow();
    void replyAfterWindowStartsNewBuffer();
    void comShowsSettingsUntilTimer3();
    void everySendRestartsCountdowns();
};

void TestExchanges::everyButtonSendsItsCommand_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("kind");
    for (const Row& r : Buttons) {
        QTest::newRow(r.control) << QString::fromLatin1(r.control) << QString::fromUtf8(r.caption)
                                 << QByteArray(r.command) << int(r.kind);
    }
}

void TestExchanges::everyButtonSendsItsCommand() {
    QFETCH(QString, control);
    QFETCH(QString, caption);
    QFETCH(QByteArray, command);
    QFETCH(int, kind);
    Form1& f = form();
    QPushButton* b = button(f, control);
    QCOMPARE(b->text(), caption);

    presetIntervals(f);
    if (kind == Hold) {
        press(b);
        // Keep the repeat away from the wire while it is read.
        seam(f).Timer1->setInterval(1000000);
        release(b);
    } else {
        QTest::mouseClick(b, Qt::LeftButton);
    }
    const QByteArray framed = command + '\r';
    QCOMPARE(seam(f).SendCmd, QString::fromLatin1(framed));

    // What the send kind leaves behind in the timers and the cursor-pad mode.
    struct Expect {
        int t1, t2, t4, pad;
    };
    Expect e{111, 222, 444, 0};
    switch (Kind(kind)) {
    case Plain:
        break;
    case Window2s:
        e.t2 = 2000;
        e.t4 = 2500;
        break;
    case Window5s:
        e.t2 = 5000;
        e.t4 = 5500;
        break;
    case MenuPace:
        e.t1 = 200;
        e.pad = 1;
        break;
    case Hold:
        e.t1 = 1000000;
        e.t2 = 500;
        e.t4 = 1000;
        if (control == QLatin1String("Command48") || control == QLatin1String("Command49")) {
            e.t1 = 5;
            e.pad = 3;
        }
        break;
    }
    QCOMPARE(seam(f).Timer1->interval(), e.t1);
    QCOMPARE(seam(f).Timer2->interval(), e.t2);
    QCOMPARE(seam(f).Timer4->interval(), e.t4);
    QCOMPARE(int(seam(f).PadMode), e.pad);
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QCOMPARE(seam(f).Timer1->isActive(), false);
    QCOMPARE(seam(f).Timer4->isActive(), true);
    // A one-shot send opens a reply window; a hold's release drops it.
    QCOMPARE(seam(f).Timer2->isActive(), kind != Hold);
    QCOMPARE(seam(f).WaitReply, quint8(1));

    // Read only now: waiting lets the short timers tick.
    expectWire(framed);
}

void TestExchanges::allButtonsInOneRun() {
    // One after the other on one panel, the buttons put their commands on the wire in order,
    // each once, whatever was sent before; nothing sends "C3E".
    Form1& f = form();
    QByteArray expected;
    for (const Row& r : Buttons) {
        QPushButton* b = button(f, QLatin1String(r.control));
        if (r.kind == Hold) {
            press(b);
            seam(f).Timer1->stop();
            release(b);
        } else {
            QTest::mouseClick(b, Qt::LeftButton);
        }
        expected += QByteArray(r.command) + '\r';
    }
    f.timer1Tick();
    expectWire(expected);
}

void TestExchanges::failedSendAndTimerOrder_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("t1");
    QTest::addColumn<int>("t2");
    QTest::addColumn<int>("t4");
    QTest::addColumn<int>("pad");
    // The 2 s and 5 s windows are set before the send; the menu pace only after it.
    QTest::newRow("plain") << "Command17" << 111 << 222 << 444 << 0;
    QTest::newRow("2 s window, REAL") << "Command10" << 111 << 2000 << 2500 << 0;
    QTest::newRow("2 s window, P-FAIL") << "Command52" << 111 << 2000 << 2500 << 0;
    QTest::newRow("5 s window") << "Command64" << 111 << 5000 << 5500 << 0;
    QTest::newRow("menu pace, MENU ON") << "Command23" << 111 << 222 << 444 << 0;
    QTest::newRow("menu pace, A-IMAGE") << "Command13" << 111 << 222 << 444 << 0;
}

void TestExchanges::failedSendAndTimerOrder() {
    QFETCH(QString, control);
    QFETCH(int, t1);
    QFETCH(int, t2);
    QFETCH(int, t4);
    QFETCH(int, pad);
    Form1& f = form();
    seam(f).MSComm1->setPortOpen(false);
    presetIntervals(f);
    named<QLabel>(f, "Label11")->setText(QStringLiteral("earlier"));
    QTest::mouseClick(button(f, control), Qt::LeftButton);
    QCOMPARE(rig().warnings(), QStringList{QStringLiteral("COM1 is not open")});
    QCOMPARE(seam(f).Timer1->interval(), t1);
    QCOMPARE(seam(f).Timer2->interval(), t2);
    QCOMPARE(seam(f).Timer4->interval(), t4);
    QCOMPARE(int(seam(f).PadMode), pad);
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral("earlier"));
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QVERIFY(!seam(f).Timer2->isActive());
    QVERIFY(!seam(f).Timer4->isActive());
}

void TestExchanges::holdTable_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("holdCode");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("t1"); // -1: left as it was
    QTest::addColumn<int>("t2");
    QTest::addColumn<int>("t4");
    // clang-format off
    QTest::newRow("pad up")        << "Command5"  << 3  << QByteArray("C3C") << -1  << -1  << -1;
    QTest::newRow("pad down")      << "Command7"  << 4  << QByteArray("C3D") << -1  << -1  << -1;
    QTest::newRow("pad left")      << "Command9"  << 5  << QByteArray("C3B") << -1  << -1  << -1;
    QTest::newRow("pad right")     << "Command8"  << 6  << QByteArray("C3A") << -1  << -1  << -1;
    QTest::newRow("Zoom +")        << "Command15" << 7  << QByteArray("C47") << 150 << 150 << 190;
    QTest::newRow("Zoom -")        << "Command35" << 8  << QByteArray("C46") << 150 << 150 << 190;
    QTest::newRow("Focus +")       << "Command36" << 9  << QByteArray("C4B") << 150 << 150 << 190;
    QTest::newRow("Focus -")       << "Command37" << 10 << QByteArray("C4A") << 150 << 150 << 190;
    QTest::newRow("ENTER")         << "Command6"  << 13 << QByteArray("C3F") << 500 << 200 << 245;
    QTest::newRow("D.Zoom +")      << "Command48" << 17 << QByteArray("C30") << 250 << 200 << 245;
    QTest::newRow("D.Zoom -")      << "Command49" << 18 << QByteArray("C31") << 250 << 200 << 245;
    QTest::newRow("Keystone up")   << "Command50" << 19 << QByteArray("C8E") << 250 << 200 << 245;
    QTest::newRow("Keystone down") << "Command51" << 20 << QByteArray("C8F") << 250 << 200 << 245;
    QTest::newRow("LENS up")       << "Command59" << 21 << QByteArray("C5D") << 150 << 150 << 190;
    QTest::newRow("LENS down")     << "Command62" << 22 << QByteArray("C5E") << 150 << 150 << 190;
    QTest::newRow("LENS left")     << "Command61" << 23 << QByteArray("C5F") << 150 << 150 << 190;
    QTest::newRow("LENS right")    << "Command60" << 24 << QByteArray("C60") << 150 << 150 << 190;
    QTest::newRow("Keystone left") << "Command67" << 25 << QByteArray("C91") << 250 << 200 << 245;
    QTest::newRow("Keystone right")<< "Command66" << 26 << QByteArray("C90") << 250 << 200 << 245;
    // clang-format on
}

void TestExchanges::holdTable() {
    QFETCH(QString, control);
    QFETCH(int, holdCode);
    QFETCH(QByteArray, command);
    QFETCH(int, t1);
    QFETCH(int, t2);
    QFETCH(int, t4);
    Form1& f = form();
    presetIntervals(f);
    QPushButton* b = button(f, control);
    press(b);
    QCOMPARE(int(seam(f).HoldCode), holdCode);
    QVERIFY(seam(f).Timer1->isActive());
    QCOMPARE(seam(f).Timer1->interval(), t1 < 0 ? 111 : t1);
    QCOMPARE(seam(f).Timer2->interval(), t2 < 0 ? 222 : t2);
    QCOMPARE(seam(f).Timer4->interval(), t4 < 0 ? 444 : t4);
    QVERIFY(seam(f).Timer2->isActive());
    QVERIFY(seam(f).Timer4->isActive());
    seam(f).Timer1->setInterval(1000000);
    seam(f).WaitReply = 0;
    f.timer1Tick(); // the tick sends the held command again and the repeat goes on
    QVERIFY(seam(f).Timer1->isActive());
    QCOMPARE(seam(f).WaitReply, quint8(1));
    release(b);
    f.timer1Tick(); // a late tick after the release sends nothing (ENTER's release: no "C3E")
    const QByteArray framed = command + '\r';
    expectWire(framed + framed);
}

void TestExchanges::quickHoldSendsOnce_data() {
    QTest::addColumn<int>("mouseButton");
    QTest::addColumn<QPoint>("releaseAt");
    QTest::addColumn<bool>("throughWindow");
    for (bool window : {false, true}) {
        const char* how = window ? "window" : "widget";
        QTest::addRow("%s: left", how) << int(Qt::LeftButton) << QPoint() << window;
        QTest::addRow("%s: right", how) << int(Qt::RightButton) << QPoint() << window;
        QTest::addRow("%s: middle", how) << int(Qt::MiddleButton) << QPoint() << window;
        QTest::addRow("%s: left, released off the button", how)
            << int(Qt::LeftButton) << QPoint(-40, -40) << window;
        QTest::addRow("%s: right, released off the button", how)
            << int(Qt::RightButton) << QPoint(-40, -40) << window;
    }
}

void TestExchanges::quickHoldSendsOnce() {
    QFETCH(int, mouseButton);
    QFETCH(QPoint, releaseAt);
    QFETCH(bool, throughWindow);
    const auto mb = Qt::MouseButton(mouseButton);
    Form1& f = form();
    // A cursor-pad arrow keeps the repeat interval it finds: a long one keeps ticks out.
    seam(f).Timer1->setInterval(1000000);
    QPushButton* up = named<QPushButton>(f, "Command5");
    const QPoint centre = up->rect().center();
    if (throughWindow) {
        // The platform's routing: the press goes to the widget under the pointer and the release
        // to the widget that took the press, wherever the pointer is by then.
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QTest::mousePress(f.windowHandle(), mb, {}, up->mapTo(&f, centre));
    } else {
        QTest::mousePress(up, mb, {}, centre);
    }
    QCOMPARE(seam(f).HoldCode, quint8(3));
    QVERIFY(seam(f).Timer1->isActive());
    const QPoint at = releaseAt.isNull() ? centre : releaseAt;
    if (throughWindow) {
        QTest::mouseRelease(f.windowHandle(), mb, {}, up->mapTo(&f, at));
    } else {
        QTest::mouseRelease(up, mb, {}, at);
    }
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    expectWire("C3C\r");
}

void TestExchanges::releaseSteps() {
    Form1& f = form();
    press(named<QPushButton>(f, "Command36")); // Focus +
    QCOMPARE(seam(f).Timer1->interval(), 150);
    seam(f).Timer1->setInterval(1000000);
    seam(f).RecvBuf = QStringLiteral("12");
    named<QLabel>(f, "Label12")->setText(QStringLiteral(" 1 2 "));
    named<QLabel>(f, "Label22")->setText(QStringLiteral(" status"));
    QVERIFY(seam(f).Timer2->isActive());
    QCOMPARE(seam(f).WaitReply, quint8(1));

    release(named<QPushButton>(f, "Command36"));
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QString());
    QCOMPARE(named<QLabel>(f, "Label22")->text(),
             QStringLiteral(" status")); // until the display clear
    QCOMPARE(seam(f).RecvBuf, QString());
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    QVERIFY(!seam(f).Timer2->isActive()); // the last send's timeout is dropped: no " X X X X"
    QVERIFY(seam(f).Timer4->isActive());
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QCOMPARE(seam(f).Timer1->interval(), 1000000); // only the D.Zoom release sets it
    QCOMPARE(seam(f).PadMode, quint8(0));
    QCOMPARE(seam(f).WaitReply, quint8(1)); // untouched by the release

    f.timer4Tick();
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QString());
    QVERIFY(!seam(f).Timer4->isActive());
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QString());
    QCOMPARE(rig().wire(4), QByteArray("C4B\r"));

    // A reply after the release starts a fresh buffer.
    rig().reply("0");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("0"), 10000);
}

void TestExchanges::releaseOfDigitalZoom_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("t1");
    QTest::addColumn<int>("pad");
    QTest::newRow("D.Zoom +") << "Command48" << 5 << 3;
    QTest::newRow("D.Zoom -") << "Command49" << 5 << 3;
    QTest::newRow("Keystone up keeps its pace") << "Command50" << 250 << 0;
    QTest::newRow("ENTER keeps its pace") << "Command6" << 500 << 0;
    QTest::newRow("LENS SHIFT right keeps its pace") << "Command60" << 150 << 0;
}

void TestExchanges::releaseOfDigitalZoom() {
    QFETCH(QString, control);
    QFETCH(int, t1);
    QFETCH(int, pad);
    Form1& f = form();
    QPushButton* b = button(f, control);
    press(b);
    release(b);
    QCOMPARE(seam(f).Timer1->interval(), t1);
    QCOMPARE(int(seam(f).PadMode), pad);
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
}

void TestExchanges::cursorPadRule_data() {
    QTest::addColumn<QStringList>("before"); // "click:" a one-shot, "hold:" a press and release
    QTest::addColumn<QString>("arrow");
    QTest::addColumn<int>("t1");
    QTest::addColumn<int>("t2");
    QTest::addColumn<int>("t4");
    QTest::addColumn<int>("pad");
    QTest::newRow("after start-up") << QStringList{} << "Command5" << 200 << 500 << 1000 << 0;
    QTest::newRow("after REAL, PadMode 0 keeps 2000/2500")
        << QStringList{"click:Command10"} << "Command7" << 200 << 2000 << 2500 << 0;
    QTest::newRow("after D.Zoom -")
        << QStringList{"hold:Command49"} << "Command9" << 5 << 5 << 5 << 3;
    QTest::newRow("after D.Zoom +")
        << QStringList{"hold:Command48"} << "Command8" << 5 << 5 << 5 << 3;
    QTest::newRow("after MENU ON")
        << QStringList{"click:Command23"} << "Command5" << 200 << 150 << 190 << 1;
    QTest::newRow("after A-IMAGE")
        << QStringList{"click:Command13"} << "Command7" << 200 << 150 << 190 << 1;
    QTest::newRow("after D.Zoom then MENU ON")
        << QStringList{"hold:Command48", "click:Command23"} << "Command9" << 200 << 150 << 190 << 1;
    QTest::newRow("MENU OFF changes nothing") << QStringList{"click:Command23", "click:Command24"}
                                              << "Command8" << 200 << 150 << 190 << 1;
    QTest::newRow("after Focus +")
        << QStringList{"hold:Command36"} << "Command5" << 150 << 500 << 1000 << 0;
    QTest::newRow("after MENU ON then Focus +")
        << QStringList{"click:Command23", "hold:Command36"} << "Command7" << 150 << 150 << 190 << 1;
    QTest::newRow("after D.Zoom then ENTER")
        << QStringList{"hold:Command48", "hold:Command6"} << "Command9" << 500 << 5 << 5 << 3;
    QTest::newRow("after MENU ON then D.Zoom")
        << QStringList{"click:Command23", "hold:Command49"} << "Command8" << 5 << 5 << 5 << 3;
}

void TestExchanges::cursorPadRule() {
    QFETCH(QStringList, before);
    QFETCH(QString, arrow);
    QFETCH(int, t1);
    QFETCH(int, t2);
    QFETCH(int, t4);
    QFETCH(int, pad);
    Form1& f = form();
    for (const QString& step : before) {
        QPushButton* b = button(f, step.section(QLatin1Char(':'), 1));
        if (step.startsWith(QLatin1String("hold:"))) {
            press(b);
            release(b);
        } else {
            QTest::mouseClick(b, Qt::LeftButton);
        }
    }
    rig().drainWire();

    const QHash<QString, QByteArray> codes{
        {"Command5", "C3C\r"}, {"Command7", "C3D\r"}, {"Command9", "C3B\r"}, {"Command8", "C3A\r"}};
    const QHash<QString, int> holdCodes{
        {"Command5", 3}, {"Command7", 4}, {"Command9", 5}, {"Command8", 6}};
    QPushButton* b = button(f, arrow);
    press(b);
    QCOMPARE(int(seam(f).HoldCode), holdCodes.value(arrow));
    QVERIFY(seam(f).Timer1->isActive());
    QCOMPARE(seam(f).Timer1->interval(), t1);
    QCOMPARE(seam(f).Timer2->interval(), t2);
    QCOMPARE(seam(f).Timer4->interval(), t4);
    QCOMPARE(int(seam(f).PadMode), pad);
    seam(f).Timer1->stop(); // the 5 ms pace would otherwise keep adding to the wire
    const QByteArray got = rig().wire(4);
    QVERIFY2(onlyRepeats(got, codes.value(arrow)), got.constData());
    release(b);
    QCOMPARE(int(seam(f).PadMode), pad);
    QCOMPARE(seam(f).Timer1->interval(), t1);
}

void TestExchanges::secondMouseButtonDuringHold_data() {
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::newRow("right held, left pressed") << int(Qt::RightButton) << int(Qt::LeftButton);
    QTest::newRow("left held, right pressed") << int(Qt::LeftButton) << int(Qt::RightButton);
    QTest::newRow("left held, middle pressed") << int(Qt::LeftButton) << int(Qt::MiddleButton);
}

void TestExchanges::secondMouseButtonDuringHold() {
    // Every press of any button sends and starts the repeat afresh; every release of any button
    // ends the hold.
    QFETCH(int, first);
    QFETCH(int, second);
    Form1& f = form();
    QPushButton* b = named<QPushButton>(f, "Command59"); // LENS SHIFT up
    press(b, Qt::MouseButton(first));
    QCOMPARE(rig().wire(4), QByteArray("C5D\r"));
    seam(f).Timer1->stop();
    press(b, Qt::MouseButton(second));
    QCOMPARE(rig().wire(4), QByteArray("C5D\r"));
    QCOMPARE(seam(f).HoldCode, quint8(21));
    QVERIFY(seam(f).Timer1->isActive());
    QCOMPARE(seam(f).Timer1->interval(), 150);
    seam(f).Timer1->setInterval(1000000);
    release(b, Qt::MouseButton(second));
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    QVERIFY(seam(f).Timer4->isActive());
    // The first button's release runs the release steps again.
    seam(f).Timer4->stop();
    named<QLabel>(f, "Label11")->setText(QStringLiteral("between"));
    release(b, Qt::MouseButton(first));
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QVERIFY(seam(f).Timer4->isActive());
    expectWire({});
}

void TestExchanges::doubleClickOnHoldButton() {
    // Through the window, a double-click is two presses: two sends, then one release ends it.
    Form1& f = form();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    seam(f).Timer1->setInterval(1000000);
    QPushButton* b = named<QPushButton>(f, "Command7"); // cursor pad down
    QTest::mouseDClick(f.windowHandle(), Qt::LeftButton, {}, b->mapTo(&f, b->rect().center()));
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    expectWire("C3D\rC3D\r");
}

void TestExchanges::keyboardSendsNothingFromHoldButtons() {
    Form1& f = form();
    f.show();
    f.activateWindow(); // an X server without a window manager gives no focus by itself
    QVERIFY(QTest::qWaitForWindowActive(&f));
    int holds = 0;
    for (const Row& r : Buttons) {
        if (r.kind != Hold) {
            continue;
        }
        ++holds;
        QPushButton* b = button(f, QLatin1String(r.control));
        QSignalSpy clicks(b, &QAbstractButton::clicked);
        b->setFocus();
        QTRY_VERIFY(b->hasFocus());
        QTest::keyClick(b, Qt::Key_Space);
        b->click();
        QCOMPARE(clicks.size(), 2);            // the keyboard did activate the button...
        QCOMPARE(seam(f).HoldCode, quint8(0)); // ...and nothing was held or sent
        QVERIFY(!seam(f).Timer1->isActive());
        QVERIFY(!seam(f).Timer2->isActive());
    }
    QCOMPARE(holds, 19);
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    expectWire({});
}

void TestExchanges::failedTickEndsHold_data() {
    QTest::addColumn<bool>("deviceVanishes");
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("timer1");
    QTest::addColumn<int>("padMode");
    QTest::newRow("port closed, Zoom +") << false << "Command15" << 1000000 << 0;
    QTest::newRow("port closed, D.Zoom -") << false << "Command49" << 5 << 3;
    QTest::newRow("device gone, Zoom +") << true << "Command15" << 1000000 << 0;
    QTest::newRow("device gone, D.Zoom -") << true << "Command49" << 5 << 3;
}

void TestExchanges::failedRealTickEndsHold() {
    // The hold's own timer meets the closed port: one warning, and the repeat is over.
    Form1& f = form();
    press(named<QPushButton>(f, "Command62"));
    QCOMPARE(rig().wire(4), QByteArray("C5E\r"));
    seam(f).MSComm1->setPortOpen(false);
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).Timer1->isActive(), 10000);
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QTest::qWait(500);
    QCOMPARE(rig().warnings(), QStringList{QStringLiteral("COM1 is not open")});
    release(named<QPushButton>(f, "Command62"));
    QCOMPARE(rig().warnings().size(), 1);
}

void TestExchanges::failedTickEndsHold() {
    // A failure ends the hold exactly as the release of that button would, at once: the warning
    // box may swallow the operator's release. The release that comes afterwards changes nothing.
    QFETCH(bool, deviceVanishes);
    QFETCH(QString, control);
    QFETCH(int, timer1);
    QFETCH(int, padMode);
    Form1& f = form();
    QPushButton* b = button(f, control);
    press(b);
    seam(f).Timer1->setInterval(1000000);
    QCOMPARE(rig().wire(4).size(), 4);
    seam(f).RecvBuf = QStringLiteral("12");
    named<QLabel>(f, "Label11")->setText(QStringLiteral("last sent"));
    named<QLabel>(f, "Label12")->setText(QStringLiteral(" 1 2 "));
    if (deviceVanishes) {
        rig().far().close();
        // The loss is reported once when it is noticed, and it ends the hold with it.
        QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), 10000);
        QCOMPARE(rig().warnings().size(), 1);
        QVERIFY2(rig().warnings()[0].contains(QStringLiteral("gone")),
                 qPrintable(rig().warnings()[0]));
    } else {
        seam(f).MSComm1->setPortOpen(false);
        // Through the guard, as a real tick runs.
        seam(f).guard.run([&f] { f.timer1Tick(); });
        QCOMPARE(rig().warnings(), QStringList{QStringLiteral("COM1 is not open")});
    }
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    QVERIFY(!seam(f).Timer2->isActive());
    QVERIFY(seam(f).Timer4->isActive());
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QString());
    QCOMPARE(seam(f).RecvBuf, QString());
    QCOMPARE(seam(f).Timer1->interval(), timer1);
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QCOMPARE(int(seam(f).PadMode), padMode);
    QVERIFY(!b->isDown());

    // Nothing is tried again, whatever time passes.
    seam(f).guard.run([&f] { f.timer1Tick(); });
    QTest::qWait(300);
    QCOMPARE(rig().warnings().size(), 1);

    // The operator's own release, when it comes, changes nothing more.
    seam(f).Timer4->stop();
    named<QLabel>(f, "Label11")->setText(QStringLiteral("kept"));
    release(b);
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral("kept"));
    QVERIFY(!seam(f).Timer4->isActive());
    QCOMPARE(rig().warnings().size(), 1);
}

void TestExchanges::failedPressEndsHoldAsReleaseWould_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<bool>("menuFirst");
    QTest::addColumn<int>("timer1");
    QTest::addColumn<int>("padMode");
    QTest::newRow("Zoom +") << "Command15" << false << 200 << 0;
    QTest::newRow("D.Zoom +") << "Command48" << false << 5 << 3;
    QTest::newRow("arrow, PadMode 0") << "Command5" << false << 200 << 0;
    QTest::newRow("arrow, PadMode 1") << "Command8" << true << 200 << 1;
}

void TestExchanges::failedPressEndsHoldAsReleaseWould() {
    QFETCH(QString, control);
    QFETCH(bool, menuFirst);
    QFETCH(int, timer1);
    QFETCH(int, padMode);
    Form1& f = form();
    if (menuFirst) {
        QTest::mouseClick(named<QPushButton>(f, "Command23"), Qt::LeftButton);
        QCOMPARE(rig().wire(4), QByteArray("C1C\r"));
        f.timer2Tick();
    }
    seam(f).MSComm1->setPortOpen(false);
    named<QLabel>(f, "Label11")->setText(QStringLiteral("last sent"));
    seam(f).RecvBuf = QStringLiteral("12");
    QPushButton* b = button(f, control);
    press(b);
    QCOMPARE(rig().warnings(), QStringList{QStringLiteral("COM1 is not open")});
    QVERIFY(!seam(f).Timer1->isActive());
    QVERIFY(seam(f).Timer4->isActive());
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QCOMPARE(seam(f).RecvBuf, QString());
    QCOMPARE(seam(f).Timer1->interval(), timer1);
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QCOMPARE(int(seam(f).PadMode), padMode);
    QTest::qWait(300);
    QCOMPARE(rig().warnings().size(), 1);
    named<QLabel>(f, "Label11")->setText(QStringLiteral("kept"));
    release(b);
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral("kept"));
    QCOMPARE(rig().warnings().size(), 1);
}

void TestExchanges::failureUnderRealBoxEndsHold_data() {
    QTest::addColumn<bool>("pressFails");
    QTest::addColumn<bool>("releaseWhileBoxUp");
    QTest::newRow("tick fails, release while the box is up") << false << true;
    QTest::newRow("tick fails, release after the box is dismissed") << false << false;
    QTest::newRow("press fails, release while the box is up") << true << true;
    QTest::newRow("press fails, release after the box is dismissed") << true << false;
}

void TestExchanges::failureUnderRealBoxEndsHold() {
    // The real warning box, window-modal: the platform keeps the operator's release from the
    // window while it is up. The hold must end all the same, D.Zoom's release steps included.
    QFETCH(bool, pressFails);
    QFETCH(bool, releaseWhileBoxUp);
    Form1& f = form();
    seam(f).guard.setPresenter({});
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QPushButton* minus = named<QPushButton>(f, "Command49"); // D.Zoom -
    const QPoint at = minus->mapTo(&f, minus->rect().center());
    if (pressFails) {
        seam(f).MSComm1->setPortOpen(false);
        QTest::mousePress(f.windowHandle(), Qt::LeftButton, {}, at);
    } else {
        QTest::mousePress(f.windowHandle(), Qt::LeftButton, {}, at);
        QCOMPARE(seam(f).HoldCode, quint8(18));
        QVERIFY(minus->isDown());
        QCOMPARE(rig().wire(4), QByteArray("C31\r"));
        seam(f).MSComm1->setPortOpen(false);
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        f.findChild<QMessageBox*>() && f.findChild<QMessageBox*>()->isVisible(), 10000);
    auto* box = f.findChild<QMessageBox*>();
    QCOMPARE(box->text(), QStringLiteral("COM1 is not open"));
    if (releaseWhileBoxUp) {
        QTest::mouseRelease(f.windowHandle(), Qt::LeftButton, {}, at);
    }
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.findChild<QMessageBox*>(), 10000);
    if (!releaseWhileBoxUp) {
        QTest::mouseRelease(f.windowHandle(), Qt::LeftButton, {}, at);
    }
    QCOMPARE(seam(f).HoldCode, quint8(0));
    QVERIFY(!seam(f).Timer1->isActive());
    QCOMPARE(seam(f).Timer1->interval(), 5);
    QCOMPARE(seam(f).PadMode, quint8(3));
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QVERIFY(!seam(f).Timer2->isActive());
    QCOMPARE(seam(f).RecvBuf, QString());
    QVERIFY(!minus->isDown());
}

void TestExchanges::realHoldRepeats() {
    Form1& f = form();
    press(named<QPushButton>(f, "Command15"));
    QByteArray got;
    QVERIFY(waitFor([&] { return (got += rig().far().readAll()).size() >= 12; }, 30000));
    release(named<QPushButton>(f, "Command15"));
    got += rig().drainWire();
    QVERIFY2(onlyRepeats(got, "C47\r"), got.constData());
    QVERIFY(rig().warnings().isEmpty());
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
}

void TestExchanges::noReply() {
    Form1& f = form();
    named<QLabel>(f, "Label22")->setText(QStringLiteral(" earlier status"));
    QTest::mouseClick(named<QPushButton>(f, "Command18"), Qt::LeftButton);
    // No event is processed before the ticks, so the real timers cannot come first.
    QCOMPARE(seam(f).Timer2->interval(), 500);
    QCOMPARE(seam(f).Timer4->interval(), 1000);
    QCOMPARE(seam(f).WaitReply, quint8(1));
    f.timer2Tick();
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" X X X X"));
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral(" C 0 1 CR "));
    QVERIFY(!seam(f).Timer2->isActive());
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QCOMPARE(seam(f).RecvBuf, QString());
    QVERIFY(seam(f).Timer4->isActive());
    f.timer4Tick();
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QString());
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QString());
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QString());
    QVERIFY(!seam(f).Timer4->isActive());
    expectWire("C01\r");
}

void TestExchanges::replyInsideWindow() {
    Form1& f = form();
    // Plain buttons keep whatever intervals are set: long ones keep the real timers out of it.
    seam(f).Timer2->setInterval(600000);
    seam(f).Timer4->setInterval(600000);
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
    QCOMPARE(rig().wire(4), QByteArray("CR0\r"));
    rig().reply("0");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("0"), 10000);
    rig().reply("0\r");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("00\r"), 10000);
    QCOMPARE(seam(f).WaitReply, quint8(0));
    f.timer2Tick();
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 0 CR "));
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"));
    QCOMPARE(seam(f).RecvBuf, QString());
    QVERIFY(!seam(f).Timer2->isActive());
}

void TestExchanges::replyAfterWindowStartsNewBuffer() {
    Form1& f = form();
    seam(f).Timer2->setInterval(600000);
    seam(f).Timer4->setInterval(600000);
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton);
    QCOMPARE(rig().wire(4), QByteArray("CR0\r"));
    rig().reply("2");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("2"), 10000);
    f.timer2Tick();
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 2 ")); // answered: no mark
    rig().reply("80\r");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("80\r"), 10000);
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 8 0 CR "));
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Stand by"));

    // After an unanswered window, a late reply replaces the mark.
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton);
    QCOMPARE(rig().wire(4), QByteArray("CR0\r"));
    f.timer2Tick();
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" X X X X"));
    rig().reply("00\r");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 0 CR "),
                              10000);
    QCOMPARE(seam(f).RecvBuf, QStringLiteral("00\r"));
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"));
}

void TestExchanges::comShowsSettingsUntilTimer3() {
    Form1& f = form();
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QTest::mouseClick(named<QPushButton>(f, "Command33"), Qt::LeftButton);
    QVERIFY(!named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(seam(f).Timer3->isActive());
    QCOMPARE(seam(f).Timer3->interval(), 5000);
    f.timer3Tick();
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(!seam(f).Timer3->isActive());
    expectWire({});
}

void TestExchanges::everySendRestartsCountdowns() {
    Form1& f = form();
    QTest::mouseClick(named<QPushButton>(f, "Command64"), Qt::LeftButton); // 5000 / 5500
    // Coarse timers may run up to 5% long: the wait leaves a wide margin either side.
    QTest::qWait(2000);
    const int reply1 = seam(f).Timer2->remainingTime();
    const int clear1 = seam(f).Timer4->remainingTime();
    QVERIFY(reply1 <= 3500);
    QTest::mouseClick(named<QPushButton>(f, "Command65"), Qt::LeftButton);
    QVERIFY2(seam(f).Timer2->remainingTime() > reply1, qPrintable(QString::number(reply1)));
    QVERIFY2(seam(f).Timer4->remainingTime() > clear1, qPrintable(QString::number(clear1)));
    expectWire("C50\rC51\r");
}

QTEST_MAIN(TestExchanges)
#include "test_exchanges.moc"
