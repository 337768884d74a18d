// The service views (the Ctrl+K chord, the picture's double-click, the Command34 toggle) and
// the free-text command line, on a shown window over a real pseudo-terminal.
#include "panel/picture_box.h"
#include "serial/comm_port.h"
#include "support/form1_test_seam.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

struct View {
    int twips;
    const char* caption;
    bool shown;
    qint16 unlock;
};

const QHash<QString, View>& views() {
    static const QHash<QString, View> table{
        {"Normal", {4980, "データを表示する", false, 0}},
        {"Service", {6830, "CLOSE", true, 1}},
        {"Full", {8730, "CLOSE", true, 1}},
        {"Closed", {4980, "データを表示する", true, 0}},
        {"DataView", {6275, "データを表示しない", true, 0}},
    };
    return table;
}

// Counts the key presses of one key that reach a widget.
class KeySpy : public QObject {
public:
    KeySpy(QWidget* target, int key) : key_(key) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == key_) {
            ++count;
        }
        return false;
    }

private:
    int key_;
};

void showActive(Form1& f) {
    f.show();
    f.activateWindow(); // an X server without a window manager gives no focus by itself
    QVERIFY(QTest::qWaitForWindowActive(&f));
}

// The chord as the keyboard delivers it: to the window, which hands it to the focused control.
void chord(Form1& f, Qt::KeyboardModifiers mods = Qt::ControlModifier) {
    QTest::keyClick(f.windowHandle(), Qt::Key_K, mods);
}

} // namespace

class TestService : public WindowFixture {
    Q_OBJECT
private slots:
    void stateTable_data();
    void stateTable();
    void chordModifiers_data();
    void chordModifiers();
    void chordWhateverHasFocus_data();
    void chordWhateverHasFocus();
    void chordReachesText1();
    void toggleLooksOnlyAtHeight_data();
    void toggleLooksOnlyAtHeight();
    void command34RestartsTimer3();

    void sendEmptyLine();
    void sendExactlyAsTyped_data();
    void sendExactlyAsTyped();
    void sendDecodesLikeTheButton_data();
    void sendDecodesLikeTheButton();
    void sendRefusesCharacterWithoutByte();
    void sendWhileClosed();
    void clsEmptiesLineOnly();
};

void TestService::stateTable_data() {
    QTest::addColumn<QStringList>(
        "walk"); // action:expected view; K chord, D double-click, C Command34
    QTest::newRow("open, widen, close, toggle")
        << QStringList{"D:Normal", "K:Service",  "K:Service",  "D:Full",   "D:Full",   "C:Closed",
                       "D:Closed", "C:DataView", "D:DataView", "C:Closed", "K:Service"};
    QTest::newRow("close from Service, reopen from Data view") << QStringList{
        "K:Service", "C:Closed", "C:DataView", "K:Service", "D:Full", "K:Service", "C:Closed"};
    QTest::newRow("Full service to Closed and back") << QStringList{
        "K:Service", "D:Full", "C:Closed", "D:Closed", "K:Service", "D:Full", "C:Closed"};
    QTest::newRow("Data view to Service to Full")
        << QStringList{"K:Service", "C:Closed", "C:DataView", "K:Service",
                       "D:Full",    "C:Closed", "C:DataView", "C:Closed"};
}

