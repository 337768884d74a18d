// rmq27-bridge: the PJLink tables as pure functions, the line queue's order, and the server's
// limits over a plain socket with a stand-in serial line.

#include "bridge/bridge_options.h"
#include "bridge/line_queue.h"
#include "bridge/metrics/status_poller.h"
#include "bridge/native_server.h"
#include "bridge/pjlink_protocol.h"
#include "bridge/pjlink_server.h"
#include "bridge/web/web_security.h"
#include "bridge/web/web_server.h"
#include "bridge/web/web_status.h"
#include "core/password_file.h"
#include "support/pjlink_test_client.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <utility>

Q_DECLARE_METATYPE(LineAnswer)

namespace {

using O = LineAnswer::Outcome;

LineAnswer answered(const QString& row) {
    return LineAnswer{O::Answered, row, std::nullopt};
}

// A serial line that answers from a script, a little later, and notes every command. While held
// it keeps its answer until released.
class ScriptedLine : public LineRunner {
public:
    bool up = true;
    QStringList started;
    QList<bool> ownPace;                // for each start
    QHash<QString, LineAnswer> replies; // by code; others: otherwise
    LineAnswer otherwise{O::NoReply, {}, {}};
    int delayMs = 0;
    bool hold = false;
    std::optional<LineAnswer> held;

    bool isUp() const override { return up; }
    void start(const QString& code, bool pace) override {
        started << code;
        ownPace << pace;
        const LineAnswer a = replies.value(code, otherwise);
        if (hold) {
            held = a;
            return;
        }
        QTimer::singleShot(delayMs, this, [this, a] { emit answered(a); });
    }
    void release() {
        hold = false;
        if (const std::optional<LineAnswer> a = std::exchange(held, std::nullopt)) {
            QTimer::singleShot(0, this, [this, a] { emit answered(*a); });
        }
    }
};

} // namespace

class TestBridge : public QObject {
    Q_OBJECT
private slots:
    void handling_data();
    void handling();
    void powerTable_data();
    void powerTable();
    void answers_data();
    void answers();
    void digestAndName();
    void listenRules_data();
    void listenRules();
    void passwordFile_data();
    void passwordFile();

    void queueTakesTurnsAndPollsWhenDue();
    void queueSharesOneRunAmongIdenticalQueries();
    void queueStopsAtAFailedStepAndForgetsGoneOwners();
    void queueAnswersAtOnceWhileSilent_data();
    void queueAnswersAtOnceWhileSilent();

    void badInputClosesOnlyThatConnection_data();
    void badInputClosesOnlyThatConnection();
    void junkConnectionsLeaveMemoryFlat();
    void connectionLimitsHold();
    void authentication_data();
    void authentication();
    void endOfInputIsAnswered_data();
    void endOfInputIsAnswered();
    void strangersCannotCrowdOut_data();
    void strangersCannotCrowdOut();

    void webRequestGuards_data();
    void webRequestGuards();
    void webSignInThrottle_data();
    void webSignInThrottle();
    void webSessions();
    void webSignInWaitsOnATimer();
    void webControlsUsePjlinkCodes_data();
    void webControlsUsePjlinkCodes();
};

// Each command line: the reply it gets at once, or the serial commands it runs. Every command
// of the table runs end to end in test_bridge_line; these are the cases only seen here.
void TestBridge::handling_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("header"); // what the reply repeats
    QTest::addColumn<QByteArray>("answer"); // immediate answer; empty when codes run
    QTest::addColumn<QStringList>("codes");
    const QByteArray none;
    QTest::newRow("POWR ?") << QByteArray("%1POWR ?") << QByteArray("%1POWR") << none
                            << QStringList{"CR0"};
    QTest::newRow("POWR no parameter")
        << QByteArray("%1POWR") << QByteArray("%1POWR") << QByteArray("ERR2") << QStringList();
    QTest::newRow("LAMP ?") << QByteArray("%1LAMP ?") << QByteArray("%1LAMP") << none
                            << QStringList{"CR3", "CR0"};
    QTest::newRow("ERST ?") << QByteArray("%1ERST ?") << QByteArray("%1ERST") << none
                            << QStringList{"CR0"};
    QTest::newRow("CLSS set") << QByteArray("%1CLSS 1") << QByteArray("%1CLSS")
                              << QByteArray("ERR2") << QStringList();
    QTest::newRow("class 2 only") << QByteArray("%2SNUM ?") << QByteArray("%2SNUM")
                                  << QByteArray("ERR1") << QStringList();
    QTest::newRow("unknown") << QByteArray("%1XXXX ?") << QByteArray("%1XXXX") << QByteArray("ERR1")
                             << QStringList();
    QTest::newRow("lower case") << QByteArray("%1powr ?") << QByteArray("%1powr") << none
                                << QStringList{"CR0"};
    // A command is four characters up to the separator: one longer is unknown, and the reply
    // repeats it whole.
    QTest::newRow("five characters")
        << QByteArray("%1POWRX ?") << QByteArray("%1POWRX") << QByteArray("ERR1") << QStringList();
    QTest::newRow("no separator") << QByteArray("%1POWR1") << QByteArray("%1POWR1")
                                  << QByteArray("ERR1") << QStringList();
    QTest::newRow("three characters")
        << QByteArray("%1POW ?") << QByteArray("%1POW") << QByteArray("ERR1") << QStringList();
}

void TestBridge::handling() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, codes);
    pjlink::Identity id;
    id.name = "Hall A";
    id.info = "rmq27-bridge 1.40";
    QVERIFY(pjlink::isCommandLine(line));
    const pjlink::Handling h = pjlink::handle(line, id);
    QCOMPARE(h.header, header);
    QCOMPARE(h.codes, codes);
    if (codes.isEmpty()) {
        QCOMPARE(h.answer, answer);
    }
}

// The power status reply's rows, read as POWR, ERST and the lamp's lit flag.
void TestBridge::powerTable_data() {
    QTest::addColumn<QString>("row");
    QTest::addColumn<QByteArray>("power");
    QTest::addColumn<QByteArray>("errors");
    QTest::addColumn<QByteArray>("lamp"); // with 1234 lamp hours
    const struct {
        const char* row;
        const char* power;
        const char* errors;
        const char* lamp;
    } rows[] = {
        {"00", "1", "000000", "1234 1"},    {"80", "0", "000000", "1234 0"},
        {"40", "3", "000000", "1234 1"},    {"20", "2", "000000", "1234 0"},
        {"10", "ERR4", "000002", "1234 0"}, {"08", "1", "001000", "1234 1"},
        {"04", "0", "000000", "1234 0"},    {"28", "2", "001000", "1234 0"},
        {"24", "0", "001000", "1234 0"},    {"88", "0", "001000", "1234 0"},
        {"21", "2", "020000", "1234 0"},    {"81", "0", "020000", "1234 0"},
        {"02", "1", "000000", "1234 1"},    {"99", "ERR4", "ERR4", "ERR4"},
        {"", "ERR4", "ERR4", "ERR4"},
    };
    for (const auto& r : rows) {
        QTest::newRow(*r.row ? r.row : "no row")
            << QString::fromLatin1(r.row) << QByteArray(r.power) << QByteArray(r.errors)
            << QByteArray(r.lamp);
    }
}

void TestBridge::powerTable() {
    QFETCH(QString, row);
    QFETCH(QByteArray, power);
    QFETCH(QByteArray, errors);
    QFETCH(QByteArray, lamp);
    const LineAnswer cr0 = row.isEmpty() ? LineAnswer{O::Answered, {}, {}} : answered(row);
    QCOMPARE(pjlink::answerFrom(pjlink::Mapping::Power, {cr0}), power);
    QCOMPARE(pjlink::answerFrom(pjlink::Mapping::ErrorStatus, {cr0}), errors);
    const LineAnswer cr3{O::Answered, std::nullopt, 1234};
    QCOMPARE(pjlink::answerFrom(pjlink::Mapping::Lamp, {cr3, cr0}), lamp);
}

