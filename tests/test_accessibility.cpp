// What assistive technology hears of the window: through Qt's own accessibility interfaces in
// this process, and once through AT-SPI from the real program under a real X server.
#include "app/command_line.h"
#include "app/open_panel.h"
#include "core/bindings.h"
#include "sim/pty_pair.h"
#include "support/atspi_client.h"
#include "support/form1_test_seam.h"
#include "support/panel_rig.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>

namespace {

QAccessibleInterface* reach(QWidget* w) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
    if (!iface) {
        qFatal("no accessible interface for %s", qPrintable(w->objectName()));
    }
    return iface;
}

QString nameOf(QWidget* w) {
    return reach(w)->text(QAccessible::Name);
}

QString descriptionOf(QWidget* w) {
    return reach(w)->text(QAccessible::Description);
}

// The frames of the form: group frames and the lines drawn around the cursor pad.
QList<QFrame*> frames(QWidget& form) {
    QList<QFrame*> found;
    for (QFrame* frame : form.findChildren<QFrame*>()) {
        if (QByteArray(frame->metaObject()->className()) == "QFrame") {
            found << frame;
        }
    }
    return found;
}

// Name changes announced for each object while the handler is installed.
QList<QPair<QObject*, QAccessible::Event>> announced;

void seeAnnouncement(QAccessibleEvent* event) {
    announced.append({event->object(), event->type()});
}

// Every control of a window in the order a screen reader walks it, with what it shows and says,
// then the tab order.
QStringList walk(QWidget& window) {
    QStringList seen;
    const std::function<void(QWidget&)> visitChildren = [&](QWidget& parent) {
        for (QObject* child : parent.children()) {
            auto* w = qobject_cast<QWidget*>(child);
            if (!w || w->isWindow()) {
                continue;
            }
            const QFont font = w->font();
            seen << QStringLiteral("%1 %2 in %3 at %4,%5 %6x%7 hidden %8; %9 %10 %11; %12 / %13")
                        .arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()),
                             parent.objectName())
                        .arg(w->x())
                        .arg(w->y())
                        .arg(w->width())
                        .arg(w->height())
                        .arg(w->isHidden())
                        .arg(font.family())
                        .arg(font.pointSizeF())
                        .arg(font.bold())
                        .arg(nameOf(w), descriptionOf(w));
            visitChildren(*w);
        }
    };
    visitChildren(window);
    for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) {
        seen << QStringLiteral("tab ") + w->objectName();
    }
    return seen;
}

int nameChangesOf(QObject* object) {
    int n = 0;
    for (const auto& [who, what] : announced) {
        n += who == object && what == QAccessible::NameChanged;
    }
    return n;
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void buttonNamesAreUniqueAndHoldTheirCaption();
    void groupBeforeAmbiguousCaption_data();
    void groupBeforeAmbiguousCaption();
    void descriptionsSayWhatIsSent_data();
    void descriptionsSayWhatIsSent();
    void everyFrameAndControlIsNamedAndDescribed();
    void displayLines_data();
    void displayLines();
    void statusReadingIsAnnounced();
    void underAtSpi();
    void iconComesAfterTheFirstFrame();
    void startedWindowIsTheWholeForm();

private:
    std::unique_ptr<PanelRig> rig_;
};

void TestAccessibility::initTestCase() {
    rig_ = std::make_unique<PanelRig>();
    rig_->load();
}

void TestAccessibility::buttonNamesAreUniqueAndHoldTheirCaption() {
    QSet<QString> names;
    const auto buttons = rig_->form().findChildren<QAbstractButton*>();
    QCOMPARE(buttons.size(), 77); // 73 command buttons and the 4 options
    for (QAbstractButton* button : buttons) {
        const QString name = nameOf(button);
        QVERIFY2(name.contains(button->text()),
                 qPrintable(button->objectName() + ": " + name + " / " + button->text()));
        QVERIFY2(!names.contains(name), qPrintable("two buttons are called " + name));
        names.insert(name);
    }
}

void TestAccessibility::groupBeforeAmbiguousCaption_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    const char* const rows[][2] = {
        {"Command17", "POWER ON"},     {"Command23", "MENU ON"}, {"Command21", "NO SHOW ON"},
        {"Command59", "LENS SHIFT ↑"}, {"Command15", "Zoom +"},  {"Command12", "2 VIDEO"},
        {"Command44", "STATUS"},       {"Command14", "P-TIMER"}, // captions that say it all
    };
    for (const auto& [control, name] : rows) {
        QTest::newRow(name) << QString::fromUtf8(control) << QString::fromUtf8(name);
    }
}

void TestAccessibility::groupBeforeAmbiguousCaption() {
    QFETCH(QString, control);
    QFETCH(QString, name);
    QCOMPARE(nameOf(named(rig_->form(), qPrintable(control))), name);
}

