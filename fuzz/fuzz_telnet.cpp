// The Telnet layer of a device-server link, on any bytes a server may send.
//
// The first byte picks the peer that the client's negotiator talks to: one that agrees to every
// request, one that refuses every request, one that answers only changes (its own requests'
// answers included), another of our own negotiators, or one that only sends what the input says.
// The rest is at once a server's stream for the decoder, data for escaping, and the peer's own
// requests (a verb and an option per two bytes), sent a few at a time while the two talk.
//
// Checks: the decoder gives the same data, commands and state whether it gets the input whole,
// byte by byte or in pieces; no payload passes its limit; escaped data and a subnegotiation decode
// back to what was escaped; the negotiation falls quiet within a bound once the peer's own
// requests stop, and the client's answers stay within their bound whatever the peer sends.
#include "fuzz_check.h"
#include "serial/telnet.h"
#include "support/telnet_peer.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <cstddef>
#include <cstdint>

using namespace telnet;

namespace {

struct Decoded {
    QByteArray data;
    QList<Command> commands;
    int abandoned = 0;
    bool inSubnegotiation = false;
    bool operator==(const Decoded&) const = default;
};

// Feeds `input` in pieces of the lengths `pieceLength` gives, 0 meaning whole.
template <typename Lengths> Decoded decode(const QByteArray& input, Lengths pieceLength) {
    Decoder decoder;
    Decoded out;
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype n = pieceLength() == 0 ? input.size() - at : pieceLength();
        decoder.feed(input.mid(at, n), out.data, out.commands);
        at += n;
    }
    out.abandoned = decoder.abandoned();
    out.inSubnegotiation = decoder.inSubnegotiation();
    return out;
}

void checkDecoder(const QByteArray& input) {
    const Decoded whole = decode(input, [] { return 0; });
    FUZZ_CHECK(decode(input, [] { return 1; }) == whole);
    quint32 state = 2166136261u;
    for (const char ch : input) {
        state = (state ^ quint8(ch)) * 16777619u;
    }
    FUZZ_CHECK(decode(input, [&state] {
                   state = state * 1664525u + 1013904223u;
                   return qsizetype(1 + (state >> 24) % 17);
               }) == whole);
    for (const Command& command : whole.commands) {
        FUZZ_CHECK(command.payload.size() <= Decoder::MaxPayload);
        FUZZ_CHECK(command.verb == Sb || command.payload.isEmpty());
    }
    FUZZ_CHECK(whole.data.size() <= input.size());
}

void checkEscaping(const QByteArray& input) {
    const Decoded data = decode(escape(input), [] { return 0; });
    FUZZ_CHECK(data.data == input && data.commands.isEmpty() && !data.inSubnegotiation);
    // Doubled, each payload byte counts twice towards the subnegotiation's bound.
    const QByteArray payload = input.left(Decoder::MaxSubnegotiation / 2 - 1);
    const Decoded sub = decode(subnegotiation(ComPortOption, payload), [] { return 0; });
    FUZZ_CHECK(sub.data.isEmpty() && sub.commands.size() == 1 && sub.abandoned == 0);
    FUZZ_CHECK(sub.commands[0] == (Command{Sb, ComPortOption, payload.left(Decoder::MaxPayload)}));
}

void checkNegotiation(Peer peer, const QByteArray& requests) {
    Negotiator client;
    TelnetPeer server(peer);
    QByteArray toPeer = client.start();
    QByteArray toClient = server.start();
    qsizetype clientBytes = toPeer.size();
    qsizetype next = 0;
    int quietRounds = 0;
    constexpr int Bound = 2 * 256 * Negotiator::MaxSentPerOption + 4;
    for (int round = 0;; ++round) {
        // The peer's own requests, up to four a round, as its state has them.
        for (int i = 0; i < 4 && next + 1 < requests.size(); ++i, next += 2) {
            const Command c{
                quint8(Will + quint8(requests[next]) % 4), quint8(requests[next + 1]), {}};
            server.sends(c);
            toClient += negotiation(c.verb, c.option);
        }
        const bool requestsDone = next + 1 >= requests.size();
        if (toPeer.isEmpty() && toClient.isEmpty() && requestsDone) {
            break;
        }
        quietRounds += requestsDone;
        FUZZ_CHECK(quietRounds <= Bound);
        server.round(client, toPeer, toClient);
        clientBytes += toPeer.size();
        FUZZ_CHECK(clientBytes <= 256 * Negotiator::MaxSentPerOption * 3);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    checkDecoder(input);
    checkEscaping(input);
    checkNegotiation(Peer(data[0] % 5), input);
    return 0;
}
