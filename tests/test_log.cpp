// The record of the exchanges (--log FILE): the line of each event, a panel run against a real
// pseudo-terminal and against the simulated projector, and logs that cannot be kept.
#include "core/exchange_log.h"
#include "core/transcript.h"
#include "sim/sim_projector.h"
#include "support/form1_test_seam.h"
#include "support/panel_rig.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList logLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The fields of a line after its time: port, device, event, hex, rendering, note.
QStringList fieldsAfterTime(const QString& line) {
    return line.split(QLatin1Char('\t')).mid(1);
}

} // namespace

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void line_data();
    void line();
    void panelRunOverPty();
    void panelRunAgainstSimulator();
    void unusableLog_data();
    void unusableLog();
    void anythingWritable_data();
    void anythingWritable();
};

void TestLog::line_data() {
    QTest::addColumn<int>("offsetSeconds");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("expected");
    using K = ExchangeEvent::Kind;
    QTest::newRow("sent") << 3600 << int(K::Sent) << QByteArray("CR0\r") << QString() << QString()
                          << "2026-12-07T18:04:05.067+01:00\tCOM1\t/dev/ttyUSB0\tsent\t43 52 30 "
                             "0D\t C R 0 CR \t";
    QTest::newRow("received with reading")
        << -12600 << int(K::Received) << QByteArray("00\r") << QString() << " Power ON"
        << "2026-12-07T18:04:05.067-03:30\tCOM1\t/dev/ttyUSB0\treceived\t30 30 0D\t 0 0 CR \t "
           "Power ON";
    QTest::newRow("every byte value is shown, none breaks the line")
        << 0 << int(K::Late) << QByteArray("\t\n\xff", 3) << QString() << QString()
        << "2026-12-07T18:04:05.067+00:00\tCOM1\t/dev/ttyUSB0\tlate\t09 0A FF\t" +
               renderTranscript(QStringLiteral("\t\n\u00ff")) + "\t";
    QTest::newRow("a message keeps to its field")
        << 0 << int(K::Lost) << QByteArray("ignored") << "gone\t(Input/output\nerror)" << QString()
        << "2026-12-07T18:04:05.067+00:00\tCOM1\t/dev/ttyUSB0\tlost\t\t\tgone (Input/output "
           "error)";
    QTest::newRow("no reply") << 0 << int(K::NoReply) << QByteArray() << "no reply to C 0 0 CR"
                              << QString()
                              << "2026-12-07T18:04:05.067+00:00\tCOM1\t/dev/ttyUSB0\tno-reply\t\t\t"
                                 "no reply to C 0 0 CR";
}

void TestLog::line() {
    QFETCH(int, offsetSeconds);
    QFETCH(int, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    QFETCH(QString, status);
    QFETCH(QString, expected);
    const QDateTime when(QDate(2026, 12, 7), QTime(18, 4, 5, 67), QTimeZone(offsetSeconds));
    const ExchangeEvent event{ExchangeEvent::Kind(kind),
                              QStringLiteral("COM1"),
                              QStringLiteral("/dev/ttyUSB0"),
                              bytes,
                              message,
                              status.isNull() ? std::nullopt : std::optional<QString>(status)};
    QCOMPARE(ExchangeLog::line(when, event), expected);
}

void TestLog::panelRunOverPty() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("panel.log"));
    PanelRig rig;
    rig.form().setLog(path);
    rig.load();
    auto* status = named<QPushButton>(rig.form(), "Command44");
    status->click();
    QCOMPARE(rig.wire(4), QByteArray("CR0\r"));
    rig.reply("0");
    QTRY_COMPARE(rig.line("Label12"), QStringLiteral(" 0 "));
    rig.reply("0\r");
    QTRY_COMPARE(rig.line("Label22"), QStringLiteral(" Power ON"));
    seam(rig.form()).Timer2->stop();
    rig.form().timer2Tick();
    // The next one goes unanswered.
    named<QPushButton>(rig.form(), "Command17")->click();
    QCOMPARE(rig.wire(4), QByteArray("C00\r"));
    rig.form().timer2Tick();
    QVERIFY(rig.warnings().isEmpty());

    const QStringList lines = logLines(path);
    QStringList events;
    for (const QString& line : lines) {
        const QStringList f = fieldsAfterTime(line);
        QCOMPARE(f.value(0), QStringLiteral("COM1"));
        QCOMPARE(f.value(1), rig.far().devicePath());
        events << f.mid(2).join(QLatin1Char('|'));
    }
    // Start-up opens COM1, and its selection of the COM1 option opens it afresh.
    const QStringList expected{
        "opened|||",
        "closed|||",
        "opened|||",
        "sent|43 52 30 0D| C R 0 CR |",
        "received|30| 0 |",
        "received|30 0D| 0 CR | Power ON",
        "sent|43 30 30 0D| C 0 0 CR |",
        "no-reply|||no reply to C 0 0 CR within 500 ms",
    };
    QCOMPARE(events.join(QLatin1Char('\n')), expected.join(QLatin1Char('\n')));
    // Local time with milliseconds and the offset from UTC.
    QVERIFY2(QRegularExpression(
                 QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)"))
                 .match(lines.value(0).section(QLatin1Char('\t'), 0, 0))
                 .hasMatch(),
             qPrintable(lines.value(0)));
}

