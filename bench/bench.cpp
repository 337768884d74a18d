// Figures for the panel, measured on the real window (offscreen) over a real pseudo-terminal.
// The far side of the line is read and written by threads of this program, so a command is
// timed when its bytes arrive there, independently of the window's event loop.
//
// Prints one metric per line, "name  value  unit", after a few "#" lines naming the machine.
// --quick runs every measurement shorter (for a smoke run); the figures are then rougher.
#include "panel/fonts.h"
#include "panel/form1.h"
#include "serial/comm_port.h"
#include "support/form1_test_seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <numeric>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Nearest-rank percentile.
double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

double mean(const std::vector<double>& values) {
    return values.empty()
               ? NAN
               : std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

void metric(const QByteArray& name, double value, const char* unit) {
    std::printf("%-34s  %12.4f  %s\n", name.constData(), value, unit);
    std::fflush(stdout);
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "rmq27-bench: %s\n", what);
    std::exit(2);
}

// The peak resident set of this process image. Not getrusage(): its ru_maxrss survives fork and
// exec, so a child started by a large parent would report the parent's peak.
long peakRssKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

long currentRssKb() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Runs the window's own event loop for a while, as the running program does (no sleeping
// between turns, unlike QTest::qWait).
void runEventLoop(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The projector's end of the line: a pseudo-terminal master. A reader thread timestamps every
// carriage return the panel sends; a flood thread can send without pause or at a byte rate.
class FarLine {
public:
    FarLine() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            die("no pseudo-terminal");
        }
        path_ = QString::fromLocal8Bit(name);
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        stamps_.reserve(1 << 16);
        reader_ = std::thread([this] { readLoop(); });
    }
    ~FarLine() {
        stopFlood();
        stop_ = true;
        reader_.join();
        ::close(master_);
        ::close(slave_);
    }

    QString path() const { return path_; }
    // Commands (carriage returns) received so far.
    size_t commands() const { return count_.load(std::memory_order_acquire); }
    Clock::time_point stamp(size_t i) {
        std::lock_guard lock(mutex_);
        return stamps_.at(i);
    }
    std::vector<Clock::time_point> stampsFrom(size_t first) {
        std::lock_guard lock(mutex_);
        return {stamps_.begin() + std::ptrdiff_t(std::min(first, stamps_.size())), stamps_.end()};
    }
    // Waits for the panel's command number `n` (counting from 1) to arrive.
    void waitForCommands(size_t n) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (commands() < n) {
            if (inline_) {
                readOnce(0);
            }
            if (Clock::now() > deadline) {
                die("the panel's command did not reach the line");
            }
        }
    }

    // While on, the line is read by the thread that waits for a command (waitForCommands), and
    // the reader thread stands aside: a latency measured on the window's thread then does not
    // include waking another thread.
    void setInline(bool on) {
        inline_ = on;
        while (on && readerBusy_) {
        }
    }

    void write(const QByteArray& bytes) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                die("write to the line failed");
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
    }

    // bytesPerSecond 0: as fast as the line takes them.
    void startFlood(double bytesPerSecond) {
        stopFlood();
        floodStop_ = false;
        flooded_ = 0;
        flooder_ = std::thread([this, bytesPerSecond] { floodLoop(bytesPerSecond); });
    }
    void stopFlood() {
        if (flooder_.joinable()) {
            floodStop_ = true;
            flooder_.join();
        }
    }
    quint64 flooded() const { return flooded_.load(); }