// The other mappings, and what an exchange without a reply comes to.
void TestBridge::answers_data() {
    QTest::addColumn<int>("mapping");
    QTest::addColumn<QList<LineAnswer>>("replies");
    QTest::addColumn<QByteArray>("answer");
    using M = pjlink::Mapping;
    const LineAnswer ack{O::Acknowledged, {}, {}};
    const LineAnswer nak{O::Refused, {}, {}};
    const LineAnswer silent{O::NoReply, {}, {}};
    const LineAnswer down{O::LineDown, {}, {}};
    const LineAnswer hours{O::Answered, {}, 99999};
    QTest::newRow("set ACK") << int(M::Set) << QList{ack} << QByteArray("OK");
    QTest::newRow("set NAK") << int(M::Set) << QList{nak} << QByteArray("ERR3");
    QTest::newRow("set silent") << int(M::Set) << QList{silent} << QByteArray("ERR4");
    QTest::newRow("set line down") << int(M::Set) << QList{down} << QByteArray("ERR4");
    QTest::newRow("set odd reply") << int(M::Set) << QList{answered("00")} << QByteArray("ERR4");
    QTest::newRow("input 1") << int(M::Input) << QList{answered("1")} << QByteArray("11");
    QTest::newRow("input 2") << int(M::Input) << QList{answered("2")} << QByteArray("12");
    QTest::newRow("input 3") << int(M::Input) << QList{answered("3")} << QByteArray("21");
    QTest::newRow("input 4") << int(M::Input) << QList{answered("4")} << QByteArray("51");
    QTest::newRow("input 5") << int(M::Input) << QList{answered("5")} << QByteArray("ERR4");
    QTest::newRow("mute 00") << int(M::Mute) << QList{answered("00")} << QByteArray("30");
    QTest::newRow("mute 01") << int(M::Mute) << QList{answered("01")} << QByteArray("11");
    QTest::newRow("mute 02") << int(M::Mute) << QList{answered("02")} << QByteArray("21");
    QTest::newRow("mute 03") << int(M::Mute) << QList{answered("03")} << QByteArray("31");
    QTest::newRow("mute 80") << int(M::Mute) << QList{answered("80")} << QByteArray("30");
    QTest::newRow("mute FF") << int(M::Mute) << QList{answered("FF")} << QByteArray("ERR3");
    QTest::newRow("mute other") << int(M::Mute) << QList{answered("04")} << QByteArray("ERR4");
    QTest::newRow("query silent") << int(M::Power) << QList{silent} << QByteArray("ERR4");
    QTest::newRow("query refused") << int(M::Mute) << QList{nak} << QByteArray("ERR3");
    QTest::newRow("query line down") << int(M::Input) << QList{down} << QByteArray("ERR4");
    QTest::newRow("nothing run") << int(M::Power) << QList<LineAnswer>() << QByteArray("ERR4");
    QTest::newRow("lamp at its limit")
        << int(M::Lamp) << QList{hours, answered("00")} << QByteArray("99999 1");
    QTest::newRow("lamp hours unread")
        << int(M::Lamp) << QList{answered("x"), answered("00")} << QByteArray("ERR4");
    QTest::newRow("lamp, power silent")
        << int(M::Lamp) << QList{hours, silent} << QByteArray("ERR4");
    QTest::newRow("lamp, stopped early") << int(M::Lamp) << QList{hours} << QByteArray("ERR4");
}

void TestBridge::answers() {
    QFETCH(int, mapping);
    QFETCH(QList<LineAnswer>, replies);
    QFETCH(QByteArray, answer);
    QCOMPARE(pjlink::answerFrom(pjlink::Mapping(mapping), replies), answer);
}

void TestBridge::digestAndName() {
    // The worked example clients are checked against.
    QCOMPARE(pjlink::digest("a572f60c", "password"),
             QByteArray("e3d97429adffa11bce1f7275813d4bde"));
    QVERIFY(pjlink::startsWithDigest("E3D97429ADFFA11BCE1F7275813D4BDE%1POWR ?",
                                     "e3d97429adffa11bce1f7275813d4bde"));
    QVERIFY(!pjlink::startsWithDigest("e3d97429adffa11bce1f7275813d4bdf%1POWR ?",
                                      "e3d97429adffa11bce1f7275813d4bde"));
    QVERIFY(!pjlink::startsWithDigest("%1POWR ?", "e3d97429adffa11bce1f7275813d4bde"));
    const QByteArray random = pjlink::newRandom();
    QCOMPARE(random.size(), 8);
    QVERIFY(pjlink::hasDigestShape(random + random + random + random + "%"));
    QCOMPARE(pjlink::greeting(std::nullopt), QByteArray("PJLINK 0\r"));
    QCOMPARE(pjlink::greeting(QByteArray("0badcafe")), QByteArray("PJLINK 1 0badcafe\r"));

    // NAME: at most 64 bytes, never half a character, no control characters.
    QCOMPARE(pjlink::fitName(QStringLiteral("hall\tA")), QByteArray("hallA"));
    QCOMPARE(pjlink::fitName(QString(70, u'x')), QByteArray(64, 'x'));
    const QByteArray cut = pjlink::fitName(QString(63, u'x') + QStringLiteral("é"));
    QCOMPARE(cut, QByteArray(63, 'x'));
}

