#pragma once

#include "core/failure.h"

#include "serial/device_address.h"
#include "serial/line_settings.h"
#include "serial/name_resolver.h"
#include "serial/telnet.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <optional>

// A serial line reached through a device server over TCP: either the raw byte stream, or Telnet
// with the com port control option, which carries the line settings to the server's port; or a
// projector held by rmq27-bridge, through the bridge's own protocol (its --serve port).
//
// Through the bridge, the link speaks the client's side of that protocol and hands the control
// the projector's bytes as a line of its own would: it reads the greeting, proves the password
// (the digest of the bridge's challenge) before open() returns, passes each command on, and
// turns each reply line back into the projector's reply ('A' and the bytes), nothing ('N': no
// reply in the window), or the loss of the link ('D': the bridge has no line to the projector).
// The bridge owns the line settings; a bare CR now and then keeps an idle connection open.
//
// A small client on QTcpSocket rather than Debian's libgensio: gensio runs its own event loop
// (its os-funcs layer with threads or a loop of its own), which would have to be bridged into the
// window's one thread; QTcpSocket already lives in that loop, and the Telnet layer it needs is a
// few hundred lines of pure, table-tested code.
//
// Everything runs on the caller's thread. Opening blocks on the socket alone (bounded waits, no
// nested event loop), so the port is either ready at the right speed or has failed when open()
// returns. The host name lookup (name_lookup.h) and the watch for a silent peer (silence_watch.h)
// live apart.
//
// A hostile or broken server cannot make it spin, grow or hang: option negotiation settles
// (telnet.h), what waits unsent is bounded, a server that requests options without end or
// begins a subnegotiation it never ends loses the link with a message saying so.
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
    // What may wait unsent in the socket before the next write: beyond it the server has stopped
    // taking data and the link is lost. Every write goes through this bound, answers included.
    static constexpr qsizetype MaxBacklog = 64 * 1024;
    // More option requests than this in a second is a server negotiating without end.
    static constexpr int MaxNegotiationsPerSecond = 256;
    // A subnegotiation not ended within this long never will be.
    static constexpr int SubnegotiationBoundMs = 500;
    // A bridge closes a connection idle for 30 s; a bare CR this often after the last write keeps
    // it open.
    static constexpr int DefaultKeepAliveMs = 20000;
    // The longest command and reply line the bridge's protocol carries.
    static constexpr qsizetype MaxBridgeCommand = 128;
    static constexpr qsizetype MaxBridgeReply = 1024;

    explicit SocketLink(QObject* parent = nullptr);
    ~SocketLink() override;

    // Connects, and over Telnet negotiates the option and sets the line, all within OpenBoundMs.
    // A host name goes through `resolver` (the system's when empty). Returns what went wrong,
    // naming host and port, or nothing.
    // `password` is for a bridge that asks for one.
    [[nodiscard]] std::optional<Failure> open(const DeviceAddress& address,
                                              const LineSettings& line,
                                              const name_lookup::Resolver& resolver,
                                              const std::optional<QByteArray>& password = {});
    void close();
    bool isOpen() const { return state_ == State::Open || state_ == State::Lost; }

    // Over Telnet, sends the settings to the server's port; a raw link and a bridge keep them
    // local. An answer that shows the server running its port otherwise ends the link through
    // dropped().
    void setLine(const LineSettings& line);
    void setKeepAliveMs(int ms) { keepAlive_.setInterval(ms); }
    // Hands every byte to the socket before returning; returns what went wrong, or nothing.
    // A server that takes nothing for OpenBoundMs is lost: the link ends through dropped().
    [[nodiscard]] std::optional<Failure> write(const QByteArray& data);
    // The data waiting, Telnet commands removed.
    QByteArray readAll();

signals:
    // Data waits.
    void readyRead();
    // The link is gone: the connection ended from the far side or the network, the server stopped
    // taking data, it runs its port otherwise than asked, or it broke the Telnet protocol beyond
    // repair. Emitted once per open, with the operator's description naming the server.
    void dropped(const Failure& failure);

