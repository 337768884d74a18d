// rmq27-ctl run as a program: against a pseudo-terminal whose far side the test holds, against
// its own simulated projector, and side by side with the panel on the same replies.
#include "core/bindings.h"
#include "core/password_file.h"
#include "ctl/ctl_options.h"
#include "ctl/ctl_session.h"
#include "sim/pty_pair.h"
#include "support/bridge_process.h"
#include "support/form1_test_seam.h"
#include "support/panel_rig.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

struct Run {
    int code = -1; // -1: did not exit by itself within the limit
    QByteArray out;
    QByteArray err;
    qint64 peakRssKb = 0;
};

qint64 rssKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return 0;
}

// Runs rmq27-ctl while this process's event loop keeps serving the test's end of the line.
Run runCtl(const QStringList& args, int limitMs = 30000) {
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/rmq27-ctl"), args);
    Run r;
    waitFor(
        [&] {
            r.peakRssKb = qMax(r.peakRssKb, rssKb(p.processId()));
            return p.state() == QProcess::NotRunning;
        },
        limitMs);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.code = p.exitCode();
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The same run in this process, on quiet times short enough that nothing waits on them: for
// what the session sends, where the program around it is not the subject.
Run runSession(const QStringList& args) {
    const CtlParse parse = parseCtlArguments(args);
    Run r;
    if (!parse.error.isEmpty()) {
        r.code = CtlSession::ExitUsage;
        return r;
    }
    const CtlOptions& o = parse.options;
    CtlSession::Setup setup{o.port,    true,      o.settings,   o.timeoutMs,         o.json,
                            o.actions, o.logFile, std::nullopt, {20, 20, 100, 5000}, std::nullopt};
    if (!o.passwordFile.isEmpty()) {
        const Result<QByteArray> password = readPasswordFile(o.passwordFile);
        if (!password) {
            r.err = password.failure().description.toUtf8();
            r.code = CtlSession::ExitPortFailed;
            return r;
        }
        setup.password = password.value();
    }
    CtlSession session(
        setup, [&r](const QString& line) { r.out += line.toUtf8() + '\n'; },
        [&r](const QString& line) { r.err += line.toUtf8() + '\n'; });
    QObject::connect(&session, &CtlSession::finished, [&r](int code) { r.code = code; });
    session.start();
    waitFor([&r] { return r.code >= 0; }, 30000);
    return r;
}

// The projector's end of the line. Each command (up to its CR) draws the next scripted answer:
// its pieces are written pieceGapMs apart; no pieces is silence. "vanish" closes the line, as
// an unplugged adapter does; "flood" pours ACKs without a CR until the line is closed.
class FarEnd : public QObject {
public:
    QList<QByteArrayList> answers;
    int pieceGapMs = 100;
    QByteArray wire;
    QList<int> speeds; // the line speed as each command arrived

    FarEnd() {
        connect(&pty, &PtyPair::readyRead, this, [this] {
            wire += pty.readAll();
            while (wire.count('\r') > answered) {
                speeds << pty.lineSpeed();
                answer(answers.value(answered++));
            }
        });
        connect(&flood, &QTimer::timeout, this, [this] { pty.write(QByteArray(4096, '\x06')); });
    }
    QString device() const { return pty.devicePath(); }

private:
    void answer(const QByteArrayList& pieces) {
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            const QByteArray piece = pieces[i];
            QTimer::singleShot(int(i) * pieceGapMs, this, [this, piece] {
                if (piece == "vanish") {
                    flood.stop();
                    pty.close();
                } else if (piece == "flood") {
                    flood.start(0);
                } else {
                    pty.write(piece);
                }
            });
        }
    }

    PtyPair pty;
    QTimer flood;
    int answered = 0;
};

QStringList withDevice(QStringList args, const QString& device) {
    args.replaceInStrings(QStringLiteral("@far"), device);
    return args;
}

using Answers = QList<QByteArrayList>;

} // namespace

class TestCtl : public QObject {
    Q_OBJECT
private slots:
    void listNamesEveryButtonOnce();
    void wireBytes_data();
    void wireBytes();
    void readings_data();
    void readings();
    void panelReadsTheSame_data();
    void panelReadsTheSame();
    void windowsAndCaptionsAreThePanels();
    void jsonShape();
    void exitCodes_data();
    void exitCodes();
    void floodStaysBounded();
    void readerGoneIsExitOne();
    void lateRepliesNeverCredited();
    void oneObjectPerAction_data();
    void oneObjectPerAction();
    void listAsJson();
    void droppedServer_data();
    void droppedServer();
    void sameMistakeAsThePanel_data();
    void sameMistakeAsThePanel();
    void logsEveryExchange();
};

