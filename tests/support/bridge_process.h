#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// rmq27-bridge of this build in front of a device the test holds, serving PJLink and the
// projector's own protocol on 127.0.0.1, on ports that were free when it was made (the same ports
// across restarts). Started and stopped by its own process id.
class BridgeProcess {
public:
    BridgeProcess();
    ~BridgeProcess();

    // Starts the bridge on the device with `extra` options and waits until its line is open and
    // both ports take connections.
    bool start(const QString& device, const QStringList& extra = {});
    void stop();

    quint16 pjlinkPort() const { return pjlink_; }
    quint16 servePort() const { return serve_; }
    // The device address of the projector through the bridge: rmq27://127.0.0.1:PORT.
    QString url() const;
    // Everything the bridge wrote on standard error so far.
    QByteArray log();

private:
    QProcess process_;
    QByteArray log_;
    quint16 pjlink_ = 0;
    quint16 serve_ = 0;
};