private:
    enum class State {
        Closed,
        Connecting,
        Negotiating, // Telnet: waiting for the server to take the com port option
        SettingLine, // Telnet: the settings sent, their answers awaited
        Open,
        Lost, // dropped() emitted; the last data is still the reader's until close()
    };
    bool opening() const {
        return state_ == State::Connecting || state_ == State::Negotiating ||
               state_ == State::SettingLine;
    }
    bool telnet() const { return address_.kind == DeviceAddress::Kind::Rfc2217; }
    bool bridge() const { return address_.kind == DeviceAddress::Kind::Bridge; }

    // Marks a call that blocks on the socket or may set off its signals (a flush); see blocking_.
    class Blocking;

    std::optional<QString> connectSocket(const DeviceAddress& address,
                                         const QDeadlineTimer& deadline,
                                         const name_lookup::Resolver& resolver);
    std::optional<QString> negotiate(const QDeadlineTimer& deadline);
    // Through a bridge: the greeting read and the password proved, within the deadline.
    std::optional<Failure> greet(const QDeadlineTimer& deadline,
                                 const std::optional<QByteArray>& password);
    // One line from the bridge while opening, without its CR; nothing when none came in time.
    std::optional<QByteArray> bridgeLine(const QDeadlineTimer& deadline);
    // What the bridge does not carry among commands about to be written, or nothing.
    std::optional<Failure> checkBridgeCommands(const QByteArray& data);
    // The bridge's reply lines in `chunk` turned into the projector's bytes in the inbox.
    void takeBridgeReplies(const QByteArray& chunk);
    void keepAlive();
    QString openFailure() const;
    void sendLine();
    // The one way to the socket: nothing goes to a closed one, and a backlog past MaxBacklog
    // loses the link.
    bool send(const QByteArray& wire);
    // Writes around Qt while the line is set up; false where it cannot, and Qt writes instead.
    bool sendDirect(const QByteArray& wire);
    void flush();
    // Moves what the socket holds into the inbox; true when data was added.
    bool take();
    // take(), then the receive notification when one is due and no call is blocking.
    void pump();
    void deliverLater();
    void handleCommand(const telnet::Command& command);
    void countNegotiation();
    // Starts the watch on a subnegotiation that has begun and not ended, or stops it.
    void checkSubnegotiation();
    void subnegotiationOverdue();
    void checkAnswer(const telnet::ComPortAnswer& answer);
    // The server broke the link: while opening the open fails with what + advice; once open the
    // link is lost and closed.
    void fail(const QString& what, const QString& advice);
    void onDisconnected();
    void lose(const Failure& failure);
    QString where() const;
    QString hostAndPort() const;

    QTcpSocket socket_;
    QTimer subnegotiationWatch_;
    QTimer keepAlive_;
    // Through a bridge: a reply line not ended yet, and the command being written since its
    // last CR.
    QByteArray bridgeReply_;
    QByteArray bridgeCommand_;
    DeviceAddress address_;
    State state_ = State::Closed;
    // Set while a call blocks on the socket: a receive notification then waits until it returns,
    // so no handler runs inside another.
    bool blocking_ = false;
    bool notifyPending_ = false;
    bool deliveryQueued_ = false;
    telnet::Decoder decoder_;
    telnet::Negotiator negotiator_;
    QElapsedTimer negotiationWindow_;
    int negotiationsInWindow_ = 0;
    int commandsHeard_ = 0;
    LineSettings line_;
    int acknowledged_ = 0;
    // For each of the four settings, the values sent and not yet answered, oldest first.
    std::array<QList<quint32>, 5> unanswered_;
    // Why the open fails, once the server has given a reason (the first one counts).
    QString failure_;
    // The first data a server sent while the port opened: a server that refuses the connection
    // says why there ("Port already in use") before it closes.
    QByteArray greeting_;
    QByteArray inbox_;
};
