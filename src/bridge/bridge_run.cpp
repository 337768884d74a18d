#include "bridge/bridge_run.h"

#include "bridge/bridge_metrics.h"
#include "bridge/bridge_options.h"
#include "bridge/exchange_line.h"
#include "bridge/line_queue.h"
#include "bridge/pjlink_server.h"
#include "core/exchange_log.h"
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

void logFailure(const QString& description) {
    logLine(QStringLiteral("rmq27-bridge: %1").arg(description));
}

// Options: a usage error, --help or --version end the program here, with this status.
std::optional<int> endedByOptions(const BridgeParse& parse) {
    if (!parse.error.isEmpty()) {
        logLine(QStringLiteral("rmq27-bridge: %1 (see --help)").arg(parse.error));
        return BadUsage;
    }
    if (parse.options.help) {
        std::fputs(BridgeUsage, stdout);
        return 0;
    }
    if (parse.options.version) {
        std::printf("rmq27-bridge %s\n", RMQ27_VERSION);
        return 0;
    }
    return std::nullopt;
}

// Password: the one of --password-file, none without it; false when the file is refused.
bool readPassword(const BridgeOptions& o, std::optional<QByteArray>& password) {
    if (o.passwordFile.isEmpty()) {
        return true;
    }
    const PasswordRead read = readPasswordFile(o.passwordFile);
    if (!read.error.isEmpty()) {
        logFailure(read.error);
        return false;
    }
    password = read.password;
    return true;
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
            logFailure(*warning);
        }
    }
    QObject::connect(&line.exchange(), &Exchange::event, [&exchangeLog](const ExchangeEvent& e) {
        if (const std::optional<QString> warning = exchangeLog.write(e)) {
            logFailure(*warning);
        }
    });
}

pjlink::Identity identityFor(const BridgeOptions& o) {
    pjlink::Identity identity;
    identity.name = pjlink::fitName(o.name.value_or(QSysInfo::machineHostName()));
    identity.info = QByteArrayLiteral("rmq27-bridge " RMQ27_VERSION);
    return identity;
}

// PJLink server: listening where the plan says, and one line that says where and how.
bool listenForPjlink(PjlinkServer& server, const ListenPlan& plan, const BridgeOptions& o,
                     bool hasPassword) {
    const QString error = server.listen(plan.addresses, o.listenPort, plan.optional);
    if (!error.isEmpty()) {
        logFailure(error);
        return false;
    }
    QStringList where;
    for (const QHostAddress& a : server.addresses()) {
        where << addressText(a, server.port());
    }
    logLine(QStringLiteral("PJLink on %1, %2")
                .arg(where.join(QStringLiteral(", ")),
                     hasPassword    ? QStringLiteral("password required")
                     : o.noPassword ? QStringLiteral("open access, no password")
                                    : QStringLiteral("no password: loopback only")));
    return true;
}

// Metrics (--metrics): serving scrapes, and one line that says where.
bool serveMetrics(BridgeMetrics& metrics, const BridgeOptions& o) {
    const QHostAddress at = o.metrics->first.value_or(QHostAddress(QHostAddress::Any));
    const QString failed = metrics.listen(at, o.metrics->second);
    if (!failed.isEmpty()) {
        logFailure(failed);
        return false;
    }
    logLine(QStringLiteral("metrics on %1/metrics, polling every %2 s")
                .arg(addressText(at, metrics.port()))
                .arg(o.pollSeconds));
    return true;
}

} // namespace

int runBridge(const QStringList& args) {
    const BridgeParse parse = parseBridgeArguments(args);
    if (const std::optional<int> status = endedByOptions(parse)) {
        return *status;
    }
    const BridgeOptions& o = parse.options;
    std::optional<QByteArray> password;
    if (!readPassword(o, password)) {
        return CannotRun;
    }
    const ListenPlan plan = listenAddresses(o, password.has_value());
    if (!plan.error.isEmpty()) {
        logFailure(plan.error);
        return BadUsage;
    }

    ExchangeLine line(chosenDevice(o), o.settings, logLine);
    ExchangeLog exchangeLog;
    keepExchangeLog(line, exchangeLog, o.logFile);
    LineQueue queue(line);
    PjlinkServer server(queue, identityFor(o), password);
    server.setLog(logLine);
    if (!listenForPjlink(server, plan, o, password.has_value())) {
        return CannotRun;
    }
    std::optional<BridgeMetrics> metrics;
    if (o.metrics) {
        metrics.emplace(queue, server, o.pollSeconds);
        metrics->attach(line);
        if (!serveMetrics(*metrics, o)) {
            return CannotRun;
        }
    }
    line.open();
    if (metrics) {
        metrics->start();
    }
    return QCoreApplication::exec();
}
