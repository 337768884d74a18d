#include "bridge/bridge_metrics.h"
#include "bridge/http/http_server.h"
#include "bridge/line_answer.h"
#include "bridge/line_queue.h"
#include "bridge/metrics/metrics_server.h"
#include "bridge/metrics/prometheus_text.h"
#include "bridge/metrics/status_poller.h"
#include "bridge/pjlink_server.h"
#include "exchange/exchange.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

using ValuesSetter = std::function<void(StatusValues&)>;
Q_DECLARE_METATYPE(ValuesSetter)

namespace {

// What one connection to the server got: the bytes before the server closed it.
QByteArray requestOnce(quint16 port, const QList<QByteArray>& pieces, int pauseMs = 0) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(10000)) { // the server's side is accepted later, in our loop
        return "not connected";
    }
    for (const QByteArray& piece : pieces) {
        client.write(piece);
        QTest::qWait(pauseMs);
    }
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            got += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        },
        20000);
    return got + client.readAll();
}

// A serial line that answers from a script and hands the metrics each whole result just before
// the queue's answer, as the real line does.
class ScriptedLine : public LineRunner {
public:
    BridgeMetrics* metrics = nullptr;
    QStringList started;
    QHash<QString, StatusValues> replies; // by code; other codes draw no reply
    std::function<void()> onFirstStart;   // runs while the first exchange is on the line

    bool isUp() const override { return true; }
    void start(const QString& code, bool /*ownPace*/) override {
        started << code;
        if (onFirstStart) {
            std::exchange(onFirstStart, nullptr)();
        }
        QTimer::singleShot(0, this, [this, code] {
            const bool replied = replies.contains(code);
            ExchangeResult r;
            r.outcome = replied ? ExchangeOutcome::Answered : ExchangeOutcome::NoReply;
            r.values = replies.value(code);
            metrics->takeResult(r);
            LineAnswer a;
            a.outcome = replied ? LineAnswer::Outcome::Answered : LineAnswer::Outcome::NoReply;
            emit answered(a);
        });
    }
};

MetricsSnapshot everyReading() {
    MetricsSnapshot s{.readings = {.answered = true,
                                   .power = PowerState::On,
                                   .temperatureWarning = false,
                                   .lampFailure = false,
                                   .lampHours = 1234,
                                   .temperatureCelsius = {25.5, -3.0, 40.0},
                                   .pressureHpa = 1013,
                                   .inputMode = 2,
                                   .pictureMuted = false,
                                   .lampsLit = 3},
                      .lastAnsweredMsecs = 1765000000123,
                      .lineOpen = true,
                      .counters = {.exchanges = 70},
                      .version = QStringLiteral("1.40")};
    return s;
}

} // namespace

class TestMetrics : public QObject {
    Q_OBJECT

private slots:
    void readsAndRenders_data();
    void readsAndRenders();
    void polls_data();
    void polls();
    void pollsKeepTheirTurn();
    void answersHttp_data();
    void answersHttp();
    void boundsConnections_data();
    void boundsConnections();
    void answersLater_data();
    void answersLater();
    void boundsConnectionsPerPeer_data();
    void boundsConnectionsPerPeer();
    void promtoolFindsNothingInScrape();
};