// --listen and the password together decide where the bridge listens.
void TestBridge::listenRules_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("password");
    QTest::addColumn<QString>("addresses"); // space-separated, optional ones after a '+'; or
                                            // "error" and what its one line must name; with
                                            // --serve, the native listener's
    QTest::newRow("default: loopback") << QStringList() << false << "127.0.0.1 +::1";
    QTest::newRow("password: everywhere") << QStringList() << true << "0.0.0.0 +::";
    QTest::newRow("no password, meant") << QStringList{"--no-password"} << false << "0.0.0.0 +::";
    QTest::newRow("port only") << QStringList{"--listen", "4400"} << false << "127.0.0.1 +::1";
    QTest::newRow("loopback asked")
        << QStringList{"--listen", "127.0.0.1:0"} << false << "127.0.0.1";
    QTest::newRow("value after an equals sign")
        << QStringList{"--listen=127.0.0.1:0"} << false << "127.0.0.1";
    QTest::newRow("IPv6 loopback") << QStringList{"--listen", "[::1]:4352"} << false << "::1";
    QTest::newRow("every address of both families")
        << QStringList{"--listen", "[::]:4352"} << true << "0.0.0.0 ::";
    QTest::newRow("open address refused")
        << QStringList{"--listen", "0.0.0.0:4352"} << false << "error --password-file";
    QTest::newRow("open address with password")
        << QStringList{"--listen", "192.0.2.7:4352"} << true << "192.0.2.7";
    QTest::newRow("host name refused")
        << QStringList{"--listen", "projector:4352"} << true << "error --listen";
    QTest::newRow("IPv6 without brackets")
        << QStringList{"--listen", "::1:4352"} << true << "error --listen";
    QTest::newRow("port out of range")
        << QStringList{"--listen", "65536"} << true << "error --listen";
    QTest::newRow("metrics and poll leave PJLink as it is")
        << QStringList{"--metrics", "9352", "--poll", "5"} << false << "127.0.0.1 +::1";
    QTest::newRow("metrics by host name")
        << QStringList{"--metrics", "hall:9352"} << true << "error --metrics";
    QTest::newRow("poll below 5 s") << QStringList{"--poll", "4"} << true << "error --poll";
    QTest::newRow("poll without metrics")
        << QStringList{"--poll", "10"} << true << "error --poll needs --metrics";
    QTest::newRow("poll not a number") << QStringList{"--poll", "5s"} << true << "error --poll";
    QTest::newRow("both password ways") << QStringList{"--no-password", "--password-file", "/x"}
                                        << false << "error --no-password and --password-file";
    QTest::newRow("unknown option")
        << QStringList{"--listen-on", "4352"} << false << "error --listen-on";
    QTest::newRow("missing value") << QStringList{"--listen"} << false << "error --listen";
    QTest::newRow("empty value") << QStringList{"--password-file="} << false
                                 << "error --password-file";
    QTest::newRow("blank name") << QStringList{"--name", " "} << true << "error --name";
    QTest::newRow("an option for a value")
        << QStringList{"--port", "--no-password"} << false << "error --port";
    QTest::newRow("given twice") << QStringList{"--listen", "4352", "--listen=4353"} << false
                                 << "error --listen";
    QTest::newRow("switch with a value")
        << QStringList{"--no-password=yes"} << false << "error --no-password";
    QTest::newRow("stray argument") << QStringList{"4352"} << false << "error 4352";
    QTest::newRow("device server malformed")
        << QStringList{"--port", "ser2net://hall:4001"} << false << "error --port";
    QTest::newRow("serve: loopback") << QStringList{"--serve", "4400"} << false << "127.0.0.1 +::1";
    QTest::newRow("serve with password: everywhere")
        << QStringList{"--serve", "4400"} << true << "0.0.0.0 +::";
    QTest::newRow("serve, no password, meant")
        << QStringList{"--no-password", "--serve", "4400"} << false << "0.0.0.0 +::";
    QTest::newRow("serve on IPv6 loopback") << QStringList{"--serve=[::1]:4400"} << false << "::1";
    QTest::newRow("serve open address refused")
        << QStringList{"--serve", "0.0.0.0:4400"} << false << "error --password-file";
    QTest::newRow("serve open address with password")
        << QStringList{"--serve", "192.0.2.7:4400"} << true << "192.0.2.7";
    QTest::newRow("serve by host name")
        << QStringList{"--serve", "hall:4400"} << true << "error --serve";
    QTest::newRow("serve without a port") << QStringList{"--serve"} << false << "error --serve";
    QTest::newRow("web: loopback") << QStringList{"--web", "8080"} << false << "127.0.0.1 +::1";
    QTest::newRow("web with password: everywhere")
        << QStringList{"--web", "8080"} << true << "0.0.0.0 +::";
    QTest::newRow("web open address refused")
        << QStringList{"--web", "0.0.0.0:8080"} << false << "error --password-file";
    QTest::newRow("web by host name") << QStringList{"--web", "hall:8080"} << true << "error --web";
    QTest::newRow("web polls") << QStringList{"--web", "[::1]:0", "--poll", "5"} << false << "::1";
    QTest::newRow("help with a mistake")
        << QStringList{"--help", "--bogus"} << false << "error --bogus";
}

void TestBridge::listenRules() {
    QFETCH(QStringList, args);
    QFETCH(bool, password);
    QFETCH(QString, addresses);
    const Result<BridgeOptions> parse = parseBridgeArguments(args);
    const Result<ListenPlan> plan = !parse                ? Result<ListenPlan>(parse.failure())
                                    : parse.value().serve ? serveAddresses(parse.value(), password)
                                    : parse.value().web   ? webAddresses(parse.value(), password)
                                                        : listenAddresses(parse.value(), password);
    const auto why = [](const auto& result) {
        return result ? QString() : result.failure().text(shellRemedyWords());
    };
    if (addresses.startsWith(QLatin1String("error"))) {
        const QString error = why(plan);
        QVERIFY(!parse.ok() || !plan.ok());
        QVERIFY2(error.contains(addresses.mid(6)) && !error.contains(u'\n'), qPrintable(error));
        return;
    }
    QVERIFY2(parse.ok(), qPrintable(why(parse)));
    QVERIFY2(plan.ok(), qPrintable(why(plan)));
    QStringList got;
    for (const QHostAddress& a : plan.value().addresses) {
        got << (a == QHostAddress(QHostAddress::Any) ? QStringLiteral("0.0.0.0") : a.toString());
    }
    for (const QHostAddress& a : plan.value().optional) {
        got << QLatin1Char('+') + a.toString();
    }
    QCOMPARE(got.join(u' '), addresses);
}

void TestBridge::passwordFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("password"); // empty: refused
    QTest::newRow("private") << QByteArray("secret\n") << 0600 << QByteArray("secret");
    QTest::newRow("group may read") << QByteArray("secret") << 0640 << QByteArray("secret");
    QTest::newRow("CR LF") << QByteArray("secret\r\nmore") << 0400 << QByteArray("secret");
    QTest::newRow("others may read") << QByteArray("secret\n") << 0644 << QByteArray();
    QTest::newRow("others may write") << QByteArray("secret\n") << 0602 << QByteArray();
    QTest::newRow("group may write") << QByteArray("secret\n") << 0660 << QByteArray();
    QTest::newRow("empty") << QByteArray("\n") << 0600 << QByteArray();
    QTest::newRow("too long") << QByteArray(33, 'p') << 0600 << QByteArray();
    QTest::newRow("not text") << QByteArray("se\x01"
                                            "cret")
                              << 0600 << QByteArray();
}

void TestBridge::passwordFile() {
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QByteArray, password);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("password"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    const Result<QByteArray> read = readPasswordFile(path);
    QCOMPARE(read ? read.value() : QByteArray(), password);
    QCOMPARE(read.ok(), !password.isEmpty());
    QVERIFY(!readPasswordFile(dir.filePath(QStringLiteral("missing"))).ok());
}

// Users take turns, one run each, and the one served goes to the back of the rotation; the
// poller's queries go at the next run boundary once due, back to back. A chatty user gets no more
// than its turn, and no more than MaxWaitingPerUser requests waiting.
void TestBridge::queueTakesTurnsAndPollsWhenDue() {
    ScriptedLine line;
    line.otherwise = answered(QStringLiteral("00"));
    LineQueue queue(line);
    QObject a, b, c, poller;
    queue.addUser(&a, UserKind::Pjlink);
    queue.addUser(&b, UserKind::Pjlink);
    queue.addUser(&poller, UserKind::Poll);
    QStringList done;
    const auto note = [&done](const QString& what) {
        return [&done, what](const QList<LineAnswer>&) { done << what; };
    };
    // The poll falls due while a's first run is on the line; its second query follows its first.
    QVERIFY(queue.submit(&a, {"C01"}, [&](const QList<LineAnswer>&) {
        done << QStringLiteral("a1");
        queue.submit(&poller, {"CR6"}, [&](const QList<LineAnswer>&) {
            done << QStringLiteral("p1");
            queue.submit(&poller, {"CR7"}, note("p2"));
        });
    }));
    QVERIFY(queue.submit(&a, {"C02"}, note("a2")));
    QVERIFY(queue.submit(&a, {"CR3", "CR0"}, note("a3")));
    QVERIFY(queue.submit(&b, {"C05"}, note("b1")));
    QVERIFY(queue.submit(&b, {"C06"}, [&](const QList<LineAnswer>&) {
        done << QStringLiteral("b2");
        queue.addUser(&c, UserKind::Native); // a newcomer joins at the back of the rotation
        queue.submit(&c, {"C07"}, note("c1"));
        queue.submit(&c, {"C08"}, note("c2"));
    }));
    QCOMPARE(line.started, QStringList()); // nothing runs from inside submit()
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 9, PjlinkTestClient::WaitMs);
    QCOMPARE(done, (QStringList{"a1", "p1", "p2", "b1", "a2", "b2", "a3", "c1", "c2"}));
    QCOMPARE(line.started,
             (QStringList{"C01", "CR6", "CR7", "C05", "C02", "C06", "CR3", "CR0", "C07", "C08"}));
    // Only a native user that follows itself keeps its own pace, without the guard time.
    QCOMPARE(line.ownPace, (QList<bool>(9, false) << true));
    QCOMPARE(queue.exchanges(UserKind::Pjlink), quint64(6));
    QCOMPARE(queue.exchanges(UserKind::Poll), quint64(2));

    // Each user's waiting requests are bounded; another user still has room.
    for (int i = 0; i < LineQueue::MaxWaitingPerUser; ++i) {
        QVERIFY(queue.submit(&a, {QStringLiteral("CR%1").arg(i)}, {}));
    }
    QVERIFY(!queue.hasRoom(&a));
    QVERIFY(!queue.submit(&a, {"CR PRESSURE"}, {}));
    QVERIFY(queue.submit(&b, {"CR7"}, {}));
    QCOMPARE(queue.waiting(&a), LineQueue::MaxWaitingPerUser);
}

