// The panel through Debian's ser2net, in front of a pseudo-terminal the test holds: over Telnet
// with the com port control option, and as a raw TCP stream; and through rmq27-bridge, on the
// bridge's own protocol. And the panel against device servers that break the Telnet protocol as a
// broken or hostile one would.
#include "core/bindings.h"
#include "serial/comm_port.h"
#include "serial/net_link.h"
#include "serial/telnet.h"
#include "support/bridge_process.h"
#include "support/form1_test_seam.h"
#include "support/panel_rig.h"
#include "support/send_whole.h"
#include "support/ser2net.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;

using namespace telnet;

// A Telnet device server on 127.0.0.1 that sets the line as asked, answers a projector's
// "00\r" to every command, and answers negotiations only when they change its state (so it
// fights over any request that crosses its own); then misbehaves as its script says. It runs in
// a thread, so it answers while the panel's open blocks this one.
class HostileServer {
public:
    enum class Script {
        FlipsBinary,           // once the line is set: IAC WONT BINARY IAC WILL BINARY
        AsksWithoutEnd,        // once the line is set: WILL / WONT pairs for ever, reading nothing
        EndlessSubnegotiation, // once the line is set: IAC SB COM-PORT and never IAC SE
        Slow,                  // starts negotiating, but takes 2.5 s before it goes on
        Busy,                  // "Port already in use", and closes
    };

    explicit HostileServer(Script script) : script_(script) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HostileServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port_); }
    // Bytes taken from the panel since the script's misbehaviour began.
    qint64 heardSince() const { return heard_; }
    // The script has done its misbehaviour (and goes on serving, where it does).
    bool misbehaved() const { return misbehaved_; }

private:
    bool sendAll(int fd, QByteArray data) { return sendWhole(fd, std::move(data), stop_); }
    void pause(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    QByteArray answer(const Command& c) {
        const bool on = c.verb == Do || c.verb == Will;
        bool& state = (c.verb == Do || c.verb == Dont ? will_ : do_)[c.option];
        if (state == on) {
            return {};
        }
        state = on;
        const bool asksUs = c.verb == Do || c.verb == Dont;
        return negotiation(asksUs ? (on ? Will : Wont) : (on ? Do : Dont), c.option);
    }
    // Once the four settings are answered.
    bool misbehave(int fd) {
        switch (script_) {
        case Script::FlipsBinary:
            return sendAll(fd, negotiation(Wont, Binary) + negotiation(Will, Binary));
        case Script::AsksWithoutEnd:
            while (sendAll(fd,
                           (negotiation(Will, Binary) + negotiation(Wont, Binary)).repeated(100))) {
            }
            return false;
        case Script::EndlessSubnegotiation:
            return sendAll(fd, QByteArray("\xff\xfa\x2c\x6b", 4));
        default:
            return true;
        }
    }
    void serveTelnet(int fd) {
        if (script_ == Script::Slow) {
            sendAll(fd, negotiation(Will, SuppressGoAhead));
            pause(std::chrono::milliseconds(2500));
        }
        will_ = {};
        do_ = {};
        will_[Binary] = do_[Binary] = do_[ComPortOption] = true;
        sendAll(fd, negotiation(Will, Binary) + negotiation(Do, Binary) +
                        negotiation(Do, ComPortOption));
        Decoder decoder;
        bool misbehaving = false;
        char buffer[4096];
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            if (misbehaving) {
                heard_ += n;
            }
            QByteArray data;
            QList<Command> commands;
            decoder.feed(QByteArray(buffer, n), data, commands);
            QByteArray out;
            bool lineSet = false;
            for (const Command& c : std::as_const(commands)) {
                if (c.verb != Sb) {
                    out += answer(c);
                } else if (c.option == ComPortOption && !c.payload.isEmpty()) {
                    QByteArray payload = c.payload;
                    lineSet = lineSet || payload[0] == char(SetStopsize);
                    payload[0] = char(payload[0] + ServerOffset);
                    out += subnegotiation(ComPortOption, payload);
                }
            }
            out += QByteArray("00\r").repeated(data.count('\r'));
            if (!sendAll(fd, out)) {
                return;
            }
            if (lineSet && !misbehaving) {
                // After the open has returned.
                pause(std::chrono::milliseconds(300));
                misbehaving = true;
                if (!misbehave(fd)) {
                    return;
                }
                misbehaved_ = true;
            }
        }
    }
    // Connection after connection: the panel's start-up opens the port twice.
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (script_ == Script::Busy) {
                sendAll(fd, "Port already in use\r\n");
            } else {
                serveTelnet(fd);
            }
            ::close(fd);
        }
    }

    const Script script_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::array<bool, 256> will_{};
    std::array<bool, 256> do_{};
    std::atomic<qint64> heard_ = 0;
    std::atomic<bool> misbehaved_ = false;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// Over a fifth of a second of idling, the panel used less than half the time's CPU.