private:
    void readLoop() {
        while (!stop_) {
            if (inline_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            readerBusy_ = true;
            if (!inline_) { // checked again after announcing the read: setInline() waits for it
                readOnce(20);
            }
            readerBusy_ = false;
        }
    }

    void readOnce(int timeoutMs) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return;
        }
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        const Clock::time_point now = Clock::now();
        if (n <= 0) {
            return;
        }
        std::lock_guard lock(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\r') {
                stamps_.push_back(now);
            }
        }
        count_.store(stamps_.size(), std::memory_order_release);
    }

    void floodLoop(double bytesPerSecond) {
        // Every byte value in turn, so that every token of the received line is drawn.
        QByteArray pattern(256, '\0');
        for (int i = 0; i < 256; ++i) {
            pattern[i] = char(i);
        }
        const Clock::time_point start = Clock::now();
        qsizetype pos = 0;
        while (!floodStop_) {
            qsizetype want = 4096;
            if (bytesPerSecond > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                const double due = ms(Clock::now() - start) / 1000.0 * bytesPerSecond;
                want = qsizetype(due) - qsizetype(flooded_.load());
                if (want <= 0) {
                    continue;
                }
            }
            QByteArray chunk;
            chunk.reserve(want);
            while (chunk.size() < want) {
                const QByteArray piece = pattern.mid(pos, want - chunk.size());
                chunk += piece;
                pos = (pos + piece.size()) % pattern.size();
            }
            const ssize_t n = ::write(master_, chunk.constData(), size_t(chunk.size()));
            if (n > 0) {
                flooded_ += quint64(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    QString path_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> inline_{false};
    std::atomic<bool> readerBusy_{false};
    std::mutex mutex_;
    std::vector<Clock::time_point> stamps_;
    std::atomic<size_t> count_{0};
    std::thread flooder_;
    std::atomic<bool> floodStop_{false};
    std::atomic<quint64> flooded_{0};
};

struct Scale {
    int clicks = 10000;
    int replies = 10000;
    double holdSeconds = 1.0; // multiplies every hold's length
    int floodLineSeconds = 20;
    int floodFullSeconds = 5;
    int startupRuns = 7;
};

class Bench {
public:
    Bench(FarLine& far, Form1& form, Scale scale) : far_(far), form_(form), scale_(scale) {}

    // `name` prefixes the metrics: the direct line, or the line through a device server.
    void clickToWire(const QByteArray& name = "click_to_wire") {
        QAbstractButton* button = named<QPushButton>(form_, "Command17"); // one-shot "C00"
        for (int i = 0; i < 200; ++i) {
            click(button);
        }
        far_.setInline(true);
        std::vector<double> latencies;
        latencies.reserve(size_t(scale_.clicks));
        for (int i = 0; i < scale_.clicks; ++i) {
            const size_t before = far_.commands();
            const Clock::time_point t0 = Clock::now();
            QTest::mouseClick(button, Qt::LeftButton);
            far_.waitForCommands(before + 1);
            latencies.push_back(ms(far_.stamp(before) - t0));
            QCoreApplication::processEvents(); // repaint the sent line, outside the timing
        }
        far_.setInline(false);
        metric(name + "_p50", percentile(latencies, 50) * 1000, "us");
        metric(name + "_p99", percentile(latencies, 99) * 1000, "us");
        metric(name + "_max", percentile(latencies, 100) * 1000, "us");
    }

    void replyToStatus() {
        QAbstractButton* status = named<QPushButton>(form_, "Command44"); // "CR0"
        QLabel* line = named<QLabel>(form_, "Label22");
        const QString powerOn = QStringLiteral(" Power ON");
        std::vector<double> latencies;
        for (int i = 0; i < scale_.replies + 100; ++i) {
            click(status);
            line->clear();
            QCoreApplication::processEvents();
            const Clock::time_point t0 = Clock::now();
            far_.write("00\r");
            const auto deadline = t0 + std::chrono::seconds(5);
            while (line->text() != powerOn) {
                QCoreApplication::processEvents();
                if (Clock::now() > deadline) {
                    die("the reply never reached the status line");
                }
            }
            if (i >= 100) {
                latencies.push_back(ms(Clock::now() - t0));
            }
            form_.timer2Tick(); // the reply window closes; the next reply starts a new buffer
        }
        metric("reply_to_status_p50", percentile(latencies, 50) * 1000, "us");
        metric("reply_to_status_p99", percentile(latencies, 99) * 1000, "us");
        metric("reply_to_status_max", percentile(latencies, 100) * 1000, "us");
    }

    // Holds a button and reads the pace from the send times on the line.
    std::vector<double> hold(QAbstractButton* button, double seconds) {
        const size_t first = far_.commands();
        QTest::mousePress(button, Qt::LeftButton);
        runEventLoop(int(seconds * 1000 * scale_.holdSeconds));
        QTest::mouseRelease(button, Qt::LeftButton);
        runEventLoop(50);
        const std::vector<Clock::time_point> stamps = far_.stampsFrom(first);
        std::vector<double> intervals;
        for (size_t i = 1; i < stamps.size(); ++i) {
            intervals.push_back(ms(stamps[i] - stamps[i - 1]));
        }
        return intervals;
    }

    void reportPace(const char* name, const std::vector<double>& intervals, double nominal) {
        std::vector<double> deviation;
        for (double v : intervals) {
            deviation.push_back(std::fabs(v - nominal));
        }
        const QByteArray base = QByteArray("hold_pace_") + name;
        metric(base + "_mean", mean(intervals), "ms");
        metric(base + "_mean_error", (mean(intervals) - nominal) / nominal * 100.0, "%");
        metric(base + "_p99_deviation", percentile(deviation, 99), "ms");
        metric(base + "_intervals", double(intervals.size()), "count");
    }

    void reportRate(const char* name, const std::vector<double>& intervals) {
        const double total = std::accumulate(intervals.begin(), intervals.end(), 0.0);
        metric(name, total > 0 ? double(intervals.size()) / total * 1000.0 : 0.0, "sends/s");
    }

    void holdPaces() {
        const auto button = [this](const char* name) { return named<QPushButton>(form_, name); };
        reportPace("150ms", hold(button("Command15"), 4.5), 150); // Zoom "+"
        reportPace("250ms", hold(button("Command48"), 5.0),
                   250); // D.Zoom "+"; its release sets 5 ms

        // The cursor pad after a digital-zoom release: the 5 ms pace, at both line speeds.
        const std::vector<double> fast = hold(button("Command5"), 3.0);
        reportPace("5ms", fast, 5);
        reportRate("sends_per_second_5ms_19200", fast);
        named<QRadioButton>(form_, "Option10")->click();
        if (seam(form_).MSComm1->settings() != QStringLiteral("9600,N,8,1")) {
            die("the speed switch to 9600 did not take");
        }
        reportRate("sends_per_second_5ms_9600", hold(button("Command5"), 3.0));
        named<QRadioButton>(form_, "Option9")->click();

        // The same 5 ms hold with every send logged (--log): the log must not slow the hold.
        QTemporaryDir logDir;
        form_.setLog(logDir.filePath(QStringLiteral("bench.log")));
        const std::vector<double> logged = hold(button("Command5"), 3.0);
        reportPace("5ms_logged", logged, 5);
        reportRate("sends_per_second_5ms_19200_logged", logged);
        form_.setLog(QString());

        click(button("Command23")); // MENU "ON": the cursor pad back at 200 ms
        reportPace("200ms", hold(button("Command5"), 4.0), 200);
        reportPace("500ms", hold(button("Command6"), 6.0), 500); // cursor pad "ENTER"
    }

    // The far side sends without a break; a 1 ms heartbeat on the window's event loop shows the
    // longest time the loop could not turn.
    // Runs the event loop for `durationMs` with a 1 ms precise heartbeat and returns the longest
    // gap between beats: how long the loop was kept from turning.
    double longestGap(int durationMs, const std::function<void()>& onBeat = {}) {
        Clock::time_point last = Clock::now();
        double longest = 0;
        QTimer heartbeat;
        heartbeat.setTimerType(Qt::PreciseTimer);
        heartbeat.setInterval(1);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            longest = std::max(longest, ms(now - last));
            last = now;
            if (onBeat) {
                onBeat();
            }
        });
        heartbeat.start();
        last = Clock::now();
        runEventLoop(durationMs);
        heartbeat.stop();
        return longest;
    }

    void flood(const char* name, double bytesPerSecond, int seconds) {
        form_.timer2Tick();
        form_.setClientHeightTwips(Form1::FullHeight); // the received line on screen
        runEventLoop(100);
        qsizetype longestBuf = 0;
        const long rssBefore = currentRssKb();
        far_.startFlood(bytesPerSecond);
        const double longest = longestGap(
            seconds * 1000, [&] { longestBuf = std::max(longestBuf, seam(form_).RecvBuf.size()); });
        far_.stopFlood();
        const long rssAfter = currentRssKb();
        const double sent = double(far_.flooded());
        runEventLoop(200);

        const QByteArray base = QByteArray("flood_") + name;
        metric(base + "_longest_stall", longest, "ms");
        metric(base + "_bytes_per_second", sent / seconds, "B/s");
        metric(base + "_recvbuf_max", double(longestBuf), "chars");
        metric(base + "_rss_growth", double(rssAfter - rssBefore) / 1024.0, "MB");
        form_.timer2Tick();
        form_.setClientHeightTwips(Form1::StartHeight);
        runEventLoop(100);
    }

    void idleLoop() { metric("idle_loop_longest_gap", longestGap(2000), "ms"); }

    void floods() {
        idleLoop();
        flood("19200", 1920.0, scale_.floodLineSeconds);
        flood("full_speed", 0.0, scale_.floodFullSeconds);
    }

private:
    void click(QAbstractButton* button) {
        const size_t before = far_.commands();
        QTest::mouseClick(button, Qt::LeftButton);
        far_.waitForCommands(before + 1);
        QCoreApplication::processEvents();
    }

    FarLine& far_;
    Form1& form_;
    Scale scale_;
};

// A fresh process: from main() to the window's first painted frame, offscreen.
int startupProbe(int argc, char** argv, const char* device) {
    const Clock::time_point entered = Clock::now();
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    installFontSubstitutions();
    const Clock::time_point appReady = Clock::now();

    Form1 form({QString::fromLocal8Bit(device), QStringLiteral("/dev/rmq27-bench-no-com2")});
    QStringList warnings;
    seam(form).guard.setPresenter([&](const QString& d) { warnings << d; });

    struct FirstPaint : QObject {
        bool seen = false;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint && !seen) {
                seen = true;
                // The frame is complete once the whole window has painted and been flushed:
                // the next turn of the loop.
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            }
            return false;
        }
    } firstPaint;
    form.installEventFilter(&firstPaint);
    form.formLoad();
    form.show();
    QTimer::singleShot(10000, qApp, &QCoreApplication::quit);
    app.exec();
    const Clock::time_point painted = Clock::now();
    if (!firstPaint.seen) {
        die("the window never painted");
    }
    std::printf("%.4f %.4f %ld %lld\n", ms(painted - entered), ms(painted - appReady), peakRssKb(),
                static_cast<long long>(warnings.size()));
    return 0;
}