// Identical queries waiting together cost one run; commands and queries already on the line do
// not take newcomers along, and one gone waiter leaves the others their answers.
void TestBridge::queueSharesOneRunAmongIdenticalQueries() {
    ScriptedLine line;
    line.replies[QStringLiteral("CR0")] = answered(QStringLiteral("00"));
    line.replies[QStringLiteral("C00")] = LineAnswer{O::Acknowledged, {}, {}};
    LineQueue queue(line);
    std::vector<std::unique_ptr<QObject>> owners;
    QStringList done;
    const auto ask = [&](const QStringList& codes, const QString& who) {
        owners.push_back(std::make_unique<QObject>());
        queue.addUser(owners.back().get(), UserKind::Pjlink);
        queue.submit(owners.back().get(), codes, [&done, who](const QList<LineAnswer>& a) {
            done << who + QLatin1Char('=') + pjlink::answerFrom(pjlink::Mapping::Power, a);
        });
    };
    ask({"CR0"}, "a");
    QTRY_COMPARE_WITH_TIMEOUT(line.started.size(), 1, PjlinkTestClient::WaitMs);
    line.delayMs = 100; // a's exchange is on the line: the next ones wait together
    ask({"C00"}, "on1");
    ask({"CR0"}, "b");
    ask({"C00"}, "on2");
    ask({"CR0"}, "c");
    ask({"CR0"}, "d");
    ask({"CR0"}, "e");
    owners[5].reset(); // d goes away
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 6, PjlinkTestClient::WaitMs);
    QCOMPARE(done, (QStringList{"a=1", "on1=ERR4", "b=1", "c=1", "e=1", "on2=ERR4"}));
    QCOMPARE(line.started, (QStringList{"CR0", "C00", "CR0", "C00"}));
    QCOMPARE(queue.requestsShared(), 2);
}

void TestBridge::queueStopsAtAFailedStepAndForgetsGoneOwners() {
    ScriptedLine line;
    line.replies[QStringLiteral("CR3")] = LineAnswer{O::Answered, {}, 12};
    line.replies[QStringLiteral("CR0")] = answered(QStringLiteral("00"));
    LineQueue queue(line);
    QList<LineAnswer> got;
    QObject owner;
    queue.addUser(&owner, UserKind::Pjlink);
    queue.submit(&owner, {"CR3", "CR0"}, [&got](const QList<LineAnswer>& a) { got = a; });
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), 2, PjlinkTestClient::WaitMs);
    QCOMPARE(pjlink::answerFrom(pjlink::Mapping::Lamp, got), QByteArray("12 1"));

    // A request whose asker has gone is never sent.
    auto gone = std::make_unique<QObject>();
    bool called = false;
    queue.addUser(gone.get(), UserKind::Pjlink);
    queue.submit(gone.get(), {"C00"}, [&called](const QList<LineAnswer>&) { called = true; });
    gone.reset();
    queue.submit(&owner, {"CR1"}, [&got](const QList<LineAnswer>& a) { got = a; });
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), 1, PjlinkTestClient::WaitMs);
    QVERIFY(!called);
    QVERIFY(!line.started.contains(QStringLiteral("C00")));

    // With the line down nothing is sent and the answer is LineDown.
    line.up = false;
    got.clear();
    const qsizetype sent = line.started.size();
    queue.submit(&owner, {"CR0"}, [&got](const QList<LineAnswer>& a) { got = a; });
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), 1, PjlinkTestClient::WaitMs);
    QCOMPARE(int(got.front().outcome), int(O::LineDown));
    QCOMPARE(line.started.size(), sent);
}

// A silent projector: 32 clients' commands wait behind the first, which draws no reply; from then
// on all are answered at once (ERR4), unsent, and so is a newcomer. The first reply, to a probe
// after the back-off or to the poller's next query, ends it; one log line each way.
void TestBridge::queueAnswersAtOnceWhileSilent_data() {
    QTest::addColumn<bool>("byProbe"); // else by the poller's query
    QTest::newRow("probe after the back-off") << true;
    QTest::newRow("poller's next query") << false;
}

void TestBridge::queueAnswersAtOnceWhileSilent() {
    QFETCH(bool, byProbe);
    ScriptedLine line;
    line.delayMs = 20;
    LineQueue queue(line);
    queue.setProbeBackoffMs(600000); // no probe until the test asks for one
    QStringList log;
    queue.setLog([&log](const QString& l) { log << l; });
    std::vector<std::unique_ptr<QObject>> clients;
    QStringList answers;
    const auto ask = [&](QObject* who) {
        queue.submit(who, {"C00"}, [&answers](const QList<LineAnswer>& a) {
            answers << pjlink::answerFrom(pjlink::Mapping::Set, a);
        });
    };
    for (int i = 0; i < PjlinkServer::MaxConnections; ++i) {
        clients.push_back(std::make_unique<QObject>());
        queue.addUser(clients.back().get(), UserKind::Pjlink);
        ask(clients.back().get());
    }
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), PjlinkServer::MaxConnections,
                              PjlinkTestClient::WaitMs);
    QCOMPARE(answers, QStringList(PjlinkServer::MaxConnections, QStringLiteral("ERR4")));
    QCOMPARE(line.started, QStringList{"C00"}); // one exchange, not 32
    QVERIFY(queue.silent());
    ask(clients.front().get());
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), PjlinkServer::MaxConnections + 1,
                              PjlinkTestClient::WaitMs);
    QCOMPARE(line.started, QStringList{"C00"});

    // The projector is back.
    line.otherwise = LineAnswer{O::Acknowledged, {}, {}};
    line.replies[QStringLiteral("CR0")] = answered(QStringLiteral("80"));
    QObject poller;
    queue.addUser(&poller, UserKind::Poll);
    if (byProbe) {
        queue.setProbeBackoffMs(0);
    } else {
        QVERIFY(queue.submit(&poller, {"CR0"}, {}));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!queue.silent(), PjlinkTestClient::WaitMs);
    ask(clients.back().get());
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), PjlinkServer::MaxConnections + 2,
                              PjlinkTestClient::WaitMs);
    QCOMPARE(answers.back(), QStringLiteral("OK"));
    QCOMPARE(line.started, (QStringList{"C00", "CR0", "C00"}));
    QCOMPARE(queue.exchanges(UserKind::Poll), quint64(byProbe ? 0 : 1));
    QCOMPARE(log.size(), 2);
    QVERIFY2(log.front().contains(QLatin1String("did not answer")), qPrintable(log.front()));
    QVERIFY2(log.back().contains(QLatin1String("answers again")), qPrintable(log.back()));
}

namespace {

// The server on 127.0.0.1 with a scripted line behind it.
struct Rig {
    ScriptedLine line;
    LineQueue queue{line};
    std::unique_ptr<PjlinkServer> server;
    std::unique_ptr<NativeServer> native; // listens once serve() is called
    QStringList log;

