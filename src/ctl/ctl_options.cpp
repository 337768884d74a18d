#include "ctl/ctl_options.h"

#include "core/bindings.h"
#include "ctl/ctl_json.h"
#include "serial/comm_port.h"
#include "serial/device_address.h"
#include "serial/port_devices.h"

#include <QCommandLineParser>
#include <QJsonObject>

#include <algorithm>

namespace {

// Longest wait a --timeout may ask for: ten minutes.
constexpr int MaxTimeoutMs = 600000;

// The options that take a value, and what the value is called in messages.
struct ValueOption {
    const char* name;
    const char* valueName;
};
constexpr std::array<ValueOption, 6> ValueOptions{{
    {"port", "DEVICE"},
    {"log", "FILE"},
    {"password-file", "FILE"},
    {"baud", "RATE"},
    {"timeout", "MS"},
    {"raw", "CODE"},
}};
constexpr std::array<const char*, 5> Switches{"json", "simulate", "list", "help", "version"};

// Options that make no sense together, and why.
struct Conflict {
    const char* first;
    const char* second;
    const char* why;
};
constexpr std::array<Conflict, 8> Conflicts{{
    {"simulate", "port", "--simulate and --port name two different projectors"},
    {"simulate", "password-file", "the simulated projector has no bridge in front of it"},
    {"list", "password-file", "--list opens no port"},
    {"list", "port", "--list opens no port"},
    {"list", "simulate", "--list opens no port"},
    {"list", "baud", "--list opens no port"},
    {"list", "timeout", "--list opens no port"},
    {"list", "log", "--list opens no port"},
}};

const ValueOption* valueOption(const QString& arg) {
    for (const ValueOption& o : ValueOptions) {
        if (arg == QLatin1String("--") + QLatin1String(o.name)) {
            return &o;
        }
    }
    return nullptr;
}

// Edits (insert, delete, replace) that turn a into b.
qsizetype distance(const QString& a, const QString& b) {
    std::vector<qsizetype> row(size_t(b.size()) + 1);
    for (size_t j = 0; j < row.size(); ++j) {
        row[j] = qsizetype(j);
    }
    for (qsizetype i = 1; i <= a.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype above = row[size_t(j)];
            row[size_t(j)] = std::min(
                {above + 1, row[size_t(j - 1)] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

// The arguments in their order, as the parser reads them: which are action names (positional) and
// which are --raw codes. The parser itself keeps options and positional arguments apart.
struct Walk {
    QList<std::pair<bool, QString>> actions; // (raw, name or code)
    QString missingValue;                    // an option at the end with no value after it
};

Walk walk(const QStringList& args) {
    Walk w;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--")) {
            for (++i; i < args.size(); ++i) {
                w.actions.append({false, args[i]});
            }
            break;
        }
        if (arg.startsWith(QLatin1String("--raw="))) {
            w.actions.append({true, arg.mid(6)});
        } else if (valueOption(arg)) {
            if (i + 1 >= args.size()) {
                w.missingValue = arg;
                break;
            }
            if (arg == QLatin1String("--raw")) {
                w.actions.append({true, args[i + 1]});
            }
            ++i;
        } else if (!arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            w.actions.append({false, arg});
        }
    }
    return w;
}

QString shownOption(const QString& name) {
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// The panel's rules for an option's value: not empty, not another option.
QString valueProblem(const QString& option, const char* valueName, const QString& value) {
    const QString what = QString::fromLatin1(valueName).toLower();
    if (value.trimmed().isEmpty()) {
        return QStringLiteral("%1 needs a %2, not an empty one").arg(option, what);
    }
    if (value.startsWith(QLatin1Char('-'))) {
        return QStringLiteral("%1 needs a %2, not the option '%3'").arg(option, what, value);
    }
    return {};
}

QString checkRaw(const QString& code) {
    if (const QString problem = valueProblem(QStringLiteral("--raw"), "CODE", code);
        !problem.isEmpty()) {
        return problem;
    }
    // One character is one byte on the line, and a carriage return or line feed inside the code
    // would send a second command the user did not name.
    const bool oneLine = !code.contains(QLatin1Char('\r')) && !code.contains(QLatin1Char('\n'));
    const bool oneByteEach =
        std::all_of(code.cbegin(), code.cend(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (!oneLine || !oneByteEach) {
        return QStringLiteral("--raw takes one line of single-byte characters");
    }
    return {};
}

// Checks the values given and stores them; the first problem found, else nothing.
QString readValues(const QCommandLineParser& parser, CtlOptions& o) {
    for (const ValueOption& v : ValueOptions) {
        const QString name = QLatin1String(v.name);
        const QStringList values = parser.values(name);
        if (name == QLatin1String("raw") || values.isEmpty()) {
            continue;
        }
        const QString option = shownOption(name);
        if (values.size() > 1) {
            return QStringLiteral("%1 is given more than once").arg(option);
        }
        const QString& value = values.front();
        if (const QString problem = valueProblem(option, v.valueName, value); !problem.isEmpty()) {
            return problem;
        }
        if (name == QLatin1String("port")) {
            const DeviceAddress address = parseDeviceAddress(value);
            if (address.error) {
                return QStringLiteral("--port %1: %2").arg(value, *address.error);
            }
            o.port = value;
        } else if (name == QLatin1String("log")) {
            o.logFile = value;
        } else if (name == QLatin1String("password-file")) {
            o.passwordFile = value;
        } else if (name == QLatin1String("baud")) {
            if (value != QLatin1String("19200") && value != QLatin1String("9600")) {
                return QStringLiteral("--baud is 19200 or 9600, not \"%1\"").arg(value);
            }
            o.settings = value + QLatin1String(",N,8,1");
        } else {
            bool ok = false;
            const int ms = value.toInt(&ok);
            if (!ok || ms < 1 || ms > MaxTimeoutMs) {
                return QStringLiteral("--timeout is a number of milliseconds from 1 to %1, not "
                                      "\"%2\"")
                    .arg(MaxTimeoutMs)
                    .arg(value);
            }
            o.timeoutMs = ms;
        }
    }
    return {};
}

} // namespace

std::optional<CtlAction> findNamedAction(const QString& name) {
    const QString wanted = name.toLower();
    for (const OneShotBinding& b : oneShotBindings()) {
        if (wanted == QLatin1String(b.name)) {
            return CtlAction{wanted, QLatin1String(b.code), replyWindowMs(b.kind)};
        }
    }
    // A hold button sends once from here: its first send, with the window its press sets.
    for (const HoldBinding& h : holdBindings()) {
        if (wanted == QLatin1String(h.name)) {
            return CtlAction{wanted, QLatin1String(h.code), h.replyWindowMs()};
        }
    }
    return std::nullopt;
}

QString nearestActionName(const QString& name) {
    const QString wanted = name.toLower();
    QString best;
    qsizetype bestDistance = 0;
    const auto consider = [&](const char* candidate) {
        const qsizetype d = distance(wanted, QLatin1String(candidate));
        if (best.isEmpty() || d < bestDistance) {
            best = QLatin1String(candidate);
            bestDistance = d;
        }
    };
    for (const OneShotBinding& b : oneShotBindings()) {
        consider(b.name);
    }
    for (const HoldBinding& h : holdBindings()) {
        consider(h.name);
    }
    return best;
}

CtlAction rawAction(const QString& code) {
    return CtlAction{QStringLiteral("raw"), code, FreeTextReplyWindowMs};
}

QString actionListText(bool json) {
    QString out;
    const auto line = [&](const char* name, const char* code, const char* caption, int windowMs) {
        if (json) {
            out += asciiJson(QJsonObject{{QStringLiteral("name"), QLatin1String(name)},
                                         {QStringLiteral("code"), QLatin1String(code)},
                                         {QStringLiteral("caption"), QString::fromUtf8(caption)},
                                         {QStringLiteral("windowMs"), windowMs}}) +
                   QLatin1Char('\n');
            return;
        }
        out += QStringLiteral("%1 %2 %3\n")
                   .arg(QLatin1String(name), -24)
                   .arg(QLatin1String(code), -17)
                   .arg(QString::fromUtf8(caption));
    };
    for (const OneShotBinding& b : oneShotBindings()) {
        line(b.name, b.code, b.caption, replyWindowMs(b.kind));
    }
    for (const HoldBinding& h : holdBindings()) {
        line(h.name, h.code, h.caption, h.replyWindowMs());
    }
    return out;
}

QString ctlDevice(const QString& portOption) {
    // The panel's choice for COM1: the option, else the device the panel last opened on COM1,
    // else the first USB serial adapter, else the default device.
    if (!portOption.isEmpty()) {
        return portOption;
    }
    return PortDeviceChoice().choose(1, QString(), availableSerialPorts());
}

CtlParse parseCtlArguments(const QStringList& args) {
    CtlParse parse;
    CtlOptions& o = parse.options;
    const Walk w = walk(args);
    if (!w.missingValue.isEmpty()) {
        parse.error = QStringLiteral("%1 needs a value").arg(w.missingValue);
        return parse;
    }
    // A switch given a value is no option of this program.
    for (const QString& arg : args) {
        for (const char* s : Switches) {
            if (arg.startsWith(QLatin1String("--") + QLatin1String(s) + QLatin1Char('='))) {
                parse.error = QStringLiteral("unknown option %1 (--%2 takes no value)")
                                  .arg(arg, QLatin1String(s));
                return parse;
            }
        }
    }
    QCommandLineParser parser;
    for (const ValueOption& v : ValueOptions) {
        parser.addOption(QCommandLineOption(QLatin1String(v.name), {}, QLatin1String(v.valueName)));
    }
    for (const char* s : Switches) {
        parser.addOption(QCommandLineOption(QLatin1String(s)));
    }
    parser.addOption(QCommandLineOption(QStringLiteral("h")));
    if (!parser.parse(QStringList{QStringLiteral("rmq27-ctl")} + args)) {
        const QStringList unknown = parser.unknownOptionNames();
        parse.error = unknown.isEmpty()
                          ? parser.errorText()
                          : QStringLiteral("unknown option %1").arg(shownOption(unknown.front()));
        return parse;
    }
    if (const QString problem = readValues(parser, o); !problem.isEmpty()) {
        parse.error = problem;
        return parse;
    }
    for (const auto& [raw, text] : w.actions) {
        if (raw) {
            parse.error = checkRaw(text);
            if (!parse.error.isEmpty()) {
                return parse;
            }
            o.actions << rawAction(text);
        } else if (const auto action = findNamedAction(text)) {
            o.actions << *action;
        } else {
            parse.error = QStringLiteral("unknown action \"%1\"; did you mean \"%2\"? rmq27-ctl "
                                         "--list shows every name")
                              .arg(text, nearestActionName(text));
            return parse;
        }
    }
    for (const Conflict& c : Conflicts) {
        if (parser.isSet(QLatin1String(c.first)) && parser.isSet(QLatin1String(c.second))) {
            parse.error =
                QStringLiteral("--%1 and --%2 cannot be given together: %3")
                    .arg(QLatin1String(c.first), QLatin1String(c.second), QLatin1String(c.why));
            return parse;
        }
    }
    // A bridge sets the line for all its users, and only a bridge asks for a password.
    const bool bridged = parseDeviceAddress(o.port).kind == DeviceAddress::Kind::Bridge;
    if (bridged && parser.isSet(QStringLiteral("baud"))) {
        parse.error = QStringLiteral("--baud cannot be given with a bridge (rmq27://): the "
                                     "bridge sets the line's speed, with its own --baud");
        return parse;
    }
    if (!bridged && parser.isSet(QStringLiteral("password-file"))) {
        parse.error = QStringLiteral("--password-file is for a bridge: give it with --port "
                                     "rmq27://HOST:PORT");
        return parse;
    }
    o.json = parser.isSet(QStringLiteral("json"));
    o.simulate = parser.isSet(QStringLiteral("simulate"));
    o.list = parser.isSet(QStringLiteral("list"));
    o.help = parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("h"));
    o.version = parser.isSet(QStringLiteral("version"));
    if (o.list && !o.actions.isEmpty()) {
        parse.error = QStringLiteral("--list and an action cannot be given together: --list "
                                     "sends nothing");
    } else if (!o.help && !o.version && !o.list && o.actions.isEmpty()) {
        parse.error = QStringLiteral("no action given");
    }
    return parse;
}

QString ctlUsage() {
    return QStringLiteral(
               "Usage: rmq27-ctl [--port DEVICE] [--baud 19200|9600] [--timeout MS] [--json] "
               "[--simulate]\n"
               "                 [--log FILE] [--password-file FILE]\n"
               "                 ACTION... | --list [--json]\n"
               "Sends the RM-Q27 panel's commands from a shell and prints each reply as the panel "
               "reads "
               "it.\n"
               "\n"
               "  ACTION             a button by name, in any case (see --list), or --raw CODE for "
               "any\n"
               "                     command code\n"
               "  --port DEVICE      the serial device (a path, rfc2217://HOST:PORT or "
               "tcp://HOST:PORT),\n"
               "                     or rmq27://HOST:PORT, a projector that rmq27-bridge serves;\n"
               "                     default: the device the panel last used for COM1, else the "
               "first USB\n"
               "                     serial adapter, else %1\n"
               "  --baud RATE        19200 (default) or 9600; no parity, 8 data bits, 1 stop bit;\n"
               "                     not with rmq27://, where the bridge sets the speed\n"
               "  --password-file FILE\n"
               "                     the password of a bridge (rmq27://): the first line of FILE, "
               "a file\n"
               "                     only its owner may write and others may not read\n"
               "  --timeout MS       how long to wait for each reply (default: the panel's reply "
               "window)\n"
               "  --json             one JSON object per action, whatever happened, with the "
               "readings as\n"
               "                     values\n"
               "  --simulate         talk to a simulated projector inside this program\n"
               "  --log FILE         append every exchange to FILE, one line each, with its time\n"
               "  --list             every action name with its code and caption\n"
               "  --help, --version\n"
               "\n"
               "Exit status: 0 every action answered or acknowledged, 1 the port failed or a reply "
               "could\n"
               "not be read, 2 bad usage, 3 an action drew no complete reply in time, 4 the "
               "projector\n"
               "refused an action (NAK). When actions end differently, the lowest of 1, 3 and 4 "
               "that\n"
               "applies.\n")
        .arg(CommPort::defaultDevice(1));
}