void TestCtl::listNamesEveryButtonOnce() {
    const Run r = runCtl({QStringLiteral("--list")});
    QCOMPARE(r.code, 0);
    const QStringList lines = QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), qsizetype(oneShotBindings().size() + holdBindings().size()));
    const QRegularExpression shape(QStringLiteral("^[a-z0-9]+(-[a-z0-9]+)* +[A-Z0-9 ]+ {2,}\\S"));
    QSet<QString> names;
    for (const QString& line : lines) {
        QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        names << line.section(u' ', 0, 0);
    }
    QCOMPARE(names.size(), lines.size());
    const QRegularExpression padUp(QStringLiteral("^pad-up +C3C +↑$"));
    QCOMPARE(lines.filter(padUp).size(), 1);
}

void TestCtl::wireBytes_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<int>("speed");
    // Names and codes typed out independently of the binding table.
    const auto row = [](const char* name, const char* wire) {
        QTest::newRow(name) << QStringList{QString::fromLatin1(name)} << QByteArray(wire) << 19200;
    };
    row("power-on", "C00\r");
    row("power-off", "C01\r");
    row("status", "CR0\r");
    row("lamp-time", "CR3\r");
    row("pressure", "CR PRESSURE\r");
    row("picture-real", "CF IMAGE REAL\r");
    row("terminal-2-video", "C23\r");
    row("terminal-3-video", "C33\r");
    row("no-show-on", "C0D\r");
    row("pad-up", "C3C\r");
    row("lens-shift-right", "C60\r");
    QTest::newRow("raw, between named") << QStringList{"mode", "--raw", "CF IMAGE REAL", "temp"}
                                        << QByteArray("CR1\rCF IMAGE REAL\rCR6\r") << 19200;
    QTest::newRow("raw=") << QStringList{"--raw=CR9"} << QByteArray("CR9\r") << 19200;
    QTest::newRow("names in any case")
        << QStringList{"STATUS", "Power-On"} << QByteArray("CR0\rC00\r") << 19200;
    QTest::newRow("9600 baud") << QStringList{"--baud", "9600", "setting"} << QByteArray("CR4\r")
                               << 9600;
    QStringList all;
    QByteArray allWire;
    for (const OneShotBinding& b : oneShotBindings()) {
        all << QLatin1String(b.name);
        allWire += QByteArray(b.code) + '\r';
    }
    for (const HoldBinding& h : holdBindings()) {
        all << QLatin1String(h.name);
        allWire += QByteArray(h.code) + '\r';
    }
    QTest::newRow("every name, one run") << all << allWire << 19200;
    // The same bytes reach the line when a bridge holds it (the bridge's speed).
    QTest::newRow("every name, one run, through a bridge")
        << QStringList{"--port", "@bridge"} + all << allWire << 19200;
}

void TestCtl::wireBytes() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, wire);
    QFETCH(int, speed);
    FarEnd far;
    for (qsizetype i = 0; i < args.size(); ++i) {
        far.answers << QByteArrayList{"\x06\r"};
    }
    BridgeProcess bridge;
    if (args.contains(QLatin1String("@bridge"))) {
        QVERIFY(bridge.start(far.device()));
        args.replaceInStrings(QStringLiteral("@bridge"), bridge.url());
    } else {
        args = QStringList{"--port", far.device()} + args;
    }
    const Run r = runSession(args);
    QCOMPARE(r.code, 0);
    QCOMPARE(far.wire, wire);
    QCOMPARE(far.speeds.value(0), speed);
    QCOMPARE(r.out.count('\n'), qsizetype(wire.count('\r')));
}

