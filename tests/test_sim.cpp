#include "core/reply_decoder.h"
#include "core/transcript.h"
#include "sim/projector_model.h"
#include "sim/sim_projector.h"
#include "sim/start_simulator.h"

#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QByteArray kAck("\x06\r");
const QByteArray kNak("\x15\r");
constexpr int kWaitMs = 10000;

// Runs "time:command" steps (times in ms) on a model with a 3 s count down and a 5 s cool down.
void runSteps(ProjectorModel& model, const QStringList& steps) {
    model.setCountDownMs(3000);
    model.setCoolDownMs(5000);
    for (const QString& step : steps) {
        const qsizetype colon = step.indexOf(u':');
        if (step.startsWith(QLatin1String("state:"))) {
            QCOMPARE(model.setState(step.mid(colon + 1), 0),
                     ProjectorModel::stateNames().contains(step.mid(colon + 1)));
            continue;
        }
        model.reply(step.mid(colon + 1).toLatin1(), step.left(colon).toLongLong());
    }
}

// What the panel's status line shows for this reply to this query.
QString statusLine(const QByteArray& query, const QByteArray& reply) {
    const QString sendCmd = QString::fromLatin1(query) + QChar(13);
    const ReplyReading r =
        decodeReply(sendCmd, QString(), renderTranscript(QString::fromLatin1(reply)), 0);
    return r.status.value_or(QStringLiteral("<nothing>"));
}

// The panel's end of the line: the pty's slave side, opened without blocking.
class SlaveLine {
public:
    explicit SlaveLine(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~SlaveLine() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool isOpen() const { return fd_ >= 0; }
    bool write(const QByteArray& bytes) {
        return ::write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Reads what waits and appends it to received; notes when the far side has gone (end of
    // file or an error other than "nothing yet").
    QByteArray read() {
        QByteArray got;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, n);
            } else {
                if (n == 0 || errno != EAGAIN) {
                    gone = true;
                }
                break;
            }
        }
        received += got;
        return got;
    }
    QByteArray received;
    bool gone = false;

private:
    int fd_;
};

} // namespace

class TestSim : public QObject {
    Q_OBJECT
private slots:
    void acceptedCommands_data();
    void acceptedCommands();
    void rejectedCommands_data();
    void rejectedCommands();
    void refusedPowerCommands_data();
    void refusedPowerCommands();
    void powerSequence_data();
    void powerSequence();
    void panelReadings_data();
    void panelReadings();
    void lampHoursAdvanceOnlyWhileLit();

    void faultModeNames_data();
    void faultModeNames();
    void visibleLog();

    void answersOverPty();
    void startedFromOnePlace_data();
    void startedFromOnePlace();
    void answersThroughQSerialPort();
    void overLongLineIsRejectedAndLineResyncs();
    void silentNeverAnswers();
    void slowAnswersLater();
    void piecesArriveSeparately();
    void noisyAddsEveryByteValue();
    void floodIsContinuousAndKeepsNoBacklog();
    void vanishClosesTheLineAfterNCommands();
    void vanishClosesAfterGraceWithoutFurtherCommands();
};

// Every command of the panel's catalogue that is not a query is acknowledged, in any power state.
void TestSim::acceptedCommands_data() {
    QTest::addColumn<QByteArray>("command");
    const char* const codes[] = {"C00",
                                 "C01",
                                 "C05",
                                 "C06",
                                 "C07",
                                 "C08",
                                 "C0D",
                                 "C0E",
                                 "C0F",
                                 "C10",
                                 "C1C",
                                 "C1D",
                                 "C1E",
                                 "C23",
                                 "C24",
                                 "C25",
                                 "C27",
                                 "C30",
                                 "C31",
                                 "C33",
                                 "C34",
                                 "C35",
                                 "C3A",
                                 "C3B",
                                 "C3C",
                                 "C3D",
                                 "C3F",
                                 "C43",
                                 "C44",
                                 "C46",
                                 "C47",
                                 "C4A",
                                 "C4B",
                                 "C50",
                                 "C51",
                                 "C52",
                                 "C53",
                                 "C54",
                                 "C5D",
                                 "C5E",
                                 "C5F",
                                 "C60",
                                 "C89",
                                 "C8A",
                                 "C8E",
                                 "C8F",
                                 "C90",
                                 "C91",
                                 "CF IMAGE STAND",
                                 "CF IMAGE REAL",
                                 "CF IMAGE CINEMA",
                                 "CF IMAGE CUSTOM1",
                                 "CF IMAGE CUSTOM2",
                                 "CF IMAGE CUSTOM3",
                                 "CF IMAGE CUSTOM4",
                                 "CF KEYDIS NONE",
                                 "CF KEYDIS RC",
                                 "CF KEYDIS KEY",
                                 "CF FANSPEED MAX",
                                 "CF FANSPEED NOR"};
    for (const char* code : codes) {
        QTest::newRow(code) << QByteArray(code);
    }
}