bool idles() {
    const double cpu0 = cpuSeconds();
    const double wall0 = wallSeconds();
    QTest::qWait(200);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = wallSeconds() - wall0;
    if (cpu < wall / 2) {
        return true;
    }
    qWarning("%g s CPU in %g s", cpu, wall);
    return false;
}

} // namespace

class TestDeviceServer : public QObject {
    Q_OBJECT
private slots:
    void init();
    void throughSer2net_data();
    void throughSer2net();
    void serverWithoutTheOption();
    void portAlreadyInUse();
    void throughBridge();
    void bridgeRefuses_data();
    void bridgeRefuses();
    void sharedLine();
    void hostileServer_data();
    void hostileServer();
    void moduleChangedOnDisk_data();
    void moduleChangedOnDisk();
};

void TestDeviceServer::init() {
    // Nothing is ever written to a socket that is closed.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("device not open")));
    const QString test = QString::fromLatin1(QTest::currentTestFunction());
    if (!test.startsWith(QLatin1String("hostile")) && !test.startsWith(QLatin1String("module")) &&
        !test.startsWith(QLatin1String("bridge")) && !test.startsWith(QLatin1String("through")) &&
        !Ser2Net::available()) {
        QSKIP("ser2net is not installed (scripts/install-deps installs it)");
    }
}

void TestDeviceServer::throughSer2net_data() {
    QTest::addColumn<QString>("accepter");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("telnet, com port control") << "telnet(rfc2217)"
                                              << "rfc2217";
    QTest::newRow("raw") << ""
                         << "tcp";
}

void TestDeviceServer::throughSer2net() {
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    const bool telnet = scheme == QLatin1String("rfc2217");
    Ser2Net server(accepter);
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), server.url(scheme));
    Form1& f = rig.form();
    QVERIFY(server.start(rig.far().devicePath()));
    rig.load();
    QVERIFY2(rig.warnings().isEmpty(), qPrintable(rig.warnings().join(QLatin1String(" | "))));
    QVERIFY(seam(f).MSComm1->portOpen());
    if (telnet) {
        // The line was set before open returned, so the first command goes out at its speed.
        QCOMPARE(rig.far().lineSpeed(), 19200);
    }

    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
    QCOMPARE(rig.wire(4), QByteArray("CR0\r"));
    rig.reply("00\r");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"),
                              kWaitMs);

    if (telnet) {
        named<QRadioButton>(f, "Option10")->click();
        QTRY_COMPARE_WITH_TIMEOUT(rig.far().lineSpeed(), 9600, kWaitMs);
        named<QRadioButton>(f, "Option9")->click();
        QTRY_COMPARE_WITH_TIMEOUT(rig.far().lineSpeed(), 19200, kWaitMs);
    }

    // 0xFF, the Telnet escape, passes both ways as itself.
    f.timer2Tick();
    seam(f).MSComm1->output(QStringLiteral("\u00ff\r"));
    QCOMPARE(rig.wire(2), QByteArray("\xff\r"));
    rig.reply("\xff\xff\r");
    QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("\u00ff\u00ff\r"), kWaitMs);

    // The server goes away: the port closes, the operator is told once, the panel idles.
    server.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), kWaitMs);
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings()[0].startsWith(QStringLiteral("COM1 (%1): ").arg(server.url(scheme))),
             qPrintable(rig.warnings()[0]));
    const double cpu0 = cpuSeconds();
    const double wall0 = wallSeconds();
    QTest::qWait(200);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = wallSeconds() - wall0;
    QVERIFY2(cpu < wall / 2, qPrintable(QStringLiteral("%1 s CPU in %2 s").arg(cpu).arg(wall)));
    QCOMPARE(rig.warnings().size(), 1);

    // Back again: choosing the port reconnects and commands flow.
    QVERIFY(server.start(rig.far().devicePath()));
    QTest::mouseClick(named<QPushButton>(f, "Command33"), Qt::LeftButton);
    QTest::mouseClick(named<QRadioButton>(f, "Option1"), Qt::LeftButton);
    QVERIFY(seam(f).MSComm1->portOpen());
    rig.drainWire();
    QTest::mouseClick(named<QPushButton>(f, "Command17"), Qt::LeftButton); // POWER ON
    QCOMPARE(rig.wire(4), QByteArray("C00\r"));
    QCOMPARE(rig.warnings().size(), 1);
}