void TestAccessibility::descriptionsSayWhatIsSent_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("ending");
    for (const OneShotBinding& b : oneShotBindings()) {
        QTest::newRow(b.name) << b.control << QStringLiteral("; sends %1").arg(b.code);
    }
    for (const HoldBinding& h : holdBindings()) {
        QTest::newRow(h.name) << h.control
                              << QStringLiteral("; sends %1; repeats while held").arg(h.code);
    }
    const QString waits = QStringLiteral("; waits up to %1 s for the reply");
    QTest::newRow("2 s window") << QStringLiteral("Command10") << waits.arg(2);
    QTest::newRow("5 s window") << QStringLiteral("Command12") << waits.arg(5);
    QTest::newRow("free text") << QStringLiteral("Command95") << waits.arg(2);
    QTest::newRow("whole") << QStringLiteral("Command59")
                           << QStringLiteral(u"Lens shift up; sends C5D; repeats while held");
}

void TestAccessibility::descriptionsSayWhatIsSent() {
    QFETCH(QString, control);
    QFETCH(QString, ending);
    const QString description = descriptionOf(named(rig_->form(), qPrintable(control)));
    QVERIFY2(description.contains(ending), qPrintable(description));
    // Words first: what the button does, then the code.
    QVERIFY2(!description.startsWith(QLatin1Char(';')), qPrintable(description));
}

void TestAccessibility::everyFrameAndControlIsNamedAndDescribed() {
    Form1& form = rig_->form();
    const auto groups = frames(form);
    QCOMPARE(groups.size(), 25); // 13 group frames and the 12 lines of the cursor pad
    for (QFrame* frame : groups) {
        QVERIFY2(!nameOf(frame).isEmpty(), qPrintable(frame->objectName()));
    }
    QCOMPARE(nameOf(named(form, "Frame1")), QStringLiteral("POWER"));
    QCOMPARE(nameOf(named(form, "Frame13")), QStringLiteral("Line speed"));
    for (QWidget* w : form.findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(w) || w->objectName() == QLatin1String("Text1")) {
            QVERIFY2(!nameOf(w).isEmpty(), qPrintable(w->objectName()));
            QVERIFY2(!descriptionOf(w).isEmpty(), qPrintable(w->objectName()));
        }
    }
    // The labels are tied to what they label.
    const auto labelled = reach(named(form, "Text1"))->relations(QAccessible::Label);
    QCOMPARE(labelled.size(), 1);
    QCOMPARE(labelled.first().first->object(), named(form, "Label26"));
}

void TestAccessibility::displayLines_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("label");
    const char* const rows[][3] = {{"Label11", "Command sent", "Label9"},
                                   {"Label12", "Reply received", "Label10"},
                                   {"Label22", "Status", "Label23"}};
    for (const auto& [line, description, label] : rows) {
        QTest::newRow(description) << line << description << label;
    }
}

void TestAccessibility::displayLines() {
    QFETCH(QString, line);
    QFETCH(QString, description);
    QFETCH(QString, label);
    auto* shown = named<QLabel>(rig_->form(), qPrintable(line));
    shown->setText(QStringLiteral(" C 0 0 CR"));
    QCOMPARE(nameOf(shown), shown->text());
    QCOMPARE(descriptionOf(shown), description);
    const auto labelled = reach(shown)->relations(QAccessible::Label);
    QCOMPARE(labelled.size(), 1);
    QCOMPARE(labelled.first().first->object(), named(rig_->form(), qPrintable(label)));
    // A received flood is read out as far as it can be seen, never whole.
    shown->setText(QString(65535, QLatin1Char('x')));
    QVERIFY(nameOf(shown).size() < 1000);
    QVERIFY(shown->text().startsWith(nameOf(shown)));
    shown->clear();
}

void TestAccessibility::statusReadingIsAnnounced() {
    Form1& form = rig_->form();
    auto* status = named<QLabel>(form, "Label22");
    // The lines stay, and the reply window stays open, until the test closes it itself.
    seam(form).Timer2->setInterval(3600 * 1000);
    seam(form).Timer4->setInterval(3600 * 1000);
    announced.clear();
    const auto previous = QAccessible::installUpdateHandler(seeAnnouncement);
    const auto restore = qScopeGuard([previous] { QAccessible::installUpdateHandler(previous); });
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        // The offscreen platform has no accessibility at all; the X run has the bridge on.
        QSKIP("no platform accessibility here; test_accessibility_atspi runs this under X");
    }
    // The bridge turns on once the accessibility bus is there, as a desktop session starts it.
    QVERIFY(!a11yBusAddress().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), 20000);
    // The same reading twice running (the operator asks again before the lines clear), then
    // another; the last two arrive in pieces, each read again as it comes. Every reply is
    // announced exactly once.
    const QList<QList<QByteArray>> replies{{"00\r"}, {"00", "\r"}, {"80", "\r"}};
    for (qsizetype i = 0; i < replies.size(); ++i) {
        rig_->drainWire();
        QTest::mouseClick(named<QAbstractButton>(form, "Command44"), Qt::LeftButton);
        QCOMPARE(rig_->wire(4), QByteArray("CR0\r"));
        for (const QByteArray& piece : replies[i]) {
            const QString before = seam(form).RecvBuf;
            rig_->reply(piece);
            QTRY_COMPARE(seam(form).RecvBuf, before + QString::fromLatin1(piece));
        }
        QCOMPARE(nameChangesOf(status), int(i + 1));
        QCOMPARE(status->text(), QLatin1String(i < 2 ? " Power ON" : " Stand by"));
        QCOMPARE(nameOf(status), status->text());
        form.timer2Tick();
    }
}