void TestService::stateTable() {
    QFETCH(QStringList, walk);
    Form1& f = form();
    showActive(f);
    const auto check = [&f](const QString& name, const QString& step) {
        const View v = views().value(name);
        const QByteArray where = step.toUtf8();
        QVERIFY2(f.clientHeightTwips() == v.twips, where.constData());
        QVERIFY2(f.height() == qRound(v.twips / 15.0), where.constData());
        QVERIFY2(named<QPushButton>(f, "Command34")->text() == QString::fromUtf8(v.caption),
                 where.constData());
        QVERIFY2(named<QPushButton>(f, "Command34")->isHidden() == !v.shown, where.constData());
        QVERIFY2(seam(f).PanelUnlock == v.unlock, where.constData());
    };
    check(QStringLiteral("Normal"), QStringLiteral("start"));
    QLabel* picture = named<PictureBox>(f, "Image1");
    int step = 0;
    for (const QString& s : walk) {
        const QChar action = s.at(0);
        seam(f).Timer3->stop();
        if (action == QLatin1Char('K')) {
            chord(f);
        } else if (action == QLatin1Char('D')) {
            QTest::mouseDClick(f.windowHandle(), Qt::LeftButton, {},
                               picture->mapTo(&f, picture->rect().center()));
        } else {
            QTest::mouseClick(named<QPushButton>(f, "Command34"), Qt::LeftButton);
            QVERIFY(seam(f).Timer3->isActive());
        }
        check(s.mid(2), QStringLiteral("step %1 (%2)").arg(++step).arg(s));
    }
    expectWire({});
}

void TestService::chordModifiers_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("opens");
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Ctrl+K") << int(Qt::Key_K) << ctrl << true;
    QTest::newRow("Shift+Ctrl+K") << int(Qt::Key_K) << int(ctrl | Qt::ShiftModifier) << false;
    QTest::newRow("Alt+Ctrl+K") << int(Qt::Key_K) << int(ctrl | Qt::AltModifier) << false;
    QTest::newRow("Shift+Alt+Ctrl+K")
        << int(Qt::Key_K) << int(ctrl | Qt::ShiftModifier | Qt::AltModifier) << false;
    QTest::newRow("K") << int(Qt::Key_K) << 0 << false;
    QTest::newRow("Shift+K") << int(Qt::Key_K) << int(Qt::ShiftModifier) << false;
    QTest::newRow("Alt+K") << int(Qt::Key_K) << int(Qt::AltModifier) << false;
    QTest::newRow("Ctrl+J") << int(Qt::Key_J) << ctrl << false;
    QTest::newRow("Ctrl+L") << int(Qt::Key_L) << ctrl << false;
    // Only Shift, Ctrl and Alt count.
    QTest::newRow("Meta+Ctrl+K") << int(Qt::Key_K) << int(ctrl | Qt::MetaModifier) << true;
    QTest::newRow("keypad Ctrl+K") << int(Qt::Key_K) << int(ctrl | Qt::KeypadModifier) << true;
}

void TestService::chordModifiers() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, opens);
    Form1& f = form();
    QTest::keyClick(&f, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(f.clientHeightTwips(), opens ? Form1::ServiceHeight : Form1::StartHeight);
    QCOMPARE(seam(f).PanelUnlock, qint16(opens ? 1 : 0));
    QCOMPARE(named<QPushButton>(f, "Command34")->isHidden(), !opens);
    QCOMPARE(named<QPushButton>(f, "Command34")->text(),
             opens ? QStringLiteral("CLOSE") : QStringLiteral("データを表示する"));
}

void TestService::chordWhateverHasFocus_data() {
    QTest::addColumn<QString>("focus");
    QTest::newRow("no control") << QString();
    QTest::newRow("a one-shot button") << "Command17";
    QTest::newRow("a hold button") << "Command15";
    QTest::newRow("the free-text line") << "Text1";
    QTest::newRow("SEND") << "Command95";
}

void TestService::chordWhateverHasFocus() {
    QFETCH(QString, focus);
    Form1& f = form();
    showActive(f);
    QWidget* target = focus.isEmpty() ? &f : f.findChild<QWidget*>(focus);
    QVERIFY(target);
    if (focus.isEmpty()) {
        if (QWidget* w = f.focusWidget()) {
            w->clearFocus();
        }
        f.setFocus();
    } else {
        target->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), target);
    }
    KeySpy spy(target, Qt::Key_K);
    chord(f, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(f.clientHeightTwips(), Form1::StartHeight);
    chord(f);
    QCOMPARE(f.clientHeightTwips(), Form1::ServiceHeight);
    QCOMPARE(seam(f).PanelUnlock, qint16(1));
    QVERIFY(!named<QPushButton>(f, "Command34")->isHidden());
    if (!focus.isEmpty()) {
        QCOMPARE(spy.count, 2); // both keys went on to the focused control
    }
    expectWire({});
}

