// Figures for rmq27-bridge: a "POWR ?" round trip through the bridge to a simulated projector,
// beside the same query ("CR0") through the exchange library directly; the same "CR0" through
// the bridge's native protocol (rmq27://) beside the direct line; 32 clients polling at once; how
// long a silent projector keeps a client waiting for its ERR4; and a held button's pace through
// the bridge, alone and beside a PJLink poller. The simulators and the bridge run as the
// installed programs do, as processes of their own; this program is only their client (and, for
// the hold, the projector on a pseudo-terminal).
//
// Prints one metric per line, "name  value  unit". --quick takes fewer samples.

#include "bridge/exchange_line.h"
#include "bridge/line_queue.h"
#include "bridge/pjlink_protocol.h"
#include "bridge/pjlink_server.h"
#include "exchange/event_loop.h"
#include "exchange/exchange.h"
#include "serial/comm_port.h"
#include "sim/pty_pair.h"

#include "figures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

QString buildDir;

void report(const char* base, const std::vector<double>& us) {
    const QByteArray b(base);
    metric(b + "_p50", percentile(us, 50), "us");
    metric(b + "_p90", percentile(us, 90), "us");
    metric(b + "_p99", percentile(us, 99), "us");
    metric(b + "_max", percentile(us, 100), "us");
}

