#include "bridge/bridge_options.h"

#include "serial/device_address.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>
#include <array>

const char* const BridgeUsage =
    "Usage: rmq27-bridge [--port DEVICE] [--baud 19200|9600] [--listen [ADDR:]PORT]\n"
    "                    [--password-file FILE | --no-password] [--name NAME]\n"
    "                    [--serve [ADDR:]PORT] [--metrics [ADDR:]PORT [--poll SECONDS]]\n"
    "                    [--log FILE]\n"
    "Holds the RM-Q27 projector's serial line and answers PJLink Class 1 on the network.\n"
    "\n"
    "  --port DEVICE         the serial device (a path, rfc2217://HOST:PORT or tcp://HOST:PORT)\n"
    "  --baud RATE           19200 (default) or 9600; no parity, 8 data bits, 1 stop bit\n"
    "  --listen [ADDR:]PORT  where PJLink clients connect (default port 4352); ADDR is an\n"
    "                        IPv4 address or an IPv6 address in brackets\n"
    "  --password-file FILE  the PJLink password, on the first line of a file that others\n"
    "                        may not read; clients must authenticate\n"
    "  --no-password         open access without a password, on every address\n"
    "                        (without a password and without this: loopback only)\n"
    "  --serve [ADDR:]PORT   also serve the projector's own serial protocol at PORT, each\n"
    "                        reply line led by A (answered), N (no reply) or D (line down);\n"
    "                        where it listens and the password as for PJLink\n"
    "  --name NAME           the projector's name for NAME ? (default: the host name)\n"
    "  --metrics [ADDR:]PORT Prometheus metrics at /metrics on PORT, loopback only unless\n"
    "                        ADDR is given: [::]:9352 (every address) or 0.0.0.0:9352 (every\n"
    "                        IPv4 one) for a Prometheus on another host; 9352 is the port\n"
    "                        meant for them, 9353... for more bridges\n"
    "  --poll SECONDS        with --metrics: read the projector's status every SECONDS\n"
    "                        (default 30, at least 5), between the clients' requests\n"
    "  --log FILE            append every exchange of the line to FILE, one line each\n"
    "  -h, --help, --version\n"
    "\n"
    "An option's value may also follow an equals sign: --port=DEVICE. Each option is given\n"
    "at most once.\n"
    "\n"
    "Exit status: 0 stopped (SIGTERM or SIGINT), 1 cannot listen or read the password,\n"
    "2 bad usage.\n";

