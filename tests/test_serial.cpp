// The serial layer on its own: what the operator is told when a device cannot be opened, the
// device-server address forms, the Telnet layer, and which device stands behind each port.
#include "core/failure.h"
#include "serial/comm_port.h"
#include "serial/device_address.h"
#include "serial/name_lookup.h"
#include "serial/net_link.h"
#include "serial/port_devices.h"
#include "serial/telnet.h"
#include "sim/pty_pair.h"
#include "support/send_whole.h"
#include "support/telnet_peer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLibrary>
#include <QLibraryInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace telnet;

namespace {

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (const int v : values) {
        out.append(char(v));
    }
    return out;
}

// No name here may reach the system's resolver (and through it a name server elsewhere): each
// serial control that may look a name up is handed this one.
int localNamesOnly(const std::string& name, std::vector<sockaddr_storage>&) {
    if (name.starts_with("rmq27-slow")) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    return EAI_NONAME;
}

// The description of the failure of opening `device` as COM1, or "opened".
QString openFailure(const QString& device) {
    CommPort port;
    port.setResolver(localNamesOnly);
    port.setDevice(1, device);
    port.setSettings(QStringLiteral("19200,N,8,1"));
    try {
        port.setPortOpen(true);
    } catch (const StepFailure& f) {
        return f.description();
    }
    return QStringLiteral("opened");
}

quint16 freeLocalPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Both sides open at once, and once all is quiet the peer sends `burst` as its own requests.
// Returns the rounds (each side answering all it got) until neither has anything more to say
// after the burst, or -1 while they still talk after 200.
int roundsToSettle(Peer peer, const QList<Command>& burst, Negotiator& client) {
    TelnetPeer server(peer);
    QByteArray toPeer = client.start();
    QByteArray toClient = peer == Peer::Ours ? server.start() : negotiation(Do, ComPortOption);
    server.sends({Do, ComPortOption, {}});
    bool burstSent = false;
    int rounds = 0;
    for (int round = 0; round < 400 && rounds <= 200; ++round) {
        if (toPeer.isEmpty() && toClient.isEmpty()) {
            if (burstSent) {
                return rounds;
            }
            burstSent = true;
            for (const Command& c : burst) {
                server.sends(c);
                toClient += negotiation(c.verb, c.option);
            }
        }
        rounds += burstSent;
        server.round(client, toPeer, toClient);
    }
    return -1;
}

// A device server of the test's own, misbehaving as told. It runs in a thread so that it answers
// while the port's open blocks this one, and serves the one connection it takes.
class FakeServer {
public:
    enum class Script {
        Silent,         // takes the connection, says nothing
        Flood,          // pours data and never negotiates
        Closes,         // closes the connection at once
        Baud300,        // com port option, but its port runs at 300 baud
        SecondBaud300,  // sets the line as asked at first, then answers a switch with 300 baud
        Stalls,         // takes no data at all
        ReplyMidWrite,  // says "go", then answers while the panel's long write is under way
        StallsAfterLine // com port option, sets the line as asked, then reads nothing more
    };

    FakeServer(const QHostAddress& host, Script script) : script_(script) {
        const bool v6 = host.protocol() == QAbstractSocket::IPv6Protocol;
        listener_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        // A small fixed receive buffer: a write of a few MiB cannot vanish into the system.
        const int small = 64 * 1024;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_storage address{};
        socklen_t length = 0;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *a;
        }
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    quint16 port() const { return port_; }

private:
    // Waits up to 100 ms; then reads what there is: its size, 0 for nothing yet, -1 at the end.
    int readSome(int fd, QByteArray& into) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            return stop_ ? -1 : 0;
        }
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return -1;
        }
        into.append(buffer, n);
        return int(n);
    }
    bool sendAll(int fd, QByteArray data) { return sendWhole(fd, std::move(data), stop_); }
    // Answers every com port setting with the value asked, but for the baud rates listed.
    void serveTelnet(int fd, QList<quint32> bauds, bool stallAfterLine = false) {
        sendAll(fd, bytes({Iac, Do, ComPortOption}));
        QByteArray in;
        while (readSome(fd, in) >= 0) {
            for (qsizetype at; (at = in.indexOf(bytes({Iac, Sb, ComPortOption}))) >= 0;) {
                const qsizetype end = in.indexOf(bytes({Iac, Se}), at);
                if (end < 0) {
                    break;
                }
                QByteArray payload = in.mid(at + 3, end - at - 3);
                in.remove(0, end + 2);
                if (quint8(payload[0]) == SetBaudrate && !bauds.isEmpty()) {
                    const quint32 baud = bauds.takeFirst();
                    payload = bytes({SetBaudrate, int(baud >> 24), int((baud >> 16) & 0xFF),
                                     int((baud >> 8) & 0xFF), int(baud & 0xFF)});
                }
                payload[0] = char(payload[0] + ServerOffset);
                sendAll(fd, subnegotiation(ComPortOption, payload));
                if (stallAfterLine && payload[0] == char(SetStopsize + ServerOffset)) {
                    while (!stop_) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    }
                }
            }
        }
    }
    void serve() {
        int fd = -1;
        while (fd < 0 && !stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                fd = ::accept(listener_, nullptr, nullptr);
            }
        }
        QByteArray in;
        switch (script_) {
        case Script::Silent:
            while (readSome(fd, in) >= 0) {
            }
            break;
        case Script::Flood:
            while (sendAll(fd, QByteArray(4096, 'A'))) {
            }
            break;
        case Script::Closes:
            break;
        case Script::Baud300:
            serveTelnet(fd, {300});
            break;
        case Script::SecondBaud300:
            serveTelnet(fd, {19200, 300});
            break;
        case Script::StallsAfterLine:
            serveTelnet(fd, {}, true);
            break;
        case Script::Stalls:
            while (!stop_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            break;
        case Script::ReplyMidWrite:
            sendAll(fd, "go\r");
            while (in.size() < 256 * 1024 && readSome(fd, in) >= 0) {
            }
            sendAll(fd, "reply\r");
            while (readSome(fd, in) >= 0) {
                in.clear();
            }
            break;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }

    const Script script_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// Every message the code under test gives while it lives.
class MessageLog {
public:
    MessageLog() {
        messages().clear();
        previous_ = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { messages() << text; });
    }
    ~MessageLog() { qInstallMessageHandler(previous_); }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;
    static QStringList& messages() {
        static QStringList list;
        return list;
    }

private:
    QtMessageHandler previous_ = nullptr;
};