void TestLog::panelRunAgainstSimulator() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sim.log"));
    SimProjector projector;
    PanelRig rig(QStringLiteral("/dev/rmq27-no-such-port"), projector.devicePath());
    rig.form().setLog(path);
    rig.load();
    // Each query in turn, its reply read before the next goes out.
    const char* const buttons[] = {"Command44", "Command46", "Command54"};
    for (const char* button : buttons) {
        named<QPushButton>(rig.form(), button)->click();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.line("Label22").isEmpty(), 10000);
        rig.form().timer2Tick();
        rig.form().timer4Tick();
    }
    QVERIFY(rig.warnings().isEmpty());
    QStringList sent;
    QStringList readings;
    QDateTime previous;
    for (const QString& line : logLines(path)) {
        const QStringList f = line.split(QLatin1Char('\t'));
        const QDateTime when = QDateTime::fromString(f.value(0), Qt::ISODateWithMs);
        QVERIFY2(when.isValid() && (previous.isNull() || previous <= when), qPrintable(line));
        previous = when;
        if (f.value(3) == QLatin1String("sent")) {
            sent << f.value(5);
        } else if (f.value(3) == QLatin1String("received") && !f.value(6).isEmpty()) {
            readings << f.value(6);
        }
    }
    QCOMPARE(sent, (QStringList{" C R 0 CR ", " C R 3 CR ", " C R 6 CR "}));
    QCOMPARE(readings.size(), 3);
    QCOMPARE(readings.value(0), QStringLiteral(" Stand by"));
    QVERIFY2(readings.value(1).endsWith(QLatin1String(" Hour Use")), qPrintable(readings.value(1)));
    QVERIFY2(readings.value(2).contains(QLatin1String("S1=")), qPrintable(readings.value(2)));
}

void TestLog::unusableLog_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("cannot be opened") << QStringLiteral("/nonexistent-rmq27-dir/panel.log");
    QTest::newRow("cannot be written") << QStringLiteral("/dev/full");
}

void TestLog::unusableLog() {
    QFETCH(QString, path);
    PanelRig rig;
    rig.form().setLog(path);
    rig.load();
    named<QPushButton>(rig.form(), "Command17")->click();
    QCOMPARE(rig.wire(4), QByteArray("C00\r"));
    rig.reply("\x06\r");
    QTRY_COMPARE(rig.line("Label12"), QStringLiteral(" ACK CR "));
    rig.form().timer2Tick();
    QCOMPARE(rig.warnings().size(), 1);
    QVERIFY2(rig.warnings().value(0).contains(path), qPrintable(rig.warnings().value(0)));
}

void TestLog::anythingWritable_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("regular file, appended to") << QStringLiteral("file");
    QTest::newRow("pipe") << QStringLiteral("pipe");
    QTest::newRow("FIFO with a reader") << QStringLiteral("fifo");
    QTest::newRow("terminal") << QStringLiteral("terminal");
}

// The log takes anything writable, and a reader that goes away is one warning, as the programs
// see it (they ignore SIGPIPE).
void TestLog::anythingWritable() {
    QFETCH(QString, kind);
    std::signal(SIGPIPE, SIG_IGN);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("day.log"));
    int reader = -1; // the far end, non-blocking; -1 for the regular file
    int keep = -1;   // the pipe's write end, which names it
    if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("earlier\n") == 8);
    } else if (kind == QLatin1String("pipe")) {
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0);
        reader = ends[0];
        keep = ends[1];
        path = QStringLiteral("/proc/self/fd/%1").arg(keep);
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } else {
        reader = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(reader >= 0 && ::grantpt(reader) == 0 && ::unlockpt(reader) == 0);
        ::fcntl(reader, F_SETFL, O_NONBLOCK);
        path = QString::fromLocal8Bit(::ptsname(reader));
    }
    QVERIFY(kind == QLatin1String("file") || reader >= 0);

    ExchangeLog log;
    const std::optional<QString> opened = log.open(path);
    QVERIFY2(!opened, qPrintable(opened.value_or(QString())));
    if (keep >= 0) {
        ::close(keep);
    }
    const ExchangeEvent sent{ExchangeEvent::Kind::Sent,
                             QStringLiteral("COM1"),
                             QStringLiteral("/dev/ttyUSB0"),
                             QByteArray("CR0\r"),
                             {},
                             {}};
    const QDateTime when(QDate(2026, 12, 7), QTime(18, 4, 5, 67), QTimeZone(0));
    QCOMPARE(log.write(sent, when), std::nullopt);
    const QByteArray expected = (ExchangeLog::line(when, sent) + QLatin1Char('\n')).toUtf8();
    if (reader < 0) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "earlier\n" + expected);
        return;
    }
    QByteArray heard;
    const auto heardLine = [&] {
        char buf[4096];
        for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) {
            heard.append(buf, n);
        }
        // A terminal ends its lines with CR LF.
        return heard.replace("\r\n", "\n") == expected;
    };
    QTRY_VERIFY_WITH_TIMEOUT(heardLine(), 10000);

    ::close(reader);
    const std::optional<QString> gone = log.write(sent, when);
    QVERIFY2(gone && gone->contains(path), qPrintable(gone.value_or(QStringLiteral("written"))));
    QVERIFY(!log.isOpen());
    QCOMPARE(log.write(sent, when), std::nullopt);
}

QTEST_MAIN(TestLog)
#include "test_log.moc"
