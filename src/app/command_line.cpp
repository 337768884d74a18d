#include "app/command_line.h"

#include "app/platform.h"
#include "serial/comm_port.h"
#include "serial/port_devices.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const QString Program = QStringLiteral("rmq27-panel");

// One row per option. An option that takes a value names it and the field it goes to; a switch
// names its flag; --help and --version have neither. A new option is a new row here.
struct OptionRow {
    QStringList names;
    QString valueName;
    QString help;
    QString StartOptions::*value = nullptr;
    bool StartOptions::*flag = nullptr;
};

const QList<OptionRow>& optionRows() {
    static const QList<OptionRow> rows = {
        {{QStringLiteral("com1")},
         QStringLiteral("DEVICE"),
         QStringLiteral("the device behind COM1: a path, rfc2217://HOST:PORT or tcp://HOST:PORT,\n"
                        "or rmq27://HOST:PORT, a projector that rmq27-bridge serves (default:\n"
                        "the one last opened on COM1, else the first USB adapter, else %1)")
             .arg(CommPort::defaultDevice(1)),
         &StartOptions::com1},
        {{QStringLiteral("com2")},
         QStringLiteral("DEVICE"),
         QStringLiteral("the device behind COM2, in the same forms\n(default: the one last "
                        "opened on COM2, else %1)")
             .arg(CommPort::defaultDevice(2)),
         &StartOptions::com2},
        {{QStringLiteral("simulate")},
         {},
         QStringLiteral("put a simulated projector behind COM1"),
         nullptr,
         &StartOptions::simulate},
        {{QStringLiteral("log")},
         QStringLiteral("FILE"),
         QStringLiteral("append every exchange with the projector to FILE, one line each"),
         &StartOptions::log},
        {{QStringLiteral("password-file")},
         QStringLiteral("FILE"),
         QStringLiteral("the password of a bridge (rmq27://): the first line of FILE, a file\n"
                        "only its owner may write and others may not read"),
         &StartOptions::passwordFile},
        {{QStringLiteral("list-ports")},
         {},
         QStringLiteral("list the serial ports this system reports, then exit"),
         nullptr,
         &StartOptions::listPorts},
        {{QStringLiteral("forget")},
         {},
         QStringLiteral("forget the devices remembered for COM1 and COM2, then exit"),
         nullptr,
         &StartOptions::forget},
        {{QStringLiteral("h"), QStringLiteral("help")}, {}, QStringLiteral("show this text")},
        {{QStringLiteral("version")}, {}, QStringLiteral("show the version")},
    };
    return rows;
}

// Options that make no sense together, and why.
struct Conflict {
    QString first;
    QString second;
    QString why;
};

const QList<Conflict>& conflicts() {
    static const QList<Conflict> list = {
        {QStringLiteral("com1"), QStringLiteral("simulate"),
         QStringLiteral("--simulate puts the simulated projector behind COM1")},
    };
    // The jobs done without the window take no device and no other job.
    static const QList<Conflict> all = [] {
        QList<Conflict> rows = list;
        const QString why = QStringLiteral("--%1 opens no port and no window");
        for (const QString& job : {QStringLiteral("list-ports"), QStringLiteral("forget")}) {
            for (const QString& other :
                 {QStringLiteral("com1"), QStringLiteral("com2"), QStringLiteral("simulate"),
                  QStringLiteral("log"), QStringLiteral("password-file")}) {
                rows.append({job, other, why.arg(job)});
            }
        }
        rows.append({QStringLiteral("list-ports"), QStringLiteral("forget"),
                     QStringLiteral("one job at a time")});
        return rows;
    }();
    return all;
}

QString usage() {
    QStringList left;
    for (const OptionRow& row : optionRows()) {
        QStringList forms;
        for (const QString& name : row.names) {
            forms << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        }
        QString form = forms.join(QStringLiteral(", "));
        if (!row.valueName.isEmpty()) {
            form += QLatin1Char(' ') + row.valueName;
        }
        left << form;
    }
    qsizetype width = 0;
    for (const QString& form : left) {
        width = std::max(width, form.size());
    }
    QString text =
        QStringLiteral("Usage: %1 [OPTION]...\n"
                       "Control panel for the RM-Q27 projector on an RS-232C line (19200 or 9600 "
                       "baud, 8N1).\n\n")
            .arg(Program);
    const QString indent = QStringLiteral("\n") + QString(width + 4, QLatin1Char(' '));
    for (qsizetype i = 0; i < left.size(); ++i) {
        QString help = optionRows()[i].help;
        text += QStringLiteral("  %1  %2\n")
                    .arg(left[i].leftJustified(width), help.replace(QLatin1Char('\n'), indent));
    }
    text += QStringLiteral(
        "\nAn option's value may also follow an equals sign: --com1=DEVICE.\n"
        "A device that opens is remembered in ~/.config/rmq27-panel/rmq27-panel.ini.\n"
        "Qt's standard options (-platform NAME, -display DISPLAY, -style STYLE, ...) are taken "
        "as\nby any Qt program.\n");
    return text;
}