void startup(int runs) {
    FarLine probeLine; // a line of its own: the window under test holds the other one
    std::vector<double> fromMain, fromApp, rss;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--startup-probe"), probeLine.path()});
        if (!child.waitForFinished(30000) || child.exitCode() != 0) {
            die("the start-up probe failed");
        }
        const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
        if (f.size() != 4) {
            die("the start-up probe said nothing useful");
        }
        fromMain.push_back(f[0].toDouble());
        fromApp.push_back(f[1].toDouble());
        rss.push_back(f[2].toDouble() / 1024.0);
    }
    metric("startup_main_to_first_frame_p50", percentile(fromMain, 50), "ms");
    metric("startup_main_to_first_frame_max", percentile(fromMain, 100), "ms");
    metric("startup_window_to_first_frame_p50", percentile(fromApp, 50), "ms");
    metric("peak_rss_panel_at_first_frame", percentile(rss, 50), "MB");
}

void describeMachine() {
    QString cpu = QStringLiteral("unknown");
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    std::printf("# cpus %u; %s\n", std::thread::hardware_concurrency(), qPrintable(cpu));
    std::printf("# Qt %s, platform %s\n", qVersion(), qPrintable(QGuiApplication::platformName()));
    QFile load(QStringLiteral("/proc/loadavg"));
    if (load.open(QIODevice::ReadOnly)) {
        std::printf("# load average at start %s\n", load.readAll().trimmed().constData());
    }
}

