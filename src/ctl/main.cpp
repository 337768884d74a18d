#include "core/failure.h"
#include "ctl/ctl_options.h"
#include "ctl/ctl_session.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#ifdef RMQ27_WITH_SIMULATOR
#include "sim/sim_projector.h"
#endif

namespace {

void write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void message(const QString& text) {
    write(stderr, QStringLiteral("rmq27-ctl: %1\n").arg(text));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const CtlParse parse = parseCtlArguments(QCoreApplication::arguments().mid(1));
    const CtlOptions& options = parse.options;
    if (!parse.error.isEmpty()) {
        message(parse.error + QLatin1String("; rmq27-ctl --help shows the usage"));
        return 2;
    }
    if (options.help) {
        write(stdout, QString::fromLatin1(CtlUsage));
        return 0;
    }
    if (options.version) {
        write(stdout, QStringLiteral("rmq27-ctl %1\n").arg(QLatin1String(RMQ27_VERSION)));
        return 0;
    }
    if (options.list) {
        write(stdout, actionListText());
        return 0;
    }

    CtlSession::Setup setup{ctlDevice(options.port), options.settings, options.timeoutMs,
                            options.json, options.actions};
    if (options.simulate) {
#ifdef RMQ27_WITH_SIMULATOR
        try {
            setup.device = (new SimProjector(SimProjector::FaultMode::None, &app))->devicePath();
        } catch (const PanelFailure& failure) {
            message(failure.description());
            return 1;
        }
#else
        message(QStringLiteral("this build has no simulated projector"));
        return 2;
#endif
    }
    CtlSession session(
        setup, [](const QString& line) { write(stdout, line + QLatin1Char('\n')); }, message);
    QObject::connect(&session, &CtlSession::finished, &app, &QCoreApplication::exit);
    // Started from the event loop, so that an early finish has a loop to end.
    QTimer::singleShot(0, &session, &CtlSession::start);
    return app.exec();
}