void TestCtl::readings_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("status") << QStringList{"status"} << Answers{{"00\r"}}
                            << QByteArray(" Power ON\n");
    QTest::newRow("status in pieces")
        << QStringList{"status"} << Answers{{"0", "0\r"}} << QByteArray(" Power ON\n");
    QTest::newRow("pressure") << QStringList{"pressure"} << Answers{{"250\r"}}
                              << QByteArray("372 hPa\n");
    QTest::newRow("lamp hours in pieces")
        << QStringList{"lamp-time"} << Answers{{"12", "3", "45\r"}}
        << QByteArray(" 1 2 3 4 5 CR  Hour Use\n");
    QTest::newRow("acknowledged") << QStringList{"power-on"} << Answers{{"\x06\r"}}
                                  << QByteArray(" ACK CR \n");
    QTest::newRow("reply ends at its CR")
        << QStringList{"mode"} << Answers{{"2\r3\r"}} << QByteArray(" Input mode 2\n");
    QTest::newRow("two actions") << QStringList{"status", "mode"} << Answers{{"00\r"}, {"4\r"}}
                                 << QByteArray(" Power ON\n Input mode 4\n");
}

void TestCtl::readings() {
    QFETCH(QStringList, args);
    QFETCH(Answers, answers);
    QFETCH(QByteArray, out);
    FarEnd far;
    far.answers = answers;
    const Run r = runCtl(QStringList{"--port", far.device()} + args);
    QCOMPARE(r.out, out);
}

void TestCtl::panelReadsTheSame_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("STATUS") << "Command44"
                            << "status" << QByteArray("21\r");
    QTest::newRow("STATUS, odd bytes") << "Command44"
                                       << "status"
                                       << QByteArray("\x14\x7f"
                                                     "0\r");
    QTest::newRow("MODE") << "Command45"
                          << "mode" << QByteArray("3\r");
    QTest::newRow("L-TIME") << "Command46"
                            << "lamp-time" << QByteArray("0123456789012345678901\r");
    QTest::newRow("SETTING") << "Command47"
                             << "setting" << QByteArray("01\r");
    QTest::newRow("TEMP") << "Command54"
                          << "temp" << QByteArray("+38.5 +41.0 +29.5\r");
    // Octal, since a hexadecimal reading would run on into the C of the rendered CR.
    QTest::newRow("PRESSURE octal") << "Command68"
                                    << "pressure" << QByteArray("&O764\r");
    QTest::newRow("P-FAIL") << "Command52"
                            << "p-fail" << QByteArray("\x15\r");
    QTest::newRow("terminal RGB") << "Command64"
                                  << "terminal-1-rgb" << QByteArray("\xff\x06\r");
}

void TestCtl::panelReadsTheSame() {
    QFETCH(QString, control);
    QFETCH(QString, action);
    QFETCH(QByteArray, reply);

    PanelRig rig;
    rig.load();
    Form1& f = rig.form();
    QTest::mouseClick(f.findChild<QPushButton*>(control), Qt::LeftButton);
    seam(f).Timer2->stop();
    seam(f).Timer4->stop();
    rig.wire(1);
    rig.reply(reply);
    QVERIFY(waitFor([&] { return rig.line("Label12").endsWith(QLatin1String("CR ")); }));
    const QString status = rig.line("Label22");
    const QString panel = status.isEmpty() ? rig.line("Label12") : status;

    FarEnd far;
    far.answers = {{reply}, {reply}};
    const Run r = runCtl({"--port", far.device(), action});
    QCOMPARE(r.code, reply == "\x15\r" ? 4 : 0);
    QCOMPARE(QString::fromUtf8(r.out), panel + QLatin1Char('\n'));
    // The values beside the text: the same status line, and a table's row is what the panel's
    // received line shows.
    const Run json = runCtl({"--port", far.device(), "--json", action});
    const QJsonObject o = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(o["status"].toString(), status);
    QCOMPARE(o["transcript"].toString(), rig.line("Label12"));
    const QString row = o["values"].toObject()["row"].toString();
    QVERIFY(rig.line("Label12").remove(u' ').startsWith(row));
}

