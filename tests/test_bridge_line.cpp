// rmq27-bridge end to end in one process: a plain socket, the server (PJLink or native), the line
// queue, the exchange on a real pseudo-terminal, and the simulated projector behind it.

#include "bridge/exchange_line.h"
#include "bridge/line_queue.h"
#include "bridge/native_server.h"
#include "bridge/pjlink_protocol.h"
#include "bridge/pjlink_server.h"
#include "sim/sim_projector.h"
#include "support/pjlink_test_client.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int kWaitMs = PjlinkTestClient::WaitMs;

// The simulated projector, the bridge in front of it on 127.0.0.1, and what the bridge logged.
struct Bridge {
    std::unique_ptr<SimProjector> sim;
    std::unique_ptr<ExchangeLine> line;
    std::unique_ptr<LineQueue> queue;
    std::unique_ptr<PjlinkServer> server;
    std::unique_ptr<NativeServer> native; // once serve() is called
    QStringList log;

    explicit Bridge(SimProjector::FaultMode mode = SimProjector::FaultMode::None,
                    const QString& device = QString()) {
        sim = std::make_unique<SimProjector>(mode);
        sim->setCountDownMs(1500);
        sim->setCoolDownMs(1500);
        const auto note = [this](const QString& l) { log << l; };
        line = std::make_unique<ExchangeLine>(device.isEmpty() ? sim->devicePath() : device,
                                              QStringLiteral("19200,N,8,1"), note);
        line->setReopenMs(200);
        // No test here is about the quiet kept after a silent window: a short one will do.
        line->exchange().setTimings({.quietAfterSilenceMs = 50});
        queue = std::make_unique<LineQueue>(*line);
        queue->setLog(note);
        pjlink::Identity id;
        id.name = "Hall A";
        id.info = "rmq27-bridge " RMQ27_VERSION;
        server = std::make_unique<PjlinkServer>(*queue, id, std::nullopt);
        server->setLog(note);
        line->open();
    }
    bool listen() { return server->listen({QHostAddress(QHostAddress::LocalHost)}, 0).ok(); }
    // The native protocol beside PJLink, on the same line queue.
    bool serve(const std::optional<QByteArray>& password = std::nullopt) {
        native = std::make_unique<NativeServer>(*queue, password);
        native->setLog([this](const QString& l) { log << l; });
        return native->listen({QHostAddress(QHostAddress::LocalHost)}, 0).ok();
    }
    QString logText() const { return log.join(u'\n'); }
};

// "COMMAND=ANSWER" steps to (command, expected reply line).
std::pair<QByteArray, QByteArray> step(const QString& s) {
    const QByteArray b = s.toLatin1();
    const qsizetype eq = b.indexOf('=');
    return {b.left(eq), b.left(6) + b.mid(eq)};
}

// Native "CODE=LINE" steps to (code, expected reply line without its CR).
std::pair<QByteArray, QByteArray> nativeStep(const QByteArray& s) {
    const qsizetype eq = s.indexOf('=');
    return {s.left(eq), s.mid(eq + 1)};
}

} // namespace

class TestBridgeLine : public QObject {
    Q_OBJECT
private slots:
    void commands_data();
    void commands();
    void powerStates_data();
    void powerStates();
    void repliesInPieces();
    void silentProjectorIsErr4InTime();
    void projectorVanishesAndComesBack();
    void manyClientsNoneMixed();
    void nativeCommands_data();
    void nativeCommands();
    void nativeDigest_data();
    void nativeDigest();
};

// Every command of the table through the simulated projector, from a starting state.
void TestBridgeLine::commands_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("power on, warm up, on")
        << "standby" << QStringList{"%1POWR 1=OK", "%1POWR ?=3", "%1LAMP ?=1234 1", "%1AVMT ?=30"};
    QTest::newRow("power off, cool down, no power-on")
        << "on" << QStringList{"%1POWR 0=OK", "%1POWR ?=2", "%1POWR 1=ERR3", "%1LAMP ?=1234 0"};
    QTest::newRow("inputs") << "on"
                            << QStringList{"%1INPT 12=OK",        "%1INPT ?=12",  "%1INPT 21=OK",
                                           "%1INPT ?=21",         "%1INPT 51=OK", "%1INPT ?=51",
                                           "%1INPT 11=OK",        "%1INPT ?=11",  "%1INPT 31=ERR2",
                                           "%1INST ?=11 12 21 51"};
    QTest::newRow("picture mute") << "on" << QStringList{"%1AVMT 11=OK",   "%1AVMT ?=11",
                                                         "%1AVMT 10=OK",   "%1AVMT ?=30",
                                                         "%1AVMT 11=OK",   "%1AVMT 30=OK",
                                                         "%1AVMT ?=30",    "%1AVMT 21=ERR2",
                                                         "%1AVMT 20=ERR2", "%1AVMT 31=ERR2"};
    QTest::newRow("mute in stand-by") << "standby" << QStringList{"%1AVMT ?=ERR3"};
    QTest::newRow("about itself") << "standby"
                                  << QStringList{
                                         "%1NAME ?=Hall A", "%1INF1 ?=VEXO",
                                         "%1INF2 ?=RM-Q27", "%1INFO ?=rmq27-bridge " RMQ27_VERSION,
                                         "%1CLSS ?=1",      "%2POWR ?=ERR1",
                                         "%1SVER ?=ERR1",   "%1POWR 5=ERR2"};
}

