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
#include <QSysInfo>

#include <cstdio>

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

// Metrics (--metrics): serving scrapes, and one line that says where.
Result<> serveMetrics(BridgeMetrics& metrics, const BridgeOptions& o) {
    const QHostAddress at = o.metrics->first.value_or(QHostAddress(QHostAddress::Any));
    if (Result<> listening = metrics.listen(at, o.metrics->second); !listening) {
        return listening;
    }
    logLine(QStringLiteral("metrics on %1/metrics, polling every %2 s")
                .arg(addressText(at, metrics.port()))
                .arg(o.pollSeconds));
    return succeeded();
}

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
        if (const Result<> serving = serveMetrics(*metrics, o); !serving) {
            return endWith(serving.failure(), CannotRun);
        }
    }
    line.open();
    if (metrics) {
        metrics->start();
    }
    return QCoreApplication::exec();
}