void TestDeviceServer::serverWithoutTheOption() {
    Ser2Net server(QStringLiteral("telnet"));
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), server.url(QStringLiteral("rfc2217")));
    QVERIFY(server.start(rig.far().devicePath()));
    rig.load();
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings()[0].contains(QStringLiteral("does not offer the com port option")),
             qPrintable(rig.warnings()[0]));
    QVERIFY(!seam(rig.form()).MSComm1->portOpen());
}

void TestDeviceServer::portAlreadyInUse() {
    Ser2Net server(QStringLiteral("telnet(rfc2217)"), false);
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), server.url(QStringLiteral("rfc2217")));
    QVERIFY(server.start(rig.far().devicePath()));
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(first.waitForConnected(kWaitMs));
    QVERIFY(first.waitForReadyRead(kWaitMs)); // the port is the first client's now
    rig.load();
    QCOMPARE(rig.warnings().size(), 1);
    // The server's own words, not advice that cannot help.
    QVERIFY2(rig.warnings()[0].contains(QStringLiteral("saying \"Port already in use\"")),
             qPrintable(rig.warnings()[0]));
    QVERIFY(!seam(rig.form()).MSComm1->portOpen());
}

// The panel on a projector rmq27-bridge holds: every button's bytes reach the line and every
// reply the received line, as on a line of its own; a status is read; a held button's repeats go
// out one by one; the speed stays the bridge's; a bridge that loses its line is one warning.
void TestDeviceServer::throughBridge() {
    BridgeProcess bridge;
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), bridge.url());
    Form1& f = rig.form();
    QVERIFY(bridge.start(rig.far().devicePath()));
    rig.load();
    QVERIFY2(rig.warnings().isEmpty(), qPrintable(rig.warnings().join(QLatin1String(" | "))));
    QVERIFY(seam(f).MSComm1->portOpen());

    for (const OneShotBinding& b : oneShotBindings()) {
        QTest::mouseClick(named<QPushButton>(f, b.control), Qt::LeftButton);
        const QByteArray sent = QByteArray(b.code) + '\r';
        QCOMPARE(rig.wire(int(sent.size())), sent);
        rig.reply("\x06\r");
        QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("\x06\r"), kWaitMs);
        f.timer2Tick(); // the window ends: the next reply is read on its own
    }
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
    QCOMPARE(rig.wire(4), QByteArray("CR0\r"));
    rig.reply("00\r");
    QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label22")->text(), QStringLiteral(" Power ON"),
                              kWaitMs);
    f.timer2Tick();

    // Zoom + held: each repeat goes out as its tick comes, and its reply is the panel's.
    auto* zoom = named<QPushButton>(f, "Command15");
    QTest::mousePress(zoom, Qt::LeftButton);
    seam(f).Timer1->stop(); // the ticks are the test's
    for (int i = 0; i < 5; ++i) {
        if (i > 0) {
            f.timer1Tick();
        }
        QCOMPARE(rig.wire(4), QByteArray("C47\r"));
        rig.reply("\x06\r");
        QTRY_COMPARE_WITH_TIMEOUT(seam(f).RecvBuf, QStringLiteral("\x06\r"), kWaitMs);
        f.timer2Tick();
    }
    QTest::mouseRelease(zoom, Qt::LeftButton);
    QVERIFY(rig.warnings().isEmpty());

    // The bridge sets the line for everyone: 9600 is refused and 19200 stays chosen.
    named<QRadioButton>(f, "Option10")->click();
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings()[0].contains(QStringLiteral("the bridge sets the projector's line")),
             qPrintable(rig.warnings()[0]));
    QVERIFY(named<QRadioButton>(f, "Option9")->isChecked());
    QCOMPARE(seam(f).MSComm1->settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(rig.far().lineSpeed(), 19200);
    QVERIFY(seam(f).MSComm1->portOpen());

    // The projector's line goes away behind the bridge: the next command tells, once.
    rig.far().close();
    QTRY_VERIFY_WITH_TIMEOUT(bridge.log().contains("trying again"), kWaitMs);
    QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!seam(f).MSComm1->portOpen(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(rig.warnings().size(), 2, kWaitMs);
    QVERIFY2(rig.warnings()[1].contains(QStringLiteral("has lost its serial line")),
             qPrintable(rig.warnings()[1]));
}

// What the bridge refuses is one warning naming it, and the port stays closed.
void TestDeviceServer::bridgeRefuses_data() {
    QTest::addColumn<QByteArray>("password"); // the panel's; empty: none given
    QTest::addColumn<bool>("pjlinkPort");     // the bridge's PJLink port named instead
    QTest::addColumn<QString>("warning");
    QTest::newRow("wrong password") << QByteArray("hall a!") << false << "refused the password";
    QTest::newRow("no password") << QByteArray() << false << "asks for a password";
    QTest::newRow("PJLink port") << QByteArray("Hall A!") << true << "greeted with \"PJLINK 1 ";
}

void TestDeviceServer::bridgeRefuses() {
    QFETCH(QByteArray, password);
    QFETCH(bool, pjlinkPort);
    QFETCH(QString, warning);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("password"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("Hall A!\n");
    f.close();
    QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    BridgeProcess bridge;
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"),
                 pjlinkPort ? QStringLiteral("rmq27://127.0.0.1:%1").arg(bridge.pjlinkPort())
                            : bridge.url());
    QVERIFY(bridge.start(rig.far().devicePath(), {QStringLiteral("--password-file"), file}));
    if (!password.isEmpty()) {
        seam(rig.form()).MSComm1->setPassword(password);
    }
    rig.load();
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings()[0].contains(warning), qPrintable(rig.warnings()[0]));
    QVERIFY(!seam(rig.form()).MSComm1->portOpen());
    QCOMPARE(rig.drainWire(), QByteArray()); // nothing reached the projector
}

