// rmq27-projector-sim: a simulated projector on a pseudo-terminal, for trying the panel without
// hardware. Prints the device to open, optionally links it at a fixed path, serves until stopped
// and logs every exchange on standard error.

#include "core/failure.h"
#include "sim/sim_projector.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe; the event loop does the rest.
void onSignal(int signo) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalHandlers() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signo, &sa, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

void logLine(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Points linkPath at target. An existing symbolic link there is replaced (atomically, through a
// temporary link renamed over it); anything else there is left alone and reported.
bool makeLink(const QString& linkPath, const QString& target, QString* error) {
    const QByteArray path = QFile::encodeName(linkPath);
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath);
        return false;
    }
    const QByteArray temp = path + ".tmp" + QByteArray::number(::getpid());
    ::unlink(temp.constData());
    if (::symlink(QFile::encodeName(target).constData(), temp.constData()) != 0) {
        *error = QStringLiteral("cannot create a link at %1: %2").arg(linkPath, errnoText());
        return false;
    }
    if (::rename(temp.constData(), path.constData()) != 0) {
        *error = QStringLiteral("cannot create a link at %1: %2").arg(linkPath, errnoText());
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

// Removes the link only while it still points at our device, so a newer simulator's link stays.
void removeLink(const QString& linkPath, const QString& target) {
    const QByteArray path = QFile::encodeName(linkPath);
    char buf[4096];
    const ssize_t n = ::readlink(path.constData(), buf, sizeof buf);
    if (n > 0 && QByteArray(buf, n) == QFile::encodeName(target)) {
        ::unlink(path.constData());
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rmq27-projector-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RMQ27_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A simulated projector on a pseudo-terminal. Prints the serial device for "
                       "the panel to open, serves until stopped (Ctrl+C), and logs every command "
                       "and reply on standard error."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral("Line fault to simulate: %1.")
            .arg(SimProjector::faultModeNames().join(QStringLiteral(", "))),
        QStringLiteral("MODE"), QStringLiteral("none"));
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("Also make a symbolic link to the device at PATH (removed on exit)."),
        QStringLiteral("PATH"));
    parser.addOption(faultOption);
    parser.addOption(linkOption);
    parser.process(app);

    const std::optional<SimProjector::FaultMode> mode =
        SimProjector::parseFaultMode(parser.value(faultOption));
    if (!mode) {
        logLine(QStringLiteral("rmq27-projector-sim: unknown fault mode \"%1\" (use one of: %2)")
                    .arg(parser.value(faultOption),
                         SimProjector::faultModeNames().join(QStringLiteral(", "))));
        return 2;
    }
    if (!installSignalHandlers()) {
        logLine(QStringLiteral("rmq27-projector-sim: cannot handle signals: %1").arg(errnoText()));
        return 1;
    }

    try {
        SimProjector sim(*mode);
        const QString device = sim.devicePath();
        const QString linkPath = parser.value(linkOption);
        if (!linkPath.isEmpty()) {
            QString error;
            if (!makeLink(linkPath, device, &error)) {
                logLine(QStringLiteral("rmq27-projector-sim: %1").arg(error));
                return 1;
            }
        }

        QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
            unsigned char signo = 0;
            while (::read(signalPipe[0], &signo, 1) == 1) {
            }
            logLine(QStringLiteral("stopped by signal %1").arg(signo));
            QCoreApplication::quit();
        });
        QObject::connect(&sim, &SimProjector::exchanged, &app,
                         [](const QByteArray& command, const QByteArray& reply) {
                             logLine(QStringLiteral("rx %1   tx %2")
                                         .arg(SimProjector::visible(command + '\r'),
                                              reply.isEmpty() ? QStringLiteral("(no answer)")
                                                              : SimProjector::visible(reply)));
                         });
        QObject::connect(&sim, &SimProjector::noted, &app,
                         [](const QString& event) { logLine(QStringLiteral("-- %1").arg(event)); });
        // The line is gone, as with an unplugged adapter: nothing more to serve.
        QObject::connect(&sim, &SimProjector::vanished, &app, &QCoreApplication::quit);

        logLine(QStringLiteral("-- serving on %1 (fault: %2)")
                    .arg(device, SimProjector::faultModeName(*mode)));
        std::printf("%s\n", qPrintable(device));
        std::fflush(stdout);

        const int rc = app.exec();
        if (!linkPath.isEmpty()) {
            removeLink(linkPath, device);
        }
        return rc;
    } catch (const PanelFailure& failure) {
        logLine(QStringLiteral("rmq27-projector-sim: %1").arg(failure.description()));
        return 1;
    }
}
