#include "core/exchange_frame.h"
#include "core/failure.h"
#include "exchange/exchange.h"
#include "sim/pty_pair.h"
#include "sim/sim_projector.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <memory>

namespace {

constexpr int WaitMs = 20000;
// Quiet times short enough that no test waits on them, except where they are the subject.
constexpr ExchangeTimings Short{20, 20, 100, 5000};

// The far side of the line: answers every command (a line up to its CR) from a table after a
// delay, or not at all.
class Responder : public QObject {
public:
    explicit Responder(PtyPair& pty) : pty_(pty) {
        connect(&pty, &PtyPair::readyRead, this, [this] {
            line_ += pty_.readAll();
            for (qsizetype cr; (cr = line_.indexOf('\r')) >= 0; line_.remove(0, cr + 1)) {
                const QByteArray command = line_.left(cr);
                commands << command;
                if (!answers.contains(command)) {
                    continue;
                }
                const QByteArray reply = answers.value(command);
                QTimer::singleShot(delayMs, Qt::PreciseTimer, this,
                                   [this, reply] { pty_.write(reply); });
            }
        });
    }
    QHash<QByteArray, QByteArray> answers;
    int delayMs = 0;
    QByteArrayList commands;

private:
    PtyPair& pty_;
    QByteArray line_;
};

} // namespace

class TestExchange : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void outcomes_data();
    void outcomes();
    void lateRepliesNeverCredited_data();
    void lateRepliesNeverCredited();
    void answerFromBeforeTheOpenIsLate_data();
    void answerFromBeforeTheOpenIsLate();
    void windowNeverShort();
    void replyAfterDeadlineIsLate();
    void portGoneMidExchange();
    void closedPortFailsFromTheLoop();
    void floodStaysBounded();

private:
    // Runs one exchange to its end.
    ExchangeResult run(const QString& code, int windowMs);
    void reopen(const QString& device, const ExchangeTimings& timings = Short);

    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<Responder> far;
    std::unique_ptr<Exchange> ex;
    QList<ExchangeResult> results;
    QList<ExchangeEvent> events;
    QStringList losses;
};

void TestExchange::init() {
    pty = std::make_unique<PtyPair>();
    far = std::make_unique<Responder>(*pty);
    ex = std::make_unique<Exchange>();
    results.clear();
    events.clear();
    losses.clear();
    connect(ex.get(), &Exchange::finished, this, [this](const ExchangeResult& r) { results << r; });
    connect(ex.get(), &Exchange::event, this, [this](const ExchangeEvent& e) { events << e; });
    connect(ex.get(), &Exchange::lost, this, [this](const QString& d) { losses << d; });
    reopen(pty->devicePath());
}

void TestExchange::reopen(const QString& device, const ExchangeTimings& timings) {
    ex->close();
    ex->setTimings(timings);
    const Result<> opened =
        ex->open(device, QStringLiteral("19200,N,8,1"), QStringLiteral("--port"));
    QVERIFY2(opened.ok(), qPrintable(opened.ok() ? QString() : opened.failure().description));
}

void TestExchange::cleanup() {
    ex.reset();
    far.reset();
    pty.reset();
}

ExchangeResult TestExchange::run(const QString& code, int windowMs) {
    const qsizetype before = results.size();
    ex->start(code, windowMs);
    // Never from inside start().
    [&] { QCOMPARE(results.size(), before); }();
    [&] { QTRY_COMPARE_WITH_TIMEOUT(results.size(), before + 1, WaitMs); }();
    return results.value(before);
}

void TestExchange::outcomes_data() {
    QTest::addColumn<QString>("code");
    QTest::addColumn<QByteArray>("answer"); // empty: none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("status");

    const auto row = [](const char* name, const char* code, const QByteArray& answer,
                        ExchangeOutcome outcome, bool ok, const char* received,
                        const char* status) {
        QTest::newRow(name) << QString::fromLatin1(code) << answer << int(outcome) << ok
                            << QString::fromLatin1(received) << QString::fromLatin1(status);
    };
    using O = ExchangeOutcome;
    row("status", "CR0", "00\r", O::Answered, true, "00\r", " Power ON");
    row("acknowledged", "C00", "\x06\r", O::Acknowledged, true, "\x06\r", "");
    row("refused", "BOGUS", "\x15\r", O::Refused, false, "\x15\r", "");
    row("NAK then more is an answer", "CR9", "\x15x\r", O::Answered, true, "\x15x\r", " ? x CR ");
    row("silent", "CR0", "", O::NoReply, false, "", "");
    row("no CR", "CR0", "00", O::NoReply, false, "00", " Power ON");
    row("ends at its CR", "CR1", "2\r\n", O::Answered, true, "2\r", " Input mode 2");
    row("unreadable pressure", "CR PRESSURE", "6554\r", O::Answered, false, "6554\r", "");
}