void TestMetrics::readsAndRenders_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<ValuesSetter>("set");
    QTest::addColumn<int>("unparsed");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");

    const auto row = [](const char* r) {
        return ValuesSetter([r](StatusValues& v) { v.row = QString::fromLatin1(r); });
    };
    QTest::newRow("power on") << "CR0" << row("00") << 0
                              << QStringList{"rmq27_power_state{state=\"on\"} 1",
                                             "rmq27_power_state{state=\"standby\"} 0",
                                             "rmq27_temperature_warning 0", "rmq27_lamp_failure 0"}
                              << QStringList{};
    QTest::newRow("warning while cooling")
        << "CR0" << row("28") << 0
        << QStringList{"rmq27_power_state{state=\"cooling_down\"} 1",
                       "rmq27_power_state{state=\"on\"} 0", "rmq27_temperature_warning 1"}
        << QStringList{};
    QTest::newRow("all lamps failed, standby")
        << "CR0" << row("81") << 0
        << QStringList{"rmq27_power_state{state=\"standby\"} 1", "rmq27_lamp_failure 1"}
        << QStringList{};
    QTest::newRow("count down is warm-up")
        << "CR0" << row("40") << 0 << QStringList{"rmq27_power_state{state=\"warm_up\"} 1"}
        << QStringList{};
    QTest::newRow("power fail") << "CR0" << row("10") << 0
                                << QStringList{"rmq27_power_state{state=\"power_fail\"} 1"}
                                << QStringList{};
    QTest::newRow("status matched no row")
        << "CR0" << ValuesSetter([](StatusValues&) {}) << 1
        << QStringList{"rmq27_unparsed_readings_total{query=\"CR0\"} 1"}
        << QStringList{"rmq27_power_state", "rmq27_temperature_warning", "rmq27_lamp_failure"};
    QTest::newRow("lamp hours in seconds")
        << "CR3" << ValuesSetter([](StatusValues& v) { v.lampHours = 1234; }) << 0
        << QStringList{"rmq27_lamp_used_seconds_total 4442400"} << QStringList{};
    QTest::newRow("lamp hours past 64-bit seconds")
        << "CR3"
        << ValuesSetter([](StatusValues& v) { v.lampHours = std::numeric_limits<qint64>::max(); })
        << 1 << QStringList{"rmq27_unparsed_readings_total{query=\"CR3\"} 1"}
        << QStringList{"rmq27_lamp_used_seconds"};
    QTest::newRow("temperatures, one unreadable")
        << "CR6" << ValuesSetter([](StatusValues& v) {
               v.temperatureCelsius = {25.5, -3.0, std::nullopt};
           })
        << 1
        << QStringList{"rmq27_temperature_celsius{sensor=\"1\"} 25.5",
                       "rmq27_temperature_celsius{sensor=\"2\"} -3",
                       "rmq27_unparsed_readings_total{query=\"CR6\"} 1"}
        << QStringList{"sensor=\"3\""};
    QTest::newRow("temperature not a number") << "CR6" << ValuesSetter([](StatusValues& v) {
        v.temperatureCelsius = {std::nan(""), std::numeric_limits<double>::infinity(), 0.0};
    }) << 2 << QStringList{"rmq27_temperature_celsius{sensor=\"3\"} 0"}
                                              << QStringList{"sensor=\"1\"", "sensor=\"2\""};
    QTest::newRow("pressure in pascals")
        << "CR PRESSURE" << ValuesSetter([](StatusValues& v) { v.pressureHpa = -6866; }) << 0
        << QStringList{"rmq27_air_pressure_pascals -686600"} << QStringList{};
    QTest::newRow("pressure overflowed")
        << "CR PRESSURE" << ValuesSetter([](StatusValues&) {}) << 1
        << QStringList{"rmq27_unparsed_readings_total{query=\"CR PRESSURE\"} 1"}
        << QStringList{"rmq27_air_pressure_pascals"};
    QTest::newRow("input 4") << "CR1" << ValuesSetter([](StatusValues& v) { v.inputMode = 4; }) << 0
                             << QStringList{"rmq27_input_mode 4"} << QStringList{};
    QTest::newRow("input out of range")
        << "CR1" << ValuesSetter([](StatusValues& v) { v.inputMode = 7; }) << 1 << QStringList{}
        << QStringList{"rmq27_input_mode"};
    QTest::newRow("video mute") << "CRA" << row("01") << 0 << QStringList{"rmq27_picture_muted 1"}
                                << QStringList{};
    QTest::newRow("mute in standby is no reading")
        << "CRA" << row("FF") << 0 << QStringList{"rmq27_unparsed_readings_total{query=\"CRA\"} 0"}
        << QStringList{"rmq27_picture_muted"};
    QTest::newRow("mute matched no row") << "CRA" << ValuesSetter([](StatusValues&) {}) << 1
                                         << QStringList{} << QStringList{"rmq27_picture_muted"};
    QTest::newRow("lamp 2 lit") << "CR7" << ValuesSetter([](StatusValues& v) {
        v.lampsLit = 2;
    }) << 0 << QStringList{"rmq27_lamp_lit{lamp=\"1\"} 0", "rmq27_lamp_lit{lamp=\"2\"} 1"}
                                << QStringList{};
}