// Runs the event loop until done() or the limit.
bool runUntil(const std::function<bool()>& done, int limitMs) {
    // Sleeps in the event loop until something happens; the deadline timer wakes it at the end.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(limitMs);
    while (!done() && deadline.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

// A program of the build, stopped (by its process id) when this goes.
struct Child {
    QProcess process;
    QByteArray out;
    QByteArray err;
    // keepErr false: its standard error goes nowhere, so that a simulator's line per exchange
    // does not wake this process in the middle of the round trip it is timing.
    explicit Child(const QString& program, const QStringList& args, bool keepErr = true) {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        if (keepErr) {
            QObject::connect(&process, &QProcess::readyReadStandardError,
                             [this] { err += process.readAllStandardError(); });
        } else {
            process.setStandardErrorFile(QProcess::nullDevice());
        }
        process.start(buildDir + QLatin1Char('/') + program, args);
    }
    ~Child() {
        process.terminate();
        process.waitForFinished(5000);
    }
};

QString startSim(Child& sim) {
    runUntil([&] { return sim.out.contains('\n'); }, 10000);
    return QString::fromLatin1(sim.out.left(sim.out.indexOf('\n')));
}

// The port the bridge logged for a listener ("PJLink", "native protocol"); 0 when none.
quint16 listenPort(const Child& bridge, const QString& what) {
    const QRegularExpression listening(what + QStringLiteral(" on 127\\.0\\.0\\.1:(\\d+)"));
    return quint16(listening.match(QString::fromLatin1(bridge.err)).captured(1).toUInt());
}

quint16 startBridge(Child& bridge) {
    runUntil([&] { return bridge.err.contains("line open"); }, 10000);
    return listenPort(bridge, QStringLiteral("PJLink"));
}

// One "CR0" through the exchange library; the round trip in microseconds.
double directOnce(Exchange& exchange, bool& finished) {
    finished = false;
    QElapsedTimer t;
    t.start();
    exchange.start(QStringLiteral("CR0"), Exchange::windowFor(QStringLiteral("CR0")));
    runUntil([&] { return finished; }, 5000);
    return double(t.nsecsElapsed()) / 1000.0;
}

QByteArray readLine(QTcpSocket& s, QByteArray& buffer) {
    while (!buffer.contains('\r') && s.state() == QAbstractSocket::ConnectedState) {
        s.waitForReadyRead(5000);
        buffer += s.readAll();
    }
    const qsizetype cr = buffer.indexOf('\r');
    const QByteArray line = buffer.left(cr);
    buffer.remove(0, cr + 1);
    return line;
}

// One "POWR ?" through the bridge; the round trip in microseconds.
// Samples two paths in turn, a pause before each, so that the machine's noise falls on both
// alike (the first few of each are a warm-up and left out); reports each, and what the second
// adds to the first at p50 and p99 as `added`_p50 and _p99.
void compareInTurn(int samples, int pauseMs, const char* firstName,
                   const std::function<double()>& first, const char* secondName,
                   const std::function<double()>& second, const QByteArray& added) {
    constexpr int WarmUp = 3;
    std::vector<double> firstUs;
    std::vector<double> secondUs;
    for (int i = 0; i < WarmUp + samples; ++i) {
        QThread::msleep(pauseMs);
        const double a = first();
        QThread::msleep(pauseMs);
        const double b = second();
        if (i >= WarmUp) {
            firstUs.push_back(a);
            secondUs.push_back(b);
        }
    }
    report(firstName, firstUs);
    report(secondName, secondUs);
    metric(added + "_p50", percentile(secondUs, 50) - percentile(firstUs, 50), "us");
    metric(added + "_p99", percentile(secondUs, 99) - percentile(firstUs, 99), "us");
}

double bridgeOnce(QTcpSocket& s, QByteArray& buffer) {
    QElapsedTimer t;
    t.start();
    s.write("%1POWR ?\r");
    s.flush();
    const QByteArray reply = readLine(s, buffer);
    const double us = double(t.nsecsElapsed()) / 1000.0;
    if (reply != "%1POWR=0") {
        std::printf("# unexpected reply %s\n", reply.constData());
    }
    return us;
}

// The two paths, one query at a time and in turn, each after a pause so that every send finds
// a quiet line. Taken in turn, both see the same machine: a busy moment cannot fall on one path
// only. The first few of each are not counted: the line's first send waits out the guard after
// its open.
void roundTrips(quint16 bridgePort, const QString& directDevice, int samples, int pauseMs) {
    Exchange exchange;
    if (!exchange.open(directDevice, QStringLiteral("19200,N,8,1"), QStringLiteral("--port"))) {
        return;
    }
    bool finished = false;
    QObject::connect(&exchange, &Exchange::finished,
                     [&](const ExchangeResult&) { finished = true; });
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, bridgePort);
    s.waitForConnected(5000);
    s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QByteArray buffer;
    readLine(s, buffer); // greeting

    compareInTurn(
        samples, pauseMs, "exchange_direct_cr0_round_trip",
        [&] { return directOnce(exchange, finished); }, "bridge_powr_round_trip",
        [&] { return bridgeOnce(s, buffer); }, "bridge_added");
}

// The projector's own protocol through the bridge (rmq27://, the device the panel and the ctl
// open) beside the direct line: the same "CR0" by the same exchange library on both, in turn as
// above. The bridge's line is a simulator of its own, since two cannot hold one line.
void nativeRoundTrips(quint16 nativePort, const QString& directDevice, int samples, int pauseMs) {
    const QString settings = QStringLiteral("19200,N,8,1");
    Exchange direct;
    Exchange bridged;
    for (auto [exchange, device] :
         {std::pair{&direct, directDevice},
          {&bridged, QStringLiteral("rmq27://127.0.0.1:%1").arg(nativePort)}}) {
        if (const Result<> opened = exchange->open(device, settings, QStringLiteral("--port"));
            !opened) {
            std::printf("# %s\n", qPrintable(opened.failure().description));
            return;
        }
    }
    bool finished = false;
    int wrong = 0;
    for (Exchange* exchange : {&direct, &bridged}) {
        QObject::connect(exchange, &Exchange::finished, [&](const ExchangeResult& r) {
            finished = true;
            wrong += !r.ok();
        });
    }

    compareInTurn(
        samples, pauseMs, "native_direct_cr0_round_trip",
        [&] { return directOnce(direct, finished); }, "bridge_native_cr0_round_trip",
        [&] { return directOnce(bridged, finished); }, "bridge_native_added");
    metric("bridge_native_wrong_answers", wrong, "");
}

// Clients that each send the next query as soon as the last is answered. They connect a few at a
// time, as the bridge admits at most 8 connections from one address that have not yet sent a
// command; each answered client lets the next one in.
void polling(quint16 port, int clients, int seconds) {
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<QByteArray> buffers(static_cast<size_t>(clients));
    std::vector<QElapsedTimer> sent(static_cast<size_t>(clients));
    std::vector<double> us;
    qint64 wrong = 0;
    bool running = true;
    int connected = 0;
    std::vector<bool> answered(static_cast<size_t>(clients), false);
    std::function<void()> connectNext;
    for (int i = 0; i < clients; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        QTcpSocket* raw = s.get();
        QObject::connect(raw, &QTcpSocket::readyRead, [&, raw, i] {
            QByteArray& b = buffers[size_t(i)];
            b += raw->readAll();
            qsizetype cr;
            while ((cr = b.indexOf('\r')) >= 0) {
                const QByteArray line = b.left(cr);
                b.remove(0, cr + 1);
                if (line.startsWith("%1POWR") && !answered[size_t(i)]) {
                    answered[size_t(i)] = true;
                    connectNext();
                }
                if (line.startsWith("%1POWR")) {
                    us.push_back(double(sent[size_t(i)].nsecsElapsed()) / 1000.0);
                    wrong += line != "%1POWR=0";
                }
                if (running) {
                    sent[size_t(i)].start();
                    raw->write("%1POWR ?\r");
                }
            }
        });
        sockets.push_back(std::move(s));
    }
    connectNext = [&] {
        if (connected < clients) {
            sockets[size_t(connected++)]->connectToHost(QHostAddress::LocalHost, port);
        }
    };
    for (int i = 0; i < 8; ++i) {
        connectNext();
    }
    QElapsedTimer t;
    t.start();
    runUntil([&] { return t.elapsed() >= seconds * 1000; }, seconds * 1000 + 1000);
    running = false;
    const double elapsed = double(t.elapsed()) / 1000.0;
    runUntil([] { return false; }, 3000); // the last answers
    metric("bridge_32_clients_answers_per_second", double(us.size()) / elapsed, "1/s");
    report("bridge_32_clients_round_trip", us);
    metric("bridge_32_clients_wrong_answers", double(wrong), "");
}

// A projector that never answers, behind a bridge of its own: how long a client waits for each
// ERR4. The first comes when its reply window closes; each after it also waits out the quiet the
// line keeps after a silent window. A client gives up after about 4 s.
void silentAnswers(quint16 port, int samples) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    s.waitForConnected(5000);
    QByteArray buffer;
    readLine(s, buffer); // greeting
    std::vector<double> us;
    for (int i = 0; i < samples; ++i) {
        QElapsedTimer t;
        t.start();
        s.write("%1POWR ?\r");
        s.flush();
        const QByteArray reply = readLine(s, buffer);
        us.push_back(double(t.nsecsElapsed()) / 1000.0);
        if (reply != "%1POWR=ERR4") {
            std::printf("# unexpected reply %s\n", reply.constData());
        }
    }
    report("bridge_silent_powr_err4", us);
}