// The real program through AT-SPI.

void TestAccessibility::underAtSpi() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        QSKIP("needs a real X server and a D-Bus session (test_accessibility_atspi)");
    }
    QDBusConnection bus = QDBusConnection::connectToBus(a11yBusAddress(), QStringLiteral("a11y"));
    QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));

    // The real program against its simulated projector, with the bridge on as a screen reader
    // would turn it on.
    QTemporaryDir config;
    QProcess panel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    panel.setProcessEnvironment(env);
    panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    panel.start(QStringLiteral(RMQ27_PANEL_PROGRAM), {QStringLiteral("--simulate")});
    QVERIFY(panel.waitForStarted());
    const auto stop = qScopeGuard([&] {
        panel.kill();
        panel.waitForFinished();
    });

    // The names heard must be the names given in this process, button for button.
    QSet<QString> buttons;
    for (QAbstractButton* b : rig_->form().findChildren<QAbstractButton*>()) {
        buttons << nameOf(b);
    }
    const auto buttonsIn = [](const QList<Seen>& seen) {
        return std::count_if(seen.begin(), seen.end(), [](const Seen& s) {
            return s.role == QLatin1String("push button") ||
                   s.role == QLatin1String("radio button");
        });
    };

    const Node registry{QStringLiteral("org.a11y.atspi.Registry"),
                        QStringLiteral("/org/a11y/atspi/accessible/root")};
    Node app;
    QList<Seen> tree;
    // Up once its window is there with every control in it. Only the program's own connection
    // is asked: this test's process is on the bus too, and cannot answer while it waits.
    const auto ownerPid = [&](const QString& service) {
        return QDBusConnection(bus).interface()->servicePid(service).value();
    };
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const Node& candidate : atspiChildren(bus, registry)) {
                if (qint64(ownerPid(candidate.service)) == panel.processId()) {
                    app = candidate;
                    tree.clear();
                    walk(bus, app, tree);
                    return buttonsIn(tree) >= buttons.size();
                }
            }
            return false;
        }(),
        30000);

    QSet<QString> heardButtons;
    int unnamedFrames = 0;
    Node status, statusButton;
    for (const Seen& s : tree) {
        if (s.role == QLatin1String("push button") || s.role == QLatin1String("radio button")) {
            QVERIFY2(!heardButtons.contains(s.name), qPrintable("heard twice: " + s.name));
            heardButtons << s.name;
        }
        if (s.role == QLatin1String("push button") && s.name == QLatin1String("STATUS")) {
            statusButton = s.node;
            QVERIFY2(s.description.contains(QLatin1String("sends CR0")), qPrintable(s.description));
        }
        if (s.description == QLatin1String("Status")) {
            status = s.node;
        }
        unnamedFrames += s.role == QLatin1String("frame") && s.name.isEmpty();
    }
    QCOMPARE(heardButtons, buttons);
    QCOMPARE(unnamedFrames, 0);
    QVERIFY(!status.path.isEmpty());
    QVERIFY(!statusButton.path.isEmpty());

    // A press through AT-SPI, as a screen reader user presses: the reading comes to the status
    // line's name.
    QVERIFY(atspiCall(bus, statusButton, QStringLiteral("org.a11y.atspi.Action"),
                      QStringLiteral("DoAction"), {0})
                .type() == QDBusMessage::ReplyMessage);
    QTRY_VERIFY_WITH_TIMEOUT(!atspiProperty(bus, status, QStringLiteral("Name")).isEmpty(), 10000);
}

// What the first frame does not need waits for it: the window's icon is set once the frame is on
// the screen, but it does come.
void TestAccessibility::iconComesAfterTheFirstFrame() {
    PtyPair projector;
    StartOptions options;
    options.com1 = projector.devicePath();
    const std::unique_ptr<Form1> form = openPanel(options);
    QTRY_VERIFY(!form->windowIcon().availableSizes().isEmpty());
    QVERIFY(
        named(*form, "Option1")->toolTip().startsWith(projector.devicePath().prepend("COM1: ")));
}

// The panel as it starts makes its free-text line only after its first frame; the line must end
// up exactly where the whole form has it, for the eye, the keyboard and a screen reader. Its
// buttons make it themselves if they come first.
void TestAccessibility::startedWindowIsTheWholeForm() {
    PtyPair projector;
    StartOptions options;
    options.com1 = projector.devicePath();
    const std::unique_ptr<Form1> started = openPanel(options);
    QTRY_VERIFY(started->findChild<QWidget*>(QStringLiteral("Text1")));
    Form1 whole({projector.devicePath(), QString()});
    whole.show();
    QCOMPARE(walk(*started), walk(whole));

    Form1 later({projector.devicePath(), QString()}, Form1::TextBox::Later);
    later.show();
    named<QAbstractButton>(later, "Command96")->click();
    QCOMPARE(walk(later), walk(whole));
}

QTEST_MAIN(TestAccessibility)
#include "test_accessibility.moc"