// One query's values, read and rendered: present lines appear whole, absent names not at all.
void TestMetrics::readsAndRenders() {
    QFETCH(QString, query);
    QFETCH(ValuesSetter, set);
    QFETCH(int, unparsed);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    StatusValues values;
    set(values);
    MetricsSnapshot snapshot;
    snapshot.readings.answered = true;
    QCOMPARE(takeReading(snapshot.readings, query, values), unparsed);
    snapshot.counters.unparsedReadings.at(std::size_t(pollQueries().indexOf(query))) =
        quint64(unparsed);
    const QString text = QString::fromUtf8(renderMetrics(snapshot));
    const QStringList lines = text.split(u'\n');
    for (const QString& line : present) {
        QVERIFY2(lines.contains(line), qPrintable(line + QStringLiteral(" missing in\n") + text));
    }
    for (const QString& part : absent) {
        QVERIFY2(!text.contains(part), qPrintable(part + QStringLiteral(" present in\n") + text));
    }
}

void TestMetrics::polls_data() {
    QTest::addColumn<QString>("replies"); // y: a reply (power on), n: none, per query handed out
    QTest::addColumn<int>("sent");
    QTest::addColumn<bool>("answered");

    QTest::newRow("every query answered") << "yyyyyyy" << 7 << true;
    QTest::newRow("silent at once") << "n" << 1 << false;
    QTest::newRow("silent mid-way: the rest not sent") << "yyyn" << 4 << false;
    QTest::newRow("silent at the last") << "yyyyyyn" << 7 << false;
}

void TestMetrics::polls() {
    QFETCH(QString, replies);
    QFETCH(int, sent);
    QFETCH(bool, answered);

    StatusPoller poller(StatusPoller::DefaultIntervalSeconds);
    QSignalSpy wants(&poller, &StatusPoller::wantsLine);
    StatusValues on;
    on.row = QStringLiteral("00");
    on.lampHours = 10;
    // A first poll answered in full, then the one under test.
    poller.start();
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(wants.count(), round + 1);
        QStringList out;
        while (const std::optional<QString> query = poller.nextQuery()) {
            QVERIFY(!poller.nextQuery()); // one at a time
            poller.tick();                // a poll under way is not doubled
            out << *query;
            const QChar reply = round == 0 ? u'y' : replies.at(out.size() - 1);
            poller.take(reply == u'y', on);
        }
        QCOMPARE(out, pollQueries().mid(0, round == 0 ? 7 : sent));
        poller.tick();
    }
    const PolledReadings& r = poller.readings();
    QCOMPARE(r.answered, answered);
    // An unanswered poll shows no reading at all, yet keeps the last answered time.
    QCOMPARE(r.power.has_value(), answered);
    QCOMPARE(r.lampHours.has_value(), answered);
    QVERIFY(poller.lastAnsweredMsecs());
}