// Puts at `path` what a row of a table asks for: "<fifo>" a named pipe, "<100 MB>" a (sparse)
// file of that size, else the bytes themselves. A pipe that someone reads is opened for writing
// after a while, so that a reader that blocks on it comes free and the row fails instead of
// hanging.
class SettingsOccupant {
public:
    SettingsOccupant(const QString& path, const QByteArray& content) {
        const QByteArray name = QFile::encodeName(path);
        if (content == "<fifo>") {
            ::mkfifo(name.constData(), 0600);
            unblocker_ = std::thread([this, name] {
                for (int i = 0; !done_; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    if (i >= 100) {
                        ::close(::open(name.constData(), O_RDWR | O_NONBLOCK));
                    }
                }
            });
        } else if (content == "<100 MB>") {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.resize(100 * 1024 * 1024);
        } else if (!content.isEmpty()) {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(content);
        }
    }
    ~SettingsOccupant() {
        done_ = true;
        if (unblocker_.joinable()) {
            unblocker_.join();
        }
    }
    SettingsOccupant(const SettingsOccupant&) = delete;
    SettingsOccupant& operator=(const SettingsOccupant&) = delete;

private:
    std::atomic<bool> done_ = false;
    std::thread unblocker_;
};

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void unusableDevice_data();
    void unusableDevice();
    void deviceAddress_data();
    void deviceAddress();
    void unreachableServer_data();
    void unreachableServer();
    void serverAfterOpen_data();
    void serverAfterOpen();
    void telnetDecoder_data();
    void telnetDecoder();
    void telnetEncoding_data();
    void telnetEncoding();
    void negotiation_data();
    void negotiation();
    void negotiationSettles_data();
    void negotiationSettles();
    void deviceChoice_data();
    void deviceChoice();
    void rememberAndForget();
    void keepsFilesNotItsOwn_data();
    void keepsFilesNotItsOwn();
    void oneDeviceTwoNames();
    void portList_data();
    void portList();
    void deviceServerModule_data();
    void deviceServerModule();
};

void TestSerial::unusableDevice_data() {
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no terminal")
        << 1 << "/dev/null"
        << ""
        << "COM1 (/dev/null): the device is not a serial port (Inappropriate ioctl for device); "
           "name the device with --com1 DEVICE";
    QTest::newRow("directory") << 2 << "/"
                               << ""
                               << "COM2 (/): the device is not a serial port (Is a directory); "
                                  "name the device with --com2 DEVICE";
    QTest::newRow("missing")
        << 1 << "/dev/rmq27-no-such-device"
        << ""
        << "COM1 (/dev/rmq27-no-such-device): the device does not exist (No such file or "
           "directory); name the device with --com1 DEVICE";
    // Whatever the system says of them, devices that are no terminal get the same advice.
    QTest::newRow("random numbers") << 1 << "/dev/urandom"
                                    << ""
                                    << "COM1 (/dev/urandom): the device is not a serial port "
                                       "(Invalid argument); name the device with --com1 DEVICE";
    QTest::newRow("socket") << 1 << "@socket"
                            << ""
                            << "COM1 (@socket): the device is not a serial port (No such device "
                               "or address); name the device with --com1 DEVICE";
    QTest::newRow("missing, the program's own option")
        << 1 << "/dev/rmq27-no-such-device"
        << "--port"
        << "COM1 (/dev/rmq27-no-such-device): the device does not exist (No such file or "
           "directory); name the device with --port DEVICE";
}

void TestSerial::unusableDevice() {
    QFETCH(int, portNumber);
    QFETCH(QString, device);
    QFETCH(QString, option);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    if (device == QLatin1String("@socket")) {
        const QString path = dir.filePath(QStringLiteral("socket"));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(path).constData(),
                     sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
        device = path;
        expected.replace(QLatin1String("@socket"), path);
    }
    CommPort port;
    port.setDevice(portNumber, device);
    port.setCommPort(qint16(portNumber));
    if (!option.isEmpty()) {
        port.setDeviceOptionName(option);
    }
    try {
        port.setPortOpen(true);
        QFAIL("opened");
    } catch (const StepFailure& f) {
        QCOMPARE(f.description(), expected);
    }
    QVERIFY(!port.portOpen());
}

