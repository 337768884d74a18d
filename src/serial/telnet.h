#pragma once

#include "serial/line_settings.h"

#include <QByteArray>
#include <QList>
#include <array>
#include <optional>

// The Telnet layer of a serial device server (RFC 854 commands, RFC 2217 com port control):
// pure encoding and decoding, no socket in sight.
namespace telnet {

enum : quint8 {
    Se = 240,
    Sb = 250,
    Will = 251,
    Wont = 252,
    Do = 253,
    Dont = 254,
    Iac = 255,
};

enum : quint8 {
    Binary = 0,
    Echo = 1,
    SuppressGoAhead = 3,
    ComPortOption = 44,
};

// Com port control commands from the client; the server answers each with the code plus 100.
enum : quint8 {
    SetBaudrate = 1,
    SetDatasize = 2,
    SetParity = 3,
    SetStopsize = 4,
    ServerOffset = 100,
};

// Data bytes as they go on the wire: every 0xFF doubled.
QByteArray escape(const QByteArray& data);
QByteArray negotiation(quint8 verb, quint8 option);
// IAC SB option payload IAC SE, with 0xFF in the payload doubled.
QByteArray subnegotiation(quint8 option, const QByteArray& payload);
// SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE for the line.
QByteArray comPortSettings(const LineSettings& line);
// The value one of those four settings carries for the line (the baud rate, or the one-byte code).
quint32 comPortValue(quint8 code, const LineSettings& line);

// A server's answer to one of the four settings: the setting, and the value its port now runs.
struct ComPortAnswer {
    quint8 code = 0;
    quint32 value = 0;
    bool operator==(const ComPortAnswer&) const = default;
};
// Reads an answer from a com port subnegotiation's payload; nothing for any other payload, or for
// one too short to hold its value.
std::optional<ComPortAnswer> comPortAnswer(const QByteArray& payload);

// One command received: a negotiation (verb Will/Wont/Do/Dont) or a subnegotiation (verb Sb,
// payload without the option byte).
struct Command {
    quint8 verb = 0;
    quint8 option = 0;
    QByteArray payload;
    bool operator==(const Command&) const = default;
};

// Splits what a server sends into data and commands. A command may be split across reads, so the
// decoder keeps its place between chunks. A subnegotiation's payload is cut at MaxPayload bytes;
// one that runs past MaxSubnegotiation bytes without its end is given up (counted in abandoned())
// and the decoder reads data again, so no input grows it without bound or holds it for ever.
class Decoder {
public:
    static constexpr qsizetype MaxPayload = 64;
    static constexpr qsizetype MaxSubnegotiation = 1024;
    void feed(const QByteArray& chunk, QByteArray& data, QList<Command>& commands);
    // Inside a subnegotiation that has not ended yet.
    bool inSubnegotiation() const { return state_ == State::SbData || state_ == State::SbIac; }
    // Subnegotiations given up for running past MaxSubnegotiation.
    int abandoned() const { return abandoned_; }

private:
    enum class State { Data, Iac, Option, SbOption, SbData, SbIac };
    void take(quint8 byte, QByteArray& data, QList<Command>& commands);
    State state_ = State::Data;
    Command pending_;
    qsizetype sbLength_ = 0;
    int abandoned_ = 0;
};

// The client's side of option negotiation: it offers binary transmission and the com port option,
// accepts binary and suppress-go-ahead from the server and refuses everything else (echo above
// all, which would send every command back).
//
// Each side of each option keeps the state of RFC 1143 (no, yes, or a request of ours
// outstanding), so an answer to our own request is never taken for a new request, and a request
// that changes nothing gets no answer. That alone settles against a peer that does the same, but
// not against one that answers every change, including the answers to its own requests: when
// requests cross, two such peers flip an option back and forth for ever. So the client sends at
// most MaxSentPerOption negotiations for any one option per connection and then goes quiet on it,
// and refuses an option at most once, so a peer that asks again after each refusal gets no
// stream of answers either. Whatever the peer sends, the client's answers stay within
// 256 * MaxSentPerOption negotiations.
class Negotiator {
public:
    static constexpr int MaxSentPerOption = 8;
    // What the client sends first.
    QByteArray start();
    // The answer to a received negotiation (empty when none is due).
    QByteArray answer(const Command& command);
    bool comPortAccepted() const { return us_.state[ComPortOption] == Q::Yes; }
    bool comPortRefused() const { return comPortRefused_; }

private:
    enum class Q : quint8 { No, Yes, WantNo, WantYes };
    struct Side {
        std::array<Q, 256> state{};
        std::array<bool, 256> refused{};
    };
    // The answer to a request to enable (`on`) or disable one side of an option; `positive` and
    // `negative` are the verbs that side answers with.
    QByteArray request(Side& side, quint8 option, bool on, bool acceptable, quint8 positive,
                       quint8 negative);
    QByteArray send(quint8 verb, quint8 option);
    // What the client does (answered with WILL / WONT) and what the server does (DO / DONT).
    Side us_;
    Side him_;
    std::array<int, 256> sent_{};
    bool comPortRefused_ = false;
};

} // namespace telnet