void TestExchange::outcomes() {
    QFETCH(QString, code);
    QFETCH(QByteArray, answer);
    QFETCH(int, outcome);
    QFETCH(bool, ok);
    QFETCH(QString, received);
    QFETCH(QString, status);
    if (!answer.isEmpty()) {
        far->answers[code.toLatin1()] = answer;
    }
    const ExchangeResult r = run(code, 500);
    QCOMPARE(int(r.outcome), outcome);
    QCOMPARE(r.ok(), ok);
    QCOMPARE(r.error.isEmpty(), ok);
    QCOMPARE(r.sent, code + u'\r');
    QCOMPARE(r.received, received);
    QCOMPARE(r.status.value_or(QString()), status);
    QCOMPARE(r.transcript, received.isEmpty() ? NoReplyMark : r.transcript);
    QCOMPARE(r.complete, received.endsWith(u'\r'));
    if (!ok) {
        QVERIFY2(r.error.contains(ex->portLabel()), qPrintable(r.error));
    }
    QCOMPARE(far->commands, QByteArrayList{code.toLatin1()});
}

void TestExchange::lateRepliesNeverCredited_data() {
    QTest::addColumn<int>("windowMs");
    QTest::newRow("windows a little short") << 150;
    QTest::newRow("windows far too short") << 50;
    QTest::newRow("windows long enough") << 700;
}

void TestExchange::lateRepliesNeverCredited() {
    // A projector that answers every command 0.2 s late, each with an answer of its own; the
    // quiet after a silent window outlasts that by far.
    QFETCH(int, windowMs);
    constexpr int DelayMs = 200;
    SimProjector sim(SimProjector::FaultMode::Slow);
    sim.setReplyDelayMs(DelayMs);
    reopen(sim.devicePath(), {20, 20, 500, 5000});
    const QStringList codes{"CR0", "C01", "CR1", "CR3", "CR0"};
    const QHash<QString, QString> own{{"CR0", "80\r"}, {"C01", "\x06\r"}, {"CR1", "1\r"}};
    for (const QString& code : codes) {
        const ExchangeResult r = run(code, windowMs);
        if (windowMs > DelayMs) {
            QVERIFY2(r.ok(), qPrintable(r.error));
        } else {
            QCOMPARE(int(r.outcome), int(ExchangeOutcome::NoReply));
            QCOMPARE(r.received, QString());
        }
        if (own.contains(code) && !r.received.isEmpty()) {
            QCOMPARE(r.received, own[code]);
        }
    }
    if (windowMs < DelayMs) {
        // Every answer came, the last one after its window too, and each was dropped as late.
        QTRY_COMPARE_WITH_TIMEOUT(std::count_if(events.cbegin(), events.cend(),
                                                [](const ExchangeEvent& e) {
                                                    return e.kind == ExchangeEvent::Kind::Late &&
                                                           e.bytes.endsWith('\r');
                                                }),
                                  codes.size(), WaitMs);
    }
}

void TestExchange::answerFromBeforeTheOpenIsLate_data() {
    QTest::addColumn<int>("afterOpenMs"); // negative: waiting when the line opens
    QTest::newRow("waiting at the open") << -1;
    QTest::newRow("arriving right after the open") << 0;
    QTest::newRow("arriving within the quiet") << 100;
}

