// The command lines of the panel and of the stand-alone simulated projector: parsed in-process,
// and the programs themselves run as an operator runs them.
#include "app/command_line.h"
#include "app/open_panel.h"
#include "panel/form1.h"
#include "serial/comm_port.h"
#include "serial/port_devices.h"
#include "sim/pty_pair.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString Panel = QStringLiteral(RMQ27_PANEL_PROGRAM);
const QString Simulator = QStringLiteral(RMQ27_SIM_PROGRAM);
const QString Bridge = QStringLiteral(RMQ27_BRIDGE_PROGRAM);
const QString Ctl = QStringLiteral(RMQ27_CTL_PROGRAM);

// Stands for "the program goes on to open the window".
constexpr int GoesOn = -1;

// While it lives, the process has no file descriptor to spare: every open, pipe or
// pseudo-terminal fails with "Too many open files".
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowestFree);
        rlimit tight = saved_;
        tight.rlim_cur = rlim_t(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~NoDescriptorsLeft() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;

private:
    rlimit saved_{};
};

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void parse_data();
    void parse();
    void withoutDisplay_data();
    void withoutDisplay();
    void simulate_data();
    void simulate();
    void remembersTheDeviceThatOpened();
    void settingsFileNotOurs();
    void linkRefused_data();
    void linkRefused();
    void linkServedThenRemoved_data();
    void linkServedThenRemoved();
    void firstFrameInTheSubstituteFaces();
    void keysBeforeTheFreeTextLine();
    void outputWithoutReader_data();
    void outputWithoutReader();
    void bridgeStops_data();
    void bridgeStops();

private:
    QTemporaryDir config_;
};

void TestCommandLine::initTestCase() {
    // The remembered devices go to a configuration of the test's own, never the user's.
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
}

void TestCommandLine::parse_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("com1");
    QTest::addColumn<QString>("com2");
    QTest::addColumn<bool>("simulate");
    QTest::addColumn<QString>("says"); // in the standard output, or in the error line

    const QString usb = QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("nothing") << QStringList{} << GoesOn << QString() << QString() << false
                             << QString();
    QTest::newRow("--com1 DEV") << QStringList{"--com1", usb} << GoesOn << usb << QString() << false
                                << QString();
    QTest::newRow("--com1=DEV") << QStringList{"--com1=" + usb} << GoesOn << usb << QString()
                                << false << QString();
    QTest::newRow("both ports") << QStringList{"--com2=tcp://127.0.0.1:2000", "--com1", usb}
                                << GoesOn << usb << QStringLiteral("tcp://127.0.0.1:2000") << false
                                << QString();
    QTest::newRow("--simulate") << QStringList{"--simulate"} << GoesOn << QString() << QString()
                                << true << QString();
    QTest::newRow("--simulate with --com2") << QStringList{"--simulate", "--com2", usb} << GoesOn
                                            << QString() << usb << true << QString();
    QTest::newRow("--help") << QStringList{"--help"} << 0 << QString() << QString() << false
                            << QStringLiteral("--com1 DEVICE");
    QTest::newRow("-h") << QStringList{"-h"} << 0 << QString() << QString() << false
                        << QStringLiteral("--simulate");
    QTest::newRow("--version") << QStringList{"--version"} << 0 << QString() << QString() << false
                               << QStringLiteral("rmq27-panel " RMQ27_VERSION);
    QTest::newRow("--list-ports") << QStringList{"--list-ports"} << GoesOn << QString() << QString()
                                  << false << QString();
    QTest::newRow("--forget") << QStringList{"--forget"} << GoesOn << QString() << QString()
                              << false << QString();
    QTest::newRow("--help: device forms")
        << QStringList{"--help"} << 0 << QString() << QString() << false
        << QStringLiteral("a path, rfc2217://HOST:PORT or tcp://HOST:PORT");
    QTest::newRow("--help: defaults")
        << QStringList{"--help"} << 0 << QString() << QString() << false
        << QStringLiteral("the one last opened on COM1, else the first USB adapter, else "
                          "/dev/ttyS0");
    // Qt's own options, as every Qt program takes them; left to Qt, never taken for ours.
    QTest::newRow("-platform") << QStringList{"-platform", "offscreen", "--com1", usb} << GoesOn
                               << usb << QString() << false << QString();
    QTest::newRow("--platform, -style=, -reverse")
        << QStringList{"--platform", "offscreen", "-style=Fusion", "-reverse", "--simulate"}
        << GoesOn << QString() << QString() << true << QString();
    QTest::newRow("-display, -qwindowtitle")
        << QStringList{"-display", ":0", "-qwindowtitle", "x"} << GoesOn << QString() << QString()
        << false << QString();

    const auto error = [](const char* name, const QStringList& arguments, const char* says) {
        QTest::newRow(name) << arguments << 2 << QString() << QString() << false
                            << QString::fromLatin1(says);
    };
    error("unknown option", {"--bogus"}, "bogus");
    error("unknown short option", {"-x"}, "'x'");
    error("missing value", {"--com1"}, "--com1");
    error("empty value", {"--com1", ""}, "--com1");
    error("empty value after =", {"--com1="}, "--com1");
    error("blank value", {"--com2", "  "}, "--com2");
    error("option taken for a device", {"--com1", "--simulate"}, "--simulate");
    error("value for a switch", {"--simulate=yes"}, "--simulate");
    error("positional argument", {"/dev/ttyS0"}, "/dev/ttyS0");
    error("after --", {"--", "--com1"}, "--com1");
    error("port given twice", {"--com1", "a", "--com1=b"}, "more than once");
    error("--com1 with --simulate", {"--com1", usb, "--simulate"}, "--simulate");
    error("--version with a bogus option", {"--version", "--bogus"}, "bogus");
    error("--help with an argument", {"--help", "extra"}, "extra");
    error("--version with a contradiction", {"--version", "--simulate", "--com1=x"}, "--simulate");
    error("--list-ports with a device", {"--list-ports", "--com1", usb}, "--list-ports");
    error("--forget with --simulate", {"--simulate", "--forget"}, "--forget");
    error("two jobs", {"--forget", "--list-ports"}, "one job at a time");
    error("log without its file", {"--log"}, "--log");
    error("--list-ports with a log", {"--list-ports", "--log", "day.log"}, "--list-ports");
    error("Qt option without its value", {"-platform"}, "-platform");
    error("Qt option taken for a device", {"--com1", "-platform", "offscreen"}, "-platform");
}