void TestBridgeLine::commands() {
    QFETCH(QString, state);
    QFETCH(QStringList, steps);
    Bridge b;
    QVERIFY(b.sim->setState(state));
    QVERIFY(b.listen());
    PjlinkTestClient c;
    QVERIFY(c.connect(b.server->port()));
    QCOMPARE(c.line(), QByteArray("PJLINK 0"));
    for (const QString& s : steps) {
        const auto [command, reply] = step(s);
        QCOMPARE(c.ask(command), reply);
    }
}

// Each power state of the simulated projector as POWR, ERST and LAMP read it.
void TestBridgeLine::powerStates_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("power");
    QTest::addColumn<QByteArray>("errors");
    QTest::addColumn<QByteArray>("lamp");
    QTest::newRow("00") << "on" << QByteArray("1") << QByteArray("000000") << QByteArray("1");
    QTest::newRow("80") << "standby" << QByteArray("0") << QByteArray("000000") << QByteArray("0");
    QTest::newRow("40") << "count-down" << QByteArray("3") << QByteArray("000000")
                        << QByteArray("1");
    QTest::newRow("20") << "cooling-down" << QByteArray("2") << QByteArray("000000")
                        << QByteArray("0");
    QTest::newRow("10") << "power-fail" << QByteArray("ERR4") << QByteArray("000002")
                        << QByteArray("0");
    QTest::newRow("08") << "temperature-warning" << QByteArray("1") << QByteArray("001000")
                        << QByteArray("1");
    QTest::newRow("04") << "lamp-off" << QByteArray("0") << QByteArray("000000") << QByteArray("0");
    QTest::newRow("28") << "temperature-warning-cooling-down" << QByteArray("2")
                        << QByteArray("001000") << QByteArray("0");
    QTest::newRow("24") << "lamp-off-temperature-warning" << QByteArray("0") << QByteArray("001000")
                        << QByteArray("0");
    QTest::newRow("88") << "temperature-warning-recovered" << QByteArray("0")
                        << QByteArray("001000") << QByteArray("0");
    QTest::newRow("21") << "lamp-failure-cooling-down" << QByteArray("2") << QByteArray("020000")
                        << QByteArray("0");
    QTest::newRow("81") << "lamp-failure" << QByteArray("0") << QByteArray("020000")
                        << QByteArray("0");
    QTest::newRow("02") << "no-key-input" << QByteArray("1") << QByteArray("000000")
                        << QByteArray("1");
}

void TestBridgeLine::powerStates() {
    QFETCH(QString, state);
    QFETCH(QByteArray, power);
    QFETCH(QByteArray, errors);
    QFETCH(QByteArray, lamp);
    Bridge b;
    b.sim->setCountDownMs(600000); // the timed states stay put while the test reads them
    b.sim->setCoolDownMs(600000);
    QVERIFY(b.sim->setState(state));
    QVERIFY(b.listen());
    PjlinkTestClient c;
    QVERIFY(c.connect(b.server->port()));
    QCOMPARE(c.line(), QByteArray("PJLINK 0"));
    QCOMPARE(c.ask("%1POWR ?"), "%1POWR=" + power);
    QCOMPARE(c.ask("%1ERST ?"), "%1ERST=" + errors);
    QCOMPARE(c.ask("%1LAMP ?"), "%1LAMP=1234 " + lamp);
}