void TestSerial::deviceAddress_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("error");
    const int local = int(DeviceAddress::Kind::Local);
    const int tcp = int(DeviceAddress::Kind::Tcp);
    const int rfc = int(DeviceAddress::Kind::Rfc2217);
    QTest::newRow("path") << "/dev/ttyUSB0" << local << "" << 0 << "";
    QTest::newRow("windows") << "COM3" << local << "" << 0 << "";
    QTest::newRow("raw") << "tcp://127.0.0.1:7000" << tcp << "127.0.0.1" << 7000 << "";
    QTest::newRow("telnet, name, slash")
        << "RFC2217://rack-1.example:65535/" << rfc << "rack-1.example" << 65535 << "";
    QTest::newRow("ipv6") << "rfc2217://[::1]:7000" << rfc << "::1" << 7000 << "";
    QTest::newRow("bridge") << "rmq27://[::1]:4360" << int(DeviceAddress::Kind::Bridge) << "::1"
                            << 4360 << "";
    QTest::newRow("no port") << "rfc2217://host" << local << "" << 0
                             << "no port given; give the device server as rfc2217://HOST:PORT";
    QTest::newRow("empty port") << "tcp://[::1]:" << local << "" << 0 << "no port given";
    QTest::newRow("port 0") << "tcp://host:0" << local << "" << 0
                            << "port \"0\" is out of range; give a port from 1 to 65535";
    QTest::newRow("port too big") << "tcp://host:65536" << local << "" << 0 << "\"65536\" is out";
    QTest::newRow("port not a number")
        << "tcp://host:7000/x" << local << "" << 0 << "\"7000/x\" is out";
    QTest::newRow("unknown scheme") << "telnet://host:23" << local << "" << 0
                                    << "unknown scheme \"telnet\"; name a serial device";
    QTest::newRow("no host") << "tcp://:7000" << local << "" << 0 << "no host given";
    QTest::newRow("bare ipv6") << "tcp://::1:7000" << local << "" << 0
                               << "an IPv6 host goes in brackets";
    QTest::newRow("open bracket") << "tcp://[::1:7000" << local << "" << 0 << "no closing bracket";
}

void TestSerial::deviceAddress() {
    QFETCH(QString, device);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, error);
    const DeviceAddress address = parseDeviceAddress(device);
    if (!error.isEmpty()) {
        QVERIFY2(address.error && address.error->contains(error),
                 qPrintable(address.error.value_or(QStringLiteral("no error"))));
        // A port that refuses the address says so on open, naming what was given.
        const QString failure = openFailure(device);
        QVERIFY2(failure.startsWith(QStringLiteral("COM1 (%1): ").arg(device)),
                 qPrintable(failure));
        return;
    }
    QVERIFY2(!address.error, qPrintable(address.error.value_or(QString())));
    QCOMPARE(int(address.kind), kind);
    QCOMPARE(address.host, host);
    QCOMPARE(int(address.port), port);
}

void TestSerial::unreachableServer_data() {
    using Script = FakeServer::Script;
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<std::optional<Script>>("server");
    QTest::addColumn<QString>("expected"); // @port: the server's port
    QTest::newRow("no such host") << "rfc2217"
                                  << "rmq27-no-such-host.invalid" << std::optional<Script>()
                                  << "the host \"rmq27-no-such-host.invalid\" was not found";
    QTest::newRow("name lookup never answers")
        << "tcp"
        << "rmq27-slow.invalid" << std::optional<Script>()
        << "no answer within 2 seconds from the name lookup of \"rmq27-slow.invalid\"";
    QTest::newRow("refused") << "tcp"
                             << "127.0.0.1" << std::optional<Script>() << "refused the connection";
    QTest::newRow("refused, ipv6")
        << "rfc2217"
        << "[::1]" << std::optional<Script>() << "refused the connection";
    QTest::newRow("never answers")
        << "rfc2217"
        << "127.0.0.1" << std::optional(Script::Silent)
        << "accepted the connection but did not answer the line settings within 2 seconds";
    QTest::newRow("floods, never negotiates")
        << "rfc2217"
        << "127.0.0.1" << std::optional(Script::Flood)
        << "does not offer the com port option (RFC 2217); enable it on the server, or use "
           "tcp://127.0.0.1:@port for a raw link";
    QTest::newRow("closes at once, ipv6")
        << "rfc2217"
        << "[::1]" << std::optional(Script::Closes) << "or use tcp://[::1]:@port for a raw link";
    QTest::newRow("runs another speed")
        << "rfc2217"
        << "127.0.0.1" << std::optional(Script::Baud300)
        << "the device server 127.0.0.1 port @port runs its serial port with 300 baud, not with "
           "19200 baud as asked";
}

void TestSerial::unreachableServer() {
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(std::optional<FakeServer::Script>, server);
    QFETCH(QString, expected);
    std::optional<FakeServer> fake;
    quint16 port = 0;
    if (server) {
        fake.emplace(host.startsWith(u'[') ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost,
                     *server);
        port = fake->port();
    } else {
        port = freeLocalPort();
    }
    const QString device = QStringLiteral("%1://%2:%3").arg(scheme, host).arg(port);
    // The open ends with a failure whatever the server does (its 2 s bound is in the bench).
    const QString failure = openFailure(device);
    QVERIFY2(!failure.isEmpty(), "the open did not fail");
    expected.replace(QLatin1String("@port"), QString::number(port));
    QVERIFY2(failure.contains(expected), qPrintable(failure));
    QVERIFY2(failure.startsWith(QStringLiteral("COM1 (%1): ").arg(device)), qPrintable(failure));
    if (!host.endsWith(QLatin1String(".invalid"))) {
        QVERIFY2(failure.contains(QStringLiteral(" port %1 ").arg(port)), qPrintable(failure));
    }
}

