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
        const quint8 byte = quint8(ch);
        switch (state_) {
        case State::Data:
            if (byte == Iac) {
                state_ = State::Iac;
            } else {
                data.append(ch);
            }
            break;
        case State::Iac:
            if (byte == Iac) {
                data.append(ch);
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
            commands.append(pending_);
            state_ = State::Data;
            break;
        case State::SbOption:
            pending_ = Command{Sb, byte, {}};
            state_ = State::SbData;
            break;
        case State::SbData:
            if (byte == Iac) {
                state_ = State::SbIac;
            } else if (pending_.payload.size() < MaxPayload) {
                pending_.payload.append(ch);
            }
            break;
        case State::SbIac:
            if (byte == Iac) {
                if (pending_.payload.size() < MaxPayload) {
                    pending_.payload.append(ch);
                }
                state_ = State::SbData;
            } else {
                // IAC SE ends it; any other command after IAC ends it too and then counts as
                // that command.
                commands.append(pending_);
                state_ = State::Data;
                if (byte != Se) {
                    state_ = State::Iac;
                    QByteArray again(1, ch);
                    feed(again, data, commands);
                }
            }
            break;
        }
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
    askedUs_[Binary] = askedUs_[ComPortOption] = askedHim_[Binary] = true;
    return negotiation(Will, Binary) + negotiation(Do, Binary) + negotiation(Will, ComPortOption);
}

QByteArray Negotiator::answer(const Command& command) {
    const quint8 option = command.option;
    switch (command.verb) {
    case Do: {
        if (!weOffer(option)) {
            return std::exchange(refusedUs_[option], true) ? QByteArray()
                                                           : negotiation(Wont, option);
        }
        const bool asked = askedUs_[option];
        askedUs_[option] = false;
        if (us_[option]) {
            return {};
        }
        us_[option] = true;
        return asked ? QByteArray() : negotiation(Will, option);
    }
    case Dont: {
        const bool was = us_[option];
        us_[option] = askedUs_[option] = false;
        if (option == ComPortOption) {
            comPortRefused_ = true;
        }
        return was ? negotiation(Wont, option) : QByteArray();
    }
    case Will: {
        if (!weAccept(option)) {
            return std::exchange(refusedHim_[option], true) ? QByteArray()
                                                            : negotiation(Dont, option);
        }
        const bool asked = askedHim_[option];
        askedHim_[option] = false;
        if (him_[option]) {
            return {};
        }
        him_[option] = true;
        return asked ? QByteArray() : negotiation(Do, option);
    }
    case Wont: {
        const bool was = him_[option];
        him_[option] = askedHim_[option] = false;
        return was ? negotiation(Dont, option) : QByteArray();
    }
    default:
        return {};
    }
}

} // namespace telnet
