#include "ctl/ctl_options.h"

#include "core/bindings.h"
#include "serial/comm_port.h"
#include "serial/port_devices.h"

#include <QStringList>

const char* const CtlUsage =
    "Usage: rmq27-ctl [--port DEVICE] [--baud 19200|9600] [--timeout MS] [--json] [--simulate]\n"
    "                 ACTION... | --list\n"
    "Sends the RM-Q27 panel's commands from a shell and prints each reply as the panel reads it.\n"
    "\n"
    "  ACTION             a button by name (see --list), or --raw CODE for any command code\n"
    "  --port DEVICE      the serial device (a path, rfc2217://HOST:PORT or tcp://HOST:PORT)\n"
    "  --baud RATE        19200 (default) or 9600; no parity, 8 data bits, 1 stop bit\n"
    "  --timeout MS       how long to wait for each reply (default: the panel's reply window)\n"
    "  --json             one JSON object per action\n"
    "  --simulate         talk to a simulated projector inside this program\n"
    "  --list             every action name with its code and caption\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 every action answered, 1 the port failed or a reply could not be read,\n"
    "2 bad usage, 3 an action drew no complete reply in time.\n";

namespace {

// Longest wait a --timeout may ask for: ten minutes.
constexpr int MaxTimeoutMs = 600000;

} // namespace

std::optional<CtlAction> findNamedAction(const QString& name) {
    for (const OneShotBinding& b : oneShotBindings()) {
        if (name == QLatin1String(b.name)) {
            return CtlAction{name, QLatin1String(b.code), replyWindowMs(b.kind)};
        }
    }
    // A hold button sends once from here: its first send, with the window its press sets.
    for (const HoldBinding& h : holdBindings()) {
        if (name == QLatin1String(h.name)) {
            return CtlAction{name, QLatin1String(h.code), h.replyWindowMs()};
        }
    }
    return std::nullopt;
}

CtlAction rawAction(const QString& code) {
    return CtlAction{QStringLiteral("raw"), code, FreeTextReplyWindowMs};
}

QString actionListText() {
    QString out;
    const auto line = [&out](const char* name, const char* code, const char* caption) {
        out += QStringLiteral("%1 %2 %3\n")
                   .arg(QLatin1String(name), -24)
                   .arg(QLatin1String(code), -17)
                   .arg(QString::fromUtf8(caption));
    };
    for (const OneShotBinding& b : oneShotBindings()) {
        line(b.name, b.code, b.caption);
    }
    for (const HoldBinding& h : holdBindings()) {
        line(h.name, h.code, h.caption);
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
    for (qsizetype i = 0; i < args.size() && parse.error.isEmpty(); ++i) {
        QString arg = args[i];
        std::optional<QString> inlineValue;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            inlineValue = arg.mid(arg.indexOf(QLatin1Char('=')) + 1);
            arg = arg.left(arg.indexOf(QLatin1Char('=')));
        }
        const auto value = [&]() -> std::optional<QString> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= args.size()) {
                parse.error = QStringLiteral("%1 needs a value").arg(arg);
                return std::nullopt;
            }
            return args[++i];
        };
        if (arg == QLatin1String("--port")) {
            if (const auto v = value()) {
                o.port = *v;
                if (o.port.isEmpty()) {
                    parse.error = QStringLiteral("--port needs a device");
                }
            }
        } else if (arg == QLatin1String("--baud")) {
            if (const auto v = value()) {
                if (*v == QLatin1String("19200") || *v == QLatin1String("9600")) {
                    o.settings = *v + QLatin1String(",N,8,1");
                } else {
                    parse.error = QStringLiteral("--baud is 19200 or 9600, not \"%1\"").arg(*v);
                }
            }
        } else if (arg == QLatin1String("--timeout")) {
            if (const auto v = value()) {
                bool ok = false;
                const int ms = v->toInt(&ok);
                if (!ok || ms < 1 || ms > MaxTimeoutMs) {
                    parse.error = QStringLiteral("--timeout is a number of milliseconds from 1 "
                                                 "to %1, not \"%2\"")
                                      .arg(MaxTimeoutMs)
                                      .arg(*v);
                } else {
                    o.timeoutMs = ms;
                }
            }
        } else if (arg == QLatin1String("--raw")) {
            if (const auto v = value()) {
                // One character is one byte on the line, and a carriage return or line feed
                // inside the code would send a second command the user did not name.
                const bool oneLine =
                    !v->contains(QLatin1Char('\r')) && !v->contains(QLatin1Char('\n'));
                const bool oneByteEach = std::all_of(v->cbegin(), v->cend(),
                                                     [](QChar c) { return c.unicode() <= 0xFF; });
                if (!oneLine || !oneByteEach) {
                    parse.error = QStringLiteral("--raw takes one line of single-byte characters");
                } else {
                    o.actions << rawAction(*v);
                }
            }
        } else if (inlineValue) {
            parse.error = QStringLiteral("unknown option %1").arg(args[i]);
        } else if (arg == QLatin1String("--json")) {
            o.json = true;
        } else if (arg == QLatin1String("--simulate")) {
            o.simulate = true;
        } else if (arg == QLatin1String("--list")) {
            o.list = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            o.help = true;
        } else if (arg == QLatin1String("--version")) {
            o.version = true;
        } else if (arg.startsWith(QLatin1Char('-'))) {
            parse.error = QStringLiteral("unknown option %1").arg(arg);
        } else if (const auto action = findNamedAction(arg)) {
            o.actions << *action;
        } else {
            parse.error =
                QStringLiteral("unknown action \"%1\"; rmq27-ctl --list shows every name").arg(arg);
        }
    }
    if (!parse.error.isEmpty() || o.help || o.version || o.list) {
        return parse;
    }
    if (o.simulate && !o.port.isEmpty()) {
        parse.error = QStringLiteral("--simulate and --port name two different projectors");
    } else if (o.actions.isEmpty()) {
        parse.error = QStringLiteral("no action given");
    }
    return parse;
}