// A bridge with a password among strangers: 64 connections from 127.0.0.1 that never say a
// word and one peer there that guesses the password again and again, while the client with the
// password, from ::1, connects, authenticates and asks "POWR ?" every 200 ms. How long each of
// its round trips takes (connect included). The PJLink side runs in this process, on both
// loopback addresses, over the simulator's line.
void underSiege(const QString& device, int seconds) {
    ExchangeLine line(device, QStringLiteral("19200,N,8,1"), nullptr);
    line.open();
    LineQueue queue(line);
    const QByteArray password("Hall A!");
    PjlinkServer server(queue, pjlink::Identity{"siege", "VEXO", "RM-Q27", "bench"}, password);
    if (!server.listen(
            {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)},
            0)) {
        std::printf("# no listener on both loopback addresses; siege skipped\n");
        return;
    }
    const quint16 port = server.port();
    std::vector<std::unique_ptr<QTcpSocket>> strangers;
    for (int i = 0; i < 64; ++i) {
        strangers.push_back(std::make_unique<QTcpSocket>());
        strangers.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    // The guesser: a new connection as soon as the last is closed, a wrong digest on each.
    int guesses = 0;
    QTcpSocket guesser;
    QObject::connect(&guesser, &QTcpSocket::readyRead, [&] {
        const QByteArray greeting = guesser.readAll();
        if (greeting.startsWith("PJLINK 1 ")) {
            guesser.write(pjlink::digest(greeting.mid(9, 8), "wrong") + "%1POWR ?\r");
            ++guesses;
        }
    });
    QObject::connect(&guesser, &QTcpSocket::disconnected,
                     [&] { guesser.connectToHost(QHostAddress::LocalHost, port); });
    guesser.connectToHost(QHostAddress::LocalHost, port);

    std::vector<double> us;
    int failed = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
        runUntil([] { return false; }, 200);
        QElapsedTimer one;
        one.start();
        QTcpSocket client;
        QByteArray buffer;
        client.connectToHost(QHostAddress::LocalHostIPv6, port);
        bool ok = false;
        if (runUntil(
                [&] {
                    return client.canReadLine() || buffer.contains('\r') ||
                           (buffer += client.readAll()).contains('\r');
                },
                5000)) {
            const QByteArray greeting = buffer.left(buffer.indexOf('\r'));
            buffer.clear();
            client.write(pjlink::digest(greeting.mid(9, 8), password) + "%1POWR ?\r");
            ok = runUntil([&] { return (buffer += client.readAll()).contains('\r'); }, 5000) &&
                 buffer.startsWith("%1POWR=");
        }
        if (ok) {
            us.push_back(double(one.nsecsElapsed()) / 1000.0);
        } else {
            ++failed;
        }
    }
    report("bridge_siege_password_client", us);
    metric("bridge_siege_password_client_failed", failed, "");
    metric("bridge_siege_wrong_guesses", guesses, "");
    metric("bridge_siege_authentication_failures", double(server.authenticationFailures()), "");
}

