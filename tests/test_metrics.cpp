#include "bridge/bridge_metrics.h"
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
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

using ValuesSetter = std::function<void(StatusValues&)>;
Q_DECLARE_METATYPE(ValuesSetter)

namespace {

// What one connection to the server got: the bytes before the server closed it.
QByteArray requestOnce(quint16 port, const QList<QByteArray>& pieces, int pauseMs = 0) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; },
                         10000)) {
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
    void start(const QString& code) override {
        started << code;
        if (onFirstStart) {
            std::exchange(onFirstStart, nullptr)();
        }
        QTimer::singleShot(0, this, [this, code] {
            const bool replied = replies.contains(code);
            ExchangeResult r;
            r.code = code;
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
    MetricsSnapshot s;
    s.version = QStringLiteral("1.40");
    s.readings.answered = true;
    s.lastAnsweredMsecs = 1765000000123;
    s.readings.power = PowerState::On;
    s.readings.temperatureWarning = false;
    s.readings.lampFailure = false;
    s.readings.lampHours = 1234;
    s.readings.temperatureCelsius = {25.5, -3.0, 40.0};
    s.readings.pressureHpa = 1013;
    s.readings.inputMode = 2;
    s.readings.pictureMuted = false;
    s.readings.lampsLit = 3;
    s.counters.exchanges = 70;
    s.lineOpen = true;
    return s;
}

} // namespace

class TestMetrics : public QObject {
    Q_OBJECT

private slots:
    void readsAndRenders_data();
    void readsAndRenders();
    void escapesLabelValues();
    void polls_data();
    void polls();
    void pollsGiveWayToClients();
    void answersHttp_data();
    void answersHttp();
    void boundsConnections();
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
    QTest::newRow("lamp hours unreadable")
        << "CR3" << ValuesSetter([](StatusValues&) {}) << 1 << QStringList{}
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
    QTest::newRow("no temperatures") << "CR6" << ValuesSetter([](StatusValues&) {}) << 3
                                     << QStringList{} << QStringList{"rmq27_temperature_celsius"};
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
    QTest::newRow("audio mute only")
        << "CRA" << row("02") << 0 << QStringList{"rmq27_picture_muted 0"} << QStringList{};
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
    QVERIFY(lines.contains(QStringLiteral("rmq27_poll_answered 1")));
}

void TestMetrics::escapesLabelValues() {
    MetricsSnapshot snapshot;
    snapshot.version = QStringLiteral("1\\4\"0\n");
    QVERIFY(renderMetrics(snapshot).contains("rmq27_build_info{version=\"1\\\\4\\\"0\\n\"} 1\n"));
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

    poller.lineDown();
    QVERIFY(!poller.readings().answered);
    QVERIFY(!poller.readings().power);
}

// The poll's queries ride the line queue one at a time behind the clients' requests: a request
// that arrives mid-poll goes next, and every exchange is counted.
void TestMetrics::pollsGiveWayToClients() {
    ScriptedLine line;
    LineQueue queue(line);
    PjlinkServer pjlink(queue, pjlink::Identity{}, std::nullopt);
    BridgeMetrics metrics(queue, pjlink, StatusPoller::DefaultIntervalSeconds);
    line.metrics = &metrics;
    for (const QString& q : pollQueries()) {
        line.replies[q] = {};
    }
    line.replies[QStringLiteral("CR0")].row = QStringLiteral("80");
    line.replies[QStringLiteral("CR3")].lampHours = 7;
    line.replies[QStringLiteral("C00")] = {};
    QObject client;
    bool clientDone = false;

    line.onFirstStart = [&] {
        QVERIFY(queue.submit(&client, {QStringLiteral("C00"), QStringLiteral("CR0")},
                             LineQueue::Priority::Client,
                             [&](const QList<LineAnswer>&) { clientDone = true; }));
    };
    metrics.start();
    QTRY_VERIFY_WITH_TIMEOUT(metrics.snapshot().readings.answered, 10000);
    QVERIFY(clientDone);
    QStringList expected = pollQueries();
    expected.insert(1, QStringLiteral("C00"));
    expected.insert(2, QStringLiteral("CR0"));
    QCOMPARE(line.started, expected);
    const MetricsSnapshot s = metrics.snapshot();
    QCOMPARE(s.readings.power, std::optional(PowerState::Standby));
    QCOMPARE(s.readings.lampHours, std::optional<qint64>(7));
    QCOMPARE(s.counters.exchanges, quint64(9));
    QCOMPARE(s.counters.replyTimeouts, quint64(0));

    // A silent projector: the next poll stops at its first query, counted as a timeout.
    line.replies.clear();
    metrics.poller().tick();
    QTRY_VERIFY_WITH_TIMEOUT(!metrics.snapshot().readings.answered, 10000);
    QCOMPARE(line.started.size(), expected.size() + 1);
    QCOMPARE(metrics.snapshot().counters.replyTimeouts, quint64(1));
}

void TestMetrics::answersHttp_data() {
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("statusLine"); // empty: closed unanswered
    QTest::addColumn<bool>("withBody");

    const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QTest::newRow("scrape") << QList<QByteArray>{get} << QByteArray("HTTP/1.1 200 OK") << true;
    QTest::newRow("scrape in pieces")
        << QList<QByteArray>{"GE", "T /metr", "ics HTTP/1.0\r\n", "\r\n"}
        << QByteArray("HTTP/1.1 200 OK") << true;
    QTest::newRow("scrape, LF lines, query string")
        << QList<QByteArray>{"GET /metrics?x=1 HTTP/1.1\n\n"} << QByteArray("HTTP/1.1 200 OK")
        << true;
    QTest::newRow("head") << QList<QByteArray>{"HEAD /metrics HTTP/1.1\r\n\r\n"}
                          << QByteArray("HTTP/1.1 200 OK") << false;
    QTest::newRow("root") << QList<QByteArray>{"GET / HTTP/1.1\r\n\r\n"}
                          << QByteArray("HTTP/1.1 404 Not Found") << true;
    QTest::newRow("longer path") << QList<QByteArray>{"GET /metricsx HTTP/1.1\r\n\r\n"}
                                 << QByteArray("HTTP/1.1 404 Not Found") << true;
    QTest::newRow("post")
        << QList<QByteArray>{"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}
        << QByteArray("HTTP/1.1 405 Method Not Allowed") << true;
    QTest::newRow("delete") << QList<QByteArray>{"DELETE /metrics HTTP/1.1\r\n\r\n"}
                            << QByteArray("HTTP/1.1 405 Method Not Allowed") << true;
    QTest::newRow("not http") << QList<QByteArray>{"hello\r\n\r\n"}
                              << QByteArray("HTTP/1.1 400 Bad Request") << true;
    QTest::newRow("oversize head")
        << QList<QByteArray>{"GET /metrics HTTP/1.1\r\nX: " + QByteArray(5000, 'a') + "\r\n\r\n"}
        << QByteArray() << false;
    QTest::newRow("binary without end")
        << QList<QByteArray>{QByteArray(9000, '\0')} << QByteArray() << false;
    QTest::newRow("too slow") << QList<QByteArray>{"GET /metrics HTTP/1.1\r\n"} << QByteArray()
                              << false;
}

void TestMetrics::answersHttp() {
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, statusLine);
    QFETCH(bool, withBody);

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

// Idle connections past the bound are turned away; when the idle ones time out, scrapes work.
void TestMetrics::boundsConnections() {
    MetricsServer server([] { return QByteArray("x 1\n"); });
    server.setRequestTimeoutMs(2000);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < MetricsServer::MaxConnections + 4; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, server.serverPort());
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), MetricsServer::MaxConnections, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(std::count_if(idle.begin(), idle.end(),
                                           [](const auto& s) {
                                               return s->state() ==
                                                      QAbstractSocket::UnconnectedState;
                                           }) == 4,
                             10000);
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 0, 20000);
    QVERIFY(requestOnce(server.serverPort(), {"GET /metrics HTTP/1.1\r\n\r\n"})
                .endsWith("\r\n\r\nx 1\n"));
}

// The real linter of the Prometheus project reads a scrape taken through the server.
void TestMetrics::promtoolFindsNothingInScrape() {
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    QVERIFY2(!promtool.isEmpty(), "promtool not found (scripts/install-deps installs it)");
    MetricsSnapshot snapshot = everyReading();
    snapshot.readings.power = PowerState::CoolingDown;
    snapshot.readings.temperatureWarning = true;
    MetricsServer server([&] { return renderMetrics(snapshot); });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QByteArray got =
        requestOnce(server.serverPort(), {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"});
    const QByteArray body = got.mid(got.indexOf("\r\n\r\n") + 4);
    QVERIFY(body.contains("\nrmq27_air_pressure_pascals 101300\n"));
    QVERIFY(body.contains("\nrmq27_serial_line_open 1\n"));

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