StartOptions usageError(const QString& message) {
    StartOptions options;
    options.exitCode = 2;
    options.err = QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(Program, message);
    return options;
}

bool displayAvailable(const StartOptions& options) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (!options.qtPlatform.isEmpty() || !options.qtDisplay.isEmpty()) {
        return true; // Qt is told where; openApplication() reports it when that fails
    }
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
#else
    Q_UNUSED(options);
    return true;
#endif
}

} // namespace

StartOptions parseArguments(const QStringList& allArguments) {
    QStringList ownValueOptions;
    for (const OptionRow& row : optionRows()) {
        if (row.value) {
            ownValueOptions << QStringLiteral("--") + row.names.back();
        }
    }
    const QtOptions qt = takeQtOptions(allArguments, ownValueOptions);
    if (qt.error) {
        return usageError(*qt.error);
    }
    const QStringList& arguments = qt.rest;
    QCommandLineParser parser;
    QList<QCommandLineOption> options;
    for (const OptionRow& row : optionRows()) {
        options << QCommandLineOption(row.names, row.help, row.valueName);
        parser.addOption(options.back());
    }
    if (!parser.parse(arguments)) {
        return usageError(parser.errorText());
    }

    // Everything is checked before --help or --version is honoured, so that a command line with
    // a mistake in it never ends in success.
    StartOptions result;
    result.qtDisplay = qt.display;
    result.qtPlatform = qt.platform;
    result.qtStyle = qt.style;
    for (qsizetype i = 0; i < optionRows().size(); ++i) {
        const OptionRow& row = optionRows()[i];
        const QString shown = QStringLiteral("--") + row.names.back();
        if (row.value) {
            const QStringList values = parser.values(options[i]);
            if (values.size() > 1) {
                return usageError(QStringLiteral("%1 is given more than once").arg(shown));
            }
            if (values.isEmpty()) {
                continue;
            }
            const QString& value = values.front();
            if (value.trimmed().isEmpty()) {
                return usageError(QStringLiteral("%1 needs a %2, not an empty one")
                                      .arg(shown, row.valueName.toLower()));
            }
            // "--com1 --simulate" is a forgotten device, not a device named "--simulate".
            if (value.startsWith(QLatin1Char('-'))) {
                return usageError(QStringLiteral("%1 needs a %2, not the option '%3'")
                                      .arg(shown, row.valueName.toLower(), value));
            }
            result.*row.value = value;
        } else if (row.flag) {
            result.*row.flag = parser.isSet(options[i]);
        }
    }
    // After the values: "--com1 -platform x" is a forgotten device more than a stray "x".
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
    }
    for (const Conflict& conflict : conflicts()) {
        if (parser.isSet(conflict.first) && parser.isSet(conflict.second)) {
            return usageError(QStringLiteral("--%1 and --%2 cannot be given together: %3")
                                  .arg(conflict.first, conflict.second, conflict.why));
        }
    }

    if (parser.isSet(QStringLiteral("help"))) {
        result.out = usage();
        result.exitCode = 0;
    } else if (parser.isSet(QStringLiteral("version"))) {
        result.out = QStringLiteral("%1 %2\n").arg(Program, QStringLiteral(RMQ27_VERSION));
        result.exitCode = 0;
    }
    return result;
}

StartOptions parseCommandLine(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    StartOptions options = parseArguments(arguments);
    std::fputs(qPrintable(options.out), stdout);
    std::fputs(qPrintable(options.err), stderr);
    if (!options.exitCode && !options.listPorts && !options.forget && !displayAvailable(options)) {
        std::fprintf(stderr,
                     "%s: no display to open the window on: set DISPLAY to an X server, or run it "
                     "under a virtual one: xvfb-run -a %s ...\n",
                     qPrintable(Program), qPrintable(Program));
        options.exitCode = 1;
    }
    return options;
}

std::optional<int> runWithoutWindow(const StartOptions& options) {
    if (options.listPorts) {
        std::fputs(qPrintable(listPorts()), stdout);
        return 0;
    }
    if (options.forget) {
        PortDeviceChoice choice;
        if (const auto failure = choice.forget()) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(Program), qPrintable(*failure));
            return 1;
        }
        std::printf("%s: no device is remembered for COM1 or COM2 now (%s)\n", qPrintable(Program),
                    qPrintable(choice.settingsFile()));
        return 0;
    }
    return std::nullopt;
}
