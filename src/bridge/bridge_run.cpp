#include "bridge/bridge_run.h"

#include "bridge/bridge_metrics.h"
#include "bridge/bridge_options.h"
#include "bridge/exchange_line.h"
#include "bridge/line_queue.h"
#include "bridge/native_server.h"
#include "bridge/pjlink_server.h"
#include "core/exchange_log.h"
#include "core/password_file.h"
#include "serial/port_devices.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <utility>

namespace {

// One line on standard error; under systemd the journal adds the time and the instance.
void logLine(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

QString addressText(const QHostAddress& a, quint16 port) {
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(a.toString())
                             : a.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

// The exit statuses: stopped, cannot run (listen, password), bad usage.
constexpr int CannotRun = 1;
constexpr int BadUsage = 2;

QString failureText(const Failure& failure) {
    return QStringLiteral("rmq27-bridge: %1").arg(failure.text(shellRemedyWords()));
}

// A failure that ends the program: its one line, and the status to end with.
int endWith(const Failure& failure, int status) {
    logLine(failureText(failure));
    return status;
}

// A mistake in the options: its one line points to --help.
int badOptions(const Failure& failure) {
    logLine(failureText(failure) + QStringLiteral(" (see --help)"));
    return BadUsage;
}

// Options: --help and --version are answered at once, and the program ends.
bool answeredAtOnce(const BridgeOptions& o) {
    if (o.help) {
        std::fputs(BridgeUsage, stdout);
    } else if (o.version) {
        std::printf("rmq27-bridge %s\n", RMQ27_VERSION);
    }
    return o.help || o.version;
}

// Password: the one of --password-file, none without it.
Result<std::optional<QByteArray>> readPassword(const BridgeOptions& o) {
    if (o.passwordFile.isEmpty()) {
        return std::optional<QByteArray>();
    }
    const Result<QByteArray> read = readPasswordFile(o.passwordFile);
    if (!read) {
        return read.failure();
    }
    return std::optional<QByteArray>(read.value());
}

// The device as rmq27-ctl chooses it: the option, else the one last opened on COM1, else the
// first USB serial adapter, else the platform's first serial port.
QString chosenDevice(const BridgeOptions& o) {
    return !o.port.isEmpty() ? o.port
                             : PortDeviceChoice().choose(1, QString(), availableSerialPorts());
}

// The record of every exchange (--log): a file that cannot be kept is one line on standard
// error, and the bridge goes on without it.
void keepExchangeLog(ExchangeLine& line, ExchangeLog& exchangeLog, const QString& file) {
    if (!file.isEmpty()) {
        if (const std::optional<QString> warning = exchangeLog.open(file)) {
            logLine(failureText(Failure(*warning)));
        }
    }
    QObject::connect(&line.exchange(), &Exchange::event, [&exchangeLog](const ExchangeEvent& e) {
        if (const std::optional<QString> warning = exchangeLog.write(e)) {
            logLine(failureText(Failure(*warning)));
        }
    });
}

pjlink::Identity identityFor(const BridgeOptions& o) {
    pjlink::Identity identity;
    identity.name = pjlink::fitName(o.name.value_or(QSysInfo::machineHostName()));
    identity.info = QByteArrayLiteral("rmq27-bridge " RMQ27_VERSION);
    return identity;
}

// A client port (PJLink, native): listening where its plan says, and one line that says where
// and how.
Result<> listenFor(ClientListener& server, const QString& what, const ListenPlan& plan,
                   quint16 port, const BridgeOptions& o, bool hasPassword) {
    if (Result<> listening = server.listen(plan.addresses, port, plan.optional); !listening) {
        return listening;
    }
    QStringList where;
    for (const QHostAddress& a : server.addresses()) {
        where << addressText(a, server.port());
    }
    logLine(QStringLiteral("%1 on %2, %3")
                .arg(what, where.join(QStringLiteral(", ")),
                     hasPassword    ? QStringLiteral("password required")
                     : o.noPassword ? QStringLiteral("open access, no password")
                                    : QStringLiteral("no password: loopback only")));
    return succeeded();
}

// Metrics (--metrics): serving scrapes where the plan says, and one line that says where.
Result<> serveMetrics(BridgeMetrics& metrics, const ListenPlan& plan, const BridgeOptions& o) {
    if (Result<> listening = metrics.listen(plan.addresses, o.metrics->second, plan.optional);
        !listening) {
        return listening;
    }
    QStringList where;
    for (const QHostAddress& a : metrics.addresses()) {
        where << addressText(a, metrics.port()) + QStringLiteral("/metrics");
    }
    logLine(QStringLiteral("metrics on %1, polling every %2 s")
                .arg(where.join(QStringLiteral(", ")))
                .arg(o.pollSeconds));
    return succeeded();
}

// SIGTERM (as systemd stops the bridge) and SIGINT (Ctrl+C) end the event loop, and the bridge
// closes its listeners and the line on the way out as at any other end. The handler only writes
// the signal's number into a pipe; the event loop reads it.
int stopPipe[2] = {-1, -1};

void onStopSignal(int signo) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
    errno = savedErrno;
}

class StopOnSignals {
public:
    StopOnSignals() {
        if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            logLine(failureText(Failure(QStringLiteral("cannot watch for SIGTERM: %1")
                                            .arg(QString::fromLocal8Bit(std::strerror(errno))))));
            return;
        }
        notifier_.emplace(stopPipe[0], QSocketNotifier::Read);
        QObject::connect(&*notifier_, &QSocketNotifier::activated, [] {
            unsigned char signo = 0;
            while (::read(stopPipe[0], &signo, 1) == 1) {
            }
            logLine(
                QStringLiteral("stopping on %1")
                    .arg(signo == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM")));
            QCoreApplication::quit();
        });
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signo : {SIGTERM, SIGINT}) {
            ::sigaction(signo, &action, nullptr);
        }
    }
    ~StopOnSignals() {
        if (notifier_) {
            for (const int signo : {SIGTERM, SIGINT}) {
                std::signal(signo, SIG_DFL);
            }
            notifier_.reset();
            ::close(std::exchange(stopPipe[0], -1));
            ::close(std::exchange(stopPipe[1], -1));
        }
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    std::optional<QSocketNotifier> notifier_;
};

} // namespace

int runBridge(const QStringList& args) {
    const Result<BridgeOptions> parsed = parseBridgeArguments(args);
    if (!parsed) {
        return badOptions(parsed.failure());
    }
    const BridgeOptions& o = parsed.value();
    if (answeredAtOnce(o)) {
        return 0;
    }
    const Result<std::optional<QByteArray>> password = readPassword(o);
    if (!password) {
        return endWith(password.failure(), CannotRun);
    }
    const bool hasPassword = password.value().has_value();
    const Result<ListenPlan> plan = listenAddresses(o, hasPassword);
    if (!plan) {
        return endWith(plan.failure(), BadUsage);
    }
    const Result<ListenPlan> servePlan =
        o.serve ? serveAddresses(o, hasPassword) : Result<ListenPlan>(ListenPlan{});
    if (!servePlan) {
        return endWith(servePlan.failure(), BadUsage);
    }
    const Result<ListenPlan> metricsPlan =
        o.metrics ? metricsAddresses(o) : Result<ListenPlan>(ListenPlan{});
    if (!metricsPlan) {
        return endWith(metricsPlan.failure(), BadUsage);
    }
    // Before anything listens or opens: a stop from then on ends in an orderly way.
    const StopOnSignals stops;

    ExchangeLine line(chosenDevice(o), o.settings, logLine);
    line.setDeviceChosen(o.port.isEmpty());
    ExchangeLog exchangeLog;
    keepExchangeLog(line, exchangeLog, o.logFile);
    LineQueue queue(line);
    queue.setLog(logLine);
    PjlinkServer server(queue, identityFor(o), password.value());
    server.setLog(logLine);
    if (const Result<> listening =
            listenFor(server, QStringLiteral("PJLink"), plan.value(), o.listenPort, o, hasPassword);
        !listening) {
        return endWith(listening.failure(), CannotRun);
    }
    std::optional<NativeServer> native;
    if (o.serve) {
        native.emplace(queue, password.value());
        native->setLog(logLine);
        if (const Result<> serving = listenFor(*native, QStringLiteral("native protocol"),
                                               servePlan.value(), o.serve->second, o, hasPassword);
            !serving) {
            return endWith(serving.failure(), CannotRun);
        }
    }
    std::optional<BridgeMetrics> metrics;
    if (o.metrics) {
        metrics.emplace(queue, server, o.pollSeconds);
        metrics->attach(line);
        metrics->setNative(native ? &*native : nullptr);
        metrics->setName(QString::fromUtf8(identityFor(o).name));
        if (const Result<> serving = serveMetrics(*metrics, metricsPlan.value(), o); !serving) {
            return endWith(serving.failure(), CannotRun);
        }
    }
    line.open();
    if (metrics) {
        metrics->start();
    }
    return QCoreApplication::exec();
}
