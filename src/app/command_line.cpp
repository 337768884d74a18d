#include "app/command_line.h"

#include <QStringList>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const Usage =
    "Usage: rmq27-panel [--com1 DEVICE] [--com2 DEVICE] [--simulate]\n"
    "Control panel for the RM-Q27 projector on an RS-232C line (19200 or 9600 baud, 8N1).\n"
    "\n"
    "  --com1 DEVICE  the serial device behind COM1 (default /dev/ttyS0)\n"
    "  --com2 DEVICE  the serial device behind COM2 (default /dev/ttyS1)\n"
    "  --simulate     put a simulated projector behind COM1\n"
    "  --help         show this text\n"
    "  --version      show the version\n";

bool displayAvailable() {
#if defined(Q_OS_LINUX) || defined(Q_OS_UNIX)
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

} // namespace

StartOptions parseCommandLine(int argc, char* argv[]) {
    StartOptions options;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const auto value = [&](QString& target) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rmq27-panel: %s needs a device\n%s", argv[i], Usage);
                options.exitCode = 2;
                return;
            }
            target = QString::fromLocal8Bit(argv[++i]);
        };
        if (arg == QLatin1String("--com1")) {
            value(options.com1);
        } else if (arg == QLatin1String("--com2")) {
            value(options.com2);
        } else if (arg == QLatin1String("--simulate")) {
            options.simulate = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(Usage, stdout);
            options.exitCode = 0;
        } else if (arg == QLatin1String("--version")) {
            std::printf("rmq27-panel %s\n", RMQ27_VERSION);
            options.exitCode = 0;
        } else {
            std::fprintf(stderr, "rmq27-panel: unknown option %s\n%s", argv[i], Usage);
            options.exitCode = 2;
        }
        if (options.exitCode) {
            return options;
        }
    }
    if (!displayAvailable()) {
        std::fputs("rmq27-panel: no display to open the window on: set DISPLAY to an X server, "
                   "or run it under a virtual one: xvfb-run -a rmq27-panel ...\n",
                   stderr);
        options.exitCode = 1;
    }
    return options;
}
