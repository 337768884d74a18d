#include "bridge/bridge_options.h"

#include <QFile>

#include <sys/stat.h>

const char* const BridgeUsage =
    "Usage: rmq27-bridge [--port DEVICE] [--baud 19200|9600] [--listen [ADDR:]PORT]\n"
    "                    [--password-file FILE | --no-password] [--name NAME]\n"
    "                    [--metrics [ADDR:]PORT [--poll SECONDS]] [--log FILE]\n"
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
    "  --name NAME           the projector's name for NAME ? (default: the host name)\n"
    "  --metrics [ADDR:]PORT Prometheus metrics at /metrics (every address unless ADDR is\n"
    "                        given; 9352 is the port meant for them, 9353... for more bridges)\n"
    "  --poll SECONDS        with --metrics: read the projector's status every SECONDS\n"
    "                        (default 30, at least 5), between the clients' requests\n"
    "  --log FILE            append every exchange of the line to FILE, one line each\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 stopped, 1 cannot listen or read the password, 2 bad usage.\n";

namespace {

constexpr qsizetype MaxPasswordChars = 32;

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

BridgeParse parseBridgeArguments(const QStringList& args) {
    BridgeParse parse;
    BridgeOptions& o = parse.options;
    for (qsizetype i = 0; i < args.size() && parse.error.isEmpty(); ++i) {
        const QString& arg = args[i];
        const auto value = [&](QString* out) {
            if (i + 1 >= args.size()) {
                parse.error = QStringLiteral("%1 needs a value").arg(arg);
                return false;
            }
            *out = args[++i];
            return true;
        };
        QString v;
        if (arg == QLatin1String("--port")) {
            if (value(&v) && v.isEmpty()) {
                parse.error = QStringLiteral("--port needs a DEVICE, not an empty one");
            }
            o.port = v;
        } else if (arg == QLatin1String("--baud")) {
            if (value(&v)) {
                if (v != QLatin1String("19200") && v != QLatin1String("9600")) {
                    parse.error = QStringLiteral("--baud must be 19200 or 9600, not \"%1\"").arg(v);
                }
                o.settings = v + QLatin1String(",N,8,1");
            }
        } else if (arg == QLatin1String("--listen")) {
            if (value(&v)) {
                const auto listen = parseListen(v);
                if (!listen) {
                    parse.error = QStringLiteral("--listen wants [ADDR:]PORT with ADDR an IP "
                                                 "address ([...] for IPv6), not \"%1\"")
                                      .arg(v);
                } else {
                    o.listenAddress = listen->first;
                    o.listenPort = listen->second;
                }
            }
        } else if (arg == QLatin1String("--password-file")) {
            if (value(&v) && v.isEmpty()) {
                parse.error = QStringLiteral("--password-file needs a FILE, not an empty one");
            }
            o.passwordFile = v;
        } else if (arg == QLatin1String("--no-password")) {
            o.noPassword = true;
        } else if (arg == QLatin1String("--log")) {
            if (value(&v) && v.isEmpty()) {
                parse.error = QStringLiteral("--log needs a FILE, not an empty one");
            }
            o.logFile = v;
        } else if (arg == QLatin1String("--name")) {
            if (value(&v)) {
                o.name = v;
            }
        } else if (arg == QLatin1String("--metrics")) {
            if (value(&v)) {
                o.metrics = parseListen(v);
                if (!o.metrics) {
                    parse.error = QStringLiteral("--metrics wants [ADDR:]PORT with ADDR an IP "
                                                 "address ([...] for IPv6), not \"%1\"")
                                      .arg(v);
                }
            }
        } else if (arg == QLatin1String("--poll")) {
            if (value(&v)) {
                bool ok = false;
                o.pollSeconds = v.toInt(&ok);
                if (!ok || o.pollSeconds < 5 || o.pollSeconds > 86400) {
                    parse.error =
                        QStringLiteral("--poll wants 5 to 86400 seconds, not \"%1\"").arg(v);
                }
            }
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            o.help = true;
        } else if (arg == QLatin1String("--version")) {
            o.version = true;
        } else {
            parse.error = QStringLiteral("unknown argument \"%1\"").arg(arg);
        }
    }
    if (parse.error.isEmpty() && o.noPassword && !o.passwordFile.isEmpty()) {
        parse.error = QStringLiteral("--no-password and --password-file exclude each other");
    }
    return parse;
}

ListenPlan listenAddresses(const BridgeOptions& options, bool hasPassword) {
    ListenPlan plan;
    const bool open = hasPassword || options.noPassword;
    if (options.listenAddress) {
        if (!open && !options.listenAddress->isLoopback()) {
            plan.error = QStringLiteral("without a password the bridge listens on loopback only: "
                                        "give --password-file FILE, or --no-password if open "
                                        "access to %1 is intended")
                             .arg(options.listenAddress->toString());
            return plan;
        }
        plan.addresses = {*options.listenAddress};
    } else if (open) {
        plan.addresses = {QHostAddress(QHostAddress::Any)};
    } else {
        plan.addresses = {QHostAddress(QHostAddress::LocalHost)};
        plan.optional = {QHostAddress(QHostAddress::LocalHostIPv6)};
    }
    return plan;
}

PasswordRead readPasswordFile(const QString& path) {
    PasswordRead read;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        read.error =
            QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString());
        return read;
    }
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || !S_ISREG(st.st_mode)) {
        read.error = QStringLiteral("the password file %1 is not a regular file").arg(path);
        return read;
    }
    if (st.st_mode & (S_IROTH | S_IWOTH)) {
        read.error = QStringLiteral("the password file %1 may be read or written by others; "
                                    "make it private (chmod o-rw %1)")
                         .arg(path);
        return read;
    }
    QByteArray line = file.read(256);
    const qsizetype end = line.indexOf('\n');
    if (end >= 0) {
        line.truncate(end);
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    bool printable = true;
    for (const char c : line) {
        printable = printable && c >= 0x20 && c <= 0x7E;
    }
    if (line.isEmpty() || line.size() > MaxPasswordChars || !printable) {
        read.error = QStringLiteral("the password in %1 must be 1 to %2 printable ASCII "
                                    "characters on its first line")
                         .arg(path)
                         .arg(MaxPasswordChars);
        return read;
    }
    read.password = line;
    return read;
}