// The offscreen platform says on every resize that it cannot pass size hints on; nothing else
// from Qt is dropped.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("does not support propagateSizeHints"))) {
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

// Click to wire through Debian's ser2net in front of a second pseudo-terminal, over Telnet with
// the com port control option or raw TCP. Skipped (with a "#" line) when ser2net is missing.
void clickToWireThroughServer(const Scale& scale, const char* accepter, const char* scheme,
                              QStringList& warnings) {
    const QString program = QStringLiteral("/usr/sbin/ser2net");
    if (!QFile::exists(program)) {
        std::printf("# %s: ser2net is not installed\n", scheme);
        return;
    }
    FarLine far;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("ser2net.yaml"));
    {
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) {
            die("cannot write the ser2net configuration");
        }
        file.write(QStringLiteral("connection: &bench\n  accepter: %1tcp,127.0.0.1,%2\n"
                                  "  connector: serialdev,%3,19200n81,local\n"
                                  "  options:\n    mdns: false\n")
                       .arg(QLatin1String(accepter))
                       .arg(port)
                       .arg(far.path())
                       .toUtf8());
    }
    QProcess server;
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(program, {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config,
                           QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
    const bool up =
        server.waitForStarted(5000) && QTest::qWaitFor(
                                           [&] {
                                               QTcpSocket socket;
                                               socket.connectToHost(QHostAddress::LocalHost, port);
                                               return socket.waitForConnected(500);
                                           },
                                           10000);
    if (up) {
        Form1 form({QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port),
                    QStringLiteral("/dev/rmq27-bench-no-com2")});
        seam(form).guard.setPresenter([&](const QString& d) { warnings << d; });
        form.formLoad();
        if (!seam(form).MSComm1->portOpen()) {
            die("the device server did not open");
        }
        Bench(far, form, scale).clickToWire(QByteArray("click_to_wire_") + scheme);
    }
    ::kill(pid_t(server.processId()), SIGTERM);
    server.waitForFinished(5000);
    if (!up) {
        die("ser2net did not come up");
    }
}