void TestCtl::windowsAndCaptionsAreThePanels() {
    PanelRig rig;
    rig.load();
    Form1& f = rig.form();
    const int stored = seam(f).Timer2->interval();
    QCOMPARE(stored, StoredReplyWindowMs);
    const auto check = [&](const char* control, const char* name, const char* caption,
                           const std::function<void(QPushButton*)>& send) {
        auto* button = f.findChild<QPushButton*>(QLatin1String(control));
        QVERIFY(button);
        QCOMPARE(button->text(), QString::fromUtf8(caption));
        seam(f).Timer2->setInterval(stored);
        send(button);
        QCOMPARE(findNamedAction(QLatin1String(name)).value().windowMs, seam(f).Timer2->interval());
    };
    for (const OneShotBinding& b : oneShotBindings()) {
        check(b.control, b.name, b.caption,
              [](QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); });
    }
    for (const HoldBinding& h : holdBindings()) {
        // The ctl's window for an arrow is the stored one, as the panel's before any menu key.
        seam(f).PadMode = 0;
        check(h.control, h.name, h.caption, [&](QPushButton* button) {
            QTest::mousePress(button, Qt::LeftButton);
            seam(f).Timer1->stop();
        });
        QTest::mouseRelease(f.findChild<QPushButton*>(QLatin1String(h.control)), Qt::LeftButton);
    }
    QCOMPARE(rawAction(QStringLiteral("C00")).windowMs, FreeTextReplyWindowMs);
}

void TestCtl::jsonShape() {
    FarEnd far;
    far.answers = {{"00\r"}, {"\xff\x06\r"}, {}};
    const Run r = runCtl(
        {"--port", far.device(), "--json", "--timeout", "1000", "status", "--raw", "C0D", "temp"});
    QCOMPARE(r.code, 3);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    for (const char c : r.out) {
        QVERIFY2(uchar(c) < 0x80, "JSON output is plain ASCII");
    }
    QList<QJsonObject> objects;
    for (const QByteArray& line : lines) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        QVERIFY2(doc.isObject(), qPrintable(error.errorString()));
        objects << doc.object();
    }
    QJsonObject status = objects[0];
    QVERIFY(status.take("ms").toDouble(-1) >= 0);
    QCOMPARE(status, (QJsonObject{{"action", "status"},
                                  {"code", "CR0"},
                                  {"sent", "CR0\r"},
                                  {"received", "00\r"},
                                  {"transcript", " 0 0 CR "},
                                  {"status", " Power ON"},
                                  {"values", QJsonObject{{"row", "00"}, {"power", "on"}}},
                                  {"windowMs", 1000},
                                  {"result", "answered"},
                                  {"error", QJsonValue()},
                                  {"ok", true}}));
    QJsonObject raw = objects[1];
    QVERIFY(raw.take("ms").toDouble(-1) >= 0);
    QCOMPARE(raw, (QJsonObject{{"action", "raw"},
                               {"code", "C0D"},
                               {"sent", "C0D\r"},
                               {"received", QStringLiteral("\u00ff\u0006\r")},
                               {"transcript", " ? ACK CR "},
                               {"status", QJsonValue()},
                               {"values", QJsonObject()},
                               {"windowMs", 1000},
                               {"result", "answered"},
                               {"error", QJsonValue()},
                               {"ok", true}}));
    QJsonObject silent = objects[2];
    QVERIFY(silent.take("error").toString().contains(far.device()));
    QCOMPARE(silent, (QJsonObject{{"action", "temp"},
                                  {"code", "CR6"},
                                  {"sent", "CR6\r"},
                                  {"received", ""},
                                  {"transcript", " X X X X"},
                                  {"status", QJsonValue()},
                                  {"values", QJsonObject()},
                                  {"ms", QJsonValue()},
                                  {"windowMs", 1000},
                                  {"result", "no-reply"},
                                  {"ok", false}}));
}