void TestSim::acceptedCommands() {
    QFETCH(QByteArray, command);
    ProjectorModel model;
    QCOMPARE(model.reply(command, 0), kAck);
    QCOMPARE(model.reply("C00", 0), kAck); // power on, then the same command once more
    QCOMPARE(model.reply(command, 10), kAck);
}

void TestSim::rejectedCommands_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("lower case") << QByteArray("cr0");
    QTest::newRow("trailing space") << QByteArray("C00 ");
    QTest::newRow("leading line feed") << QByteArray("\nCR0");
    QTest::newRow("prefix only") << QByteArray("CR");
    QTest::newRow("unknown code") << QByteArray("C99");
    QTest::newRow("NUL inside") << QByteArray("CR0\0", 4);
    QTest::newRow("bytes above 127") << QByteArray("\xff\x80\xfe");
    QTest::newRow("long") << QByteArray(5000, 'C');
}

// A power command the projector cannot take now is refused, and changes nothing.
void TestSim::refusedPowerCommands_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("on while cooling down")
        << "cooling-down" << QByteArray("C00") << QByteArray("20\r");
    QTest::newRow("on with a failed lamp")
        << "lamp-failure" << QByteArray("C00") << QByteArray("81\r");
    QTest::newRow("on after a power failure")
        << "power-fail" << QByteArray("C00") << QByteArray("10\r");
    QTest::newRow("off after a power failure")
        << "power-fail" << QByteArray("C01") << QByteArray("10\r");
}

void TestSim::refusedPowerCommands() {
    QFETCH(QString, state);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, status);
    ProjectorModel model;
    QVERIFY(model.setState(state, 0));
    QCOMPARE(model.reply(command, 10), kNak);
    QCOMPARE(model.reply("CR0", 20), status);
}

void TestSim::rejectedCommands() {
    QFETCH(QByteArray, command);
    ProjectorModel model;
    QCOMPARE(model.reply(command, 0), kNak);
    QCOMPARE(model.reply("CR0", 0), QByteArray("80\r")); // nothing changed
}

void TestSim::powerSequence_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<qint64>("at");
    QTest::addColumn<QByteArray>("status");
    QTest::newRow("starts in stand-by") << QStringList() << qint64(0) << QByteArray("80\r");
    QTest::newRow("on counts down") << QStringList{"0:C00"} << qint64(2999) << QByteArray("40\r");
    QTest::newRow("then is on") << QStringList{"0:C00"} << qint64(3000) << QByteArray("00\r");
    QTest::newRow("off cools down")
        << QStringList{"0:C00", "4000:C01"} << qint64(8999) << QByteArray("20\r");
    QTest::newRow("then stands by")
        << QStringList{"0:C00", "4000:C01"} << qint64(9000) << QByteArray("80\r");
    QTest::newRow("off during count down cools down")
        << QStringList{"0:C00", "1000:C01"} << qint64(3000) << QByteArray("20\r");
    QTest::newRow("on while cooling down is ignored")
        << QStringList{"0:C00", "4000:C01", "5000:C00"} << qint64(9000) << QByteArray("80\r");
    QTest::newRow("off in stand-by is ignored")
        << QStringList{"0:C01"} << qint64(100000) << QByteArray("80\r");
    QTest::newRow("second on does not restart the count down")
        << QStringList{"0:C00", "2000:C00"} << qint64(3000) << QByteArray("00\r");
    QTest::newRow("time going back counts as no time")
        << QStringList{"5000:C00"} << qint64(0) << QByteArray("40\r");
    QTest::newRow("a long jump runs every transition")
        << QStringList{"0:C00", "1:C01"} << qint64(1000000) << QByteArray("80\r");
    // "state:NAME" steps put the projector into a named state at time 0.
    QTest::newRow("power fail") << QStringList{"state:power-fail", "0:C00"} << qint64(9000)
                                << QByteArray("10\r");
    QTest::newRow("temperature warning")
        << QStringList{"state:temperature-warning"} << qint64(0) << QByteArray("08\r");
    QTest::newRow("warning cools down")
        << QStringList{"state:temperature-warning", "0:C01"} << qint64(4999) << QByteArray("28\r");
    QTest::newRow("warning recovered")
        << QStringList{"state:temperature-warning", "0:C01"} << qint64(5000) << QByteArray("88\r");
    QTest::newRow("power-on clears a recovered warning")
        << QStringList{"state:temperature-warning-recovered", "0:C00"} << qint64(3000)
        << QByteArray("00\r");
    QTest::newRow("no key input") << QStringList{"state:no-key-input"} << qint64(0)
                                  << QByteArray("02\r");
    QTest::newRow("lamp off by power management")
        << QStringList{"state:lamp-off"} << qint64(0) << QByteArray("04\r");
    QTest::newRow("lamp off with warning")
        << QStringList{"state:lamp-off-temperature-warning"} << qint64(0) << QByteArray("24\r");
    QTest::newRow("lamp failure cools down")
        << QStringList{"state:lamp-failure-cooling-down"} << qint64(4999) << QByteArray("21\r");
    QTest::newRow("then stands by with the lamp failed")
        << QStringList{"state:lamp-failure-cooling-down", "6000:C00"} << qint64(9000)
        << QByteArray("81\r");
    QTest::newRow("unknown state changes nothing")
        << QStringList{"state:melted"} << qint64(0) << QByteArray("80\r");
}