void TestSerial::serverAfterOpen_data() {
    using Script = FakeServer::Script;
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("step"); // switch: to 9600 baud; write: a long write, at once or on
                                       // receipt
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("received");
    QTest::newRow("switch answered with another speed")
        << "rfc2217" << Script::SecondBaud300 << "switch"
        << "runs its serial port with 300 baud, not with 9600 baud as asked, so the port is "
           "closed"
        << "";
    QTest::newRow("server stops taking data, the line switched without end")
        << "rfc2217" << Script::StallsAfterLine << "switch without end"
        << "stopped taking data, so the port is closed"
        << "";
    QTest::newRow("server stops taking data")
        << "tcp" << Script::Stalls << "write"
        << "took nothing for 2 seconds, so the connection is closed"
        << "";
    QTest::newRow("reply while a long write waits")
        << "tcp" << Script::ReplyMidWrite << "write on receipt"
        << ""
        << "go\rreply\r";
}

void TestSerial::serverAfterOpen() {
    QFETCH(QString, scheme);
    QFETCH(FakeServer::Script, script);
    QFETCH(QString, step);
    QFETCH(QString, failure);
    QFETCH(QString, received);
    FakeServer server(QHostAddress::LocalHost, script);
    CommPort port;
    port.setDevice(1, QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(server.port()));
    port.setSettings(QStringLiteral("19200,N,8,1"));
    QStringList failures;
    QString got;
    const auto attempt = [&](const auto& work) {
        try {
            work();
        } catch (const StepFailure& f) {
            failures << f.description();
        }
    };
    attempt([&] { port.setPortOpen(true); });
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(u'|')));
    // Long enough to fill every buffer between the two ends.
    const QString longCommand(8 * 1024 * 1024, u'x');
    connect(&port, &CommPort::lost, this,
            [&](const Failure& failure) { failures << failure.text(panelRemedyWords()); });
    connect(&port, &CommPort::onComm, this, [&] {
        attempt([&] {
            const bool first = got.isEmpty();
            got += port.input();
            if (step == QLatin1String("write on receipt") && first) {
                port.output(longCommand);
            }
        });
    });
    if (step == QLatin1String("switch")) {
        attempt([&] { port.setSettings(QStringLiteral("9600,N,8,1")); });
    } else if (step == QLatin1String("switch without end")) {
        // 9 MB, more than the system's buffers hold (a send buffer grows to 4 MiB at most by
        // default): what waits unsent beyond them has a bound.
        for (int i = 0; i < 300000; ++i) {
            attempt([&] {
                port.setSettings(i % 2 ? QStringLiteral("9600,N,8,1")
                                       : QStringLiteral("19200,N,8,1"));
            });
        }
    } else if (step == QLatin1String("write")) {
        attempt([&] { port.output(longCommand); });
    }
    const qsizetype failed = failure.isEmpty() ? 0 : 1;
    QTRY_VERIFY_WITH_TIMEOUT(failures.size() == failed && got == received, 15000);
    // Reported once, and nothing more arrives.
    QTest::qWait(300);
    QCOMPARE(failures.size(), failed);
    QCOMPARE(got, received);
    if (failed) {
        QVERIFY2(failures[0].contains(failure), qPrintable(failures[0]));
    }
    QCOMPARE(port.portOpen(), !failed);
}

void TestSerial::telnetDecoder_data() {
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<Command>>("commands");
    QTest::addColumn<int>("abandoned");
    QTest::newRow("plain") << QList<QByteArray>{"00\r"} << QByteArray("00\r") << QList<Command>{}
                           << 0;
    QTest::newRow("doubled 0xFF, split") << QList<QByteArray>{bytes({'A', Iac}), bytes({Iac, 'B'})}
                                         << bytes({'A', 0xFF, 'B'}) << QList<Command>{} << 0;
    QTest::newRow("negotiation, split")
        << QList<QByteArray>{bytes({'x', Iac}), bytes({Do}), bytes({ComPortOption, 'y'})}
        << QByteArray("xy") << QList<Command>{{Do, ComPortOption, {}}} << 0;
    QTest::newRow("acknowledgement with 0xFF in it, split")
        << QList<QByteArray>{bytes({Iac, Sb, 44, 101, 0, 0, Iac}), bytes({Iac, 0x80, Iac}),
                             bytes({Se, '1'})}
        << QByteArray("1") << QList<Command>{{Sb, 44, bytes({101, 0, 0, 0xFF, 0x80})}} << 0;
    QTest::newRow("modem state ignored as data")
        << QList<QByteArray>{bytes({Iac, Sb, 44, 107, 0x30, Iac, Se}), "ACK"} << QByteArray("ACK")
        << QList<Command>{{Sb, 44, bytes({107, 0x30})}} << 0;
    QTest::newRow("no-op and go-ahead") << QList<QByteArray>{bytes({'a', Iac, 241, 'b', Iac, 249})}
                                        << QByteArray("ab") << QList<Command>{} << 0;
    QTest::newRow("unterminated subnegotiation ends at the next command")
        << QList<QByteArray>{bytes({Iac, Sb, 44, 106, Iac, Will, 3, 'z'})} << QByteArray("z")
        << QList<Command>{{Sb, 44, bytes({106})}, {Will, 3, {}}} << 0;
    QTest::newRow("long subnegotiation is cut")
        << QList<QByteArray>{bytes({Iac, Sb, 44}) + QByteArray(1000, 'q'), bytes({Iac, Se, '!'})}
        << QByteArray("!") << QList<Command>{{Sb, 44, QByteArray(Decoder::MaxPayload, 'q')}} << 0;
    QTest::newRow("subnegotiation that never ends is given up, and data flows again")
        << QList<QByteArray>{bytes({Iac, Sb, 44, 107}),
                             QByteArray(Decoder::MaxSubnegotiation - 1, 'q'), "00\r"}
        << QByteArray("00\r") << QList<Command>{} << 1;
}