// The line shared: the panel holds Zoom + while a room control system polls the power state over
// PJLink (the pjlink npm package, a client written elsewhere) and a script asks for the status
// again and again with rmq27-ctl. Each gets only the replies to its own commands.
void TestDeviceServer::sharedLine() {
    const QString node = QStringLiteral(RMQ27_NODE_PROGRAM);
    if (node.isEmpty() ||
        !QFileInfo::exists(QStringLiteral(RMQ27_PJLINK_CLIENT_DIR "/node_modules/pjlink"))) {
        QSKIP("node and the pjlink package are not installed (scripts/install-deps installs them)");
    }
    QProcess projector;
    projector.start(QStringLiteral(RMQ27_SIM_PROGRAM), QStringList{});
    QVERIFY(projector.waitForStarted(kWaitMs));
    QVERIFY(QTest::qWaitFor([&] { return projector.canReadLine(); }, kWaitMs));
    const QString device = QString::fromUtf8(projector.readLine().trimmed());
    BridgeProcess bridge;
    QVERIFY(bridge.start(device));
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), bridge.url());
    Form1& f = rig.form();
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("panel.log"));
    f.setLog(log);
    rig.load();
    QVERIFY2(rig.warnings().isEmpty(), qPrintable(rig.warnings().join(QLatin1String(" | "))));

    constexpr int Polls = 12;
    QProcess poller;
    poller.setWorkingDirectory(QStringLiteral(RMQ27_PJLINK_CLIENT_DIR));
    poller.start(node, {QStringLiteral("poll.js"), QString::number(bridge.pjlinkPort()),
                        QString::number(Polls), QStringLiteral("250")});
    auto* zoom = named<QPushButton>(f, "Command15");
    QTest::mousePress(zoom, Qt::LeftButton);
    QProcess ctl;
    QStringList statuses;
    const auto askStatus = [&] {
        ctl.start(QStringLiteral(RMQ27_CTL_PROGRAM),
                  {QStringLiteral("--port"), bridge.url(), QStringLiteral("--json"),
                   QStringLiteral("status")});
    };
    QObject::connect(&ctl, &QProcess::finished, [&](int code) {
        statuses << QStringLiteral("%1 %2").arg(code).arg(
            QString::fromUtf8(ctl.readAllStandardOutput()));
        if (poller.state() != QProcess::NotRunning) {
            askStatus();
        }
    });
    askStatus();
    QVERIFY(waitFor(
        [&] {
            return poller.state() == QProcess::NotRunning && ctl.state() == QProcess::NotRunning;
        },
        60000));
    QTest::mouseRelease(zoom, Qt::LeftButton);
    QVERIFY2(rig.warnings().isEmpty(), qPrintable(rig.warnings().join(QLatin1String(" | "))));

    // PJLink: every poll a power state.
    const QList<QByteArray> states = poller.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(states.size(), Polls);
    for (const QByteArray& state : states) {
        QVERIFY2(state.size() == 1 && state[0] >= '0' && state[0] <= '3', state.constData());
    }
    // The script: every run a status reading.
    QVERIFY(statuses.size() >= 2);
    for (const QString& status : std::as_const(statuses)) {
        QVERIFY2(status.startsWith(QLatin1String("0 {\"action\":\"status\",\"code\":\"CR0\"")) &&
                     status.contains(QLatin1String("\"result\":\"answered\"")) &&
                     status.contains(QLatin1String("\"power\":")),
                 qPrintable(status));
    }
    // The panel: it sent Zoom + again and again, and all it received was their ACK CR.
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    int sent = 0;
    QByteArray received;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.value(3) == "sent") {
            QCOMPARE(fields.value(4), QByteArray("43 34 37 0D"));
            ++sent;
        } else if (fields.value(3) == "received") {
            received += fields.value(4) + ' ';
        }
    }
    QVERIFY2(sent >= 10, qPrintable(QString::number(sent)));
    QVERIFY(!received.isEmpty());
    QCOMPARE(received.replace("06 0D ", ""), QByteArray());
    projector.terminate();
    QVERIFY(projector.waitForFinished(kWaitMs));
}

