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
// decoder keeps its place between chunks; a subnegotiation longer than any this link uses is cut
// at MaxPayload bytes, so no input grows it without bound.
class Decoder {
public:
    static constexpr qsizetype MaxPayload = 64;
    void feed(const QByteArray& chunk, QByteArray& data, QList<Command>& commands);

private:
    enum class State { Data, Iac, Option, SbOption, SbData, SbIac };
    State state_ = State::Data;
    Command pending_;
};

// The client's side of option negotiation: it offers binary transmission and the com port option,
// accepts binary and suppress-go-ahead from the server and refuses everything else (echo above
// all, which would send every command back). It answers only changes, so two peers never loop,
// and refuses an option at most once per connection, so a server that asks again and again after
// each refusal gets no stream of answers either.
class Negotiator {
public:
    // What the client sends first.
    QByteArray start();
    // The answer to a received negotiation (empty when none is due).
    QByteArray answer(const Command& command);
    bool comPortAccepted() const { return us_[ComPortOption]; }
    bool comPortRefused() const { return comPortRefused_; }

private:
    std::array<bool, 256> us_{};
    std::array<bool, 256> him_{};
    std::array<bool, 256> askedUs_{};
    std::array<bool, 256> askedHim_{};
    std::array<bool, 256> refusedUs_{};
    std::array<bool, 256> refusedHim_{};
    bool comPortRefused_ = false;
};

} // namespace telnet