void TestService::chordReachesText1() {
    Form1& f = form();
    showActive(f);
    QLineEdit* line = named<QLineEdit>(f, "Text1");
    line->setText(QStringLiteral("CR0 and more"));
    line->setFocus();
    QTRY_VERIFY(line->hasFocus());
    line->setCursorPosition(3);
    KeySpy spy(line, Qt::Key_K);
    chord(f);
    QCOMPARE(f.clientHeightTwips(), Form1::ServiceHeight);
    QCOMPARE(spy.count, 1);
    // The chord is not an editing key of the line, whatever the platform binds to Ctrl+K.
    QCOMPARE(line->text(), QStringLiteral("CR0 and more"));
    QCOMPARE(line->cursorPosition(), 3);
    // A plain K typed into the line is just a letter.
    line->end(false);
    QTest::keyClick(f.windowHandle(), Qt::Key_K, {});
    QVERIFY2(line->text().endsWith(QLatin1Char('k')), qPrintable(line->text()));
    QCOMPARE(f.clientHeightTwips(), Form1::ServiceHeight);
}

void TestService::toggleLooksOnlyAtHeight_data() {
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("caption");
    const QString show = QStringLiteral("データを表示する");
    const QString hide = QStringLiteral("データを表示しない");
    QTest::newRow("start height") << Form1::StartHeight << Form1::DataViewHeight << hide;
    QTest::newRow("just below the boundary") << 5629 << Form1::DataViewHeight << hide;
    QTest::newRow("at the boundary") << 5630 << Form1::StartHeight << show;
    QTest::newRow("data view") << Form1::DataViewHeight << Form1::StartHeight << show;
    QTest::newRow("service") << Form1::ServiceHeight << Form1::StartHeight << show;
    QTest::newRow("full") << Form1::FullHeight << Form1::StartHeight << show;
}

void TestService::toggleLooksOnlyAtHeight() {
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, caption);
    Form1& f = form();
    QCOMPARE(Form1::ToggleBoundary, 5630); // 6000 twips of outer height, less title and border
    seam(f).PanelUnlock = 1;
    f.setClientHeightTwips(from);
    QTest::mouseClick(named<QPushButton>(f, "Command34"), Qt::LeftButton);
    QCOMPARE(f.clientHeightTwips(), to);
    QCOMPARE(named<QPushButton>(f, "Command34")->text(), caption);
    QCOMPARE(seam(f).PanelUnlock, qint16(0));
}

void TestService::command34RestartsTimer3() {
    Form1& f = form();
    QTest::keyClick(&f, Qt::Key_K, Qt::ControlModifier);
    QVERIFY(!seam(f).Timer3->isActive());
    QTest::mouseClick(named<QPushButton>(f, "Command34"),
                      Qt::LeftButton); // a stopped Timer3 is started
    QVERIFY(seam(f).Timer3->isActive());
    QCOMPARE(seam(f).Timer3->interval(), 5000);

    seam(f).Timer3->stop();
    QTest::mouseClick(named<QPushButton>(f, "Command33"), Qt::LeftButton); // COM
    QVERIFY(!named<QFrame>(f, "Frame8")->isHidden());
    // A coarse timer may run up to 5% long, so the wait leaves a wide margin either side.
    QTest::qWait(2000);
    const int left = seam(f).Timer3->remainingTime();
    QVERIFY(left <= 3500);
    QTest::mouseClick(named<QPushButton>(f, "Command34"),
                      Qt::LeftButton); // the count starts again from here
    QVERIFY2(seam(f).Timer3->remainingTime() > left, qPrintable(QString::number(left)));
    QCOMPARE(seam(f).Timer3->interval(), 5000);
    QVERIFY(!named<QFrame>(f, "Frame8")->isHidden());
    f.timer3Tick();
    QVERIFY(named<QFrame>(f, "Frame8")->isHidden());
    QVERIFY(!seam(f).Timer3->isActive());
}

