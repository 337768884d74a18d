#pragma once

// The server's side of Telnet option negotiation, as device servers behave, for the tests and the
// fuzzer of the client's negotiator.
#include "serial/telnet.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <utility>

enum class Peer {
    AgreesToAll,    // answers every request with yes
    RefusesAll,     // answers every request with no
    AnswersChanges, // answers a request only when it changes its state, its own requests' answers
                    // included
    Ours,           // another of our own negotiators
    InputOnly,      // answers nothing; sends only what it is told to
};

class TelnetPeer {
public:
    explicit TelnetPeer(Peer kind) : kind_(kind) {}

    // What it sends first, before any request of the client's.
    QByteArray start() { return kind_ == Peer::Ours ? ours_.start() : QByteArray(); }

    // Notes a request it sends of its own, so that its state has it.
    void sends(const telnet::Command& c) {
        (c.verb == telnet::Will || c.verb == telnet::Wont ? will_ : do_)[c.option] =
            c.verb == telnet::Will || c.verb == telnet::Do;
    }

    // Its answer to one command of the client's.
    QByteArray answer(const telnet::Command& c) {
        using namespace telnet;
        const bool on = c.verb == Do || c.verb == Will;
        bool& state = (c.verb == Do || c.verb == Dont ? will_ : do_)[c.option];
        switch (kind_) {
        case Peer::AgreesToAll:
            return reply(c.verb, c.option, on);
        case Peer::RefusesAll:
            return reply(c.verb, c.option, false);
        case Peer::AnswersChanges:
            if (state == on) {
                return {};
            }
            state = on;
            return reply(c.verb, c.option, on);
        case Peer::Ours:
            return ours_.answer(c);
        case Peer::InputOnly:
            return {};
        }
        return {};
    }

    // One round on the wire between the client's negotiator and this peer: each decodes all the
    // other sent and answers it, and toPeer and toClient then hold those answers. The peer keeps
    // both directions' decoders, so a command split across rounds is still whole.
    void round(telnet::Negotiator& client, QByteArray& toPeer, QByteArray& toClient) {
        QByteArray data;
        QList<telnet::Command> atPeer;
        QList<telnet::Command> atClient;
        atPeer_.feed(std::exchange(toPeer, {}), data, atPeer);
        atClient_.feed(std::exchange(toClient, {}), data, atClient);
        for (const telnet::Command& c : std::as_const(atPeer)) {
            toClient += answer(c);
        }
        for (const telnet::Command& c : std::as_const(atClient)) {
            toPeer += client.answer(c);
        }
    }

private:
    static QByteArray reply(quint8 verb, quint8 option, bool yes) {
        using namespace telnet;
        const bool asksUs = verb == Do || verb == Dont;
        return negotiation(asksUs ? (yes ? Will : Wont) : (yes ? Do : Dont), option);
    }

    Peer kind_;
    telnet::Negotiator ours_;
    telnet::Decoder atPeer_;
    telnet::Decoder atClient_;
    std::array<bool, 256> will_{};
    std::array<bool, 256> do_{};
};