// A projector that answers in pieces is read whole, and each reply still goes out in one write.
void TestBridgeLine::repliesInPieces() {
    Bridge b(SimProjector::FaultMode::Pieces);
    b.sim->setPieceGapMs(60);
    QVERIFY(b.listen());
    PjlinkTestClient c;
    QVERIFY(c.connect(b.server->port()));
    QCOMPARE(c.line(), QByteArray("PJLINK 0"));
    QCOMPARE(c.ask("%1LAMP ?"), QByteArray("%1LAMP=1234 0"));
    QCOMPARE(c.ask("%1INPT 12"), QByteArray("%1INPT=OK"));
    QCOMPARE(c.ask("%1INPT ?"), QByteArray("%1INPT=12"));
    QCOMPARE(c.ask("%1ERST ?"), QByteArray("%1ERST=000000"));
}

// A silent projector: the first request is answered ERR4 as its reply window closes with nothing
// in it; the next ones at once, with no exchange, until the projector answers again. How long
// that takes is a figure of the bench (rmq27-bench-bridge).
void TestBridgeLine::silentProjectorIsErr4InTime() {
    Bridge b(SimProjector::FaultMode::Silent);
    b.queue->setProbeBackoffMs(600000); // no probe comes between the test's requests
    QList<ExchangeOutcome> ended;       // the line's exchanges, as each window closed
    QObject::connect(b.line.get(), &ExchangeLine::result,
                     [&ended](const ExchangeResult& r) { ended << r.outcome; });
    QVERIFY(b.listen());
    PjlinkTestClient c;
    QVERIFY(c.connect(b.server->port()));
    QCOMPARE(c.line(), QByteArray("PJLINK 0"));
    const QList<const char*> commands{"%1POWR ?", "%1POWR 1", "%1LAMP ?"};
    for (qsizetype i = 0; i < commands.size(); ++i) {
        const QByteArray reply = c.ask(commands[i]);
        QCOMPARE(reply, QByteArray(commands[i]).left(6) + "=ERR4");
        QCOMPARE(ended, QList<ExchangeOutcome>(1, ExchangeOutcome::NoReply));
    }
    // A native client is told "no reply" too, and at once: nothing more goes out on the line.
    QVERIFY(b.serve());
    PjlinkTestClient n;
    QVERIFY(n.connect(b.native->port()));
    QCOMPARE(n.line(), QByteArray("RMQ27 0"));
    QCOMPARE(n.ask("CR0"), QByteArray("N"));
    QCOMPARE(n.ask("C00"), QByteArray("N"));
    QCOMPARE(ended, QList<ExchangeOutcome>(1, ExchangeOutcome::NoReply));
    QVERIFY(b.queue->silent());
    QCOMPARE(b.log.filter(QLatin1String("did not answer")).size(), 1);
}

// The line goes away (an unplugged adapter): ERR4 meanwhile; the same path comes back with a
// projector behind it and is answered again without a restart. One log line per change.
void TestBridgeLine::projectorVanishesAndComesBack() {
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("projector"));
    SimProjector first(SimProjector::FaultMode::Vanish);
    first.setVanishAfter(2);
    first.setVanishGraceMs(600000);
    QVERIFY(QFile::link(first.devicePath(), link));
    // The unplugged adapter's device name goes with it: a freed pseudo-terminal number is soon
    // another program's, which the bridge must not find at this path.
    QObject::connect(&first, &SimProjector::vanished, [&link] { QFile::remove(link); });
    Bridge b(SimProjector::FaultMode::None, link);
    QVERIFY(b.serve());
    PjlinkTestClient n;
    QVERIFY(n.connect(b.native->port()));
    QCOMPARE(n.line(), QByteArray("RMQ27 0"));
    int failedOpens = 0;
    QObject::connect(&b.line->exchange(), &Exchange::event, [&failedOpens](const ExchangeEvent& e) {
        failedOpens += e.kind == ExchangeEvent::Kind::Failed ? 1 : 0;
    });
    QVERIFY(b.listen());
    PjlinkTestClient c;
    QVERIFY(c.connect(b.server->port()));
    QCOMPARE(c.line(), QByteArray("PJLINK 0"));
    QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=0"));
    QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=0"));
    QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=ERR4")); // the line closes under it
    QTRY_VERIFY_WITH_TIMEOUT(!b.line->isUp(), kWaitMs);
    QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=ERR4"));
    QCOMPARE(c.ask("%1CLSS ?"), QByteArray("%1CLSS=1")); // what needs no line still answers
    QCOMPARE(n.ask("CR0"), QByteArray("D"));             // the native side: line down
    QTRY_VERIFY_WITH_TIMEOUT(b.line->failedOpens() >= 3, kWaitMs); // several failed reopens
    QCOMPARE(failedOpens, 1); // recorded once, not once per retry

    // The adapter is back, at the same path.
    QVERIFY(!QFile::exists(link));
    QVERIFY(QFile::link(b.sim->devicePath(), link));
    QTRY_VERIFY_WITH_TIMEOUT(b.line->isUp(), kWaitMs);
    QCOMPARE(c.ask("%1POWR 1"), QByteArray("%1POWR=OK"));
    QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=3"));
    QCOMPARE(n.ask("CR0"), QByteArray("A40"));
    const QString log = b.logText();
    QCOMPARE(log.count(QLatin1String("line open again")), 1);
    QCOMPARE(b.line->losses(), 1);
    QVERIFY2(log.count(QLatin1String("trying again")) <= 2, qPrintable(log)); // lost, cannot open
    // The loss in plain words, not the system's word for the last call on the dead descriptor.
    QVERIFY2(log.contains(QLatin1String("the device is gone")), qPrintable(log));
    QVERIFY2(!log.contains(QLatin1String("the system said")), qPrintable(log));
    // The device was named with --port: it wants connecting, not naming.
    QVERIFY2(!log.contains(QLatin1String("name the device")), qPrintable(log));
    QVERIFY2(log.contains(QLatin1String("connect it or correct --port")), qPrintable(log));
}

