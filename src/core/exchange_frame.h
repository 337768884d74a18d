#pragma once

#include <QString>
#include <QtGlobal>

// The constants of one exchange with the projector, written once for every program: a command
// goes out as the prefix, its code and one carriage return; a reply ends at its carriage return.
constexpr char16_t CommandEnd = u'\r';

// Two replies carry no text: the projector took the command (ACK CR) or refused it (NAK CR).
inline const QString AckReply = QStringLiteral("\x06\r");
inline const QString NakReply = QStringLiteral("\x15\r");

inline QString frameCommand(const QString& cmdPrefix, const QString& code) {
    return cmdPrefix + code + QChar(CommandEnd);
}

// What the received line shows when a reply window closes with nothing received.
inline const QString NoReplyMark = QStringLiteral(" X X X X");

// Characters kept per reply window; the rest is read and dropped, so a flooding line costs no
// memory (the received line shows only its beginning anyway).
constexpr qsizetype ReceiveLimit = 32767;
