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

} // namespace

int runBridge(const QStringList& args) {
    const BridgeParse parse = parseBridgeArguments(args);
    const BridgeOptions& o = parse.options;
    if (!parse.error.isEmpty()) {
        logLine(QStringLiteral("rmq27-bridge: %1 (see --help)").arg(parse.error));
        return 2;
    }
    if (o.help) {
        std::fputs(BridgeUsage, stdout);
        return 0;
    }
    if (o.version) {
        std::printf("rmq27-bridge %s\n", RMQ27_VERSION);
        return 0;
    }

    std::optional<QByteArray> password;
    if (!o.passwordFile.isEmpty()) {
        const PasswordRead read = readPasswordFile(o.passwordFile);
        if (!read.error.isEmpty()) {
            logLine(QStringLiteral("rmq27-bridge: %1").arg(read.error));
            return 1;
        }
        password = read.password;
    }
    const ListenPlan plan = listenAddresses(o, password.has_value());
    if (!plan.error.isEmpty()) {
        logLine(QStringLiteral("rmq27-bridge: %1").arg(plan.error));
        return 2;
    }

    // The device as rmq27-ctl chooses it: the option, else the one last opened on COM1, else the
    // first USB serial adapter, else the platform's first serial port.
    const QString device = !o.port.isEmpty()
                               ? o.port
                               : PortDeviceChoice().choose(1, QString(), availableSerialPorts());

    pjlink::Identity identity;
    identity.name = pjlink::fitName(o.name.value_or(QSysInfo::machineHostName()));
    identity.info = QByteArrayLiteral("rmq27-bridge " RMQ27_VERSION);

    ExchangeLine line(device, o.settings, logLine);
    // The record of every exchange (--log): a file that cannot be kept is one line on standard
    // error, and the bridge goes on without it.
    ExchangeLog exchangeLog;
    if (!o.logFile.isEmpty()) {
        if (const std::optional<QString> warning = exchangeLog.open(o.logFile)) {
            logLine(QStringLiteral("rmq27-bridge: %1").arg(*warning));
        }
    }
    QObject::connect(&line.exchange(), &Exchange::event, [&exchangeLog](const ExchangeEvent& e) {
        if (const std::optional<QString> warning = exchangeLog.write(e)) {
            logLine(QStringLiteral("rmq27-bridge: %1").arg(*warning));
        }
    });
    LineQueue queue(line);
    PjlinkServer server(queue, identity, password);
    server.setLog(logLine);
    const QString error = server.listen(plan.addresses, o.listenPort, plan.optional);
    if (!error.isEmpty()) {
        logLine(QStringLiteral("rmq27-bridge: %1").arg(error));
        return 1;
    }
    QStringList where;
    for (const QHostAddress& a : server.addresses()) {
        where << addressText(a, server.port());
    }
    logLine(QStringLiteral("PJLink on %1, %2")
                .arg(where.join(QStringLiteral(", ")),
                     password       ? QStringLiteral("password required")
                     : o.noPassword ? QStringLiteral("open access, no password")
                                    : QStringLiteral("no password: loopback only")));
    std::optional<BridgeMetrics> metrics;
    if (o.metrics) {
        metrics.emplace(queue, server, o.pollSeconds);
        metrics->attach(line);
        const QHostAddress at = o.metrics->first.value_or(QHostAddress(QHostAddress::Any));
        const QString failed = metrics->listen(at, o.metrics->second);
        if (!failed.isEmpty()) {
            logLine(QStringLiteral("rmq27-bridge: %1").arg(failed));
            return 1;
        }
        logLine(QStringLiteral("metrics on %1/metrics, polling every %2 s")
                    .arg(addressText(at, metrics->port()))
                    .arg(o.pollSeconds));
    }
    line.open();
    if (metrics) {
        metrics->start();
    }
    return QCoreApplication::exec();
}