void TestSerial::telnetDecoder() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QByteArray, data);
    QFETCH(QList<Command>, commands);
    QFETCH(int, abandoned);
    Decoder decoder;
    QByteArray gotData;
    QList<Command> gotCommands;
    for (const QByteArray& chunk : chunks) {
        decoder.feed(chunk, gotData, gotCommands);
    }
    QCOMPARE(gotData, data);
    QCOMPARE(gotCommands.size(), commands.size());
    QVERIFY(gotCommands == commands);
    QCOMPARE(decoder.abandoned(), abandoned);
}

void TestSerial::telnetEncoding_data() {
    QTest::addColumn<QByteArray>("got");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("data") << escape(bytes({'C', 0xFF, 0xFF, '\r'}))
                          << bytes({'C', 0xFF, 0xFF, 0xFF, 0xFF, '\r'});
    QTest::newRow("19200,N,8,1") << comPortSettings(
                                        parseLineSettings(QStringLiteral("19200,N,8,1")))
                                 << bytes({Iac, Sb, 44,  1,  0,   0,  0x4B, 0x00, Iac, Se, Iac,
                                           Sb,  44, 2,   8,  Iac, Se, Iac,  Sb,   44,  3,  1,
                                           Iac, Se, Iac, Sb, 44,  4,  1,    Iac,  Se});
    QTest::newRow("255,E,7,2: 0xFF doubled inside")
        << comPortSettings(parseLineSettings(QStringLiteral("255,E,7,2")))
        << bytes({Iac, Sb, 44,  1,  0,  0, 0, 0xFF, 0xFF, Iac, Se, Iac, Sb, 44, 2,   7,
                  Iac, Se, Iac, Sb, 44, 3, 3, Iac,  Se,   Iac, Sb, 44,  4,  2,  Iac, Se});
}

void TestSerial::telnetEncoding() {
    QFETCH(QByteArray, got);
    QFETCH(QByteArray, expected);
    QCOMPARE(got.toHex(' '), expected.toHex(' '));
}

void TestSerial::negotiation_data() {
    QTest::addColumn<QList<Command>>("received");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("refused");
    // What a device server sends when a client connects.
    QTest::newRow("ser2net") << QList<Command>{{Will, 3, {}}, {Do, 3, {}}, {Will, 1, {}},
                                               {Dont, 1, {}}, {Do, 0, {}}, {Will, 0, {}},
                                               {Do, 44, {}}}
                             << bytes({Iac, Do, 3, Iac, Will, 3, Iac, Dont, 1}) << true << false;
    QTest::newRow("asked twice, answered once")
        << QList<Command>{{Do, 44, {}}, {Do, 44, {}}, {Will, 3, {}}, {Will, 3, {}}}
        << bytes({Iac, Do, 3}) << true << false;
    QTest::newRow("refused") << QList<Command>{{Dont, 44, {}}} << QByteArray() << false << true;
    QTest::newRow("unknown options declined")
        << QList<Command>{{Do, 24, {}}, {Will, 31, {}}, {Wont, 5, {}}}
        << bytes({Iac, Wont, 24, Iac, Dont, 31}) << false << false;
    QTest::newRow("refused once, however often asked")
        << QList<Command>{{Do, 24, {}}, {Will, 1, {}}, {Do, 24, {}}, {Will, 1, {}}, {Do, 24, {}}}
        << bytes({Iac, Wont, 24, Iac, Dont, 1}) << false << false;
    QTest::newRow("turned off again")
        << QList<Command>{{Do, 3, {}}, {Dont, 3, {}}, {Will, 3, {}}, {Wont, 3, {}}}
        << bytes({Iac, Will, 3, Iac, Wont, 3, Iac, Do, 3, Iac, Dont, 3}) << false << false;
}

void TestSerial::negotiation() {
    QFETCH(QList<Command>, received);
    QFETCH(QByteArray, answers);
    QFETCH(bool, accepted);
    QFETCH(bool, refused);
    Negotiator negotiator;
    QCOMPARE(negotiator.start().toHex(' '),
             bytes({Iac, Will, 0, Iac, Do, 0, Iac, Will, 44}).toHex(' '));
    QByteArray got;
    for (const Command& command : received) {
        got += negotiator.answer(command);
    }
    QCOMPARE(got.toHex(' '), answers.toHex(' '));
    QCOMPARE(negotiator.comPortAccepted(), accepted);
    QCOMPARE(negotiator.comPortRefused(), refused);
}