void TestCommandLine::parse() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, com1);
    QFETCH(QString, com2);
    QFETCH(bool, simulate);
    QFETCH(QString, says);

    const StartOptions options = parseArguments(QStringList{Panel} + arguments);
    QCOMPARE(options.exitCode.value_or(GoesOn), exitCode);
    if (exitCode == 2) {
        // One line naming what is wrong, then the way to the usage; nothing on standard output.
        const QStringList lines = options.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].startsWith(QLatin1String("rmq27-panel: ")), qPrintable(lines[0]));
        QVERIFY2(lines[0].contains(says), qPrintable(lines[0]));
        QCOMPARE(lines[1], QStringLiteral("Try 'rmq27-panel --help'."));
        QVERIFY(options.out.isEmpty());
        return;
    }
    QVERIFY2(options.err.isEmpty(), qPrintable(options.err));
    QVERIFY(options.out.contains(says));
    if (exitCode == GoesOn) {
        QCOMPARE(options.com1, com1);
        QCOMPARE(options.com2, com2);
        QCOMPARE(options.simulate, simulate);
    }
}

void TestCommandLine::withoutDisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("display"); // an X display no server answers on, or none at all
    QTest::newRow("--help") << QStringList{"--help"} << 0 << QStringLiteral("Usage: rmq27-panel")
                            << QString() << QString();
    QTest::newRow("--version") << QStringList{"--version"} << 0
                               << QStringLiteral("rmq27-panel " RMQ27_VERSION) << QString()
                               << QString();
    QTest::newRow("usage error") << QStringList{"--com1"} << 2 << QString()
                                 << QStringLiteral("Try 'rmq27-panel --help'.") << QString();
    QTest::newRow("the window") << QStringList{} << 1 << QString() << QStringLiteral("no display")
                                << QString();
    // Every port listed, or words for none: a line either way.
    QTest::newRow("--list-ports") << QStringList{"--list-ports"} << 0 << QStringLiteral("\n")
                                  << QString() << QString();
    QTest::newRow("--list-ports with Qt's -platform")
        << QStringList{"-platform", "xcb", "--list-ports"} << 0 << QStringLiteral("\n") << QString()
        << QString();
    QTest::newRow("--forget") << QStringList{"--forget"} << 0
                              << QStringLiteral("no device is remembered") << QString()
                              << QString();
    // A stale login's display: no X server behind it (the test makes sure of that).
    QTest::newRow("display without a server")
        << QStringList{} << 1 << QString() << QStringLiteral("cannot open the display :4097")
        << QStringLiteral(":4097");
    QTest::newRow("-display without a server")
        << QStringList{"-display", ":4098"} << 1 << QString()
        << QStringLiteral("cannot open the display :4098") << QStringLiteral(":4099");
}