// 32 clients at once, each with 50 commands sent in one go: every reply correct, in order, and
// on its own connection.
void TestBridgeLine::manyClientsNoneMixed() {
    Bridge b;
    QVERIFY(b.sim->setState(QStringLiteral("on")));
    QVERIFY(b.listen());
    // Mostly answers of the bridge's own, one in ten through the projector; the answers tell
    // the commands apart, so a reply on the wrong connection or out of order shows.
    const QStringList pool{"%1POWR ?=1",    "%1NAME ?=Hall A",
                           "%1INF1 ?=VEXO", "%1INF2 ?=RM-Q27",
                           "%1CLSS ?=1",    "%1INST ?=11 12 21 51",
                           "%1XXXX ?=ERR1", "%1POWR 7=ERR2",
                           "%2POWR ?=ERR1", "%1INFO ?=rmq27-bridge " RMQ27_VERSION};
    // Two native clients among them, every command through the projector, the replies telling
    // the commands apart (ACK is C05's, NAK the unknown code's); their CR0 may share the PJLink
    // clients' runs.
    QVERIFY(b.serve());
    const QList<QByteArray> nativePool{"CR0=A00",   "CR1=A1",   "CR4=A11", "CR6=A+38.5 +41.0 +29.5",
                                       "C05=A\x06", "CZZ=A\x15"};
    std::vector<std::unique_ptr<PjlinkTestClient>> clients;
    std::vector<QByteArray> expected;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(std::make_unique<PjlinkTestClient>());
        QVERIFY(clients.back()->connect(b.native->port()));
        QByteArray out;
        QByteArray want = "RMQ27 0\r";
        for (int j = 0; j < 12; ++j) {
            const auto [code, reply] = nativeStep(nativePool[(3 * i + j) % nativePool.size()]);
            out += code + '\r';
            want += reply + '\r';
        }
        clients.back()->socket.write(out);
        expected.push_back(want);
    }
    for (int i = 0; i < PjlinkServer::MaxConnections; ++i) {
        clients.push_back(std::make_unique<PjlinkTestClient>());
        QVERIFY(clients.back()->connect(b.server->port()));
        QByteArray out;
        QByteArray want = "PJLINK 0\r";
        for (int j = 0; j < 50; ++j) {
            const auto [command, reply] = step(pool[(i + j) % pool.size()]);
            out += command + '\r';
            want += reply + '\r';
        }
        clients.back()->socket.write(out);
        expected.push_back(want);
    }
    QElapsedTimer t;
    t.start();
    bool all = false;
    while (!all && t.elapsed() < 240000) {
        QTest::qWait(20);
        all = true;
        for (size_t i = 0; i < clients.size(); ++i) {
            clients[i]->received += clients[i]->socket.readAll();
            all = all && clients[i]->received.size() >= expected[i].size();
        }
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        QCOMPARE(clients[i]->received, expected[i]);
    }
    QCOMPARE(b.server->connectionCount(), PjlinkServer::MaxConnections);
    QCOMPARE(b.native->connectionCount(), 2);
}

