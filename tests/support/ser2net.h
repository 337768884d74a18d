#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's serial device server in front of a device the test holds, listening on 127.0.0.1 on a
// port that was free when it was made (the same port across restarts). Started and stopped by
// its own process id.
class Ser2Net {
public:
    static constexpr const char* Program = "/usr/sbin/ser2net";
    static bool available();

    // accepter: "telnet(rfc2217)", "telnet" or "" (raw TCP). kickOldUser: a second client takes
    // the port over from the first, or else is turned away.
    explicit Ser2Net(const QString& accepter, bool kickOldUser = true);
    ~Ser2Net();

    // Starts the server in front of the device and waits until it takes connections.
    bool start(const QString& device);
    void stop();
    quint16 port() const { return port_; }
    QString url(const QString& scheme) const;

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString accepter_;
    bool kickOldUser_;
    quint16 port_ = 0;
};