void TestService::sendEmptyLine() {
    Form1& f = form();
    QTest::mouseClick(named<QPushButton>(f, "Command95"), Qt::LeftButton);
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral(" CR "));
    QCOMPARE(seam(f).SendCmd, QStringLiteral("\r"));
    QCOMPARE(seam(f).FreeText, QString());
    expectWire("\r");
}

void TestService::sendExactlyAsTyped_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("typed"); // typed key by key, or pasted whole
    QTest::newRow("status query") << "CR0" << true;
    QTest::newRow("lower case") << "cr0" << true;
    QTest::newRow("spaces kept") << "  CF IMAGE  REAL " << true;
    QTest::newRow("punctuation") << "C8A;{~}|" << true;
    QTest::newRow("Latin-1 letter") << QStringLiteral("CF \u00e9") << false;
    QTest::newRow("long line") << QString(1000, QLatin1Char('Z')) << false;
}

void TestService::sendExactlyAsTyped() {
    QFETCH(QString, text);
    QFETCH(bool, typed);
    Form1& f = form();
    if (typed) {
        QTest::keyClicks(named<QLineEdit>(f, "Text1"), text);
    } else {
        named<QLineEdit>(f, "Text1")->setText(text);
    }
    QCOMPARE(named<QLineEdit>(f, "Text1")->text(), text);
    QTest::mouseClick(named<QPushButton>(f, "Command95"), Qt::LeftButton);
    QCOMPARE(named<QLineEdit>(f, "Text1")->text(), text);
    QCOMPARE(seam(f).FreeText, text);
    QCOMPARE(seam(f).Timer2->interval(), 2000);
    QCOMPARE(seam(f).Timer4->interval(), 2500);
    QVERIFY(seam(f).Timer2->isActive());
    QVERIFY(seam(f).Timer4->isActive());
    QCOMPARE(seam(f).WaitReply, quint8(1));
    const QByteArray expected = text.toLatin1() + '\r';
    expectWire(expected);
}

void TestService::sendDecodesLikeTheButton_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("button"); // the query button that sends the same, if any
    QTest::newRow("CR0") << "CR0" << QByteArray("00\r") << " Power ON"
                         << "Command44";
    QTest::newRow("CR1") << "CR1" << QByteArray("2\r") << " Input mode 2"
                         << "Command45";
    QTest::newRow("CR4") << "CR4" << QByteArray("10\r") << " Top/Bottom reversal"
                         << "Command47";
    QTest::newRow("CR PRESSURE") << "CR PRESSURE" << QByteArray("250\r") << "372 hPa"
                                 << "Command68";
    QTest::newRow("CRA") << "CRA" << QByteArray("FF\r") << " Stand by" << QString();
    QTest::newRow("CR7") << "CR7" << QByteArray("00\r") << " All OFF : 2 Lamp mode" << QString();
    QTest::newRow("CR9") << "CR9" << QByteArray("ab\r") << " a b CR " << QString();
    // Case and spaces are the operator's: these are not the queries.
    QTest::newRow("cr0") << "cr0" << QByteArray("00\r") << QString() << QString();
    QTest::newRow("CR0 and a space") << "CR0 " << QByteArray("00\r") << QString() << QString();
}

void TestService::sendDecodesLikeTheButton() {
    QFETCH(QString, query);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    QFETCH(QString, button);
    const auto exchange = [&](bool viaButton) {
        Form1& f = form();
        if (viaButton) {
            QTest::mouseClick(f.findChild<QPushButton*>(button), Qt::LeftButton);
        } else {
            named<QLineEdit>(f, "Text1")->setText(query);
            QTest::mouseClick(named<QPushButton>(f, "Command95"), Qt::LeftButton);
        }
        // Long windows keep the real timers out of the exchange.
        seam(f).Timer2->setInterval(600000);
        seam(f).Timer4->setInterval(600000);
        const QByteArray framed = query.toLatin1() + '\r';
        if (rig().wire(framed.size()) != framed) {
            return QStringLiteral("<not sent>");
        }
        rig().reply(reply);
        if (!waitFor([&] { return seam(f).RecvBuf.size() == reply.size(); })) {
            return QStringLiteral("<no reply>");
        }
        return named<QLabel>(f, "Label22")->text();
    };
    const QString sent = exchange(false);
    QCOMPARE(sent, status);
    if (!button.isEmpty()) {
        remakeRig({}); // a fresh panel for the button's own exchange
        QCOMPARE(exchange(true), sent);
    }
}