void TestDeviceServer::hostileServer_data() {
    using Script = HostileServer::Script;
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("warning"); // empty: none, the port stays open
    QTest::newRow("flips an option back and forth") << Script::FlipsBinary << "";
    QTest::newRow("asks without end, reads nothing")
        << Script::AsksWithoutEnd
        << "keeps asking to change Telnet options without end (more than 256 requests in a "
           "second)";
    QTest::newRow("subnegotiation without end")
        << Script::EndlessSubnegotiation
        << "began a Telnet subnegotiation and did not end it within 500 ms (the replies after it "
           "would be lost)";
    QTest::newRow("slower than the open's bound")
        << Script::Slow << "did not answer the line settings within 2 seconds";
    QTest::newRow("busy") << Script::Busy
                          << "closed the connection while setting up the line, saying \"Port "
                             "already in use\"";
}

void TestDeviceServer::hostileServer() {
    QFETCH(HostileServer::Script, script);
    QFETCH(QString, warning);
    HostileServer server(script);
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), server.url());
    Form1& f = rig.form();
    rig.load();
    const qsizetype warnings = warning.isEmpty() ? 0 : 1;
    QTRY_VERIFY2_WITH_TIMEOUT(rig.warnings().size() == warnings,
                              qPrintable(rig.warnings().join(u'|')), kWaitMs);
    if (!warnings) {
        // Commands answered after the misbehaviour: the panel has read all of it by the first
        // answer, and the server has heard all the panel said about it by the second.
        QTRY_VERIFY_WITH_TIMEOUT(server.misbehaved(), kWaitMs);
        for (int i = 0; i < 2; ++i) {
            f.timer2Tick();
            f.timer4Tick();
            QTest::mouseClick(named<QPushButton>(f, "Command44"), Qt::LeftButton); // STATUS
            QTRY_COMPARE_WITH_TIMEOUT(named<QLabel>(f, "Label22")->text(),
                                      QStringLiteral(" Power ON"), kWaitMs);
        }
    }
    // Whatever the server goes on doing, the panel settles: one warning at most, and quiet.
    QVERIFY2(rig.warnings().size() == warnings, qPrintable(rig.warnings().join(u'|')));
    if (warnings) {
        QVERIFY2(rig.warnings()[0].contains(warning), qPrintable(rig.warnings()[0]));
        QVERIFY2(rig.warnings()[0].startsWith(QStringLiteral("COM1 (%1): ").arg(server.url())),
                 qPrintable(rig.warnings()[0]));
    }
    QCOMPARE(seam(f).MSComm1->portOpen(), !warnings);
    if (!warnings) {
        const qint64 settled = server.heardSince();
        QVERIFY2(settled < 100, qPrintable(QString::number(settled)));
        QVERIFY(idles());
        QCOMPARE(server.heardSince(), settled);
    }
    QVERIFY(idles());
    QVERIFY2(rig.warnings().size() == warnings, qPrintable(rig.warnings().join(u'|')));
}

