#pragma once

#include "core/failure.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The PJLink port.
constexpr quint16 DefaultPjlinkPort = 4352;

struct BridgeOptions {
    QString port; // the serial device; empty: the default
    QString settings = QStringLiteral("19200,N,8,1");
    std::optional<QHostAddress> listenAddress; // none: chosen by listenAddresses()
    quint16 listenPort = DefaultPjlinkPort;
    QString passwordFile;
    bool noPassword = false;
    std::optional<QString> name; // none: the host name
    // --metrics: where to serve Prometheus metrics; none: no metrics and no polling.
    std::optional<std::pair<std::optional<QHostAddress>, quint16>> metrics;
    // --serve: where to serve the projector's own protocol; none: not served.
    std::optional<std::pair<std::optional<QHostAddress>, quint16>> serve;
    int pollSeconds = 30; // --poll
    QString logFile;      // --log: every exchange of the line appended to this file
    bool help = false;
    bool version = false;
};

// Reads the arguments after the program name. A usage error fails with one line that names the
// option.
Result<BridgeOptions> parseBridgeArguments(const QStringList& args);

// "[ADDR:]PORT": an IPv4 address, an IPv6 address in brackets, or none; never a host name (the
// bridge resolves nothing). Nothing for a malformed value.
std::optional<std::pair<std::optional<QHostAddress>, quint16>> parseListen(const QString& value);

struct ListenPlan {
    QList<QHostAddress> addresses;
    QList<QHostAddress> optional; // tried, but not needed (the IPv6 loopback)
};

// Where to listen. Without a password only on loopback, unless noPassword says open access is
// meant; an address asked for that breaks this rule is a usage error.
Result<ListenPlan> listenAddresses(const BridgeOptions& options, bool hasPassword);
// Where to serve metrics (--metrics given): the address given, else loopback only.
Result<ListenPlan> metricsAddresses(const BridgeOptions& options);
// Where to serve the native protocol (--serve given), by the same rules as PJLink.
Result<ListenPlan> serveAddresses(const BridgeOptions& options, bool hasPassword);

extern const char* const BridgeUsage;