void TestService::sendRefusesCharacterWithoutByte() {
    Form1& f = form();
    named<QLabel>(f, "Label11")->setText(QStringLiteral("earlier"));
    named<QLineEdit>(f, "Text1")->setText(QStringLiteral("CR\u3042"));
    QTest::mouseClick(named<QPushButton>(f, "Command95"), Qt::LeftButton);
    QCOMPARE(rig().warnings().size(), 1);
    QVERIFY2(rig().warnings()[0].contains(QStringLiteral("\u3042")),
             qPrintable(rig().warnings()[0]));
    QVERIFY2(rig().warnings()[0].contains(QStringLiteral("U+3042")),
             qPrintable(rig().warnings()[0]));
    QCOMPARE(rig().drainWire(), QByteArray());
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral("earlier"));
    QCOMPARE(seam(f).WaitReply, quint8(0));
    QVERIFY(!seam(f).Timer2->isActive());
    QVERIFY(!seam(f).Timer4->isActive());
    QCOMPARE(named<QLineEdit>(f, "Text1")->text(), QStringLiteral("CR\u3042"));

    // The line still works once the character is gone.
    named<QLineEdit>(f, "Text1")->setText(QStringLiteral("CR0"));
    QTest::mouseClick(named<QPushButton>(f, "Command95"), Qt::LeftButton);
    QCOMPARE(rig().wire(4), QByteArray("CR0\r"));
    QCOMPARE(rig().warnings().size(), 1);
}

void TestService::sendWhileClosed() {
    Form1& f = form();
    seam(f).MSComm1->setPortOpen(false);
    named<QLineEdit>(f, "Text1")->setText(QStringLiteral("CR0"));
    QTest::mouseClick(named<QPushButton>(f, "Command95"), Qt::LeftButton);
    QCOMPARE(rig().warnings(), QStringList{QStringLiteral("COM1 is not open")});
    // The intervals come before the send.
    QCOMPARE(seam(f).Timer2->interval(), 2000);
    QCOMPARE(seam(f).Timer4->interval(), 2500);
    QVERIFY(!seam(f).Timer2->isActive());
    QCOMPARE(seam(f).WaitReply, quint8(0));
}

void TestService::clsEmptiesLineOnly() {
    Form1& f = form();
    named<QLineEdit>(f, "Text1")->setText(QStringLiteral("CF IMAGE REAL"));
    named<QLabel>(f, "Label11")->setText(QStringLiteral(" C R 0 CR "));
    named<QLabel>(f, "Label12")->setText(QStringLiteral(" 0 0 CR "));
    named<QLabel>(f, "Label22")->setText(QStringLiteral(" Power ON"));
    QTest::mouseClick(named<QPushButton>(f, "Command96"), Qt::LeftButton);
    QCOMPARE(named<QLineEdit>(f, "Text1")->text(), QString());
    QCOMPARE(named<QLabel>(f, "Label11")->text(), QStringLiteral(" C R 0 CR "));
    QCOMPARE(named<QLabel>(f, "Label12")->text(), QStringLiteral(" 0 0 CR "));
    QCOMPARE(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"));
    QVERIFY(!seam(f).Timer2->isActive());
    QVERIFY(!seam(f).Timer4->isActive());
    QCOMPARE(seam(f).WaitReply, quint8(0));
    expectWire({});
}

QTEST_MAIN(TestService)
#include "test_service.moc"
