#include "core/password_file.h"
#include "ctl/ctl_options.h"
#include "ctl/ctl_session.h"
#include "exchange/event_loop.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>

#ifdef RMQ27_WITH_SIMULATOR
#include "sim/start_simulator.h"
#endif

namespace {

// False when the text did not get out whole (a reader that went away, a full disk).
bool write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    const bool whole =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
    return std::fflush(stream) == 0 && whole;
}

void message(const QString& text) {
    write(stderr, QStringLiteral("rmq27-ctl: %1\n").arg(text));
}

} // namespace

int main(int argc, char* argv[]) {
#ifdef SIGPIPE
    // Output to a reader that has gone (rmq27-ctl ... | head -1) is a failed write, ending the
    // run with exit code 1, not a signal that kills the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    useQtEventDispatcher();
    QCoreApplication app(argc, argv);
    const CtlParse parse = parseCtlArguments(QCoreApplication::arguments().mid(1));
    const CtlOptions& options = parse.options;
    if (!parse.error.isEmpty()) {
        message(parse.error + QLatin1String("; rmq27-ctl --help shows the usage"));
        return CtlSession::ExitUsage;
    }
    if (options.help) {
        return write(stdout, ctlUsage()) ? 0 : 1;
    }
    if (options.version) {
        return write(stdout, QStringLiteral("rmq27-ctl %1\n").arg(QLatin1String(RMQ27_VERSION)))
                   ? 0
                   : 1;
    }
    if (options.list) {
        return write(stdout, actionListText(options.json)) ? 0 : 1;
    }

    CtlSession::Setup setup{QString(),
                            !options.port.isEmpty(),
                            options.settings,
                            options.timeoutMs,
                            options.json,
                            options.actions,
                            options.logFile,
                            std::nullopt,
                            {},
                            std::nullopt};
    if (!options.passwordFile.isEmpty()) {
        const Result<QByteArray> password = readPasswordFile(options.passwordFile);
        if (!password) {
            message(password.failure().text(shellRemedyWords(QStringLiteral("rmq27-ctl"))));
            return CtlSession::ExitPortFailed;
        }
        setup.password = password.value();
    }
    if (!options.simulate) {
        // The panel's own choice of device; a simulated projector needs none of it.
        setup.device = ctlDevice(options.port);
    } else {
#ifdef RMQ27_WITH_SIMULATOR
        const SimulatorStart simulated = startSimulatedProjector(&app);
        setup.device = simulated.device;
        // Without a projector no action can run; each still gets its result, as for a port
        // that fails.
        setup.unavailable = simulated.failure;
#else
        message(QStringLiteral("this build has no simulated projector"));
        return CtlSession::ExitUsage;
#endif
    }
    bool outputLost = false;
    CtlSession session(
        setup,
        [&outputLost](const QString& line) {
            if (!outputLost && !write(stdout, line + QLatin1Char('\n'))) {
                outputLost = true;
                QCoreApplication::exit(1);
            }
        },
        message);
    QObject::connect(&session, &CtlSession::finished, &app, &QCoreApplication::exit);
    // Started from the event loop, so that an early finish has a loop to end.
    QTimer::singleShot(0, &session, &CtlSession::start);
    const int code = app.exec();
    return outputLost ? 1 : code;
}