namespace {

// The options that take a value, and what the value is called in messages.
struct ValueOption {
    const char* name;
    const char* what;
};
constexpr std::array<ValueOption, 9> ValueOptions{{
    {"port", "device"},
    {"baud", "rate"},
    {"listen", "port"},
    {"password-file", "file"},
    {"name", "name"},
    {"metrics", "port"},
    {"serve", "port"},
    {"poll", "number of seconds"},
    {"log", "file"},
}};
constexpr std::array<const char*, 3> Switches{"no-password", "help", "version"};

// Options that make no sense together, and why.
struct Conflict {
    const char* first;
    const char* second;
    const char* why;
};
constexpr std::array<Conflict, 1> Conflicts{{
    {"no-password", "password-file", "one opens access without a password, the other sets one"},
}};

QString shownOption(const QString& name) {
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

bool takesValue(const QString& arg) {
    return std::any_of(ValueOptions.begin(), ValueOptions.end(), [&arg](const ValueOption& o) {
        return arg == QLatin1String("--") + QLatin1String(o.name);
    });
}

// Why the parser refused the arguments, naming the option.
Failure parserFailure(const QCommandLineParser& parser, const QStringList& args) {
    if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty()) {
        return Failure(QStringLiteral("unknown option %1").arg(shownOption(unknown.front())));
    }
    // A value option at the very end: anywhere else it takes the next argument as its value.
    if (!args.isEmpty() && takesValue(args.back())) {
        return Failure(QStringLiteral("%1 needs a value").arg(args.back()));
    }
    return Failure(parser.errorText());
}

// A switch given a value is no option of this program.
Result<> noSwitchWithValue(const QStringList& args) {
    for (const QString& arg : args) {
        if (arg == QLatin1String("--")) {
            break;
        }
        for (const char* s : Switches) {
            if (arg.startsWith(QLatin1String("--") + QLatin1String(s) + QLatin1Char('='))) {
                return Failure(QStringLiteral("unknown option %1 (--%2 takes no value)")
                                   .arg(arg, QLatin1String(s)));
            }
        }
    }
    return succeeded();
}

// The rules every value shares: given once, not empty, not another option.
Result<> checkValue(const QString& option, const char* what, const QStringList& values) {
    if (values.size() > 1) {
        return Failure(QStringLiteral("%1 is given more than once").arg(option));
    }
    const QString& value = values.front();
    if (value.trimmed().isEmpty()) {
        return Failure(
            QStringLiteral("%1 needs a %2, not an empty one").arg(option, QLatin1String(what)));
    }
    // "--port --no-password" is a forgotten device, not a device named "--no-password".
    if (value.startsWith(QLatin1Char('-'))) {
        return Failure(QStringLiteral("%1 needs a %2, not the option '%3'")
                           .arg(option, QLatin1String(what), value));
    }
    return succeeded();
}

// Checks one option's value and stores it.
Result<> takeValue(const QString& name, const QString& value, BridgeOptions& o) {
    const auto badListen = [&value](const char* option) {
        return Failure(QStringLiteral("--%1 wants [ADDR:]PORT with ADDR an IP address ([...] for "
                                      "IPv6), not \"%2\"")
                           .arg(QLatin1String(option), value));
    };
    if (name == QLatin1String("port")) {
        const DeviceAddress address = parseDeviceAddress(value);
        if (address.error) {
            return Failure(QStringLiteral("--port %1: %2").arg(value, *address.error));
        }
        o.port = value;
    } else if (name == QLatin1String("baud")) {
        if (value != QLatin1String("19200") && value != QLatin1String("9600")) {
            return Failure(QStringLiteral("--baud must be 19200 or 9600, not \"%1\"").arg(value));
        }
        o.settings = value + QLatin1String(",N,8,1");
    } else if (name == QLatin1String("listen")) {
        const auto listen = parseListen(value);
        if (!listen) {
            return badListen("listen");
        }
        o.listenAddress = listen->first;
        o.listenPort = listen->second;
    } else if (name == QLatin1String("password-file")) {
        o.passwordFile = value;
    } else if (name == QLatin1String("name")) {
        o.name = value;
    } else if (name == QLatin1String("metrics")) {
        o.metrics = parseListen(value);
        if (!o.metrics) {
            return badListen("metrics");
        }
    } else if (name == QLatin1String("serve")) {
        o.serve = parseListen(value);
        if (!o.serve) {
            return badListen("serve");
        }
    } else if (name == QLatin1String("poll")) {
        bool ok = false;
        o.pollSeconds = value.toInt(&ok);
        if (!ok || o.pollSeconds < 5 || o.pollSeconds > 86400) {
            return Failure(
                QStringLiteral("--poll wants 5 to 86400 seconds, not \"%1\"").arg(value));
        }
    } else {
        o.logFile = value;
    }
    return succeeded();
}

} // namespace

std::optional<std::pair<std::optional<QHostAddress>, quint16>> parseListen(const QString& value) {
    QString portText = value;
    std::optional<QHostAddress> address;
    const qsizetype colon = value.lastIndexOf(u':');
    if (colon >= 0) {
        QString host = value.left(colon);
        portText = value.mid(colon + 1);
        if (host.startsWith(u'[') && host.endsWith(u']')) {
            host = host.mid(1, host.size() - 2);
            if (!host.contains(u':')) {
                return std::nullopt;
            }
        } else if (host.contains(u':')) {
            return std::nullopt; // an IPv6 address needs its brackets
        }
        QHostAddress parsed;
        if (host.isEmpty() || !parsed.setAddress(host)) {
            return std::nullopt;
        }
        address = parsed;
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535 || portText.startsWith(u'+')) {
        return std::nullopt;
    }
    return std::make_pair(address, quint16(port));
}