// The projector of a hold: a pseudo-terminal that the bridge opens as its line, answering each
// command at once (the power status "00" CR to CR0, ACK CR to the rest) and noting when each
// hold command arrived, so the intervals are those the projector sees.
struct PtyProjector {
    PtyPair pty;
    QByteArray pending;
    QElapsedTimer clock;
    std::vector<double> holdArrivalsMs;

    PtyProjector() {
        clock.start();
        QObject::connect(&pty, &PtyPair::readyRead, [this] {
            const double now = double(clock.nsecsElapsed()) / 1e6;
            pending += pty.readAll();
            for (qsizetype cr = pending.indexOf('\r'); cr >= 0; cr = pending.indexOf('\r')) {
                const QByteArray code = pending.left(cr);
                pending.remove(0, cr + 1);
                if (code == "C47") {
                    holdArrivalsMs.push_back(now);
                }
                pty.write(code == "CR0" ? QByteArrayLiteral("00\r") : QByteArrayLiteral("\x06\r"));
            }
            if (pending.size() > 256) {
                pending.clear();
            }
        });
    }
};

// Zoom "+" held through the bridge: "C47" CR every 150 ms from a precise QTimer on a CommPort
// opened on rmq27://, as the panel's repeat timer sends it. withPoller: a PJLink client on the
// same bridge asks "%1POWR ?" every 5 s meanwhile, and its answer times are reported too.
void holdPace(const QByteArray& base, int seconds, bool withPoller) {
    constexpr int PaceMs = 150;
    PtyProjector projector;
    Child bridge(QStringLiteral("rmq27-bridge"),
                 {QStringLiteral("--port"), projector.pty.devicePath(), QStringLiteral("--serve"),
                  QStringLiteral("127.0.0.1:0"), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:0")});
    const quint16 pjlinkPort = startBridge(bridge);
    const quint16 nativePort = listenPort(bridge, QStringLiteral("native protocol"));
    if (pjlinkPort == 0 || nativePort == 0) {
        std::printf("# the bridge did not start: %s\n", bridge.err.constData());
        return;
    }

    CommPort port;
    port.setDevice(1, QStringLiteral("rmq27://127.0.0.1:%1").arg(nativePort));
    port.setSettings(QStringLiteral("19200,N,8,1"));
    int sent = 0;
    QTimer repeat;
    repeat.setTimerType(Qt::PreciseTimer);
    repeat.setInterval(PaceMs);
    QObject::connect(&port, &CommPort::onComm, [&] { port.input(); });
    QObject::connect(&repeat, &QTimer::timeout, [&] {
        try {
            port.output(QStringLiteral("C47\r"));
            ++sent;
        } catch (const StepFailure& failure) {
            std::printf("# %s\n", failure.what());
            repeat.stop();
        }
    });

    QTcpSocket pjlink;
    QByteArray buffer;
    QElapsedTimer asked;
    std::vector<double> answerMs;
    QTimer poll;
    poll.setInterval(5000);
    QObject::connect(&pjlink, &QTcpSocket::readyRead, [&] {
        buffer += pjlink.readAll();
        for (qsizetype cr = buffer.indexOf('\r'); cr >= 0; cr = buffer.indexOf('\r')) {
            if (buffer.startsWith("%1POWR")) {
                answerMs.push_back(double(asked.nsecsElapsed()) / 1e6);
            }
            buffer.remove(0, cr + 1);
        }
    });
    QObject::connect(&poll, &QTimer::timeout, [&] {
        asked.start();
        pjlink.write("%1POWR ?\r");
    });

    try {
        port.setPortOpen(true);
    } catch (const StepFailure& failure) {
        std::printf("# %s\n", failure.what());
        return;
    }
    if (withPoller) {
        pjlink.connectToHost(QHostAddress::LocalHost, pjlinkPort);
        pjlink.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        poll.start();
    }
    repeat.start();
    QElapsedTimer t;
    t.start();
    runUntil([&] { return t.elapsed() >= seconds * 1000; }, seconds * 1000 + 1000);
    repeat.stop();
    poll.stop();
    runUntil([] { return false; }, 500); // the last commands reach the line

    std::vector<double> intervals;
    const std::vector<double>& at = projector.holdArrivalsMs;
    for (size_t i = 1; i < at.size(); ++i) {
        intervals.push_back(at[i] - at[i - 1]);
    }
    const double mean = at.size() > 1 ? (at.back() - at.front()) / double(at.size() - 1) : 0;
    metric(base + "_mean_interval", mean * 1000, "us");
    metric(base + "_pace_error", (mean - PaceMs) / PaceMs * 100, "%");
    metric(base + "_max_interval", percentile(intervals, 100), "ms");
    metric(base + "_commands_missing", double(sent) - double(at.size()), "");
    if (withPoller) {
        // An interval stretched by more than a tenth: a hold command that waited for a poll.
        const auto stretched = std::count_if(intervals.begin(), intervals.end(),
                                             [](double ms) { return ms > PaceMs * 1.1; });
        metric(base + "_stretched_intervals", double(stretched), "");
        metric(base + "_polls_answered", double(answerMs.size()), "");
        metric(base + "_pjlink_max_answer", percentile(answerMs, 100), "ms");
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // The direct path runs as the ctl does, on the same event loop as the bridge; the simulators
    // inherit it, so the two paths' projectors are alike.
    useQtEventDispatcher();
    QCoreApplication app(argc, argv);
    buildDir = QCoreApplication::applicationDirPath();
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int samples = quick ? 20 : 600;
    // The paths take turns, so each line is used every second pause: longer than the exchange's
    // guard (150 ms), so that every send finds a quiet line and goes out at once.
    const int pauseMs = 100;

    std::printf("# rmq27-bridge: %d samples each, the two paths in turn, %d ms apart\n", samples,
                pauseMs);
    Child directSim(QStringLiteral("rmq27-projector-sim"), {}, false);
    const QString directDevice = startSim(directSim);
    Child sim(QStringLiteral("rmq27-projector-sim"), {}, false);
    const QString device = startSim(sim);
    Child bridge(QStringLiteral("rmq27-bridge"),
                 {QStringLiteral("--port"), device, QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:0"), QStringLiteral("--serve"),
                  QStringLiteral("127.0.0.1:0")});
    const quint16 port = startBridge(bridge);
    const quint16 nativePort = listenPort(bridge, QStringLiteral("native protocol"));
    if (port == 0 || nativePort == 0) {
        std::printf("# the bridge did not start: %s\n", bridge.err.constData());
        return 1;
    }
    roundTrips(port, directDevice, samples, pauseMs);
    nativeRoundTrips(nativePort, directDevice, samples, pauseMs);
    polling(port, 32, quick ? 3 : 10);

    Child silentSim(QStringLiteral("rmq27-projector-sim"),
                    {QStringLiteral("--fault"), QStringLiteral("silent")}, false);
    const QString silentDevice = startSim(silentSim);
    Child silentBridge(QStringLiteral("rmq27-bridge"),
                       {QStringLiteral("--port"), silentDevice, QStringLiteral("--listen"),
                        QStringLiteral("127.0.0.1:0")});
    const quint16 silentPort = startBridge(silentBridge);
    if (silentPort == 0) {
        std::printf("# the bridge did not start: %s\n", silentBridge.err.constData());
        return 1;
    }
    silentAnswers(silentPort, quick ? 3 : 10);

    std::printf(
        "# a password client from ::1 beside 64 idle strangers and a guesser on 127.0.0.1\n");
    Child siegeSim(QStringLiteral("rmq27-projector-sim"), {}, false);
    underSiege(startSim(siegeSim), quick ? 5 : 20);

    const int holdSeconds = quick ? 6 : 20;
    std::printf("# a hold through rmq27://, %d s alone and %d s beside a PJLink poll every 5 s\n",
                holdSeconds, holdSeconds);
    try {
        holdPace("bridge_hold_150ms", holdSeconds, false);
        holdPace("bridge_hold_polled", holdSeconds, true);
    } catch (const StepFailure& failure) {
        std::printf("# %s\n", failure.what());
        return 1;
    }
    return 0;
}
