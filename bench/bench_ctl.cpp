// Figures for rmq27-ctl as a script runs it: one status query, start to exit, against the
// simulated projector (a program of its own); how long a silent projector or a flood holds it;
// and how long an open of a device server that never answers takes before it fails.
//
// Prints one metric per line, "name  value  unit". --quick takes fewer samples.

#include "figures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QString buildDir;

// One run of the ctl to its exit, in milliseconds; negative when it did not end as expected.
double ctlOnce(const QStringList& args, int expectedCode) {
    QProcess ctl;
    ctl.setStandardOutputFile(QProcess::nullDevice());
    ctl.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    ctl.start(buildDir + QStringLiteral("/rmq27-ctl"), args);
    if (!ctl.waitForFinished(30000) || ctl.exitCode() != expectedCode) {
        return -1;
    }
    return double(t.nsecsElapsed()) / 1e6;
}

void ctlRuns(const char* name, const QStringList& args, int expectedCode, int runs) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const double one = ctlOnce(args, expectedCode);
        if (one < 0) {
            std::printf("# %s: run %d did not end with exit status %d\n", name, i, expectedCode);
            return;
        }
        ms.push_back(one);
    }
    const QByteArray base(name);
    metric((base + "_p50").constData(), percentile(ms, 50), "ms");
    metric((base + "_p99").constData(), percentile(ms, 99), "ms");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    buildDir = QCoreApplication::applicationDirPath();
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int runs = quick ? 10 : 50;

    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(buildDir + QStringLiteral("/rmq27-projector-sim"), {});
    QByteArray out;
    while (!out.contains('\n') && sim.waitForReadyRead(10000)) {
        out += sim.readAllStandardOutput();
    }
    const QString device = QString::fromLatin1(out.left(out.indexOf('\n')));
    std::printf("# rmq27-ctl: %d runs each against rmq27-projector-sim on %s\n", runs,
                qPrintable(device));
    ctlRuns("ctl_status_one_shot", {QStringLiteral("--port"), device, QStringLiteral("status")}, 0,
            runs);
    ctlRuns("ctl_simulate_status_one_shot",
            {QStringLiteral("--simulate"), QStringLiteral("status")}, 0, runs);
    sim.terminate();
    sim.waitForFinished(5000);

    // A projector that stays silent, and one that floods: the window ends the wait either way.
    QProcess silent;
    silent.setStandardErrorFile(QProcess::nullDevice());
    silent.start(buildDir + QStringLiteral("/rmq27-projector-sim"),
                 {QStringLiteral("--fault"), QStringLiteral("silent")});
    out.clear();
    while (!out.contains('\n') && silent.waitForReadyRead(10000)) {
        out += silent.readAllStandardOutput();
    }
    const QString silentDevice = QString::fromLatin1(out.left(out.indexOf('\n')));
    ctlRuns("ctl_silent_300ms_window",
            {QStringLiteral("--port"), silentDevice, QStringLiteral("--timeout"),
             QStringLiteral("300"), QStringLiteral("terminal-1-rgb")},
            3, quick ? 3 : 10);
    silent.terminate();
    silent.waitForFinished(5000);

    // A device server that takes the connection and never answers the line settings: the open
    // is bounded at 2 s.
    QTcpServer mute;
    mute.listen(QHostAddress::LocalHost, 0);
    QList<QTcpSocket*> held;
    QObject::connect(&mute, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = mute.nextPendingConnection()) {
            held << s;
        }
    });
    std::vector<double> ms;
    for (int i = 0; i < (quick ? 2 : 5); ++i) {
        QProcess ctl;
        ctl.setStandardOutputFile(QProcess::nullDevice());
        ctl.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer t;
        t.start();
        ctl.start(buildDir + QStringLiteral("/rmq27-ctl"),
                  {QStringLiteral("--port"),
                   QStringLiteral("rfc2217://127.0.0.1:%1").arg(mute.serverPort()),
                   QStringLiteral("status")});
        // The server's side is served while the ctl runs.
        while (!ctl.waitForFinished(10)) {
            QCoreApplication::processEvents();
        }
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    metric("ctl_mute_device_server_open_max", percentile(ms, 100), "ms");
    qDeleteAll(held);
    return 0;
}