void TestSim::powerSequence() {
    QFETCH(QStringList, steps);
    QFETCH(qint64, at);
    QFETCH(QByteArray, status);
    ProjectorModel model;
    runSteps(model, steps);
    QCOMPARE(model.reply("CR0", at), status);
}

// Each query's reply, read through the panel's own transcript and decoder, gives a plausible
// reading; state set by earlier commands shows in it.
void TestSim::panelReadings_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("reading");
    const QStringList on{"0:C00"}; // lit from time 0, on at 3000; queries below run at 4000
    QTest::newRow("stand-by") << QStringList() << QByteArray("CR0") << " Stand by";
    QTest::newRow("count down") << QStringList{"3999:C00"} << QByteArray("CR0") << " Count down";
    QTest::newRow("power on") << on << QByteArray("CR0") << " Power ON";
    QTest::newRow("cooling down") << QStringList{"0:C00", "3999:C01"} << QByteArray("CR0")
                                  << " Cooling down";
    QTest::newRow("input 1 at start") << QStringList() << QByteArray("CR1") << " Input mode 1";
    QTest::newRow("input 2") << QStringList{"0:C06"} << QByteArray("CR1") << " Input mode 2";
    QTest::newRow("input 3") << QStringList{"0:C07"} << QByteArray("CR1") << " Input mode 3";
    QTest::newRow("input network")
        << QStringList{"0:C06", "0:C08"} << QByteArray("CR1") << " Input mode 4";
    QTest::newRow("back to input 1")
        << QStringList{"0:C07", "0:C05"} << QByteArray("CR1") << " Input mode 1";
    QTest::newRow("reversal") << on << QByteArray("CR4") << " Normally";
    QTest::newRow("mute in stand-by") << QStringList{"0:C0D"} << QByteArray("CRA") << " Stand by";
    QTest::newRow("no mute") << on << QByteArray("CRA") << " Video & Audio mute OFF";
    QTest::newRow("no show on") << QStringList{"0:C00", "3500:C0D"} << QByteArray("CRA")
                                << " Video mute ON";
    QTest::newRow("no show off") << QStringList{"0:C00", "3500:C0D", "3600:C0E"}
                                 << QByteArray("CRA") << " Video & Audio mute OFF";
    QTest::newRow("power off ends no show") << QStringList{"0:C00", "500:C0D", "3900:C01"}
                                            << QByteArray("CRA") << " Video & Audio mute OFF";
    QTest::newRow("lamp mode lit") << on << QByteArray("CR7") << " No1 ON  : 2 Lamp mode";
    QTest::newRow("lamp mode off")
        << QStringList() << QByteArray("CR7") << " All OFF : 2 Lamp mode";
    QTest::newRow("lamp hours") << QStringList() << QByteArray("CR3") << " 0 1 2 3 4 CR  Hour Use";
    QTest::newRow("temperatures lit")
        << on << QByteArray("CR6") << "  S1= + 3 8 . 5 C  ,   S2=  4 1 . 0 C , S3= + 2 9 . 5 C";
    QTest::newRow("temperatures stand-by")
        << QStringList() << QByteArray("CR6")
        << "  S1= + 2 4 . 5 C  ,   S2=  2 5 . 0 C , S3= + 2 3 . 5 C";
    QTest::newRow("pressure") << QStringList() << QByteArray("CR PRESSURE") << "1013 hPa";
    QTest::newRow("free text") << QStringList() << QByteArray("CR9")
                               << " R M - Q 2 7   S I M   V E R 1 . 4 0 CR ";
}