    explicit Rig(std::optional<QByteArray> password = std::nullopt,
                 ConnectionLimits limits = ConnectionLimits()) {
        line.replies[QStringLiteral("CR0")] = answered(QStringLiteral("80"));
        line.replies[QStringLiteral("CR0")].reply = "80\r";
        pjlink::Identity id;
        id.name = "hall";
        server = std::make_unique<PjlinkServer>(queue, id, password);
        server->setLimits(limits);
        server->setLog([this](const QString& l) { log << l; });
        native = std::make_unique<NativeServer>(queue, password);
        native->setLimits(limits);
        native->setLog([this](const QString& l) { log << l; });
    }
    // On 127.0.0.1, and ::1 where the host has it: a second address for a second peer.
    bool listen() {
        return server
            ->listen({QHostAddress(QHostAddress::LocalHost)}, 0,
                     {QHostAddress(QHostAddress::LocalHostIPv6)})
            .ok();
    }
    bool serve() {
        return native
            ->listen({QHostAddress(QHostAddress::LocalHost)}, 0,
                     {QHostAddress(QHostAddress::LocalHostIPv6)})
            .ok();
    }
};

} // namespace

// Bad input closes the connection that sent it; a client beside it goes on being answered.
void TestBridge::badInputClosesOnlyThatConnection_data() {
    QTest::addColumn<bool>("native"); // the bad client on the native port, the good on PJLink's
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("replyFirst"); // a good command goes first and is answered
    QTest::addColumn<QString>("why");
    const QByteArray longLine = "%1NAME " + QByteArray(pjlink::MaxCommandBytes, 'x') + '\r';
    QTest::newRow("overlong line") << false << longLine << false << "longer";
    QTest::newRow("no CR at all") << false << QByteArray(1000, 'x') << false << "longer";
    QTest::newRow("binary") << false << QByteArray("%1POWR \x00\xff\r", 10) << false
                            << "not a PJLink";
    QTest::newRow("high bytes") << false << QByteArray("%1NAME \xc3\xa9\r") << false
                                << "not a PJLink";
    QTest::newRow("tab") << false << QByteArray("%1POWR\t?\r") << false << "not a PJLink";
    QTest::newRow("not PJLink") << false << QByteArray("GET / HTTP/1.0\r") << false
                                << "not a PJLink";
    QTest::newRow("after a good one")
        << false << QByteArray("%1CLSS ?\r\x01\x02\r") << true << "not a PJLink";
    QTest::newRow("native: overlong command")
        << true << QByteArray(native::MaxCommandBytes + 1, 'C') + '\r' << false << "longer";
    QTest::newRow("native: no CR at all") << true << QByteArray(1000, 'C') << false << "longer";
    QTest::newRow("native: binary")
        << true << QByteArray("CR0\x00\r", 5) << false << "not a command";
    QTest::newRow("native: high bytes")
        << true << QByteArray("CR\xc3\xa9\r") << false << "not a command";
    QTest::newRow("native: after a good one")
        << true << QByteArray("CR0\r\x01\r") << true << "not a command";
}