// The program itself, with no display in its environment: the usage and the version still come,
// and the window is refused with a word rather than a crash in the platform plugin.
void TestCommandLine::withoutDisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QString, display);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(QString::fromLatin1(name));
    }
    if (!display.isEmpty()) {
        for (const QString& number : {display.mid(1), err.section(QLatin1Char(':'), -1)}) {
            QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X") + number));
        }
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    }
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config_.path());
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(Panel, arguments);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    const QString stdOut = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    QCOMPARE(stdOut.isEmpty(), out.isEmpty());
    QCOMPARE(stdErr.isEmpty(), err.isEmpty());
    if (exitCode == 1) {
        QCOMPARE(stdErr.count(QLatin1Char('\n')), 1); // one line, and nothing from the platform
    }
}

void TestCommandLine::simulate_data() {
    QTest::addColumn<bool>("pseudoTerminals");
    QTest::addColumn<int>("simulatorWarnings");
    QTest::newRow("pseudo-terminals") << true << 0;
    QTest::newRow("none to be had") << false << 1;
}

// --simulate opens the window whether or not a simulated projector can be started; where none
// can, one warning says why (the real box, not a recorder).
void TestCommandLine::simulate() {
    QFETCH(bool, pseudoTerminals);
    QFETCH(int, simulatorWarnings);

    StartOptions options;
    options.simulate = true;
    std::unique_ptr<Form1> form;
    if (pseudoTerminals) {
        form = openPanel(options);
    } else {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers' own checks open descriptors, and report what they cannot check.
        QSKIP("the sanitizers need file descriptors of their own");
#endif
        const NoDescriptorsLeft noDescriptors;
        form = openPanel(options);
    }
    QVERIFY(form->isVisible());
    int simulator = 0;
    QStringList warnings;
    for (const QMessageBox* box : form->findChildren<QMessageBox*>()) {
        warnings << box->text();
        simulator += box->text().contains(QLatin1String("simulated projector cannot start"));
    }
    // Where no projector starts, its warning is the only one: no other device is tried behind
    // COM1, which stays closed; with a pseudo-terminal there is nothing to warn about.
    QVERIFY2(pseudoTerminals ? warnings.isEmpty() : simulator == simulatorWarnings,
             qPrintable(warnings.join(QLatin1Char('\n'))));
    QCOMPARE(warnings.size(), simulatorWarnings);
    const auto* com1 = form->findChild<CommPort*>(QStringLiteral("MSComm1"));
    QVERIFY(com1);
    QCOMPARE(com1->portOpen(), pseudoTerminals);
    QCOMPARE(com1->device(1).startsWith(QLatin1String("/dev/pts/")), pseudoTerminals);
}

// A device that opens is remembered for the next start without --com1, until --forget; each
// port option's tooltip names the device behind it.
void TestCommandLine::remembersTheDeviceThatOpened() {
    PtyPair projector;
    StartOptions options;
    options.com1 = projector.devicePath();
    const QString com1Tip = QStringLiteral("COM1: %1").arg(projector.devicePath());
    auto tooltip = [](Form1& f, const char* option) {
        return f.findChild<QWidget*>(QLatin1String(option))->toolTip();
    };
    const auto warnings = [](Form1& f) {
        QStringList texts;
        for (const QMessageBox* box : f.findChildren<QMessageBox*>()) {
            texts << box->text();
        }
        return texts.join(QLatin1Char('\n'));
    };
    std::unique_ptr<Form1> form = openPanel(options);
    QCOMPARE(tooltip(*form, "Option1"), com1Tip);
    QCOMPARE(warnings(*form), QString());
    form.reset(); // the port is released before the next start takes it

    form = openPanel(StartOptions{});
    QCOMPARE(tooltip(*form, "Option1"), com1Tip);
    QVERIFY(tooltip(*form, "Option2").startsWith(QLatin1String("COM2: /dev/ttyS1")));
    QCOMPARE(warnings(*form), QString()); // it opened again
    form.reset();

    StartOptions forget;
    forget.forget = true;
    QCOMPARE(runWithoutWindow(forget), std::optional<int>(0));
    form = openPanel(StartOptions{});
    QVERIFY2(tooltip(*form, "Option1") != com1Tip, qPrintable(tooltip(*form, "Option1")));
}