void TestSim::panelReadings() {
    QFETCH(QStringList, steps);
    QFETCH(QByteArray, query);
    QFETCH(QString, reading);
    ProjectorModel model;
    runSteps(model, steps);
    const QByteArray reply = model.reply(query, 4000);
    QVERIFY(reply.endsWith('\r'));
    QCOMPARE(reply.count('\r'), 1);
    QCOMPARE(statusLine(query, reply), reading);
}

void TestSim::lampHoursAdvanceOnlyWhileLit() {
    ProjectorModel model;
    model.setMsPerLampHour(1000);
    model.setCountDownMs(3000);
    model.setCoolDownMs(5000);
    QCOMPARE(model.lampHours(50000), ProjectorModel::InitialLampHours); // stand-by: dark
    model.reply("C00", 50000);
    QCOMPARE(model.lampHours(52500), ProjectorModel::InitialLampHours + 2); // lit in count down
    model.reply("C01", 60000);
    QCOMPARE(model.lampHours(99000), ProjectorModel::InitialLampHours + 10); // dark once off
    QCOMPARE(model.reply("CR3", 99000), QByteArray("01244\r"));

    model.setMsPerLampHour(1);
    model.reply("C00", 100000);
    QCOMPARE(model.reply("CR3", 10000000000), QByteArray("99999\r")); // stays five digits
}

void TestSim::faultModeNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode"); // -1: not a mode
    using M = SimProjector::FaultMode;
    QTest::newRow("none") << "none" << int(M::None);
    QTest::newRow("silent") << "silent" << int(M::Silent);
    QTest::newRow("slow") << "slow" << int(M::Slow);
    QTest::newRow("pieces") << "pieces" << int(M::Pieces);
    QTest::newRow("noisy") << "noisy" << int(M::Noisy);
    QTest::newRow("flood") << "flood" << int(M::Flood);
    QTest::newRow("vanish") << "vanish" << int(M::Vanish);
    QTest::newRow("upper case") << "SILENT" << -1;
    QTest::newRow("padded") << " slow" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestSim::faultModeNames() {
    QFETCH(QString, name);
    QFETCH(int, mode);
    const auto parsed = SimProjector::parseFaultMode(name);
    QCOMPARE(parsed ? int(*parsed) : -1, mode);
    if (parsed) {
        QCOMPARE(SimProjector::faultModeName(*parsed), name);
    }
}

void TestSim::visibleLog() {
    QCOMPARE(SimProjector::visible(QByteArray("CR0\r")), QStringLiteral("CR0<CR>"));
    QCOMPARE(SimProjector::visible(kAck + kNak), QStringLiteral("<ACK><CR><NAK><CR>"));
    QCOMPARE(SimProjector::visible(QByteArray("\0\x7f\xff<\n", 5)),
             QStringLiteral("<NUL><7F><FF><3C><LF>"));
}

void TestSim::startedFromOnePlace_data() {
    QTest::addColumn<bool>("descriptors");
    QTest::newRow("started") << true;
    QTest::newRow("no descriptor left") << false;
}

// The one start of a simulated projector: owned by the owner given and on its device, or nothing
// started and the reason in the operator's words.
void TestSim::startedFromOnePlace() {
    QFETCH(bool, descriptors);
    QObject owner;
    rlimit saved{};
    if (!descriptors) {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizers need file descriptors of their own");
#endif
        // Every descriptor from the lowest free one on is refused, as on a machine out of them.
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowestFree);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    const SimulatorStart start = startSimulatedProjector(&owner, SimProjector::FaultMode::Slow);
    if (!descriptors) {
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(!start.projector);
        QVERIFY(start.device.isEmpty());
        QVERIFY(owner.children().isEmpty());
        QCOMPARE(start.failure.value_or(QString()),
                 QStringLiteral("the simulated projector cannot start (No pseudo-terminal: Too "
                                "many open files)"));
        return;
    }
    QVERIFY2(!start.failure, qPrintable(start.failure.value_or(QString())));
    QVERIFY(start.projector);
    QCOMPARE(start.projector->parent(), &owner);
    QCOMPARE(start.projector->faultMode(), SimProjector::FaultMode::Slow);
    QCOMPARE(start.device, start.projector->devicePath());
    QVERIFY(start.device.startsWith(QLatin1String("/dev/")));
}