void TestBridge::badInputClosesOnlyThatConnection() {
    QFETCH(bool, native);
    QFETCH(QByteArray, input);
    QFETCH(bool, replyFirst);
    QFETCH(QString, why);
    Rig rig;
    QVERIFY(rig.listen());
    QVERIFY(rig.serve());
    PjlinkTestClient good, bad;
    QVERIFY(good.connect(rig.server->port()));
    QVERIFY(bad.connect(native ? rig.native->port() : rig.server->port()));
    QCOMPARE(good.line(), QByteArray("PJLINK 0"));
    QCOMPARE(bad.line(), native ? QByteArray("RMQ27 0") : QByteArray("PJLINK 0"));
    if (native && replyFirst) {
        // Its command waits for the line, so the bad line goes once it is answered: a connection
        // closed for bad input drops what it has not answered yet.
        const qsizetype cr = input.indexOf('\r');
        QCOMPARE(bad.ask(input.left(cr)), QByteArray("A80"));
        bad.socket.write(input.mid(cr + 1));
    } else {
        bad.socket.write(input);
    }
    if (replyFirst && !native) {
        QCOMPARE(bad.line(), QByteArray("%1CLSS=1"));
    }
    QVERIFY(bad.closedByPeer());
    QCOMPARE(bad.received, QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(rig.log.join(u'\n').contains(why), PjlinkTestClient::WaitMs);
    QCOMPARE(good.ask("%1POWR ?"), QByteArray("%1POWR=0"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.server->connectionCount(), 1, PjlinkTestClient::WaitMs);
    QCOMPARE(rig.native->connectionCount(), 0);
}

namespace {

qint64 residentKb() {
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return f.readAll().split(' ').value(1).toLongLong() * 4; // pages of 4 KiB
}

} // namespace

// Hundreds of connections sending junk, each closed: the bridge keeps nothing of them.
void TestBridge::junkConnectionsLeaveMemoryFlat() {
    ConnectionLimits limits;
    limits.strangersPerPeer = PjlinkServer::MaxConnections; // every one of a round let in
    Rig rig(std::nullopt, limits);
    QVERIFY(rig.listen());
    const auto round = [&rig](int connections) {
        std::vector<std::unique_ptr<PjlinkTestClient>> batch;
        for (int i = 0; i < connections; ++i) {
            batch.push_back(std::make_unique<PjlinkTestClient>());
            batch.back()->socket.connectToHost(QHostAddress::LocalHost, rig.server->port());
        }
        QByteArray junk(8000, '\0');
        for (qsizetype i = 0; i < junk.size(); ++i) {
            junk[i] = char(i * 7 % 256);
        }
        for (auto& c : batch) {
            QVERIFY(c->connect(rig.server->port()));
            c->socket.write(junk);
        }
        for (auto& c : batch) {
            QVERIFY(c->closedByPeer());
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.server->connectionCount(), 0, PjlinkTestClient::WaitMs);
    };
    for (int i = 0; i < 3; ++i) {
        round(PjlinkServer::MaxConnections); // warm up: allocator pools, socket buffers
    }
    QTest::qWait(100);
    const qint64 before = residentKb();
    for (int i = 0; i < 20; ++i) {
        round(PjlinkServer::MaxConnections);
    }
    QTest::qWait(100);
    const qint64 grown = residentKb() - before;
    QCOMPARE(rig.server->connectionsAccepted(), 23 * PjlinkServer::MaxConnections);
#ifdef __SANITIZE_ADDRESS__
    // The address sanitizer holds freed memory back in its quarantine, so the resident set
    // says nothing of leaks here; the sanitizer's own leak check stands in for it.
    Q_UNUSED(grown);
#else
    QVERIFY2(grown < 2048, qPrintable(QStringLiteral("%1 KiB more").arg(grown)));
#endif

    // A client that sends megabytes ahead while its request waits for the line: held back, not
    // kept.
    rig.line.delayMs = 3000;
    PjlinkTestClient pushy;
    QVERIFY(pushy.connect(rig.server->port()));
    pushy.socket.write("%1POWR ?\r");
    const QByteArray chunk(64 << 10, 'x');
    QElapsedTimer pushing;
    pushing.start();
    qint64 pushed = 0;
    while (pushing.elapsed() < 2000 && pushed < (8 << 20)) {
        if (pushy.socket.bytesToWrite() < chunk.size()) { // the client itself keeps little
            pushed += pushy.socket.write(chunk);
        }
        QTest::qWait(5);
    }
    const qint64 held = residentKb() - before;
#ifdef __SANITIZE_ADDRESS__
    Q_UNUSED(held); // the sanitizer's quarantine, as above
#else
    QVERIFY2(held < 4096, qPrintable(QStringLiteral("%1 KiB more").arg(held)));
#endif
    QVERIFY(pushy.closedByPeer()); // its overlong line closes it
}

// At most MaxConnections at once; an idle one closes; one that stops reading is let go.
void TestBridge::connectionLimitsHold() {
    ConnectionLimits limits;
    limits.idleMs = 1500;
    limits.strangersPerPeer = PjlinkServer::MaxConnections;
    Rig rig(std::nullopt, limits);
    QVERIFY(rig.listen());
    std::vector<std::unique_ptr<PjlinkTestClient>> clients;
    for (int i = 0; i < PjlinkServer::MaxConnections; ++i) {
        clients.push_back(std::make_unique<PjlinkTestClient>());
        QVERIFY(clients.back()->connect(rig.server->port()));
        QCOMPARE(clients.back()->line(), QByteArray("PJLINK 0"));
    }
    PjlinkTestClient extra;
    extra.socket.connectToHost(QHostAddress::LocalHost, rig.server->port());
    QVERIFY(extra.closedByPeer());
    QCOMPARE(extra.received, QByteArray());
    QCOMPARE(rig.server->connectionCount(), PjlinkServer::MaxConnections);

    // Idle: the one that keeps asking stays, and the one that sends a bare CR now and then (a
    // keep-alive); the others are closed.
    PjlinkTestClient& busy = *clients.front();
    PjlinkTestClient& keeper = *clients[1];
    for (int i = 0; i < 4; ++i) {
        QTest::qWait(500);
        QCOMPARE(busy.ask("%1INF1 ?"), QByteArray("%1INF1=VEXO"));
        keeper.socket.write("\r");
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.server->connectionCount(), 2, PjlinkTestClient::WaitMs);
    QVERIFY(clients.back()->closedByPeer());
    QCOMPARE(keeper.ask("%1CLSS ?"), QByteArray("%1CLSS=1")); // the keep-alives went unanswered

    // A client that sends and never reads: closed once its unread replies pass the bound.
    QByteArray many;
    for (int i = 0; i < 20000; ++i) {
        many += "%1INST ?\r";
    }
    PjlinkTestClient deaf;
    QVERIFY(deaf.connect(rig.server->port()));
    deaf.socket.setReadBufferSize(1);
    deaf.socket.write(many);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log.join(u'\n').contains(QLatin1String("stopped reading")),
                             PjlinkTestClient::WaitMs);
    QCOMPARE(busy.ask("%1CLSS ?"), QByteArray("%1CLSS=1"));

    // Commands sent ahead: one on the line, MaxWaitingPerUser waiting, the rest left unread
    // until those drain; then every one is answered, in order.
    rig.line.hold = true;
    rig.line.replies[QStringLiteral("CR3")] = LineAnswer{O::Answered, {}, 1234};
    const qsizetype before = rig.line.started.size();
    QByteArray ahead;
    for (int i = 0; i < 12; ++i) {
        ahead += i % 2 ? "%1POWR ?\r" : "%1LAMP ?\r";
    }
    busy.socket.write(ahead);
    QTRY_COMPARE_WITH_TIMEOUT(rig.queue.waiting(), LineQueue::MaxWaitingPerUser,
                              PjlinkTestClient::WaitMs);
    QCOMPARE(rig.line.started.size(), before + 1);
    rig.line.release();
    for (int i = 0; i < 12; ++i) {
        QCOMPARE(busy.line(), QByteArray(i % 2 ? "%1POWR=0" : "%1LAMP=1234 0"));
    }
    QCOMPARE(rig.queue.waiting(), 0);
}

void TestBridge::authentication_data() {
    QTest::addColumn<QByteArray>("password"); // the one the client uses; empty: no digest
    QTest::addColumn<QByteArray>("second");   // a digest in front of the second command: "same",
                                              // "other" or none
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("alone"); // the digest on a line of its own, no command after it
    const QByteArray right("JBMIAProjectorLink");
    QTest::newRow("right") << right << QByteArray() << true << false;
    QTest::newRow("right, digest again") << right << QByteArray("same") << true << false;
    QTest::newRow("right, then another digest") << right << QByteArray("other") << false << false;
    QTest::newRow("wrong") << QByteArray("jbmiaprojectorlink") << QByteArray() << false << false;
    QTest::newRow("missing") << QByteArray() << QByteArray() << false << false;
    // PJLink sends the digest in front of a command; alone it is told so, not closed in silence,
    // and it is no failed password.
    QTest::newRow("right, alone") << right << QByteArray() << false << true;
    QTest::newRow("wrong, alone") << QByteArray("jbmiaprojectorlink") << QByteArray() << false
                                  << true;
}

void TestBridge::authentication() {
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, second);
    QFETCH(bool, accepted);
    QFETCH(bool, alone);
    Rig rig(QByteArray("JBMIAProjectorLink"));
    QVERIFY(rig.listen());
    PjlinkTestClient c;
    QVERIFY(c.connect(rig.server->port()));
    const QByteArray greeting = c.line();
    QVERIFY2(greeting.startsWith("PJLINK 1 ") && greeting.size() == 17, greeting.constData());
    const QByteArray random = greeting.mid(9);
    const QByteArray digest = password.isEmpty() ? QByteArray() : pjlink::digest(random, password);
    const QByteArray first = c.ask(alone ? digest : digest + "%1POWR ?");
    if (!accepted && second.isEmpty()) {
        QCOMPARE(first, QByteArray("PJLINK ERRA"));
        QVERIFY(c.closedByPeer());
        QCOMPARE(rig.server->authenticationFailures(),
                 alone && password == "JBMIAProjectorLink" ? 0 : 1);
        QVERIFY(rig.line.started.isEmpty()); // nothing reached the projector
        return;
    }
    QCOMPARE(first, QByteArray("%1POWR=0"));
    const QByteArray again = second == "same"    ? digest
                             : second == "other" ? pjlink::digest(random, "other")
                                                 : QByteArray();
    const QByteArray reply = c.ask(again + "%1CLSS ?");
    QCOMPARE(reply, accepted ? QByteArray("%1CLSS=1") : QByteArray("PJLINK ERRA"));
    if (accepted) {
        // Still open, still authenticated: the next command is answered without a digest.
        QCOMPARE(c.ask("%1INF1 ?"), QByteArray("%1INF1=VEXO"));
    } else {
        QVERIFY(c.closedByPeer());
    }
}

// A client that shuts down its sending side after its commands (printf ... | nc -N): each is
// carried out and answered, on an idle line and behind another client's request, then the
// connection closes.
void TestBridge::endOfInputIsAnswered_data() {
    QTest::addColumn<bool>("native");
    QTest::addColumn<bool>("busy"); // another client's request holds the line meanwhile
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::newRow("idle line") << false << false << QByteArray("%1POWR 0\r")
                               << QList<QByteArray>{"%1POWR=OK"};
    QTest::newRow("busy line") << false << true << QByteArray("%1POWR 0\r%1CLSS ?\r%1POWR ?\r")
                               << QList<QByteArray>{"%1POWR=OK", "%1CLSS=1", "%1POWR=0"};
    QTest::newRow("native, busy line")
        << true << true << QByteArray("C01\rCR0\r") << QList<QByteArray>{"A\x06", "A80"};
}