// A file at the configuration path that is no settings file is found out as the program starts
// (not only on a path never read before), and is left as it is when a device opens.
void TestCommandLine::settingsFileNotOurs() {
    const QString path = PortDeviceChoice::userSettingsFile();
    QVERIFY(path.startsWith(config_.path()));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    const QByteArray junk("\xff\xfe[\x00\x01=\n[[[", 10);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(junk);
    }
    PtyPair projector;
    StartOptions options;
    options.com1 = projector.devicePath();
    static QStringList messages;
    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    std::unique_ptr<Form1> form = openPanel(options);
    qInstallMessageHandler(previous);
    QVERIFY(form->findChild<CommPort*>(QStringLiteral("MSComm1"))->portOpen());
    form.reset();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), junk);
    QCOMPARE(messages.size(), 2);
    QVERIFY2(messages[0].contains(QLatin1String("it is not a settings file")),
             qPrintable(messages[0]));
    QVERIFY2(messages[1].contains(QLatin1String("is not remembered for COM1")),
             qPrintable(messages[1]));
    QVERIFY(QFile::remove(path));
}

void TestCommandLine::linkRefused_data() {
    QTest::addColumn<QString>("occupant");
    QTest::newRow("file") << QStringLiteral("file");
    QTest::newRow("link") << QStringLiteral("link");
    QTest::newRow("dangling link") << QStringLiteral("dangling link");
    QTest::newRow("directory") << QStringLiteral("directory");
}

// Whatever already is at the --link path stays as it is: one line on standard error, exit 2.
void TestCommandLine::linkRefused() {
    QFETCH(QString, occupant);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("projector"));
    const QString other = dir.filePath(QStringLiteral("other"));
    if (occupant == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else {
        QFile file(occupant == QLatin1String("file") ? path : other);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
        file.close();
        if (occupant != QLatin1String("file")) {
            QVERIFY(QFile::link(other, path));
        }
        if (occupant == QLatin1String("dangling link")) {
            QVERIFY(QFile::remove(other));
        }
    }
    const QFileInfo before(path);

    QProcess sim;
    sim.start(Simulator, {QStringLiteral("--link"), path});
    QVERIFY(sim.waitForFinished(60000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    const QStringList err =
        QString::fromLocal8Bit(sim.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(err.size(), 1);
    QVERIFY2(err[0].contains(path), qPrintable(err[0]));

    const QFileInfo after(path);
    QCOMPARE(after.isSymLink(), before.isSymLink());
    QCOMPARE(after.isDir(), before.isDir());
    QCOMPARE(after.symLinkTarget(), before.symLinkTarget());
    if (occupant == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
    }
}

void TestCommandLine::linkServedThenRemoved_data() {
    QTest::addColumn<bool>("replacedMeanwhile");
    QTest::addColumn<bool>("removedAtExit");
    QTest::newRow("its own link") << false << true;
    QTest::newRow("a link made by someone else") << true << false;
}

// A simulator links its device at the path; a second one cannot take the path over while the
// first serves it; at SIGTERM the first removes the link, unless it is no longer the one it made.
void TestCommandLine::linkServedThenRemoved() {
    QFETCH(bool, replacedMeanwhile);
    QFETCH(bool, removedAtExit);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("projector"));
    const QStringList arguments{QStringLiteral("--link=") + path};

    QProcess first;
    first.start(Simulator, arguments);
    QTRY_VERIFY_WITH_TIMEOUT(first.canReadLine(), 60000);
    const QString device = QString::fromLocal8Bit(first.readLine()).trimmed();
    QVERIFY(device.startsWith(QLatin1String("/dev/")));
    QCOMPARE(QFile::symLinkTarget(path), device);

    QProcess second;
    second.start(Simulator, arguments);
    QVERIFY(second.waitForFinished(60000));
    QCOMPARE(second.exitCode(), 2);
    QCOMPARE(QFile::symLinkTarget(path), device);
    QCOMPARE(first.state(), QProcess::Running);

    if (replacedMeanwhile) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(device, path));
    }
    first.terminate();
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(QFileInfo(path).isSymLink(), !removedAtExit);
}