void TestSerial::negotiationSettles_data() {
    QTest::addColumn<Peer>("peer");
    QTest::addColumn<QList<Command>>("burst");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("agrees to all") << Peer::AgreesToAll << QList<Command>{} << true;
    QTest::newRow("refuses all") << Peer::RefusesAll << QList<Command>{} << false;
    QTest::newRow("answers only changes, binary off and on again")
        << Peer::AnswersChanges << QList<Command>{{Wont, Binary, {}}, {Will, Binary, {}}} << true;
    QTest::newRow("answers only changes, every option off and on again")
        << Peer::AnswersChanges
        << QList<Command>{{Wont, Binary, {}},          {Will, Binary, {}},
                          {Dont, Binary, {}},          {Do, Binary, {}},
                          {Dont, ComPortOption, {}},   {Do, ComPortOption, {}},
                          {Wont, SuppressGoAhead, {}}, {Will, SuppressGoAhead, {}}}
        << false; // the peer's last word on the option, once the client has gone quiet on it
    QTest::newRow("two of ours, requests crossing")
        << Peer::Ours << QList<Command>{{Wont, Binary, {}}, {Will, Binary, {}}} << false;
}

void TestSerial::negotiationSettles() {
    QFETCH(Peer, peer);
    QFETCH(QList<Command>, burst);
    QFETCH(bool, accepted);
    Negotiator client;
    const int rounds = roundsToSettle(peer, burst, client);
    QVERIFY2(rounds >= 0 && rounds <= 2 * Negotiator::MaxSentPerOption,
             qPrintable(QString::number(rounds)));
    QCOMPARE(client.comPortAccepted(), accepted);
}

void TestSerial::deviceChoice_data() {
    QTest::addColumn<QByteArray>("file"); // empty: no file at all
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<bool>("usbPresent");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("warning");
    const QByteArray both = "[devices]\ncom1=/dev/ttyUSB3\ncom2=rfc2217://rack:7000\n";
    QTest::newRow("command line first") << both << 1 << "/dev/ttyS4" << true << "/dev/ttyS4"
                                        << "";
    QTest::newRow("remembered") << both << 1 << "" << true << "/dev/ttyUSB3"
                                << "";
    QTest::newRow("remembered server") << both << 2 << "" << true << "rfc2217://rack:7000"
                                       << "";
    QTest::newRow("usb adapter") << QByteArray() << 1 << "" << true << "/dev/ttyACM0"
                                 << "";
    QTest::newRow("no usb for COM2") << QByteArray() << 2 << "" << true << "/dev/ttyS1"
                                     << "";
    QTest::newRow("default") << QByteArray() << 1 << "" << false << "/dev/ttyS0"
                             << "";
    QTest::newRow("empty value") << QByteArray("[devices]\ncom1=\n") << 1 << "" << false
                                 << "/dev/ttyS0"
                                 << "COM1 is not a device name";
    QTest::newRow("control characters")
        << QByteArray("[devices]\ncom1=\"/dev/tty\\x1b[2J\"\ncom2=/dev/ttyUSB1\n") << 2 << ""
        << false << "/dev/ttyS1"
        << "COM1 is not a device name";
    QTest::newRow("bad server address")
        << QByteArray("[devices]\ncom1=tcp://rack\n") << 1 << "" << false << "/dev/ttyS0"
        << "COM1 is not a device name";
    // Files at the path that are not a settings file of ours are read no further than needed.
    QTest::newRow("json") << QByteArray("{\n  \"devices\": {\"com1\": \"/dev/ttyUSB3\"}\n}\n") << 1
                          << "" << true << "/dev/ttyACM0"
                          << "it is not a settings file";
    QTest::newRow("named pipe") << QByteArray("<fifo>") << 1 << "" << false << "/dev/ttyS0"
                                << "it is not a regular file";
    QTest::newRow("100 MB") << QByteArray("<100 MB>") << 1 << "" << false << "/dev/ttyS0"
                            << "it is larger than 64 KiB";
    QTest::newRow("binary junk") << QByteArray("\xff\xfe[\x00\x01=\n[[[", 10) << 1 << "" << true
                                 << "/dev/ttyACM0"
                                 << "it is not a settings file";
}

void TestSerial::deviceChoice() {
    QFETCH(QByteArray, file);
    QFETCH(int, portNumber);
    QFETCH(QString, commandLine);
    QFETCH(bool, usbPresent);
    QFETCH(QString, expected);
    QFETCH(QString, warning);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rmq27-panel.ini"));
    const SettingsOccupant occupant(path, file);
    QList<SerialPortEntry> ports{{QStringLiteral("/dev/ttyS0"), {}, {}, {}, {}, {}}};
    if (usbPresent) {
        ports << SerialPortEntry{QStringLiteral("/dev/ttyACM0"), {}, {}, {}, {}, {}};
    }
    if (!warning.isEmpty()) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    }
    const PortDeviceChoice choice(path);
    QCOMPARE(choice.choose(portNumber, commandLine, ports), expected);
}