void TestDeviceServer::moduleChangedOnDisk_data() {
    QTest::addColumn<bool>("loadedFirst"); // a device server was opened before the file changed
    QTest::addColumn<QString>("change");   // what the file becomes
    QTest::addColumn<QString>("failure");  // empty: the port opens
    QTest::newRow("upgraded while loaded") << true << "another build"
                                           << "";
    QTest::newRow("damaged while loaded") << true << "cut short"
                                          << "";
    QTest::newRow("another build, none loaded yet")
        << false << "another build"
        << "the support for device servers cannot be loaded (@path belongs to another build of "
           "the program); restart the panel";
    QTest::newRow("cut short") << false << "cut short"
                               << "the support for device servers cannot be loaded (@path is "
                                  "damaged); reinstall the program";
    QTest::newRow("garbage") << false << "garbage"
                             << "the support for device servers cannot be loaded (Cannot load "
                                "library @path";
}

// The panel's copy of the device server module, replaced as a package upgrade replaces it (a new
// file renamed over the old) or damaged: a panel that loaded it goes on reaching device servers,
// one that has not says what helps, and a damaged file is a failure, never a crash.
void TestDeviceServer::moduleChangedOnDisk() {
    QFETCH(bool, loadedFirst);
    QFETCH(QString, change);
    QFETCH(QString, failure);
    QCoreApplication::setApplicationName(QStringLiteral("rmq27-panel"));
    QFile built(QStringLiteral(RMQ27_DEVICE_SERVERS_MODULE));
    QVERIFY(built.open(QIODevice::ReadOnly));
    const QByteArray original = built.readAll();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rmq27-device-servers.so"));
    const auto install = [&](const QByteArray& bytes) {
        const QString fresh = path + QStringLiteral(".new");
        QFile file(fresh);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
               file.flush() && ::rename(QFile::encodeName(fresh), QFile::encodeName(path)) == 0;
    };
    QVERIFY(install(original));
    DeviceServersModule module({path});
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    CommPort port;
    port.setDeviceServersModule(&module);
    port.setDevice(1, QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()));
    port.setSettings(QStringLiteral("19200,N,8,1"));
    const auto openAndClose = [&port]() -> QString {
        try {
            port.setPortOpen(true);
            port.setPortOpen(false);
        } catch (const StepFailure& f) {
            return f.description();
        }
        return QString();
    };
    if (loadedFirst) {
        QCOMPARE(openAndClose(), QString());
    }

    QByteArray changed = original;
    if (change == QLatin1String("another build")) {
        const QByteArray build(kNetLinkBuild);
        QByteArray other = build;
        other.back() = other.back() == '9' ? '8' : '9';
        QVERIFY(changed.contains(build));
        changed.replace(build, other);
    } else if (change == QLatin1String("cut short")) {
        changed.truncate(original.size() / 2);
    } else {
        changed.fill('\x5a');
    }
    QVERIFY(install(changed));
    failure.replace(QStringLiteral("@path"), path);
    const QString opened = openAndClose();
    QVERIFY2(failure.isEmpty() ? opened.isEmpty() : opened.contains(failure), qPrintable(opened));
    QCoreApplication::setApplicationName(QStringLiteral("test_device_server"));
}

QTEST_MAIN(TestDeviceServer)
#include "test_device_server.moc"