// The native protocol: each code goes to the projector as it is, and its reply comes back behind
// its status byte.
void TestBridgeLine::nativeCommands_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QList<QByteArray>>("steps"); // "CODE=REPLY LINE"
    QTest::newRow("power status") << "standby" << QList<QByteArray>{"CR0=A80"};
    QTest::newRow("power on, acknowledged, counting down")
        << "standby" << QList<QByteArray>{"C00=A\x06", "CR0=A40"};
    QTest::newRow("refused: unknown code") << "on" << QList<QByteArray>{"CZZ=A\x15", "CR0=A00"};
    QTest::newRow("spaces in the reply") << "on" << QList<QByteArray>{"CR6=A+38.5 +41.0 +29.5"};
    QTest::newRow("spaces in the code") << "on" << QList<QByteArray>{"CF FANSPEED MAX=A\x06"};
    QTest::newRow("lines ended CR LF") << "on" << QList<QByteArray>{"\nCR1=A1", "\nCR4=A11"};
}

void TestBridgeLine::nativeCommands() {
    QFETCH(QString, state);
    QFETCH(QList<QByteArray>, steps);
    Bridge b;
    QVERIFY(b.sim->setState(state));
    QVERIFY(b.serve());
    PjlinkTestClient c;
    QVERIFY(c.connect(b.native->port()));
    QCOMPARE(c.line(), QByteArray("RMQ27 0"));
    for (const QByteArray& s : steps) {
        const auto [code, reply] = nativeStep(s);
        QCOMPARE(c.ask(code), reply);
    }
    QCOMPARE(b.queue->exchanges(UserKind::Native), quint64(steps.size()));
}

// With a password the first line carries the digest of the greeting's challenge; a wrong one
// closes that connection, and an authenticated client beside it goes on.
void TestBridgeLine::nativeDigest_data() {
    QTest::addColumn<QByteArray>("password"); // the client's; empty: no digest at all
    QTest::addColumn<bool>("alone");          // the digest on a line of its own
    QTest::addColumn<bool>("accepted");
    QTest::newRow("right, with the command") << QByteArray("Hall A!") << false << true;
    QTest::newRow("right, on its own") << QByteArray("Hall A!") << true << true;
    QTest::newRow("wrong") << QByteArray("hall a!") << false << false;
    QTest::newRow("wrong, on its own") << QByteArray("hall a!") << true << false;
    QTest::newRow("missing") << QByteArray() << false << false;
}

void TestBridgeLine::nativeDigest() {
    QFETCH(QByteArray, password);
    QFETCH(bool, alone);
    QFETCH(bool, accepted);
    Bridge b;
    QVERIFY(b.serve(QByteArray("Hall A!")));
    const auto greet = [&b](PjlinkTestClient& c, QByteArray& challenge) {
        if (!c.connect(b.native->port())) {
            return false;
        }
        const QByteArray greeting = c.line();
        challenge = greeting.mid(8);
        return greeting.startsWith("RMQ27 1 ") && challenge.size() == 8;
    };
    PjlinkTestClient other;
    QByteArray otherChallenge;
    QVERIFY(greet(other, otherChallenge));
    QCOMPARE(other.ask(pjlink::digest(otherChallenge, "Hall A!") + "CR0"), QByteArray("A80"));

    PjlinkTestClient c;
    QByteArray challenge;
    QVERIFY(greet(c, challenge));
    const QByteArray digest =
        password.isEmpty() ? QByteArray() : pjlink::digest(challenge, password);
    if (alone) {
        // Told at once either way: accepted, or refused and closed.
        QCOMPARE(c.ask(digest), accepted ? QByteArray("RMQ27 OK") : QByteArray("RMQ27 ERRA"));
    }
    const QByteArray first =
        alone && !accepted ? QByteArray("RMQ27 ERRA") : c.ask(alone ? "CR1" : digest + "CR1");
    if (accepted) {
        QCOMPARE(first, QByteArray("A1"));
        QCOMPARE(c.ask("CR4"), QByteArray("A11")); // no digest again
        QCOMPARE(b.native->authenticationFailures(), 0);
    } else {
        QCOMPARE(first, QByteArray("RMQ27 ERRA"));
        QVERIFY(c.closedByPeer());
        QCOMPARE(b.native->authenticationFailures(), 1);
        QCOMPARE(b.queue->exchanges(UserKind::Native), quint64(1)); // only the other's
    }
    QCOMPARE(other.ask("CR1"), QByteArray("A1"));
}

QTEST_GUILESS_MAIN(TestBridgeLine)
#include "test_bridge_line.moc"
