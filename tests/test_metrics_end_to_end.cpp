// rmq27-bridge's metrics against a real Prometheus server: the simulated projector in this
// process, the bridge and Prometheus as programs of their own, all on 127.0.0.1.

#include "bridge/metrics/metrics_snapshot.h"
#include "sim/sim_projector.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <memory>

namespace {

constexpr int kWaitMs = 60000;

quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// One HTTP/1.0 GET on 127.0.0.1; the body, empty when none came.
QByteArray httpGet(quint16 port, const QByteArray& target) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    s.write("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            got += s.readAll();
            return s.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    got += s.readAll();
    const qsizetype split = got.indexOf("\r\n\r\n");
    return got.startsWith("HTTP/1.") && got.contains(" 200 ") && split > 0 ? got.mid(split + 4)
                                                                           : QByteArray();
}

// The value of the first series a line of the scrape names, as text.
QByteArray scraped(const QByteArray& body, const QByteArray& series) {
    for (const QByteArray& line : body.split('\n')) {
        if (line.startsWith(series + ' ')) {
            return line.mid(series.size() + 1);
        }
    }
    return {};
}

// Starts rmq27-bridge for hall-left on device with metrics and a 5 s poll; it takes free ports
// itself and says which.
bool startBridge(QProcess& bridge, const QString& device, quint16* pjlinkPort,
                 quint16* metricsPort) {
    bridge.start(QStringLiteral(RMQ27_BRIDGE_PROGRAM),
                 {QStringLiteral("--port"), device, QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:0"), QStringLiteral("--metrics"),
                  QStringLiteral("127.0.0.1:0"), QStringLiteral("--poll"), QStringLiteral("5"),
                  QStringLiteral("--name"), QStringLiteral("hall-left")});
    const QRegularExpression ports(QStringLiteral("PJLink on 127.0.0.1:(\\d+).*\\n"
                                                  "metrics on 127.0.0.1:(\\d+)/metrics"));
    QByteArray log;
    if (!bridge.waitForStarted() ||
        !QTest::qWaitFor(
            [&] {
                return ports.match(QString::fromUtf8(log += bridge.readAllStandardError()))
                    .hasMatch();
            },
            kWaitMs)) {
        return false;
    }
    const QRegularExpressionMatch m = ports.match(QString::fromUtf8(log));
    *pjlinkPort = quint16(m.captured(1).toUInt());
    *metricsPort = quint16(m.captured(2).toUInt());
    return true;
}

void stop(QProcess& p) {
    if (p.state() != QProcess::NotRunning) {
        p.terminate(); // SIGTERM to its own process id
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
}

} // namespace

class TestMetricsEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void powerOnReadBackThroughPrometheus();
    void scrapesCauseNoSerialTraffic();
    void vanishedProjectorScrapesAtOnce();
    void silentProjectorScrapesAtOnce();

private:
    // An instant query's first value, as text; empty while there is none.
    QString promQuery(const QString& expr);
    QByteArray scrape() { return httpGet(metricsPort_, "/metrics"); }
    QByteArray pjlink(const QByteArray& command);

    std::unique_ptr<SimProjector> sim_;
    QStringList seen_; // commands the projector received
    QProcess bridge_;
    QProcess prometheus_;
    std::unique_ptr<QTemporaryDir> work_;
    QString link_; // the projector's device, as the bridge opens it
    quint16 pjlinkPort_ = 0;
    quint16 metricsPort_ = 0;
    quint16 prometheusPort_ = 0;
};