void TestCtl::exitCodes_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("err"); // in the one message line (or every line) on stderr
    QTest::newRow("answered") << QStringList{"--port", "@far", "status"} << Answers{{"80\r"}} << 0
                              << QByteArray(" Stand by\n") << QString();
    QTest::newRow("silent, the panel's window")
        << QStringList{"--port", "@far", "status"} << Answers{} << 3 << QByteArray(" X X X X\n")
        << "COM1 (@far): no reply to status (CR0) within 500 ms";
    QTest::newRow("silent, --timeout cuts a 5 s window")
        << QStringList{"--port", "@far", "--timeout", "300", "terminal-1-rgb"} << Answers{} << 3
        << QByteArray(" X X X X\n") << "within 300 ms";
    QTest::newRow("reply without its CR")
        << QStringList{"--port", "@far", "status"} << Answers{{"0"}} << 3 << QByteArray(" 0 \n")
        << "did not end";
    QTest::newRow("one of two silent")
        << QStringList{"--port", "@far", "status", "mode"} << Answers{{}, {"1\r"}} << 3
        << QByteArray(" X X X X\n Input mode 1\n") << "no reply to status";
    QTest::newRow("pressure out of range")
        << QStringList{"--port", "@far", "pressure"} << Answers{{"6554\r"}} << 1
        << QByteArray(" 6 5 5 4 CR \n") << "out of range";
    QTest::newRow("no such device")
        << QStringList{"--port", "/dev/rmq27-no-such-port", "status"} << Answers{} << 1
        << QByteArray()
        << "COM1 (/dev/rmq27-no-such-port): the device does not exist (No such file or directory); "
           "check the device given with --port";
    QTest::newRow("vanishes mid-action")
        << QStringList{"--port", "@far", "status", "mode"} << Answers{{"0", "vanish"}} << 1
        << QByteArray() << "COM1 (@far): the device is gone";
    QTest::newRow("refused") << QStringList{"--port", "@far", "--raw", "BOGUS"}
                             << Answers{{"\x15\r"}} << 4 << QByteArray(" ? CR \n")
                             << "the projector refused raw (BOGUS) (NAK)";
    QTest::newRow("refused by the simulated projector")
        << QStringList{"--simulate", "--raw", "BOGUS"} << Answers{} << 4 << QByteArray(" ? CR \n")
        << "refused";
    QTest::newRow("silent beats refused")
        << QStringList{"--port", "@far", "p-fail", "status"} << Answers{{"\x15\r"}, {}} << 3
        << QByteArray(" ? CR \n X X X X\n") << "refused p-fail";
    QTest::newRow("simulated projector")
        << QStringList{"--simulate", "power-on", "status"} << Answers{} << 0
        << QByteArray(" ACK CR \n Count down\n") << QString();
    // Through a bridge on the far end (@bridge), with the password in a file of the test's.
    QTest::newRow("bridged: answered and refused")
        << QStringList{"--port", "@bridge", "status", "--raw", "BOGUS"}
        << Answers{{"80\r"}, {"\x15\r"}} << 4 << QByteArray(" Stand by\n ? CR \n")
        << "the projector refused raw (BOGUS) (NAK)";
    QTest::newRow("bridged: silent, the panel's window")
        << QStringList{"--port", "@bridge", "status"} << Answers{} << 3 << QByteArray(" X X X X\n")
        << "no reply to status (CR0) within 500 ms";
    QTest::newRow("bridged: the right password")
        << QStringList{"--port", "@bridge", "--password-file", "@right", "--json", "lamp-time"}
        << Answers{{"01234\r"}} << 0
        << QByteArray("{\"action\":\"lamp-time\",\"code\":\"CR3\",\"error\":null,") << QString();
    QTest::newRow("bridged: a wrong password")
        << QStringList{"--port", "@bridge", "--password-file", "@wrong", "status"} << Answers{} << 1
        << QByteArray() << "refused the password; check the file given with --password-file";
    QTest::newRow("bridged: no password")
        << QStringList{"--port", "@bridge!", "status"} << Answers{} << 1 << QByteArray()
        << "asks for a password; give the bridge's password in a file with --password-file";
    QTest::newRow("bridged: a password file others may read")
        << QStringList{"--port", "@bridge", "--password-file", "@open", "status"} << Answers{} << 1
        << QByteArray() << "may be read or written by others";

    const auto usage = [](const char* name, const QStringList& args, const char* err) {
        QTest::newRow(name) << args << Answers{} << 2 << QByteArray() << QString::fromLatin1(err);
    };
    usage("no action", {"--port", "/dev/null"}, "no action");
    usage("unknown action", {"power-up"}, "unknown action \"power-up\"");
    usage("unknown option", {"--verbose", "status"}, "unknown option --verbose");
    usage("baud", {"--baud", "4800", "status"}, "--baud");
    usage("timeout zero", {"--timeout", "0", "status"}, "--timeout");
    usage("timeout text", {"--timeout", "soon", "status"}, "--timeout");
    usage("raw without code", {"--raw"}, "--raw needs a value");
    usage("raw with two lines", {"--raw", "C00\rC01"}, "--raw");
    usage("raw beyond one byte", {"--raw", "C\u20ac"}, "--raw");
    usage("flag with value", {"--json=yes", "status"}, "unknown option");
    usage("simulate and port", {"--simulate", "--port", "/dev/null", "status"}, "--simulate");
    usage("port takes an option", {"--port", "--json", "status"}, "--port needs a device");
    usage("port twice", {"--port", "/dev/null", "--port", "/dev/zero", "status"},
          "--port is given more than once");
    usage("malformed device URL", {"--port", "rfc2217://127.0.0.1", "status"},
          "--port rfc2217://127.0.0.1");
    usage("empty raw code", {"--raw", ""}, "--raw needs a code");
    usage("nearest name", {"--simulate", "statsu"}, "did you mean \"status\"");
    usage("list with an action", {"--list", "status"}, "--list");
    usage("password file without a bridge",
          {"--port", "/dev/null", "--password-file", "p", "status"},
          "--password-file is for a bridge");
    usage("baud with a bridge", {"--port", "rmq27://127.0.0.1:4360", "--baud", "9600", "status"},
          "--baud cannot be given with a bridge");
}