void TestSerial::rememberAndForget() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sub/rmq27-panel.ini"));
    PtyPair com1;
    PtyPair com2;
    {
        PortDeviceChoice choice(path);
        CommPort port;
        port.setDevice(1, com1.devicePath());
        port.setDevice(2, com2.devicePath());
        choice.watch(port, 2);
        port.setPortOpen(true);
        port.setPortOpen(false);
        port.setCommPort(2); // transient: never remembered
        port.setPortOpen(true);
    }
    QCOMPARE(PortDeviceChoice(path).remembered(1), com1.devicePath());
    QCOMPARE(PortDeviceChoice(path).remembered(2), QString());
    // The file is plain text that the user may edit.
    QSettings(path, QSettings::IniFormat)
        .setValue(QStringLiteral("devices/com2"), QStringLiteral("tcp://[::1]:7000"));
    PortDeviceChoice choice(path);
    QCOMPARE(choice.choose(2, {}, {}), QStringLiteral("tcp://[::1]:7000"));
    QCOMPARE(choice.forget().value_or(QString()), QString());
    QCOMPARE(choice.choose(1, {}, {}), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(PortDeviceChoice(path).remembered(2), QString());
    // A file that cannot be read is reported once and left alone.
    QVERIFY(QDir().mkpath(path));
    // In the program's name, as its other messages are.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^%1: ignoring the remembered")
                                                .arg(QCoreApplication::applicationName())));
    PortDeviceChoice unreadable(path);
    unreadable.remember(1, QStringLiteral("/dev/ttyUSB0"));
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(unreadable.remembered(1), QStringLiteral("/dev/ttyUSB0"));
}

void TestSerial::keepsFilesNotItsOwn_data() {
    QTest::addColumn<QByteArray>("before");    // at the path when the choice is made; @dev: COM1
    QTest::addColumn<QByteArray>("meanwhile"); // written after that, before COM1 opens
    QTest::addColumn<QByteArray>("after");     // the file once COM1 has opened
    QTest::addColumn<QStringList>("messages");
    const QByteArray json = "{\"devices\": {\"com1\": \"/dev/ttyUSB0\"}}\n";
    QTest::newRow("json") << json << QByteArray() << json
                          << QStringList{"ignoring the remembered devices in @file (it is not a "
                                         "settings file)",
                                         "@dev is not remembered for COM1: @file is left as it "
                                         "is (it is not a settings file)"};
    QRandomGenerator random(27);
    QByteArray noise(512, 0);
    random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    QTest::newRow("random bytes") << noise << QByteArray() << noise
                                  << QStringList{"ignoring the remembered devices in @file (it "
                                                 "is not a settings file)",
                                                 "@dev is not remembered for COM1: @file is left "
                                                 "as it is (it is not a settings file)"};
    // Another run stored the same device meanwhile: nothing to write, and the user's comment stays.
    const QByteArray same = "; my projector\n[devices]\ncom1=@dev\n";
    QTest::newRow("same device already there") << QByteArray() << same << same << QStringList{};
    QTest::newRow("stored") << QByteArray() << QByteArray() << QByteArray("[devices]\ncom1=@dev\n")
                            << QStringList{};
}

// The device that opens is stored only in a settings file of this program, and only when that
// changes the file; the messages say which device was not remembered, where and why.
void TestSerial::keepsFilesNotItsOwn() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, meanwhile);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, messages);
    PtyPair com1;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rmq27-panel.ini"));
    const QByteArray device = QFile::encodeName(com1.devicePath());
    before.replace("@dev", device);
    meanwhile.replace("@dev", device);
    after.replace("@dev", device);
    const SettingsOccupant occupant(path, before);
    const MessageLog log;
    {
        PortDeviceChoice choice(path);
        CommPort port;
        port.setDevice(1, com1.devicePath());
        choice.watch(port);
        const SettingsOccupant changed(path, meanwhile);
        port.setPortOpen(true);
    }
    QCOMPARE(fileBytes(path), after);
    QStringList expected;
    for (QString message : messages) {
        expected << QStringLiteral("%1: %2").arg(
            QCoreApplication::applicationName(),
            message.replace(QLatin1String("@file"), path)
                .replace(QLatin1String("@dev"), com1.devicePath()));
    }
    QCOMPARE(MessageLog::messages(), expected);
}