void TestMetricsEndToEnd::initTestCase() {
    const QString prometheus = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    QVERIFY2(!prometheus.isEmpty(), "prometheus not found (scripts/install-deps installs it)");
    sim_ = std::make_unique<SimProjector>();
    sim_->setCountDownMs(300);
    connect(sim_.get(), &SimProjector::exchanged, this,
            [this](const QByteArray& command, const QByteArray&) {
                seen_ << QString::fromLatin1(command);
            });

    // Prometheus keeps its data in a folder of its own inside the build directory.
    work_ = std::make_unique<QTemporaryDir>(QDir::currentPath() +
                                            QStringLiteral("/prometheus-e2e-XXXXXX"));
    QVERIFY(work_->isValid());
    // The bridge opens the projector by a link that goes with it, as an unplugged adapter's name
    // does: a freed pseudo-terminal number is soon another program's, which the bridge's reopens
    // must not find.
    link_ = work_->filePath(QStringLiteral("projector"));
    QVERIFY(QFile::link(sim_->devicePath(), link_));
    QVERIFY(startBridge(bridge_, link_, &pjlinkPort_, &metricsPort_));
    prometheusPort_ = freePort();
    QVERIFY(prometheusPort_);
    QFile config(work_->filePath(QStringLiteral("prometheus.yml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                "scrape_configs:\n  - job_name: projectors\n"
                                "    static_configs:\n      - targets: ['127.0.0.1:%1']\n")
                     .arg(metricsPort_)
                     .toUtf8());
    config.close();
    prometheus_.setProcessChannelMode(QProcess::MergedChannels);
    prometheus_.setStandardOutputFile(work_->filePath(QStringLiteral("prometheus.log")));
    prometheus_.start(prometheus,
                      {QStringLiteral("--config.file=") + config.fileName(),
                       QStringLiteral("--storage.tsdb.path=") + work_->filePath("data"),
                       QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort_)});
    QVERIFY(prometheus_.waitForStarted());
}

void TestMetricsEndToEnd::cleanupTestCase() {
    stop(prometheus_);
    stop(bridge_);
}

QString TestMetricsEndToEnd::promQuery(const QString& expr) {
    const QByteArray body =
        httpGet(prometheusPort_, "/api/v1/query?query=" + QUrl::toPercentEncoding(expr));
    const QJsonArray result =
        QJsonDocument::fromJson(body).object().value("data").toObject().value("result").toArray();
    return result.isEmpty() ? QString()
                            : result.first().toObject().value("value").toArray().at(1).toString();
}

QByteArray TestMetricsEndToEnd::pjlink(const QByteArray& command) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, pjlinkPort_);
    QByteArray got;
    const auto line = [&](int n) {
        return QTest::qWaitFor(
            [&] {
                got += s.readAll();
                return got.count('\r') >= n;
            },
            kWaitMs);
    };
    if (!line(1)) { // the greeting
        return {};
    }
    s.write(command + '\r');
    if (!line(2)) {
        return {};
    }
    return got.split('\r').at(1);
}

