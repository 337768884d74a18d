#include "app/platform.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

struct QtOption {
    const char* name;
    bool value;
    bool valueAfterEquals; // also takes -name=VALUE
};

// The options QGuiApplication, QApplication and the X11 platform take out of argv themselves.
constexpr QtOption QtOptionTable[] = {
    {"platform", true, false},
    {"platformpluginpath", true, false},
    {"platformtheme", true, false},
    {"plugin", true, false},
    {"qwindowgeometry", true, false},
    {"qwindowicon", true, false},
    {"qwindowtitle", true, false},
    {"session", true, false},
    {"display", true, false},
    {"geometry", true, false},
    {"style", true, true},
    {"stylesheet", true, true},
    {"qmljsdebugger", false, true},
    {"reverse", false, false},
    {"widgetcount", false, false},
    {"nograb", false, false},
    {"dograb", false, false},
    {"name", true, false},
    {"visual", true, false},
    {"sync", false, false},
};

const QtOption* findQtOption(const QString& name) {
    for (const QtOption& option : QtOptionTable) {
        if (name == QLatin1String(option.name)) {
            return &option;
        }
    }
    return nullptr;
}

// What the platform said while it started, kept back until it is known whether it started.
QStringList heldMessages;
QtMessageHandler previousHandler = nullptr;
QString displayName;

void holdOrEnd(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        heldMessages << text;
        Q_UNUSED(context);
        return;
    }
    std::fprintf(stderr,
                 "rmq27-panel: cannot open the display %s: no display server answers there, or "
                 "it refuses this user; check DISPLAY, or run the panel under a virtual display: "
                 "xvfb-run -a rmq27-panel ...\n",
                 qPrintable(displayName));
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

QtOptions takeQtOptions(const QStringList& arguments, const QStringList& ownValueOptions) {
    QtOptions result;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        // The program's name, a value of one of the program's own options, and everything after
        // "--" are no options of Qt's.
        const bool ownValue = i > 0 && ownValueOptions.contains(arguments[i - 1]);
        if (i == 0 || ownValue || !argument.startsWith(QLatin1Char('-')) || argument == "-") {
            result.rest << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            result.rest << arguments.mid(i);
            break;
        }
        const QString bare = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype equals = bare.indexOf(QLatin1Char('='));
        const QtOption* option = findQtOption(equals < 0 ? bare : bare.left(equals));
        if (!option || (equals >= 0 && !option->valueAfterEquals)) {
            result.rest << argument;
            continue;
        }
        QString value;
        if (equals >= 0) {
            value = bare.mid(equals + 1);
        } else if (option->value) {
            if (i + 1 >= arguments.size() || arguments[i + 1].startsWith(QLatin1Char('-'))) {
                result.error =
                    QStringLiteral("%1 needs a value%2")
                        .arg(argument,
                             i + 1 < arguments.size()
                                 ? QStringLiteral(", not the option '%1'").arg(arguments[i + 1])
                                 : QString());
                return result;
            }
            value = arguments[++i];
        }
        const QLatin1String name(option->name);
        if (name == QLatin1String("platform")) {
            result.platform = value;
        } else if (name == QLatin1String("display")) {
            result.display = value;
        } else if (name == QLatin1String("style")) {
            result.style = true;
        }
    }
    return result;
}

std::unique_ptr<QApplication> openApplication(int& argc, char* argv[], const QString& display) {
    displayName = display;
    if (displayName.isEmpty()) {
        displayName = qEnvironmentVariable("DISPLAY", qEnvironmentVariable("WAYLAND_DISPLAY"));
    }
    if (displayName.isEmpty()) {
        displayName = QStringLiteral("(none named)");
    }
    heldMessages.clear();
    previousHandler = qInstallMessageHandler(holdOrEnd);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previousHandler);
    for (const QString& message : std::as_const(heldMessages)) {
        qWarning("%s", qPrintable(message));
    }
    heldMessages.clear();
    return app;
}