void TestBridge::endOfInputIsAnswered() {
    QFETCH(bool, native);
    QFETCH(bool, busy);
    QFETCH(QByteArray, input);
    QFETCH(QList<QByteArray>, replies);
    Rig rig;
    rig.line.replies[QStringLiteral("C01")] = LineAnswer{O::Acknowledged, {}, {}};
    rig.line.replies[QStringLiteral("C01")].reply = "\x06\r";
    QVERIFY(rig.listen());
    QVERIFY(rig.serve());
    PjlinkTestClient other;
    if (busy) {
        rig.line.hold = true;
        QVERIFY(other.connect(rig.server->port()));
        QCOMPARE(other.line(), QByteArray("PJLINK 0"));
        other.socket.write("%1POWR ?\r");
        QTRY_COMPARE_WITH_TIMEOUT(rig.line.started.size(), 1, PjlinkTestClient::WaitMs);
    }
    PjlinkTestClient c;
    QVERIFY(c.connect(native ? rig.native->port() : rig.server->port()));
    QCOMPARE(c.line(), native ? QByteArray("RMQ27 0") : QByteArray("PJLINK 0"));
    c.socket.write(input);
    QVERIFY(c.socket.flush());
    QCOMPARE(::shutdown(int(c.socket.socketDescriptor()), SHUT_WR), 0);
    if (busy) {
        QTest::qWait(50); // the end of input reaches the bridge while the line is still held
        rig.line.release();
        QCOMPARE(other.line(), QByteArray("%1POWR=0"));
    }
    for (const QByteArray& reply : replies) {
        QCOMPARE(c.line(), reply);
    }
    QVERIFY(c.closedByPeer());
    QVERIFY(rig.line.started.contains(QStringLiteral("C01")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.server->connectionCount() + rig.native->connectionCount(),
                              busy ? 1 : 0, PjlinkTestClient::WaitMs);
}

namespace {

int openFiles() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

// A client with the password from ::1, a peer apart from the strangers on 127.0.0.1: its first
// command's reply.
QByteArray servedWithPassword(quint16 port, bool native, const QByteArray& password) {
    PjlinkTestClient c;
    if (!c.connect(port, QHostAddress(QHostAddress::LocalHostIPv6))) {
        return "no connection";
    }
    const QByteArray greeting = c.line();
    const QByteArray random = greeting.mid(native ? 8 : 9);
    return c.ask(pjlink::digest(random, password) + (native ? "CR0" : "%1POWR ?"));
}

} // namespace

// Strangers on 127.0.0.1 sit idle or guess the password as fast as they can; a client with the
// password, from ::1, is served all the while. The strangers' places come free at their admission
// timeout; guesses are held back, a handful of log lines tell of it all, and nothing is kept.
void TestBridge::strangersCannotCrowdOut_data() {
    QTest::addColumn<bool>("native");
    QTest::addColumn<int>("guesses"); // wrong digests, after 64 idle strangers
    QTest::newRow("64 idle strangers") << false << 0;
    QTest::newRow("and 1,000 wrong digests") << false << 1000;
    QTest::newRow("native: and 1,000 wrong digests") << true << 1000;
}

void TestBridge::strangersCannotCrowdOut() {
    QFETCH(bool, native);
    QFETCH(int, guesses);
    const QByteArray password("JBMIAProjectorLink");
    ConnectionLimits limits;
    limits.admissionMs = 500; // not the subject here: the idle strangers go sooner
    Rig rig(password, limits);
    QVERIFY(rig.listen());
    QVERIFY(rig.serve());
    ClientListener& listener = native ? static_cast<ClientListener&>(*rig.native) : *rig.server;
    if (!listener.addresses().contains(QHostAddress(QHostAddress::LocalHostIPv6))) {
        QSKIP("no IPv6 loopback for a second peer");
    }
    const quint16 port = listener.port();
    const QByteArray served = native ? QByteArray("A80") : QByteArray("%1POWR=0");
    const int filesBefore = openFiles();

    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    QTRY_VERIFY_WITH_TIMEOUT(listener.connectionCount() > 0, PjlinkTestClient::WaitMs);
    QCOMPARE(servedWithPassword(port, native, password), served);
    QTRY_COMPARE_WITH_TIMEOUT(listener.connectionCount(), 0, PjlinkTestClient::WaitMs);

    // Guesses, up to 16 at a time, each a wrong digest in front of a command sent at once.
    const qint64 before = residentKb();
    const QByteArray guess = QByteArray(32, '0') + (native ? "CR0\r" : "%1POWR ?\r");
    std::vector<std::unique_ptr<QTcpSocket>> guessing(16);
    int made = 0;
    while (made < guesses) {
        for (auto& g : guessing) {
            if (made < guesses && (!g || g->state() == QAbstractSocket::UnconnectedState)) {
                g = std::make_unique<QTcpSocket>();
                g->connectToHost(QHostAddress::LocalHost, port);
                g->write(guess);
                ++made;
            }
        }
        QTest::qWait(1);
    }
    if (guesses > 0) {
        QTRY_VERIFY_WITH_TIMEOUT(listener.authenticationFailures() >= ClientListener::FreeFailures,
                                 PjlinkTestClient::WaitMs);
    }
    QCOMPARE(servedWithPassword(port, native, password), served);
    guessing.clear();
    idle.clear();
    QTRY_COMPARE_WITH_TIMEOUT(listener.connectionCount(), 0, PjlinkTestClient::WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(openFiles(), filesBefore, PjlinkTestClient::WaitMs);
    const qint64 grown = residentKb() - before;
#ifdef __SANITIZE_ADDRESS__
    Q_UNUSED(grown); // the sanitizer's quarantine, as above
#else
    QVERIFY2(grown < 2048, qPrintable(QStringLiteral("%1 KiB more").arg(grown)));
#endif
    // Held back: each guess after the first few waits for its greeting, doubling.
    QVERIFY2(listener.authenticationFailures() < 100,
             qPrintable(QString::number(listener.authenticationFailures())));
    // Refusals, strangers closed and failed passwords: a line each as they start.
    QVERIFY2(rig.log.size() <= 4, qPrintable(rig.log.join(u'\n')));
}

// Whether a change comes from the page itself, and whether the page is asked for by this
// machine's own name; the cookie and form fields read from what browsers send.
void TestBridge::webRequestGuards_data() {
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("referer");
    QTest::addColumn<bool>("sameOrigin");
    QTest::addColumn<bool>("literalHost");
    QTest::newRow("origin matches")
        << QByteArray("127.0.0.1:8080") << QByteArray("http://127.0.0.1:8080") << QByteArray()
        << true << true;
    QTest::newRow("another port") << QByteArray("127.0.0.1:8080")
                                  << QByteArray("http://127.0.0.1:8081") << QByteArray() << false
                                  << true;
    QTest::newRow("another site") << QByteArray("127.0.0.1:8080")
                                  << QByteArray("http://evil.example") << QByteArray() << false
                                  << true;
    QTest::newRow("a site named after the host")
        << QByteArray("127.0.0.1:8080") << QByteArray("http://127.0.0.1:8080.evil.example")
        << QByteArray() << false << true;
    QTest::newRow("origin wins over referer")
        << QByteArray("127.0.0.1:8080") << QByteArray("http://evil.example")
        << QByteArray("http://127.0.0.1:8080/") << false << true;
    QTest::newRow("null origin") << QByteArray("127.0.0.1:8080") << QByteArray("null")
                                 << QByteArray("http://127.0.0.1:8080/") << false << true;
    QTest::newRow("referer only") << QByteArray("[::1]:8080") << QByteArray()
                                  << QByteArray("http://[::1]:8080/x?y") << true << true;
    QTest::newRow("referer of another site")
        << QByteArray("[::1]:8080") << QByteArray() << QByteArray("http://[::1]:8080.evil/")
        << false << true;
    QTest::newRow("neither") << QByteArray("127.0.0.1:8080") << QByteArray() << QByteArray()
                             << false << true;
    QTest::newRow("no host") << QByteArray() << QByteArray("http://127.0.0.1") << QByteArray()
                             << false << false;
    QTest::newRow("https origin") << QByteArray("127.0.0.1") << QByteArray("https://127.0.0.1")
                                  << QByteArray() << false << true;
    QTest::newRow("name, case aside")
        << QByteArray("LocalHost:80") << QByteArray("http://localhost:80") << QByteArray() << true
        << true;
    QTest::newRow("a name pointed at loopback")
        << QByteArray("evil.example:8080") << QByteArray("http://evil.example:8080") << QByteArray()
        << true << false;
    QTest::newRow("a name that looks like a number")
        << QByteArray("127.0.0.1.evil.example") << QByteArray() << QByteArray() << false << false;
    QTest::newRow("IPv6 with junk after")
        << QByteArray("[::1]x") << QByteArray() << QByteArray() << false << false;
}

void TestBridge::webRequestGuards() {
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, referer);
    QFETCH(bool, sameOrigin);
    QFETCH(bool, literalHost);
    QCOMPARE(::sameOrigin(host, origin, referer), sameOrigin);
    QCOMPARE(isLiteralHost(host), literalHost);
    // The cookie among others, and a form field percent-encoded, as browsers send them.
    QCOMPARE(cookieValue("a=1; rmq27_session=" + host + "; b=2", "rmq27_session"),
             std::optional<QByteArray>(host));
    QCOMPARE(cookieValue("xrmq27_session=1", "rmq27_session"), std::nullopt);
    QCOMPARE(formValue("action=power-on&token=" +
                           QUrl::toPercentEncoding(QString::fromLatin1(origin + " &=")),
                       "token"),
             std::optional<QByteArray>(origin + " &="));
}

// Wrong passwords from one peer: free at first, then each attempt waits longer, up to 30 s; a
// right one clears the peer, and other peers are not slowed.
void TestBridge::webSignInThrottle_data() {
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("three") << 3 << 1000;
    QTest::newRow("four") << 4 << 2000;
    QTest::newRow("seven") << 7 << 16000;
    QTest::newRow("eight: the most") << 8 << 30000;
    QTest::newRow("a hundred") << 100 << 30000;
}

void TestBridge::webSignInThrottle() {
    QFETCH(int, failures);
    QFETCH(int, delayMs);
    SignInThrottle t;
    const QHostAddress peer(QStringLiteral("192.0.2.7"));
    const QHostAddress other(QStringLiteral("::1"));
    for (int i = 0; i < failures; ++i) {
        if (i < SignInThrottle::FreeFailures) {
            QCOMPARE(t.delayMs(peer, 1000 + i), 0);
        }
        t.failed(peer, 1000 + i);
    }
    QCOMPARE(t.delayMs(peer, 2000), delayMs);
    // The same peer through an IPv4-mapped IPv6 address is the same peer.
    QCOMPARE(t.delayMs(QHostAddress(QStringLiteral("::ffff:192.0.2.7")), 2000), delayMs);
    QCOMPARE(t.delayMs(other, 2000), 0);
    // Long quiet forgets; a right password forgets at once.
    QCOMPARE(t.delayMs(peer, 2000 + SignInThrottle::ForgetAfterMs + 1000), 0);
    t.succeeded(peer);
    QCOMPARE(t.delayMs(peer, 2000), 0);
    // Bounded: a flood of peers keeps the table at its size.
    for (quint32 i = 0; i < SignInThrottle::MaxPeers + 10; ++i) {
        t.failed(QHostAddress(0x0a000000 + i), 3000 + i);
    }
    QCOMPARE(t.peers(), SignInThrottle::MaxPeers);
}

void TestBridge::webSessions() {
    WebSessions s;
    const WebSessions::Session a = s.open(0);
    const WebSessions::Session b = s.open(10);
    QCOMPARE(a.id.size(), 64);
    QVERIFY(a.id != b.id && a.token != b.token && a.id != a.token);
    QCOMPARE(s.find(a.id, 100)->token, a.token);
    QVERIFY(!s.find(a.id, WebSessions::LifetimeMs)); // expired
    QVERIFY(!s.find(QByteArray(), 100));
    QVERIFY(!s.find(a.id.left(63), 100));
    s.close(b.id);
    QVERIFY(!s.find(b.id, 100));
    for (int i = 0; i < WebSessions::MaxSessions + 5; ++i) {
        s.open(20 + i);
    }
    QCOMPARE(s.count(), WebSessions::MaxSessions);
    QVERIFY(!s.find(a.id, 100)); // the oldest made room
    QVERIFY(sameSecret("abc", "abc") && !sameSecret("abc", "abd") && !sameSecret("abc", "ab"));
}

// Past the free failures a sign-in is answered by a timer, never by a wait: handle() returns at
// once, and a second try from the same address meanwhile is turned away (429) rather than piled
// up. Nothing of it reaches the line.
void TestBridge::webSignInWaitsOnATimer() {
    ScriptedLine line;
    LineQueue queue(line);
    StatusPoller poller(30);
    WebServer web(
        queue, poller, [] { return MetricsSnapshot{}; }, QByteArray("secret"));
    HttpRequest signIn;
    signIn.method = "POST";
    signIn.path = "/sign-in";
    signIn.peer = QHostAddress(QStringLiteral("192.0.2.7"));
    signIn.headers = {{"host", "192.0.2.1:8080"}, {"origin", "http://192.0.2.1:8080"}};
    signIn.body = "password=guess";
    QList<HttpResponse> answers;
    const auto respond = [&answers](const HttpResponse& r) { answers << r; };
    for (int i = 0; i < SignInThrottle::FreeFailures; ++i) {
        web.handle(signIn, respond);
    }
    QCOMPARE(answers.size(), SignInThrottle::FreeFailures); // wrong, at once
    QCOMPARE(answers.back().status, 403);
    signIn.body = "password=secret";
    web.handle(signIn, respond);
    QCOMPARE(answers.size(), SignInThrottle::FreeFailures); // waits on its timer
    web.handle(signIn, respond);
    QCOMPARE(answers.size(), SignInThrottle::FreeFailures + 1);
    QCOMPARE(answers.back().status, 429);
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), SignInThrottle::FreeFailures + 2, 10000);
    QCOMPARE(answers.back().status, 303);
    QByteArray cookie;
    for (const auto& [name, value] : answers.back().headers) {
        cookie = name == "Set-Cookie" ? value : cookie;
    }
    QVERIFY2(cookie.startsWith("rmq27_session=") && cookie.contains("; HttpOnly") &&
                 cookie.contains("; SameSite=Strict") && cookie.contains("; Max-Age="),
             cookie.constData());
    QVERIFY(line.started.isEmpty());
}