// Power on through PJLink: Prometheus shows the new power state and the warmer lamp's
// temperatures after the next poll, with no restart of anything.
void TestMetricsEndToEnd::powerOnReadBackThroughPrometheus() {
    QTRY_COMPARE_WITH_TIMEOUT(promQuery(QStringLiteral("rmq27_power_state{state=\"standby\"}")),
                              QStringLiteral("1"), kWaitMs);
    QCOMPARE(promQuery(QStringLiteral("rmq27_poll_answered")), QStringLiteral("1"));
    QCOMPARE(promQuery(QStringLiteral("up")), QStringLiteral("1"));
    QVERIFY(promQuery(QStringLiteral("rmq27_temperature_celsius{sensor=\"1\"}")) != "38.5");
    // The bridge's --name joins onto its series, as the example alerts name the projector.
    QCOMPARE(promQuery(QStringLiteral("rmq27_poll_answered * on(instance, job) group_left(name) "
                                      "rmq27_projector_info{name=\"hall-left\",model=\"RM-Q27\"}")),
             QStringLiteral("1"));

    QCOMPARE(pjlink("%1POWR 1"), QByteArray("%1POWR=OK"));
    QTRY_COMPARE_WITH_TIMEOUT(promQuery(QStringLiteral("rmq27_power_state{state=\"on\"}")),
                              QStringLiteral("1"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(promQuery(QStringLiteral("rmq27_temperature_celsius{sensor=\"1\"}")),
                              QStringLiteral("38.5"), kWaitMs);
    QCOMPARE(promQuery(QStringLiteral("rmq27_lamp_lit{lamp=\"1\"}")), QStringLiteral("1"));
    QCOMPARE(promQuery(QStringLiteral("rmq27_air_pressure_pascals > 0")).isEmpty(), false);
    QCOMPARE(promQuery(QStringLiteral("rmq27_pjlink_connections_total >= 1")).isEmpty(), false);
}

// Scrapes one after another, a hundred at least and on until a whole poll has gone out under
// them: the projector hears nothing but the polls.
void TestMetricsEndToEnd::scrapesCauseNoSerialTraffic() {
    const qsizetype before = seen_.size();
    const QString wholePoll = pollQueries().join(u',');
    const auto pollHeard = [&] { return seen_.mid(before).join(u',').contains(wholePoll); };
    int scrapes = 0;
    int answered = 0;
    QElapsedTimer waited;
    waited.start();
    while ((scrapes < 100 || !pollHeard()) && waited.elapsed() < kWaitMs) {
        answered += scrape().contains("\nrmq27_poll_answered ") ? 1 : 0;
        ++scrapes;
        QTest::qWait(10);
    }
    const QStringList during = seen_.mid(before);
    QCOMPARE(answered, scrapes);
    QVERIFY2(pollHeard(), qPrintable(during.join(u',')));
    for (const QString& command : during) {
        QVERIFY2(pollQueries().contains(command), qPrintable(command));
    }
    // The rest of a poll already under way, then the whole one: nothing else.
    QVERIFY2(during.size() < 2 * pollQueries().size(), qPrintable(during.join(u',')));
}

// The projector goes away: the line is found lost, the next poll ends unanswered and every
// scrape still answers at once with it, while the bridge tries to reopen the line. (The
// projector may go in the middle of a poll, which then ends unanswered before the loss shows.)
void TestMetricsEndToEnd::vanishedProjectorScrapesAtOnce() {
    QCOMPARE(scraped(scrape(), "rmq27_poll_answered"), QByteArray("1"));
    QFile::remove(link_);
    sim_.reset();
    QTRY_COMPARE_WITH_TIMEOUT(scraped(scrape(), "rmq27_serial_line_open"), QByteArray("0"),
                              kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(scraped(scrape(), "rmq27_poll_answered"), QByteArray("0"), kWaitMs);
    const QByteArray body = scrape();
    QVERIFY(!body.contains("rmq27_power_state"));
    QVERIFY(!body.contains("rmq27_temperature_celsius"));
    QVERIFY(!scraped(body, "rmq27_last_answered_poll_timestamp_seconds").isEmpty());
    QCOMPARE(scraped(body, "rmq27_serial_line_open"), QByteArray("0"));
    QCOMPARE(scraped(body, "rmq27_line_losses_total"), QByteArray("1"));
    QTRY_COMPARE_WITH_TIMEOUT(promQuery(QStringLiteral("rmq27_poll_answered")), QStringLiteral("0"),
                              kWaitMs);
    QCOMPARE(promQuery(QStringLiteral("up")), QStringLiteral("1"));
}

// A projector that never answers, behind a bridge of its own: every scrape answers, with the
// poll unanswered and its silence counted, while the poll waits out its reply windows.
void TestMetricsEndToEnd::silentProjectorScrapesAtOnce() {
    SimProjector silent(SimProjector::FaultMode::Silent);
    QProcess bridge;
    quint16 pjlinkPort = 0;
    quint16 metricsPort = 0;
    QVERIFY(startBridge(bridge, silent.devicePath(), &pjlinkPort, &metricsPort));
    QTRY_VERIFY_WITH_TIMEOUT(
        scraped(httpGet(metricsPort, "/metrics"), "rmq27_reply_timeouts_total").toInt() >= 1,
        kWaitMs);
    const QByteArray body = httpGet(metricsPort, "/metrics");
    QCOMPARE(scraped(body, "rmq27_poll_answered"), QByteArray("0"));
    QCOMPARE(scraped(body, "rmq27_serial_line_open"), QByteArray("1"));
    QVERIFY(!body.contains("rmq27_last_answered_poll_timestamp_seconds"));
    stop(bridge);
}

QTEST_GUILESS_MAIN(TestMetricsEndToEnd)
#include "test_metrics_end_to_end.moc"
