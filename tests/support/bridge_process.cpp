#include "support/bridge_process.h"

#include "support/child_process.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool takesConnections(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool up = socket.waitForConnected(1000);
    socket.abort();
    return up;
}

} // namespace

BridgeProcess::BridgeProcess() : pjlink_(freePort()), serve_(freePort()) {
    process_.setStandardOutputFile(QProcess::nullDevice());
}

BridgeProcess::~BridgeProcess() {
    stop();
}

QString BridgeProcess::url() const {
    return QStringLiteral("rmq27://127.0.0.1:%1").arg(serve_);
}

QByteArray BridgeProcess::log() {
    return log_ += process_.readAllStandardError();
}

bool BridgeProcess::start(const QString& device, const QStringList& extra) {
    process_.start(QStringLiteral(RMQ27_BRIDGE_PROGRAM),
                   QStringList{QStringLiteral("--port"), device, QStringLiteral("--listen"),
                               QStringLiteral("127.0.0.1:%1").arg(pjlink_),
                               QStringLiteral("--serve"),
                               QStringLiteral("127.0.0.1:%1").arg(serve_)} +
                       extra);
    if (!process_.waitForStarted(10000)) {
        return false;
    }
    // The line is open once the bridge says so; a newer open after a loss says "open again".
    return QTest::qWaitFor(
               [&] {
                   return log().contains(": line open") || process_.state() == QProcess::NotRunning;
               },
               10000) &&
           process_.state() == QProcess::Running && takesConnections(pjlink_) &&
           takesConnections(serve_);
}

void BridgeProcess::stop() {
    stopChild(process_);
    log();
}