void TestExchange::answerFromBeforeTheOpenIsLate() {
    // The last user of the line asked something and left; its answer waits on the line or comes
    // just after this open.
    QFETCH(int, afterOpenMs);
    ex->close();
    if (afterOpenMs < 0) {
        pty->write("80\r");
    }
    reopen(pty->devicePath(), {20, 400, 100, 5000});
    if (afterOpenMs >= 0) {
        QTimer::singleShot(afterOpenMs, pty.get(), [this] { pty->write("80\r"); });
    }
    far->answers["CR0"] = "00\r";
    const ExchangeResult r = run(QStringLiteral("CR0"), 1500);
    QCOMPARE(r.received, QStringLiteral("00\r"));
    // What waited at the open was cleared with the line's buffers; what came after it is late.
    QVERIFY(afterOpenMs < 0 ||
            std::any_of(events.cbegin(), events.cend(), [](const ExchangeEvent& e) {
                return e.kind == ExchangeEvent::Kind::Late && e.bytes == "80\r";
            }));
}

void TestExchange::windowNeverShort() {
    // A lower bound only: the window is a deadline, never cut short as a coarse timer would.
    QElapsedTimer clock;
    clock.start();
    const ExchangeResult r = run(QStringLiteral("CR0"), 300);
    QVERIFY(clock.elapsed() >= 300);
    QCOMPARE(int(r.outcome), int(ExchangeOutcome::NoReply));
}

void TestExchange::replyAfterDeadlineIsLate() {
    far->answers["CR0"] = "00\r";
    far->delayMs = 400;
    const ExchangeResult r = run(QStringLiteral("CR0"), 200);
    QCOMPARE(int(r.outcome), int(ExchangeOutcome::NoReply));
    QTRY_VERIFY_WITH_TIMEOUT(!events.isEmpty() && events.last().kind == ExchangeEvent::Kind::Late,
                             WaitMs);
    QCOMPARE(events.last().bytes, QByteArray("00\r"));
    QCOMPARE(events.last().device, pty->devicePath());
}

void TestExchange::portGoneMidExchange() {
    QTimer::singleShot(300, pty.get(), &PtyPair::close);
    const ExchangeResult r = run(QStringLiteral("CR0"), 5000);
    QCOMPARE(int(r.outcome), int(ExchangeOutcome::PortFailed));
    QVERIFY2(r.error.contains(pty->devicePath()), qPrintable(r.error));
    QVERIFY(!ex->isOpen());
    QCOMPARE(losses.size(), 1);
    // The next exchange on the closed line fails as well, and says so.
    const ExchangeResult next = run(QStringLiteral("CR0"), 500);
    QCOMPARE(int(next.outcome), int(ExchangeOutcome::PortFailed));
    QCOMPARE(next.sent, QString());
    QCOMPARE(losses.size(), 1);
}

void TestExchange::closedPortFailsFromTheLoop() {
    // Closed while its exchange runs: that exchange still ends, once, as a port failure.
    ex->start(QStringLiteral("CR0"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!events.isEmpty() && events.last().kind == ExchangeEvent::Kind::Sent,
                             WaitMs);
    ex->close();
    QVERIFY(results.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, WaitMs);
    QCOMPARE(int(results[0].outcome), int(ExchangeOutcome::PortFailed));
    QCOMPARE(results[0].sent, QStringLiteral("CR0\r"));
    // Started on a closed line: it fails from the event loop too.
    const ExchangeResult r = run(QStringLiteral("C00"), 500);
    QCOMPARE(int(r.outcome), int(ExchangeOutcome::PortFailed));
    QVERIFY(!r.error.isEmpty());
    QVERIFY(!ex->busy());
}

void TestExchange::floodStaysBounded() {
    // A line that starts to chatter without end once the command is out: what the window keeps
    // stops at the reply limit, and the wait ends at its deadline.
    QTimer flood;
    connect(&flood, &QTimer::timeout, this, [this] { pty->write(QByteArray(4096, 'x')); });
    connect(ex.get(), &Exchange::event, &flood, [&flood](const ExchangeEvent& e) {
        if (e.kind == ExchangeEvent::Kind::Sent) {
            flood.start(1);
        }
    });
    const ExchangeResult r = run(QStringLiteral("CR0"), 300);
    flood.stop();
    QCOMPARE(int(r.outcome), int(ExchangeOutcome::NoReply));
    QCOMPARE(r.received.size(), ReceiveLimit);
    for (const ExchangeEvent& e : std::as_const(events)) {
        QVERIFY(e.bytes.size() <= ReceiveLimit);
    }
}

QTEST_GUILESS_MAIN(TestExchange)
#include "test_exchange.moc"