int main(int argc, char** argv) {
    qInstallMessageHandler(quietMessages);
    if (argc == 3 && std::strcmp(argv[1], "--startup-probe") == 0) {
        return startupProbe(argc, argv, argv[2]);
    }
    Scale scale;
    if (argc == 2 && std::strcmp(argv[1], "--quick") == 0) {
        scale = {1000, 1000, 0.4, 4, 2, 3};
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: rmq27-bench [--quick]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    installFontSubstitutions();
    describeMachine();

    FarLine far;
    Form1 form({far.path(), QStringLiteral("/dev/rmq27-bench-no-com2")});
    QStringList warnings;
    seam(form).guard.setPresenter([&](const QString& d) { warnings << d; });
    form.formLoad();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form) || !seam(form).MSComm1->portOpen()) {
        die("the window did not come up with its port open");
    }

    Bench bench(far, form, scale);
    bench.clickToWire();
    clickToWireThroughServer(scale, "telnet(rfc2217),", "rfc2217", warnings);
    clickToWireThroughServer(scale, "", "tcp", warnings);
    bench.replyToStatus();
    bench.holdPaces();
    bench.floods();
    startup(scale.startupRuns);
    metric("peak_rss_bench", double(peakRssKb()) / 1024.0, "MB");
    metric("warnings_shown", double(warnings.size()), "count");
    for (const QString& w : warnings) {
        std::fprintf(stderr, "warning: %s\n", qPrintable(w));
    }
    return 0;
}