Result<BridgeOptions> parseBridgeArguments(const QStringList& args) {
    // Everything is checked before --help or --version is honoured, so that a command line with
    // a mistake in it never ends in success.
    if (const Result<> checked = noSwitchWithValue(args); !checked) {
        return checked.failure();
    }
    QCommandLineParser parser;
    for (const ValueOption& v : ValueOptions) {
        parser.addOption(QCommandLineOption(QLatin1String(v.name), {}, QLatin1String(v.what)));
    }
    for (const char* s : Switches) {
        parser.addOption(QCommandLineOption(QLatin1String(s)));
    }
    parser.addOption(QCommandLineOption(QStringLiteral("h")));
    if (!parser.parse(QStringList{QStringLiteral("rmq27-bridge")} + args)) {
        return parserFailure(parser, args);
    }
    BridgeOptions o;
    for (const ValueOption& v : ValueOptions) {
        const QString name = QLatin1String(v.name);
        const QStringList values = parser.values(name);
        if (values.isEmpty()) {
            continue;
        }
        Result<> taken = checkValue(shownOption(name), v.what, values);
        if (taken) {
            taken = takeValue(name, values.front(), o);
        }
        if (!taken) {
            return taken.failure();
        }
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Failure(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
    }
    for (const Conflict& c : Conflicts) {
        if (parser.isSet(QLatin1String(c.first)) && parser.isSet(QLatin1String(c.second))) {
            return Failure(
                QStringLiteral("--%1 and --%2 cannot be given together: %3")
                    .arg(QLatin1String(c.first), QLatin1String(c.second), QLatin1String(c.why)));
        }
    }
    if (parser.isSet(QStringLiteral("poll")) && !parser.isSet(QStringLiteral("metrics"))) {
        return Failure(QStringLiteral("--poll needs --metrics: the polls only feed the metrics"));
    }
    o.noPassword = parser.isSet(QStringLiteral("no-password"));
    o.help = parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("h"));
    o.version = parser.isSet(QStringLiteral("version"));
    return o;
}

namespace {

// Without a password only on loopback, unless open access is meant; an address asked for that
// breaks this rule is a usage error.
Result<ListenPlan> planFor(const std::optional<QHostAddress>& address, bool open) {
    ListenPlan plan;
    if (address) {
        if (!open && !address->isLoopback()) {
            return Failure(QStringLiteral("without a password the bridge listens on loopback "
                                          "only: give --password-file FILE, or --no-password if "
                                          "open access to %1 is intended")
                               .arg(address->toString()));
        }
        // [::] is every address, as it is to most servers; Qt's listener on it would take IPv6
        // alone, so IPv4 gets a listener of its own beside it.
        plan.addresses = *address == QHostAddress(QHostAddress::AnyIPv6)
                             ? QList<QHostAddress>{QHostAddress(QHostAddress::AnyIPv4), *address}
                             : QList<QHostAddress>{*address};
    } else if (open) {
        // Each family on a listener of its own, so that the log names what is really listened
        // on; IPv6 where the host has it.
        plan.addresses = {QHostAddress(QHostAddress::AnyIPv4)};
        plan.optional = {QHostAddress(QHostAddress::AnyIPv6)};
    } else {
        plan.addresses = {QHostAddress(QHostAddress::LocalHost)};
        plan.optional = {QHostAddress(QHostAddress::LocalHostIPv6)};
    }
    return plan;
}

} // namespace

Result<ListenPlan> listenAddresses(const BridgeOptions& options, bool hasPassword) {
    return planFor(options.listenAddress, hasPassword || options.noPassword);
}

Result<ListenPlan> metricsAddresses(const BridgeOptions& options) {
    if (!options.metrics) {
        return Failure(QStringLiteral("--metrics is not given"));
    }
    // Metrics have no password; an address given is the operator's choice.
    return planFor(options.metrics->first, options.metrics->first.has_value());
}

Result<ListenPlan> serveAddresses(const BridgeOptions& options, bool hasPassword) {
    if (!options.serve) {
        return Failure(QStringLiteral("--serve is not given"));
    }
    return planFor(options.serve->first, hasPassword || options.noPassword);
}
