#include "serial/telnet.h"

#include <initializer_list>
#include <utility>

namespace telnet {

namespace {
QByteArray bytes(std::initializer_list<quint8> values) {
    QByteArray out;
    for (const quint8 value : values) {
        out.append(char(value));
    }
    return out;
}
} // namespace

QByteArray escape(const QByteArray& data) {
    QByteArray out;
    out.reserve(data.size() + data.count(char(Iac)));
    for (const char byte : data) {
        out.append(byte);
        if (quint8(byte) == Iac) {
            out.append(byte);
        }
    }
    return out;
}

QByteArray negotiation(quint8 verb, quint8 option) {
    return bytes({quint8(Iac), quint8(verb), quint8(option)});
}

QByteArray subnegotiation(quint8 option, const QByteArray& payload) {
    return bytes({quint8(Iac), quint8(Sb), quint8(option)}) + escape(payload) +
           bytes({quint8(Iac), quint8(Se)});
}

quint32 comPortValue(quint8 code, const LineSettings& line) {
    switch (code) {
    case SetBaudrate:
        return quint32(line.baud);
    case SetDatasize:
        return quint32(line.dataBits);
    case SetParity:
        switch (line.parity) {
        case QSerialPort::OddParity:
            return 2;
        case QSerialPort::EvenParity:
            return 3;
        case QSerialPort::MarkParity:
            return 4;
        case QSerialPort::SpaceParity:
            return 5;
        default:
            return 1;
        }
    case SetStopsize:
        return line.stopBits == QSerialPort::TwoStop          ? 2
               : line.stopBits == QSerialPort::OneAndHalfStop ? 3
                                                              : 1;
    default:
        return 0;
    }
}

QByteArray comPortSettings(const LineSettings& line) {
    const quint32 baud = comPortValue(SetBaudrate, line);
    const QByteArray baudBytes = bytes({quint8(SetBaudrate), quint8(baud >> 24), quint8(baud >> 16),
                                        quint8(baud >> 8), quint8(baud)});
    QByteArray out = subnegotiation(ComPortOption, baudBytes);
    for (const quint8 code : {SetDatasize, SetParity, SetStopsize}) {
        out += subnegotiation(ComPortOption, bytes({code, quint8(comPortValue(code, line))}));
    }
    return out;
}

std::optional<ComPortAnswer> comPortAnswer(const QByteArray& payload) {
    if (payload.isEmpty()) {
        return std::nullopt;
    }
    const int code = quint8(payload[0]) - ServerOffset;
    if (code < SetBaudrate || code > SetStopsize) {
        return std::nullopt;
    }
    const qsizetype width = code == SetBaudrate ? 4 : 1;
    if (payload.size() < 1 + width) {
        return std::nullopt;
    }
    quint32 value = 0;
    for (qsizetype i = 1; i <= width; ++i) {
        value = (value << 8) | quint8(payload[i]);
    }
    return ComPortAnswer{quint8(code), value};
}

void Decoder::feed(const QByteArray& chunk, QByteArray& data, QList<Command>& commands) {
    for (const char ch : chunk) {
        take(quint8(ch), data, commands);
    }
}

void Decoder::take(quint8 byte, QByteArray& data, QList<Command>& commands) {
    if (inSubnegotiation() && ++sbLength_ > MaxSubnegotiation) {
        // No subnegotiation of this link is anywhere near this long: the end was lost or never
        // sent. Reading on as data is the only way later replies can still arrive.
        ++abandoned_;
        pending_ = {};
        state_ = State::Data;
    }
    switch (state_) {
    case State::Data:
        if (byte == Iac) {
            state_ = State::Iac;
        } else {
            data.append(char(byte));
        }
        break;
    case State::Iac:
        if (byte == Iac) {
            data.append(char(byte));
            state_ = State::Data;
        } else if (byte >= Will && byte <= Dont) {
            pending_ = Command{byte, 0, {}};
            state_ = State::Option;
        } else if (byte == Sb) {
            state_ = State::SbOption;
        } else {
            // NOP, go-ahead, break and the like carry nothing for this link.
            state_ = State::Data;
        }
        break;
    case State::Option:
        pending_.option = byte;
        commands.append(std::exchange(pending_, {}));
        state_ = State::Data;
        break;
    case State::SbOption:
        pending_ = Command{Sb, byte, {}};
        sbLength_ = 0;
        state_ = State::SbData;
        break;
    case State::SbData:
        if (byte == Iac) {
            state_ = State::SbIac;
        } else if (pending_.payload.size() < MaxPayload) {
            pending_.payload.append(char(byte));
        }
        break;
    case State::SbIac:
        if (byte == Iac) {
            if (pending_.payload.size() < MaxPayload) {
                pending_.payload.append(char(byte));
            }
            state_ = State::SbData;
        } else {
            // IAC SE ends it; any other command after IAC ends it too and then counts as that
            // command.
            commands.append(std::exchange(pending_, {}));
            state_ = State::Data;
            if (byte != Se) {
                state_ = State::Iac;
                take(byte, data, commands);
            }
        }
        break;
    }
}

namespace {
bool weOffer(quint8 option) {
    return option == Binary || option == ComPortOption || option == SuppressGoAhead;
}
bool weAccept(quint8 option) {
    return option == Binary || option == SuppressGoAhead;
}
} // namespace

QByteArray Negotiator::start() {
    us_.state[Binary] = us_.state[ComPortOption] = him_.state[Binary] = Q::WantYes;
    return send(Will, Binary) + send(Do, Binary) + send(Will, ComPortOption);
}

QByteArray Negotiator::send(quint8 verb, quint8 option) {
    if (sent_[option] >= MaxSentPerOption) {
        return {};
    }
    ++sent_[option];
    return negotiation(verb, option);
}

QByteArray Negotiator::request(Side& side, quint8 option, bool on, bool acceptable, quint8 positive,
                               quint8 negative) {
    Q& q = side.state[option];
    if (!on) {
        // A demand to disable is always honoured; it is acknowledged only when it changes
        // something and is not itself the answer to a request of ours.
        const bool was = q == Q::Yes;
        q = Q::No;
        return was ? send(negative, option) : QByteArray();
    }
    switch (q) {
    case Q::No:
        if (acceptable) {
            q = Q::Yes;
            return send(positive, option);
        }
        return std::exchange(side.refused[option], true) ? QByteArray() : send(negative, option);
    case Q::WantYes: // the answer to our own request
        q = Q::Yes;
        return {};
    case Q::WantNo: // the peer refuses to stop: take it as stopped, as RFC 1143 does
        q = Q::No;
        return {};
    case Q::Yes:
        return {};
    }
    return {};
}

QByteArray Negotiator::answer(const Command& command) {
    const quint8 option = command.option;
    switch (command.verb) {
    case Do:
        return request(us_, option, true, weOffer(option), Will, Wont);
    case Dont:
        if (option == ComPortOption) {
            comPortRefused_ = true;
        }
        return request(us_, option, false, false, Will, Wont);
    case Will:
        return request(him_, option, true, weAccept(option), Do, Dont);
    case Wont:
        return request(him_, option, false, false, Do, Dont);
    default:
        return {};
    }
}

} // namespace telnet