// A client that keeps its queue full cannot age the poll: once a poll falls due its queries go
// at the next run boundary, back to back, so at most the one client run already on the line comes
// first. Every exchange is counted, by the kind of user whose turn it was.
void TestMetrics::pollsKeepTheirTurn() {
    ScriptedLine line;
    LineQueue queue(line);
    PjlinkServer pjlink(queue, pjlink::Identity{}, std::nullopt);
    BridgeMetrics metrics(queue, pjlink, StatusPoller::DefaultIntervalSeconds);
    line.metrics = &metrics;
    for (const QString& code : pollQueries()) {
        line.replies[code] = {};
    }
    line.replies[QStringLiteral("C00")] = {};
    line.replies[QStringLiteral("CR0")].row = QStringLiteral("80");
    line.replies[QStringLiteral("CR3")].lampHours = 7;
    QObject client;
    queue.addUser(&client, UserKind::Pjlink);
    bool flooding = true;
    int clientRuns = 0;
    std::function<void()> flood = [&] {
        while (flooding && queue.hasRoom(&client)) {
            QVERIFY(queue.submit(&client, {QStringLiteral("C00"), QStringLiteral("CR0")},
                                 [&](const QList<LineAnswer>&) {
                                     ++clientRuns;
                                     flood();
                                 }));
        }
    };
    flood();
    QTRY_VERIFY_WITH_TIMEOUT(clientRuns >= 3, 10000);

    for (int poll = 1; poll <= 2; ++poll) {
        const qsizetype due = line.started.size();
        if (poll == 1) {
            metrics.start();
        } else {
            metrics.poller().tick();
        }
        QTRY_VERIFY_WITH_TIMEOUT(line.started.mid(due).count(QStringLiteral("CR PRESSURE")) == 1,
                                 10000);
        const qsizetype first = line.started.indexOf(QStringLiteral("CR1"), due) - 1;
        QVERIFY2(first - due <= 2, qPrintable(line.started.mid(due).join(u',')));
        QCOMPARE(line.started.mid(first, pollQueries().size()), pollQueries());
        QTRY_VERIFY_WITH_TIMEOUT(!metrics.poller().polling(), 10000);
    }
    flooding = false;
    QVERIFY(clientRuns >= 3);
    const MetricsSnapshot s = metrics.snapshot();
    QVERIFY(s.readings.answered);
    QCOMPARE(s.readings.power, std::optional(PowerState::Standby));
    QCOMPARE(s.readings.lampHours, std::optional<qint64>(7));
    QCOMPARE(s.counters.replyTimeouts, quint64(0));
    QCOMPARE(s.counters.userExchanges.size(), std::size_t(2));
    QCOMPARE(s.counters.userExchanges.at(1),
             std::make_pair(QStringLiteral("poll"), quint64(2 * pollQueries().size())));
    QCOMPARE(s.counters.userExchanges.at(0).second + s.counters.userExchanges.at(1).second,
             s.counters.exchanges);
}