void TestSim::answersOverPty() {
    SimProjector sim;
    QSignalSpy exchanges(&sim, &SimProjector::exchanged);
    SlaveLine line(sim.devicePath());
    QVERIFY(line.isOpen());
    // Commands split across writes and several in one write are all framed by their CR.
    QVERIFY(line.write("C"));
    QVERIFY(line.write("R0"));
    QVERIFY(line.write("\rC06\rCR1\rXYZ\r"));
    const QByteArray expected = QByteArray("80\r") + kAck + "2\r" + kNak;
    QTRY_COMPARE_WITH_TIMEOUT((line.read(), line.received), expected, kWaitMs);
    QCOMPARE(exchanges.size(), 4);
    QCOMPARE(exchanges.at(0).at(0).toByteArray(), QByteArray("CR0"));
    QCOMPARE(exchanges.at(0).at(1).toByteArray(), QByteArray("80\r"));
    QCOMPARE(exchanges.at(3).at(0).toByteArray(), QByteArray("XYZ"));
}

void TestSim::answersThroughQSerialPort() {
    SimProjector sim;
    QSerialPort port(sim.devicePath());
    port.setBaudRate(19200);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    port.write("CR PRESSURE\r");
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT((got += port.readAll(), got), QByteArray("0853\r"), kWaitMs);
}

void TestSim::overLongLineIsRejectedAndLineResyncs() {
    SimProjector sim;
    QSignalSpy notes(&sim, &SimProjector::noted);
    SlaveLine line(sim.devicePath());
    QByteArray junk(3000, '\0');
    for (qsizetype i = 0; i < junk.size(); ++i) {
        junk[i] = char(i % 256 == 13 ? 0 : i % 256);
    }
    QVERIFY(line.write(junk));
    QVERIFY(line.write("\rCR0\r"));
    QTRY_COMPARE_WITH_TIMEOUT((line.read(), line.received), kNak + "80\r", kWaitMs);
    QCOMPARE(notes.size(), 1);
}

void TestSim::silentNeverAnswers() {
    SimProjector sim(SimProjector::FaultMode::Silent);
    QSignalSpy exchanges(&sim, &SimProjector::exchanged);
    SlaveLine line(sim.devicePath());
    QVERIFY(line.write("CR0\rC00\r"));
    QTRY_COMPARE_WITH_TIMEOUT(exchanges.size(), 2, kWaitMs);
    // Each command is answered, or not, as it is heard: nothing was written and nothing waits
    // to be.
    QCOMPARE(sim.queuedBytes(), 0);
    QCOMPARE(line.read(), QByteArray());
    QCOMPARE(exchanges.at(0).at(1).toByteArray(), QByteArray());
    QCOMPARE(sim.power(), ProjectorModel::Power::CountDown); // heard, just never answers
}

void TestSim::slowAnswersLater() {
    SimProjector sim(SimProjector::FaultMode::Slow);
    sim.setReplyDelayMs(300);
    QSignalSpy exchanges(&sim, &SimProjector::exchanged);
    SlaveLine line(sim.devicePath());
    QVERIFY(line.write("CR0\r"));
    QTRY_COMPARE_WITH_TIMEOUT(exchanges.size(), 1, kWaitMs);
    QCOMPARE(line.read(), QByteArray()); // heard, not yet answered
    QTRY_COMPARE_WITH_TIMEOUT((line.read(), line.received), QByteArray("80\r"), kWaitMs);
}

void TestSim::piecesArriveSeparately() {
    SimProjector sim(SimProjector::FaultMode::Pieces);
    sim.setPieceGapMs(200);
    SlaveLine line(sim.devicePath());
    QVERIFY(line.write("CR6\r"));
    const QByteArray whole("+24.5 +25.0 +23.5\r");
    QList<QByteArray> reads;
    QTRY_VERIFY_WITH_TIMEOUT((reads << line.read(), line.received.size() >= whole.size()), kWaitMs);
    QCOMPARE(line.received, whole);
    reads.removeAll(QByteArray());
    QVERIFY2(reads.size() >= 2, "the answer came in one piece");
}

