#pragma once

#include <QProcess>

#include <csignal>

// Stops a program the test started, by its own process id: SIGTERM, and SIGKILL if it has not
// ended within ten seconds.
inline void stopChild(QProcess& process) {
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(10000)) {
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(10000);
    }
}