// The first frame draws in the installed faces chosen for the form's Gothic faces: nothing may lay
// out text in one of them before the panel chooses, or the face found then stays. Checked in a
// process of its own, where no earlier start has chosen them already.
void TestCommandLine::firstFrameInTheSubstituteFaces() {
    if (!qEnvironmentVariableIsSet("RMQ27_TEST_FIRST_START")) {
        QProcess fresh;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("RMQ27_TEST_FIRST_START"), QStringLiteral("1"));
        fresh.setProcessEnvironment(environment);
        fresh.setProcessChannelMode(QProcess::MergedChannels);
        fresh.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("firstFrameInTheSubstituteFaces")});
        QVERIFY(fresh.waitForFinished(60000));
        QVERIFY2(fresh.exitStatus() == QProcess::NormalExit && fresh.exitCode() == 0,
                 fresh.readAll().constData());
        return;
    }
    PtyPair projector;
    StartOptions options;
    options.com1 = projector.devicePath();
    const std::unique_ptr<Form1> form = openPanel(options);
    // The free-text line comes once the first frame is painted.
    QTRY_VERIFY(form->findChild<QWidget*>(QStringLiteral("Text1")));
    int checked = 0;
    for (const QWidget* w : form->findChildren<QWidget*>()) {
        const QStringList chosen = QFont::substitutes(w->font().family());
        if (!chosen.isEmpty()) {
            const QString drawn = QFontInfo(w->font()).family();
            QVERIFY2(chosen.contains(drawn, Qt::CaseInsensitive),
                     qPrintable(QStringLiteral("%1 (%2) drew in %3")
                                    .arg(w->objectName(), w->font().family(), drawn)));
            ++checked;
        }
    }
    QVERIFY(checked > 100);
}

// The free-text line comes after the first frame; what is typed before it is there reaches it.
void TestCommandLine::keysBeforeTheFreeTextLine() {
    PtyPair projector;
    StartOptions options;
    options.com1 = projector.devicePath();
    const std::unique_ptr<Form1> form = openPanel(options);
    QVERIFY(!form->findChild<QLineEdit*>(QStringLiteral("Text1")));
    // Each key to whatever holds the window's focus, as the platform delivers it.
    for (const char key : {'C', 'R', '0'}) {
        QWidget* focused = form->focusWidget() ? form->focusWidget() : form.get();
        QTest::keyClick(focused, key);
    }
    QTRY_VERIFY(form->findChild<QLineEdit*>(QStringLiteral("Text1")));
    auto* line = form->findChild<QLineEdit*>(QStringLiteral("Text1"));
    QCOMPARE(line->text(), QStringLiteral("CR0"));
    QCOMPARE(form->focusWidget(), line);
}

void TestCommandLine::outputWithoutReader_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments"); // @log: a log file, @device: a projector's line
    QTest::addColumn<bool>("endsAlone");
    QTest::newRow("panel") << Panel << QStringList{"--simulate", "--log", "@log"} << false;
    QTest::newRow("bridge") << Bridge
                            << QStringList{"--port",        "@device", "--listen", "127.0.0.1:0",
                                           "--no-password", "--log",   "@log"}
                            << false;
    QTest::newRow("ctl") << Ctl << QStringList{"--simulate", "--log", "@log", "status"} << true;
    QTest::newRow("projector-sim") << Simulator << QStringList{"--link", "@log"} << false;
}