void TestSim::noisyAddsEveryByteValue() {
    SimProjector sim(SimProjector::FaultMode::Noisy);
    sim.setNoiseSeed(27);
    QSignalSpy exchanges(&sim, &SimProjector::exchanged);
    SlaveLine line(sim.devicePath());
    const int commands = 300; // at least one noise byte each: more than 256 in all
    for (int i = 0; i < commands; ++i) {
        QVERIFY(line.write("CR0\r"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(exchanges.size(), commands, kWaitMs);
    QByteArray sent;
    for (const QList<QVariant>& exchange : exchanges) {
        const QByteArray reply = exchange.at(1).toByteArray();
        QVERIFY(reply.size() > 3);
        qsizetype at = 0; // the true answer is still in there, in order
        for (const char c : QByteArray("80\r")) {
            at = reply.indexOf(c, at);
            QVERIFY(at >= 0);
            ++at;
        }
        sent += reply;
    }
    QTRY_COMPARE_WITH_TIMEOUT((line.read(), line.received.size()), sent.size(), kWaitMs);
    QCOMPARE(line.received, sent);
    for (int v = 0; v < 256; ++v) {
        QVERIFY2(sent.contains(char(v)), qPrintable(QString::number(v)));
    }
}

void TestSim::floodIsContinuousAndKeepsNoBacklog() {
    SimProjector sim(SimProjector::FaultMode::Flood);
    SlaveLine line(sim.devicePath());
    // Fast enough to fill the line in a fraction of a second once nobody reads it.
    sim.setFloodBytesPerSecond(400000);
    QTRY_VERIFY_WITH_TIMEOUT((line.read(), line.received.size() > 500), kWaitMs);
    const qsizetype before = line.received.size();
    QTRY_VERIFY_WITH_TIMEOUT((line.read(), line.received.size() > before + 500), kWaitMs);

    // Nobody reads: the line fills, and the simulator keeps nothing back.
    QTRY_VERIFY_WITH_TIMEOUT(sim.floodBytesLost() > 0, kWaitMs);
    QCOMPARE(sim.queuedBytes(), 0);

    // Commands are still answered amid the flood.
    QVERIFY(line.write("CR9\r"));
    QTRY_VERIFY_WITH_TIMEOUT((line.read(), line.received.contains("RM-Q27 SIM VER1.40\r")),
                             kWaitMs);
    QVERIFY(sim.queuedBytes() <= SimProjector::MaxQueuedBytes);
}

void TestSim::vanishClosesTheLineAfterNCommands() {
    SimProjector sim(SimProjector::FaultMode::Vanish);
    sim.setVanishAfter(2);
    sim.setVanishGraceMs(600000);
    QSignalSpy vanished(&sim, &SimProjector::vanished);
    SlaveLine line(sim.devicePath());
    QVERIFY(line.write("CR0\rCR1\r"));
    QTRY_COMPARE_WITH_TIMEOUT((line.read(), line.received), QByteArray("80\r1\r"), kWaitMs);
    QVERIFY(sim.isOpen());
    QCOMPARE(vanished.size(), 0);

    QVERIFY(line.write("CR0\r"));
    QTRY_COMPARE_WITH_TIMEOUT(vanished.size(), 1, kWaitMs);
    QVERIFY(!sim.isOpen());
    QTRY_VERIFY_WITH_TIMEOUT((line.read(), line.gone), kWaitMs);
    QVERIFY(!line.write("CR0\r"));
    QCOMPARE(line.received, QByteArray("80\r1\r")); // the third command got no answer
}

void TestSim::vanishClosesAfterGraceWithoutFurtherCommands() {
    SimProjector sim(SimProjector::FaultMode::Vanish);
    sim.setVanishAfter(1);
    sim.setVanishGraceMs(200);
    QSignalSpy vanished(&sim, &SimProjector::vanished);
    SlaveLine line(sim.devicePath());
    QVERIFY(line.write("CR0\r"));
    QTRY_COMPARE_WITH_TIMEOUT(vanished.size(), 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT((line.read(), line.gone), kWaitMs);
}

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