void TestMetrics::answersHttp_data() {
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("statusLine"); // empty: closed unanswered

    const auto row = [](const char* name, const QList<QByteArray>& pieces, const char* status) {
        QTest::newRow(name) << pieces << QByteArray(status);
    };
    const char* const ok = "HTTP/1.1 200 OK";
    row("scrape", {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}, ok);
    row("scrape in pieces", {"GE", "T /metr", "ics HTTP/1.0\r\n", "\r\n"}, ok);
    row("scrape, LF lines, query string", {"GET /metrics?x=1 HTTP/1.1\n\n"}, ok);
    row("head", {"HEAD /metrics HTTP/1.1\r\n\r\n"}, ok);
    row("root", {"GET / HTTP/1.1\r\n\r\n"}, "HTTP/1.1 404 Not Found");
    row("longer path", {"GET /metricsx HTTP/1.1\r\n\r\n"}, "HTTP/1.1 404 Not Found");
    row("absolute form", {"GET http://127.0.0.1:9352/metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
        ok);
    row("absolute form, query", {"GET HTTP://[::1]:9352/metrics?x=1 HTTP/1.1\r\n\r\n"}, ok);
    row("absolute form, other path", {"GET http://127.0.0.1:9352/ HTTP/1.1\r\n\r\n"},
        "HTTP/1.1 404 Not Found");
    row("absolute form, no path", {"GET http://127.0.0.1:9352 HTTP/1.1\r\n\r\n"},
        "HTTP/1.1 404 Not Found");
    row("post", {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n"},
        "HTTP/1.1 405 Method Not Allowed");
    // A first line of one word is not taken for HTTP at all: closed unanswered.
    row("not http", {"hello\r\n\r\n"}, "");
    row("no version", {"GET /metrics\r\n\r\n"}, "HTTP/1.1 400 Bad Request");
    row("not http, two words", {"hello world\r\n\r\n"}, "HTTP/1.1 400 Bad Request");
    row("header without colon", {"GET /metrics HTTP/1.1\r\nbad line\r\n\r\n"},
        "HTTP/1.1 400 Bad Request");
    row("oversize head", {"GET /metrics HTTP/1.1\r\nX: " + QByteArray(5000, 'a') + "\r\n\r\n"}, "");
    row("binary without end", {QByteArray(9000, '\0')}, "");
    row("too slow", {"GET /metrics HTTP/1.1\r\n"}, "");
}

void TestMetrics::answersHttp() {
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, statusLine);
    const bool withBody = !pieces.first().startsWith("HEAD");

    int renders = 0;
    MetricsServer server([&] {
        ++renders;
        return renderMetrics(everyReading());
    });
    server.setRequestTimeoutMs(1500);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QByteArray got = requestOnce(server.serverPort(), pieces, 50);
    if (statusLine.isEmpty()) {
        QCOMPARE(got, QByteArray());
        QCOMPARE(renders, 0);
    } else {
        QVERIFY2(got.startsWith(statusLine + "\r\n"), got.left(200).constData());
        const qsizetype split = got.indexOf("\r\n\r\n");
        const QByteArray body = got.mid(split + 4);
        QCOMPARE(body.isEmpty(), !withBody);
        QVERIFY(got.left(split).contains("\r\nContent-Length: "));
        if (statusLine.contains("200")) {
            QVERIFY(got.left(split).contains(
                "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8"));
            QVERIFY(!withBody || body.startsWith("# HELP rmq27_build_info"));
        }
        QCOMPARE(renders, statusLine.contains("200") ? 1 : 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 0, 10000);
}

void TestMetrics::boundsConnections_data() {
    QTest::addColumn<int>("idle"); // connections that take a place first and send nothing yet
    QTest::addColumn<bool>("allBusy");
    QTest::newRow("200 scrapes at once") << 0 << false;
    QTest::newRow("200 scrapes while idle ones hold every place")
        << MetricsServer::MaxConnections << true;
}

// Past the bound a scrape is told the target is busy (503, Retry-After), never reset or closed
// without a word, so Prometheus does not count the bridge as down; a place is free again once
// its request is answered.
void TestMetrics::boundsConnections() {
    QFETCH(int, idle);
    QFETCH(bool, allBusy);
    MetricsServer server([] { return QByteArray("x 1\n"); });
    server.setRequestTimeoutMs(120000); // no connection of this test is closed for slowness
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const auto connectMany = [&server](int count) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < count; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost, server.serverPort());
        }
        return sockets;
    };
    const auto closed = [](const auto& s) {
        return s->state() == QAbstractSocket::UnconnectedState;
    };
    const std::vector<std::unique_ptr<QTcpSocket>> holders = connectMany(idle);
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), idle, 20000);

    const std::vector<std::unique_ptr<QTcpSocket>> scrapes = connectMany(200);
    for (const auto& s : scrapes) {
        s->write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    QTRY_COMPARE_WITH_TIMEOUT(std::count_if(scrapes.begin(), scrapes.end(), closed), 200, 60000);
    int busy = 0;
    for (const auto& s : scrapes) {
        const QByteArray got = s->readAll();
        const bool ok = got.startsWith("HTTP/1.1 200 OK\r\n") && got.endsWith("\r\n\r\nx 1\n");
        const bool unavailable = got.startsWith("HTTP/1.1 503 Service Unavailable\r\n") &&
                                 got.contains("\r\nRetry-After: 1\r\n") &&
                                 got.endsWith("try again shortly\n");
        QVERIFY2(ok || unavailable,
                 got.isEmpty() ? "nothing: reset or closed unanswered" : got.left(200).constData());
        busy += unavailable;
    }
    if (allBusy) {
        QCOMPARE(busy, 200);
    }
    QVERIFY(busy < 200 || allBusy); // the first of a burst at least is served

    // The idle ones still hold their places, and are served when their requests come.
    QCOMPARE(server.connectionCount(), idle);
    for (const auto& s : holders) {
        s->write("GET /metrics HTTP/1.1\r\n\r\n");
    }
    QTRY_COMPARE_WITH_TIMEOUT(std::count_if(holders.begin(), holders.end(), closed), idle, 20000);
    for (const auto& s : holders) {
        QVERIFY(s->readAll().endsWith("\r\n\r\nx 1\n"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 0, 20000);
    QVERIFY(requestOnce(server.serverPort(), {"GET /metrics HTTP/1.1\r\n\r\n"})
                .endsWith("\r\n\r\nx 1\n"));
}

enum class Leaving { Nobody, Client, Server };
Q_DECLARE_METATYPE(Leaving)

void TestMetrics::answersLater_data() {
    QTest::addColumn<Leaving>("leaving"); // who is gone when the answer is given
    QTest::newRow("the client waits") << Leaving::Nobody;
    QTest::newRow("the client left") << Leaving::Client;
    QTest::newRow("the server went") << Leaving::Server;
}

// A handler may answer after it returns (a control waits for its turn on the line); the request
// reaches it whole, and an answer nobody waits for any more is dropped without harm.
void TestMetrics::answersLater() {
    QFETCH(Leaving, leaving);
    QList<HttpRequest> requests;
    QList<HttpResponder> responders;
    auto server =
        std::make_unique<HttpServer>([&](const HttpRequest& request, const HttpResponder& respond) {
            requests << request;
            responders << respond;
        });
    QVERIFY(server->listen({QHostAddress::LocalHost}, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server->serverPort());
    client.write("POST http://127.0.0.1/power?to=on&x HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "X-Token: abc\r\nContent-Length: 5\r\n\r\nhello");
    QTRY_COMPARE_WITH_TIMEOUT(requests.size(), 1, 20000);
    const HttpRequest& got = requests.front();
    QCOMPARE(got.method, QByteArray("POST"));
    QCOMPARE(got.path, QByteArray("/power"));
    QCOMPARE(got.query, QByteArray("to=on&x"));
    QCOMPARE(got.header("x-token"), QByteArray("abc"));
    QCOMPARE(got.body, QByteArray("hello"));
    QCOMPARE(got.peer, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(server->connectionCount(), 1);

    HttpResponse response;
    response.status = 202;
    response.body = "later\n";
    response.headers.append({QByteArray("Set-Cookie"), QByteArray("s=1; HttpOnly")});
    if (leaving == Leaving::Client) {
        client.abort();
    } else if (leaving == Leaving::Server) {
        server.reset();
    }
    responders.front()(response);
    responders.front()(response); // once only: the second is dropped
    if (leaving == Leaving::Nobody) {
        QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::UnconnectedState, 20000);
        const QByteArray answer = client.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 202 Accepted\r\n"), answer.constData());
        QVERIFY(answer.contains("\r\nSet-Cookie: s=1; HttpOnly\r\n"));
        QVERIFY(answer.endsWith("\r\n\r\nlater\n"));
    }
    if (leaving == Leaving::Server) {
        QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::UnconnectedState, 20000);
        QCOMPARE(client.readAll(), QByteArray());
        return;
    }
    // The place is free again, and the next request is served at once.
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 0, 20000);
    responders.clear();
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, server->serverPort());
    next.write("GET /again HTTP/1.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(responders.size(), 1, 20000);
    responders.front()(response);
    QTRY_VERIFY_WITH_TIMEOUT(next.state() == QAbstractSocket::UnconnectedState, 20000);
    QVERIFY(next.readAll().endsWith("\r\n\r\nlater\n"));
}

void TestMetrics::boundsConnectionsPerPeer_data() {
    QTest::addColumn<QHostAddress>("from");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::newRow("the same address, past its bound")
        << QHostAddress(QHostAddress::LocalHost) << QByteArray("HTTP/1.1 503 Service Unavailable");
    QTest::newRow("another address")
        << QHostAddress(QHostAddress::LocalHostIPv6) << QByteArray("HTTP/1.1 200 OK");
}

// One address may take only its share of the places; others are still served.
void TestMetrics::boundsConnectionsPerPeer() {
    QFETCH(QHostAddress, from);
    QFETCH(QByteArray, statusLine);
    HttpServer server([](const HttpRequest&, const HttpResponder& respond) {
        HttpResponse response;
        response.body = "x 1\n";
        respond(response);
    });
    HttpLimits limits;
    limits.maxConnections = 4;
    limits.maxConnectionsPerPeer = 2;
    limits.requestTimeoutMs = 120000; // no connection of this test is closed for slowness
    server.setLimits(limits);
    QVERIFY(server.listen({QHostAddress::LocalHost}, 0, {QHostAddress::LocalHostIPv6}));
    if (!server.addresses().contains(from)) {
        QSKIP("no IPv6 loopback on this host");
    }
    std::vector<std::unique_ptr<QTcpSocket>> holders;
    for (int i = 0; i < limits.maxConnectionsPerPeer; ++i) {
        holders.push_back(std::make_unique<QTcpSocket>());
        holders.back()->connectToHost(QHostAddress::LocalHost, server.serverPort());
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), limits.maxConnectionsPerPeer, 20000);
    QTcpSocket client;
    client.connectToHost(from, server.serverPort());
    client.write("GET / HTTP/1.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::UnconnectedState, 20000);
    const QByteArray got = client.readAll();
    QVERIFY2(got.startsWith(statusLine + "\r\n"), got.left(200).constData());
    QCOMPARE(got.contains("\r\nRetry-After: 1\r\n"), statusLine.contains("503"));
}

// The real linter of the Prometheus project reads a scrape taken through the server.
void TestMetrics::promtoolFindsNothingInScrape() {
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    QVERIFY2(!promtool.isEmpty(), "promtool not found (scripts/install-deps installs it)");
    MetricsSnapshot snapshot = everyReading();
    snapshot.version = QStringLiteral("1.40 \"test\"\\\n"); // every character a label escapes
    snapshot.name = QStringLiteral("Hall \"A\"");
    snapshot.readings.power = PowerState::CoolingDown;
    snapshot.readings.temperatureWarning = true;
    snapshot.counters.userExchanges = {
        {QStringLiteral("pjlink"), 12}, {QStringLiteral("poll"), 7}, {QStringLiteral("native"), 4}};
    snapshot.openConnections = {{QStringLiteral("pjlink"), 3}, {QStringLiteral("native"), 1}};
    MetricsServer server([&] { return renderMetrics(snapshot); });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QByteArray got =
        requestOnce(server.serverPort(), {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"});
    const QByteArray body = got.mid(got.indexOf("\r\n\r\n") + 4);
    QVERIFY(body.contains("\nrmq27_air_pressure_pascals 101300\n"));
    QVERIFY(body.contains("\nrmq27_serial_line_open 1\n"));
    QVERIFY(body.contains("\nrmq27_user_exchanges_total{user=\"poll\"} 7\n"));
    QVERIFY(body.contains("\nrmq27_open_connections{protocol=\"pjlink\"} 3\n"));
    QVERIFY(body.contains("\nrmq27_user_exchanges_total{user=\"native\"} 4\n"));
    QVERIFY(body.contains("\nrmq27_open_connections{protocol=\"native\"} 1\n"));
    QVERIFY(body.contains("\nrmq27_projector_info{name=\"Hall \\\"A\\\"\",model=\"RM-Q27\"} 1\n"));
    QVERIFY(body.contains("{version=\"1.40 \\\"test\\\"\\\\\\n\"} 1\n"));

    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(check.waitForStarted());
    check.write(body);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(60000));
    const QByteArray said = check.readAll();
    QVERIFY2(said.isEmpty() && check.exitCode() == 0, said.constData());
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "test_metrics.moc"
