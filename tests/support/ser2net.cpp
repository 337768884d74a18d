#include "support/ser2net.h"

#include "support/child_process.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

bool Ser2Net::available() {
    return QFileInfo(QLatin1String(Program)).isExecutable();
}

Ser2Net::Ser2Net(const QString& accepter, bool kickOldUser)
    : accepter_(accepter), kickOldUser_(kickOldUser) {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    port_ = probe.serverPort();
    probe.close();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.setStandardOutputFile(QProcess::nullDevice());
}

Ser2Net::~Ser2Net() {
    stop();
}

QString Ser2Net::url(const QString& scheme) const {
    return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port_);
}

bool Ser2Net::start(const QString& device) {
    const QString stack = accepter_.isEmpty() ? QStringLiteral("tcp") : accepter_ + ",tcp";
    QFile config(dir_.filePath(QStringLiteral("ser2net.yaml")));
    if (config.open(QIODevice::WriteOnly)) {
        config.write(QStringLiteral("connection: &projector\n"
                                    "  accepter: %1,127.0.0.1,%2\n"
                                    "  connector: serialdev,%3,19200n81,local\n"
                                    "  options:\n"
                                    "    kickolduser: %4\n"
                                    "    mdns: false\n")
                         .arg(stack)
                         .arg(port_)
                         .arg(device)
                         .arg(QLatin1String(kickOldUser_ ? "true" : "false"))
                         .toUtf8());
        config.close();
    }
    process_.start(QLatin1String(Program),
                   {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"),
                    dir_.filePath(QStringLiteral("ser2net.yaml")), QStringLiteral("-P"),
                    dir_.filePath(QStringLiteral("ser2net.pid"))});
    if (!process_.waitForStarted(10000)) {
        return false;
    }
    return QTest::qWaitFor(
               [&] {
                   QTcpSocket socket;
                   socket.connectToHost(QHostAddress::LocalHost, port_);
                   const bool up = socket.waitForConnected(1000);
                   socket.abort();
                   return up || process_.state() == QProcess::NotRunning;
               },
               10000) &&
           process_.state() == QProcess::Running;
}

void Ser2Net::stop() {
    stopChild(process_);
}
