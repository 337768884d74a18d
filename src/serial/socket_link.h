#pragma once

#include "serial/device_address.h"
#include "serial/line_settings.h"
#include "serial/telnet.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QTcpSocket>

#include <array>

// A serial line reached through a device server over TCP: either the raw byte stream, or Telnet
// with the com port control option, which carries the line settings to the server's port.
//
// A small client on QTcpSocket rather than Debian's libgensio: gensio runs its own event loop
// (its os-funcs layer with threads or a loop of its own), which would have to be bridged into the
// window's one thread; QTcpSocket already lives in that loop, and the Telnet layer it needs is a
// few hundred lines of pure, table-tested code.
//
// Everything runs on the caller's thread. Opening blocks on the socket alone (bounded waits, no
// nested event loop), so the port is either ready at the right speed or has failed when open()
// returns. The one helper thread is a host name lookup, which the system offers only blocking;
// it touches nothing of the link nor of Qt and is left to finish on its own if the bound runs out.
//
// No signal of the link is emitted from inside one of its calls: data that arrives while a call
// waits on the socket is announced from the event loop afterwards, so no handler runs inside
// another.
class SocketLink : public QObject {
    Q_OBJECT
public:
    static constexpr int OpenBoundMs = 2000;
    // The received data kept for the reader at most; beyond it the oldest bytes go.
    static constexpr qsizetype MaxInbox = 64 * 1024;

    explicit SocketLink(QObject* parent = nullptr);
    ~SocketLink() override;

    // Connects, and over Telnet negotiates the option and sets the line, all within OpenBoundMs.
    // Returns what went wrong, naming host and port, or an empty string.
    QString open(const DeviceAddress& address, const LineSettings& line);
    void close();
    bool isOpen() const { return open_; }

    // Over Telnet, sends the settings to the server's port; a raw link keeps them local. An answer
    // that shows the server running its port otherwise ends the link through dropped().
    void setLine(const LineSettings& line);
    // Hands every byte to the socket before returning; returns what went wrong or an empty string.
    // A server that takes nothing for OpenBoundMs is lost: the link ends through dropped().
    QString write(const QByteArray& data);
    // The data waiting, Telnet commands removed.
    QByteArray readAll();
    qint64 bytesAvailable() const { return inbox_.size(); }

signals:
    // Data waits.
    void readyRead();
    // The link is gone: the connection ended from the far side or the network, the server stopped
    // taking data, or it runs its port otherwise than asked. Emitted once per open, with the
    // operator's description naming the server.
    void dropped(const QString& description);

private:
    // Marks a call that blocks on the socket or may set off its signals (a flush); see blocking_.
    class Blocking;

    QString connectSocket(const DeviceAddress& address, const QDeadlineTimer& deadline);
    QString negotiate(const QDeadlineTimer& deadline);
    void sendLine();
    void flush();
    // Moves what the socket holds into the inbox; true when data was added.
    bool take();
    // take(), then the receive notification when one is due and no call is blocking.
    void pump();
    void deliverLater();
    void handleCommand(const telnet::Command& command);
    void checkAnswer(const telnet::ComPortAnswer& answer);
    void onDisconnected();
    void lose(const QString& description);
    QString where() const;
    QString hostAndPort() const;

    QTcpSocket socket_;
    DeviceAddress address_;
    bool telnet_ = false;
    bool open_ = false;
    bool dropped_ = false;
    // Set while a call blocks on the socket: a receive notification then waits until it returns,
    // so no handler runs inside another.
    bool blocking_ = false;
    bool notifyPending_ = false;
    bool deliveryQueued_ = false;
    telnet::Decoder decoder_;
    telnet::Negotiator negotiator_;
    LineSettings line_;
    bool settingsSent_ = false;
    int acknowledged_ = 0;
    // For each of the four settings, the values sent and not yet answered, oldest first.
    std::array<QList<quint32>, 5> unanswered_;
    // The first answer that differs from what was asked, while the port opens.
    QString mismatch_;
    QByteArray inbox_;
};