void TestCtl::exitCodes() {
    QFETCH(QStringList, args);
    QFETCH(Answers, answers);
    QFETCH(int, code);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);
    FarEnd far;
    far.answers = answers;
    // @bridge: a bridge on the far end; "@bridge!" one that asks for the password of @right.
    QTemporaryDir dir;
    const auto file = [&dir](const char* name, const QByteArray& content, int mode) {
        QFile f(dir.filePath(QLatin1String(name)));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() &&
               f.setPermissions(QFile::Permissions(mode));
    };
    QVERIFY(file("right", "Hall A!\n", 0x6000));
    QVERIFY(file("wrong", "hall a!\n", 0x6000));
    QVERIFY(file("open", "Hall A!\n", 0x6444));
    BridgeProcess bridge;
    const bool password = args.join(u' ').contains(QLatin1String("@bridge!")) ||
                          args.contains(QLatin1String("--password-file"));
    if (args.join(u' ').contains(QLatin1String("@bridge"))) {
        QVERIFY(bridge.start(far.device(),
                             password ? QStringList{"--password-file", dir.filePath("right")}
                                      : QStringList{}));
        for (const char* name : {"right", "wrong", "open"}) {
            args.replaceInStrings(QLatin1Char('@') + QLatin1String(name),
                                  dir.filePath(QLatin1String(name)));
        }
        args.replaceInStrings(QRegularExpression(QStringLiteral("^@bridge!?$")), bridge.url());
    }
    const Run r = runCtl(withDevice(args, far.device()));
    QCOMPARE(r.code, code);
    if (args.contains(QLatin1String("--json"))) {
        QVERIFY2(r.out.startsWith(out), r.out.constData()); // the same JSON as on a direct line
    } else {
        QCOMPARE(r.out, out);
    }
    // A window ends the wait: the program ended by itself, with its output whole.
    QVERIFY2(r.out.isEmpty() || r.out.endsWith('\n'), r.out.constData());
    const QStringList lines = QString::fromUtf8(r.err).split(u'\n', Qt::SkipEmptyParts);
    if (code == 0) {
        QVERIFY2(lines.isEmpty(), r.err.constData());
        return;
    }
    // One message for a failed port or a usage error; one per unanswered action otherwise.
    QVERIFY2(code == 3 || code == 4 || lines.size() == 1, r.err.constData());
    // Advice for a shell, never the panel's.
    QVERIFY2(!r.err.contains("choose the port"), r.err.constData());
    QVERIFY2(lines[0].contains(withDevice({err}, far.device())[0]), r.err.constData());
    QVERIFY2(!r.err.contains("Hall A!"), r.err.constData()); // a password is never shown
}

void TestCtl::floodStaysBounded() {
    FarEnd far;
    far.answers = {{"flood"}};
    const Run r = runCtl({"--port", far.device(), "--timeout", "1500", "status"});
    QCOMPARE(r.code, 3);
    QVERIFY2(r.out.endsWith('\n'), r.out.right(16).constData());
    // At most the bytes the panel keeps for one reply, four characters each, and a newline.
    QVERIFY2(r.out.size() <= 1 + 4 * 32767 + 1, qPrintable(QString::number(r.out.size())));
    QVERIFY(r.out.startsWith(" ACK ACK "));
    QVERIFY2(r.peakRssKb < 96 * 1024, qPrintable(QString::number(r.peakRssKb)));
}

