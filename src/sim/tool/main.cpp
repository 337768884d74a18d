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

// A link at a fixed path to our device. It is made only where nothing exists yet (symlink()
// refuses an existing name in one step, so two simulators cannot both win), and removed at exit
// only while it is still the very link made here.
class DeviceLink {
public:
    enum class Made { Yes, Exists, Failed };

    Made make(const QString& linkPath, const QString& target, QString* error) {
        const QByteArray path = QFile::encodeName(linkPath);
        if (::symlink(QFile::encodeName(target).constData(), path.constData()) != 0) {
            const int failure = errno;
            if (failure == EEXIST) {
                char buf[4096];
                const ssize_t n = ::readlink(path.constData(), buf, sizeof buf);
                *error = n > 0 ? QStringLiteral("%1 already exists (a link to %2); remove it or "
                                                "choose another --link PATH")
                                     .arg(linkPath, QFile::decodeName(QByteArray(buf, n)))
                               : QStringLiteral("%1 already exists; remove it or choose another "
                                                "--link PATH")
                                     .arg(linkPath);
                return Made::Exists;
            }
            *error = QStringLiteral("cannot create a link at %1: %2")
                         .arg(linkPath, QString::fromLocal8Bit(std::strerror(failure)));
            return Made::Failed;
        }
        struct stat st {};
        if (::lstat(path.constData(), &st) == 0) {
            path_ = path;
            target_ = QFile::encodeName(target);
            made_ = st;
        }
        return Made::Yes;
    }

    ~DeviceLink() {
        if (path_.isEmpty()) {
            return;
        }
        struct stat st {};
        char buf[4096];
        const ssize_t n = ::readlink(path_.constData(), buf, sizeof buf);
        if (::lstat(path_.constData(), &st) == 0 && sameFile(st, made_) && n > 0 &&
            QByteArray(buf, n) == target_) {
            ::unlink(path_.constData());
        }
    }

private:
    QByteArray path_;
    QByteArray target_;
    struct stat made_ {};

    // An inode number is soon used again for a new link at the same place; its change time then
    // differs.
    static bool sameFile(const struct stat& a, const struct stat& b) {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
               a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
    }
};

} // namespace

int main(int argc, char* argv[]) {
    // Standard error or output whose reader has gone (rmq27-projector-sim | head -1) is a failed
    // write: the projector goes on serving.
    std::signal(SIGPIPE, SIG_IGN);
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
        QStringLiteral("Also make a symbolic link to the device at PATH, where nothing exists yet "
                       "(removed on exit)."),
        QStringLiteral("PATH"));
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral("Power state to start in: %1.")
            .arg(ProjectorModel::stateNames().join(QStringLiteral(", "))),
        QStringLiteral("STATE"), QStringLiteral("standby"));
    parser.addOption(faultOption);
    parser.addOption(linkOption);
    parser.addOption(stateOption);
    parser.process(app);

    if (parser.isSet(linkOption) && parser.value(linkOption).isEmpty()) {
        logLine(QStringLiteral("rmq27-projector-sim: --link needs a PATH, not an empty one"));
        return 2;
    }
    const std::optional<SimProjector::FaultMode> mode =
        SimProjector::parseFaultMode(parser.value(faultOption));
    if (!mode) {
        logLine(QStringLiteral("rmq27-projector-sim: unknown fault mode \"%1\" (use one of: %2)")
                    .arg(parser.value(faultOption),
                         SimProjector::faultModeNames().join(QStringLiteral(", "))));
        return 2;
    }
    if (!ProjectorModel::stateNames().contains(parser.value(stateOption))) {
        logLine(QStringLiteral("rmq27-projector-sim: unknown state \"%1\" (use one of: %2)")
                    .arg(parser.value(stateOption),
                         ProjectorModel::stateNames().join(QStringLiteral(", "))));
        return 2;
    }
    if (!installSignalHandlers()) {
        logLine(QStringLiteral("rmq27-projector-sim: cannot handle signals: %1").arg(errnoText()));
        return 1;
    }

    try {
        SimProjector sim(*mode);
        sim.setState(parser.value(stateOption));
        const QString device = sim.devicePath();
        const QString linkPath = parser.value(linkOption);
        DeviceLink link;
        if (!linkPath.isEmpty()) {
            QString error;
            const DeviceLink::Made made = link.make(linkPath, device, &error);
            if (made != DeviceLink::Made::Yes) {
                logLine(QStringLiteral("rmq27-projector-sim: %1").arg(error));
                return made == DeviceLink::Made::Exists ? 2 : 1;
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

        logLine(QStringLiteral("-- serving on %1 (fault: %2, state: %3)")
                    .arg(device, SimProjector::faultModeName(*mode), parser.value(stateOption)));
        std::printf("%s\n", qPrintable(device));
        std::fflush(stdout);

        return app.exec();
    } catch (const StepFailure& failure) {
        logLine(QStringLiteral("rmq27-projector-sim: %1").arg(failure.description()));
        return 1;
    }
}