// Each button of the page sends what the PJLink command of the same meaning sends.
void TestBridge::webControlsUsePjlinkCodes_data() {
    QTest::addColumn<QByteArray>("action");
    QTest::addColumn<QStringList>("codes");
    QTest::newRow("power on") << QByteArray("power-on") << QStringList{"C00"};
    QTest::newRow("power off") << QByteArray("power-off") << QStringList{"C01"};
    QTest::newRow("input 1") << QByteArray("input-1") << QStringList{"C05"};
    QTest::newRow("input 4") << QByteArray("input-4") << QStringList{"C08"};
    QTest::newRow("mute on") << QByteArray("mute-on") << QStringList{"C0D"};
    QTest::newRow("mute off") << QByteArray("mute-off") << QStringList{"C0E"};
    QTest::newRow("unknown") << QByteArray("self-destruct") << QStringList();
}

void TestBridge::webControlsUsePjlinkCodes() {
    QFETCH(QByteArray, action);
    QFETCH(QStringList, codes);
    const web::Control* c = web::findControl(action);
    QCOMPARE(c ? web::controlCodes(*c) : QStringList(), codes);
    QCOMPARE(web::outcomeOf({LineAnswer{O::Refused, std::nullopt, std::nullopt}}),
             web::Outcome::Refused);
    QCOMPARE(web::outcomeOf({LineAnswer{O::NoReply, std::nullopt, std::nullopt}}),
             web::Outcome::NoReply);
}

QTEST_GUILESS_MAIN(TestBridge)
#include "test_bridge.moc"