void TestCtl::readerGoneIsExitOne() {
    // rmq27-ctl ... | true: the reader is gone before the first line, which is a failed run (1),
    // not a death by SIGPIPE (141).
    QProcess p;
    p.start(QStringLiteral("bash"),
            {QStringLiteral("-c"),
             QStringLiteral("\"$0\" --simulate status status | true; exit ${PIPESTATUS[0]}"),
             QCoreApplication::applicationDirPath() + QStringLiteral("/rmq27-ctl")});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 1);
}

void TestCtl::lateRepliesNeverCredited() {
    // Every answer comes 0.6 s late: the status query's answer must never pass for power-off's.
    FarEnd far;
    far.pieceGapMs = 600;
    far.answers = {{"", "80\r"}, {"", "\x06\r"}, {"", "1\r"}};
    const Run r = runCtl({"--port", far.device(), "--json", "status", "power-off", "mode"});
    QCOMPARE(r.code, 3);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    for (const QByteArray& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        QCOMPARE(o["result"].toString(), QStringLiteral("no-reply"));
        QCOMPARE(o["received"].toString(), QString());
        QCOMPARE(o["ok"], QJsonValue(false));
    }
}

void TestCtl::oneObjectPerAction_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("results");
    QTest::newRow("no such device")
        << QStringList{"--port", "/dev/rmq27-no-such-port", "status", "mode"} << Answers{} << 1
        << QStringList{"port-failed", "port-failed"};
    QTest::newRow("gone after 3 of 5")
        << QStringList{"--port", "@far", "status", "mode", "temp", "status", "mode"}
        << Answers{{"00\r"}, {"1\r"}, {"+38.5 +41.0 -29.5\r", "vanish"}} << 1
        << QStringList{"answered", "answered", "answered", "port-failed", "port-failed"};
    QTest::newRow("every kind") << QStringList{"--port",   "@far",      "--timeout", "2000",
                                               "power-on", "lamp-time", "p-fail",    "status"}
                                << Answers{{"\x06\r"}, {"01234\r"}, {"\x15\r"}, {}} << 3
                                << QStringList{"acknowledged", "answered", "refused", "no-reply"};
}

void TestCtl::oneObjectPerAction() {
    QFETCH(QStringList, args);
    QFETCH(Answers, answers);
    QFETCH(int, code);
    QFETCH(QStringList, results);
    FarEnd far;
    far.answers = answers;
    const Run r = runCtl(withDevice(args, far.device()) << "--json");
    QCOMPARE(r.code, code);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), results.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
        QCOMPARE(o["result"].toString(), results[i]);
        const bool ok = results[i] == "answered" || results[i] == "acknowledged";
        QCOMPARE(o["ok"], QJsonValue(ok));
        QCOMPARE(o["error"].isString(), !ok);
        if (results[i] == "port-failed") {
            QVERIFY2(o["error"].toString().contains("COM1 ("), lines[i].constData());
        }
        // Readings as values, beside the panel's text.
        const QJsonObject values = o["values"].toObject();
        if (o["code"] == "CR3" && ok) {
            QCOMPARE(values["lampHours"].toInteger(), 1234);
            QCOMPARE(o["status"].toString(), QStringLiteral(" 0 1 2 3 4 CR  Hour Use"));
        } else if (o["code"] == "CR6" && ok) {
            QCOMPARE(values["temperatureText"].toArray(), (QJsonArray{"+38.5", "+41.0", "-29.5"}));
            QCOMPARE(values["temperatureCelsius"].toArray(), (QJsonArray{38.5, 41.0, -29.5}));
        }
    }
}

void TestCtl::listAsJson() {
    const Run r = runCtl({"--list", "--json"});
    QCOMPARE(r.code, 0);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), qsizetype(oneShotBindings().size() + holdBindings().size()));
    const QJsonObject first = QJsonDocument::fromJson(lines.front()).object();
    QCOMPARE(first["name"].toString(), QLatin1String(oneShotBindings().front().name));
    QCOMPARE(first["code"].toString(), QLatin1String(oneShotBindings().front().code));
    QVERIFY(first["windowMs"].toInt() > 0);
}

void TestCtl::droppedServer_data() {
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<int>("closeAfterMs");
    QTest::newRow("drops the line") << QByteArray() << 200;
    // What ser2net says to a second client of a port in use, before it hangs up.
    QTest::newRow("port already in use") << QByteArray("Port already in use\r\n") << 0;
}