// One device under two names is one device: while it is open under one name, it is refused under
// any other, and held in the terminal's exclusive mode against programs that take no lock. A
// read that finds nothing (another reader took the bytes) is no vanished device; a device that
// really goes is.
void TestSerial::oneDeviceTwoNames() {
    PtyPair line;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("by-id-projector"));
    QVERIFY(QFile::link(line.devicePath(), link));
    // A program that takes no lock and reads what comes, opened before the port.
    const int thief = ::open(QFile::encodeName(line.devicePath()).constData(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(thief >= 0);
    QByteArray stolen;
    QSocketNotifier notifier(thief, QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
        char buffer[256];
        const ssize_t n = ::read(thief, buffer, sizeof buffer);
        stolen.append(buffer, qMax<ssize_t>(n, 0));
        // The port may have taken the bytes first; only an end or an error ends the reading.
        notifier.setEnabled(n > 0 || (n < 0 && errno == EAGAIN));
    });

    CommPort first;
    first.setDevice(1, link);
    QStringList lost;
    connect(&first, &CommPort::lost, this, [&](const Failure& why) { lost << why.description; });
    first.setPortOpen(true);
    int exclusive = 0;
    QCOMPARE(::ioctl(thief, TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);
    QVERIFY2(openFailure(line.devicePath()).contains(QLatin1String("in use by another program")),
             qPrintable(openFailure(line.devicePath())));

    for (int i = 0; i < 20; ++i) {
        line.write("00\r");
        QTest::qWait(20);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!stolen.isEmpty(), 10000);
    QTest::qWait(200);
    QVERIFY2(lost.isEmpty(), qPrintable(lost.join(u'|')));
    QVERIFY(first.portOpen());

    ::close(thief);
    line.close();
    QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
    QVERIFY(lost[0].contains(QLatin1String("the device is gone")));
    QVERIFY(!first.portOpen());
}

void TestSerial::portList_data() {
    QTest::addColumn<QList<SerialPortEntry>>("ports");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<QString>("device");
    const SerialPortEntry ftdi{QStringLiteral("/dev/ttyUSB0"),
                               QStringLiteral("FT232R USB UART"),
                               QStringLiteral("FTDI"),
                               QStringLiteral("A50285BI"),
                               quint16(0x0403),
                               quint16(0x6001)};
    const SerialPortEntry plain{QStringLiteral("/dev/ttyS0"), {}, {}, {}, {}, {}};
    QTest::newRow("none") << QList<SerialPortEntry>{} << "No serial ports found.\n"
                          << "COM1: /dev/ttyS0"
                          << "/dev/ttyS0";
    QTest::newRow("usb and plain")
        << QList<SerialPortEntry>{plain, ftdi}
        << "/dev/ttyS0\n/dev/ttyUSB0  FT232R USB UART  FTDI  USB 0403:6001  serial A50285BI\n"
        << "COM1: /dev/ttyUSB0 (FT232R USB UART)"
        << "/dev/ttyUSB0";
    QTest::newRow("server") << QList<SerialPortEntry>{plain} << "/dev/ttyS0\n"
                            << "COM1: tcp://[::1]:7000 (serial device server)"
                            << "tcp://[::1]:7000";
}

void TestSerial::portList() {
    QFETCH(QList<SerialPortEntry>, ports);
    QFETCH(QString, list);
    QFETCH(QString, tooltip);
    QFETCH(QString, device);
    QCOMPARE(describePorts(ports), list);
    QCOMPARE(portTooltip(1, device, ports), tooltip);
}

// The device server support is a module loaded on first use: the module built here gives a link,
// and anything else is refused with a description, never loaded blindly or crashed on.
void TestSerial::deviceServerModule_data() {
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QString>("failure"); // empty: a link is made
    const QString module = QStringLiteral(RMQ27_DEVICE_SERVERS_MODULE);
    const QString missing = QStringLiteral("/nonexistent/rmq27-device-servers.so");
    const QString otherLibrary =
        QLibraryInfo::path(QLibraryInfo::LibrariesPath) + QStringLiteral("/libQt6SerialPort.so.6");
    QTest::newRow("the module") << QStringList{module} << "";
    QTest::newRow("the first that loads") << QStringList{missing, module} << "";
    QTest::newRow("missing") << QStringList{missing}
                             << "the support for device servers cannot be loaded "
                                "(rmq27-device-servers.so is not installed); reinstall the program";
    QTest::newRow("not a library") << QStringList{QStringLiteral("@text")}
                                   << "the support for device servers cannot be loaded (Cannot "
                                      "load library @text";
    QTest::newRow("another library")
        << QStringList{otherLibrary}
        << "the support for device servers cannot be loaded (" + otherLibrary +
               " is no device server module); reinstall the program";
}

void TestSerial::deviceServerModule() {
    QFETCH(QStringList, modules);
    QFETCH(QString, failure);
    QTemporaryDir dir;
    const QString text = dir.filePath(QStringLiteral("rmq27-device-servers.so"));
    QFile file(text);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a library\n") > 0);
    file.close();
    modules.replaceInStrings(QStringLiteral("@text"), text);
    failure.replace(QStringLiteral("@text"), text);
    int received = 0;
    NetLinkMade made = makeNetLinkFrom(modules, {[&] { ++received; }, {}});
    if (failure.isEmpty()) {
        QVERIFY2(!made.failure, qPrintable(made.failure.value_or(Failure()).description));
        QVERIFY(made.link);
        // A link that works: raw TCP to a local server, a byte each way.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const DeviceAddress address =
            parseDeviceAddress(QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()));
        QCOMPARE(made.link->open(address, parseLineSettings(QStringLiteral("19200,N,8,1")), {},
                                 std::nullopt),
                 std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTcpSocket* peer = server.nextPendingConnection();
        QCOMPARE(made.link->write("C00\r"), std::nullopt);
        QByteArray heard;
        QTRY_VERIFY_WITH_TIMEOUT((heard += peer->readAll()) == "C00\r", 10000);
        peer->write("\x06\r");
        QTRY_COMPARE_WITH_TIMEOUT(received, 1, 10000);
        QCOMPARE(made.link->readAll(), QByteArray("\x06\r"));
        // A module of another build makes nothing.
        const auto entry = reinterpret_cast<NetLinkEntry>(
            QLibrary::resolve(QStringLiteral(RMQ27_DEVICE_SERVERS_MODULE), kNetLinkEntry));
        QVERIFY(entry);
        const NetLink::Events none;
        QCOMPARE(entry("0.0/net-link-0", &none), nullptr);
        return;
    }
    QVERIFY(!made.link);
    const QString said =
        made.failure ? made.failure->text(panelRemedyWords()) : QStringLiteral("a link");
    QVERIFY2(said.startsWith(failure), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestSerial)
#include "test_serial.moc"