// Standard output and error whose reader has gone, as under `| head -1` once head is done: each
// program writes there as it starts, and goes on to what comes next (its log's first line, the
// simulator's link) rather than die of SIGPIPE.
void TestCommandLine::outputWithoutReader() {
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(bool, endsAlone);
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("out.log"));
    PtyPair projector;
    arguments.replaceInStrings(QStringLiteral("@log"), log);
    arguments.replaceInStrings(QStringLiteral("@device"), projector.devicePath());
    int ends[2];
    QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    ::close(ends[0]);
    const int orphan = ends[1];
    QProcess run;
    run.setChildProcessModifier([orphan] {
        // As a shell starts a command: SIGPIPE at its default, the pipe on fds 1 and 2.
        std::signal(SIGPIPE, SIG_DFL);
        ::dup2(orphan, STDOUT_FILENO);
        ::dup2(orphan, STDERR_FILENO);
    });
    run.start(program, arguments);
    QVERIFY(run.waitForStarted(60000));
    ::close(orphan);
    const bool simulator = program == Simulator;
    const auto cameThrough = [&] {
        if (simulator) {
            return QFileInfo(log).isSymLink();
        }
        QFile file(log);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("\topened\t");
    };
    QTRY_VERIFY2_WITH_TIMEOUT(cameThrough() || run.state() == QProcess::NotRunning,
                              qPrintable(program), 60000);
    if (simulator) {
        // Stopped, it says so on standard error once more, and ends as it always does.
        run.terminate();
    }
    if (simulator || endsAlone) {
        QVERIFY(run.waitForFinished(60000));
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), simulator ? 0 : 1); // the ctl's output did not get out
    } else {
        QCOMPARE(run.state(), QProcess::Running);
        run.kill();
        QVERIFY(run.waitForFinished(60000));
    }
    QVERIFY2(simulator || cameThrough(), qPrintable(program));
}

void TestCommandLine::bridgeStops_data() {
    QTest::addColumn<QStringList>("arguments"); // @device: a projector's line
    QTest::addColumn<int>("signal");            // 0: the bridge ends on its own
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine"); // of standard error
    const QStringList serving{"--port", "@device", "--listen", "127.0.0.1:0", "--metrics", "0"};
    QTest::newRow("SIGTERM") << serving << int(SIGTERM) << 0
                             << QStringLiteral("stopping on SIGTERM");
    QTest::newRow("SIGINT") << serving << int(SIGINT) << 0 << QStringLiteral("stopping on SIGINT");
    QTest::newRow("--poll without --metrics")
        << QStringList{"--port", "@device", "--listen", "127.0.0.1:0", "--poll", "10"} << 0 << 2
        << QStringLiteral("rmq27-bridge: --poll needs --metrics: the polls only feed the metrics "
                          "(see --help)");
}

// The bridge serves metrics on loopback when no address is given, and says so in its log; a
// stop by SIGTERM (systemd's) or SIGINT (Ctrl+C) closes everything and ends with 0, as --help
// says; an option without its partner is a usage error of one line.
void TestCommandLine::bridgeStops() {
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    PtyPair projector;
    arguments.replaceInStrings(QStringLiteral("@device"), projector.devicePath());
    QProcess bridge;
    bridge.start(Bridge, arguments);
    QVERIFY(bridge.waitForStarted(60000));
    QString err;
    const QRegularExpression metricsLine(QStringLiteral("\\nmetrics on (.*), polling"));
    if (signal != 0) {
        QTRY_VERIFY_WITH_TIMEOUT(
            metricsLine.match(err += QString::fromLocal8Bit(bridge.readAllStandardError()))
                .hasMatch(),
            60000);
        const QStringList where = metricsLine.match(err).captured(1).split(QStringLiteral(", "));
        const QString port = where.front().section(u':', -1).section(u'/', 0, 0);
        QTcpSocket scrape;
        scrape.connectToHost(QHostAddress::LocalHost, quint16(port.toUInt()));
        scrape.write("GET /metrics HTTP/1.1\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(scrape.state() == QAbstractSocket::UnconnectedState, 60000);
        QVERIFY(scrape.readAll().startsWith("HTTP/1.1 200 OK\r\n"));
        QVERIFY(::kill(pid_t(bridge.processId()), signal) == 0);
        // Loopback only, and the log names each address listened on.
        for (const QString& at : where) {
            QVERIFY2(at == QStringLiteral("127.0.0.1:%1/metrics").arg(port) ||
                         at == QStringLiteral("[::1]:%1/metrics").arg(port),
                     qPrintable(err));
        }
    }
    QVERIFY(bridge.waitForFinished(60000));
    err += QString::fromLocal8Bit(bridge.readAllStandardError());
    QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
    QCOMPARE(bridge.exitCode(), exitCode);
    const QStringList lines = err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(!lines.isEmpty(), "nothing on standard error");
    QCOMPARE(lines.back(), lastLine);
    if (exitCode == 2) {
        QCOMPARE(lines.size(), 1);
    }
}

QTEST_MAIN(TestCommandLine)
#include "test_command_line.moc"