void TestCtl::droppedServer() {
    // A device server that takes the connection and drops it: never a success, never an answer,
    // and the advice is a shell's.
    QFETCH(QByteArray, greeting);
    QFETCH(int, closeAfterMs);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket* socket = server.nextPendingConnection();
        socket->write(greeting);
        socket->flush();
        QTimer::singleShot(closeAfterMs, socket, [socket] { socket->disconnectFromHost(); });
    });
    const Run r = runCtl({"--port", QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()),
                          "--json", "--timeout", "3000", "status"});
    QCOMPARE(r.code, 1);
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(o["result"].toString(), QStringLiteral("port-failed"));
    QCOMPARE(o["received"].toString(), QString());
    QVERIFY2(!r.err.isEmpty() && !r.err.contains("choose the port"), r.err.constData());
}

void TestCtl::sameMistakeAsThePanel_data() {
    QTest::addColumn<QStringList>("panel");
    QTest::addColumn<QStringList>("ctl");
    QTest::addColumn<QString>("panelNames"); // what each first line names
    QTest::addColumn<QString>("ctlNames");
    const auto row = [](const char* name, const QStringList& panel, const QStringList& ctl,
                        const char* panelNames, const char* ctlNames) {
        QTest::newRow(name) << panel << ctl << QString::fromLatin1(panelNames)
                            << QString::fromLatin1(ctlNames);
    };
    row("missing value", {"--com1"}, {"status", "--port"}, "--com1", "--port");
    row("empty value", {"--com1", ""}, {"--port", "", "status"}, "--com1", "--port");
    row("option as value", {"--com1", "--simulate"}, {"--port", "--json", "status"}, "--com1",
        "--port");
    row("given twice", {"--com1", "/dev/null", "--com1", "/dev/zero"},
        {"--port", "/dev/null", "--port", "/dev/zero", "status"}, "--com1", "--port");
    row("unknown option", {"--bogus"}, {"--bogus", "status"}, "bogus", "bogus");
    row("contradiction", {"--com1", "/dev/null", "--simulate"},
        {"--port", "/dev/null", "--simulate", "status"}, "--simulate", "--simulate");
}

void TestCtl::sameMistakeAsThePanel() {
    QFETCH(QStringList, panel);
    QFETCH(QStringList, ctl);
    QFETCH(QString, panelNames);
    QFETCH(QString, ctlNames);
    QProcess p;
    p.start(QStringLiteral(RMQ27_PANEL_PROGRAM), panel);
    QVERIFY(p.waitForFinished(30000));
    const Run c = runCtl(ctl);
    const QByteArray panelLine = p.readAllStandardError().split('\n').value(0);
    const QByteArray ctlLine = c.err.split('\n').value(0);
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(c.code, 2);
    QVERIFY2(panelLine.startsWith("rmq27-panel: ") && panelLine.contains(panelNames.toUtf8()),
             panelLine.constData());
    QVERIFY2(ctlLine.startsWith("rmq27-ctl: ") && ctlLine.contains(ctlNames.toUtf8()),
             ctlLine.constData());
    QVERIFY(c.out.isEmpty());
}

void TestCtl::logsEveryExchange() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ctl.log"));
    FarEnd far;
    far.answers = {{"80\r"}, {"\x06\r"}};
    const Run r = runCtl({"--port", far.device(), "--log", path, "status", "power-on"});
    QCOMPARE(r.code, 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList events;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split('\t');
        if (f.size() == 7) {
            QCOMPARE(QString::fromUtf8(f[2]), far.device());
            events << QString::fromUtf8(f[3] + '|' + f[4] + '|' + f[6]);
        }
    }
    QCOMPARE(events, (QStringList{"opened||", "sent|43 52 30 0D|", "received|38 30 0D| Stand by",
                                  "sent|43 30 30 0D|", "received|06 0D|", "closed||"}));

    // A log that cannot be kept is one warning; the actions run all the same.
    FarEnd second;
    second.answers = {{"80\r"}};
    const Run unkept =
        runCtl({"--port", second.device(), "--log", "/nonexistent-rmq27-dir/ctl.log", "status"});
    QCOMPARE(unkept.code, 0);
    QCOMPARE(unkept.out, QByteArray(" Stand by\n"));
    QCOMPARE(unkept.err.count('\n'), 1);
    QVERIFY2(unkept.err.contains("/nonexistent-rmq27-dir/ctl.log"), unkept.err.constData());
}

QTEST_MAIN(TestCtl)
#include "test_ctl.moc"
