#pragma once

#include <QString>
#include <optional>

// What one decode of the received transcript does to the status line and to PressVal.
struct ReplyReading {
    std::optional<QString>
        status;          // new text for the status line Label22; empty optional = leave it
    qint16 pressVal = 0; // what the PressVal field holds after this decode
    std::optional<QString> failure; // set when the pressure arithmetic overflows: a description the
                                    // operator can act on, with the reading. status is then empty.
};

// One row of a status table: the start of the received transcript it matches (a leading space,
// then reply characters, each followed by a space but the last), the status line's text, and the
// reading as one word ("on", "standby", "video-audio", ...).
struct StatusRow {
    const char* cut;
    const char* text;
    const char* word;
};

// The row the received transcript matches for a table-read query (the bare codes CR0, CR1, CR4,
// CRA and CR7); nothing for another code or no match. The status line shows this row's text.
const StatusRow* matchStatusRow(const QString& code, const QString& transcript);

// sendCmd: the last framed command (SendCmd); cmdPrefix: CmdPrefix; transcript: T, the received
// transcript as shown on Label12; pressVal: PressVal before the decode.
//
// Only replies to the nine status queries are read; the query is recognised by SendCmd being
// exactly CmdPrefix + code + carriage return. The whole transcript received so far is decoded on
// every call, so a reply in pieces is read again as each piece arrives.
ReplyReading decodeReply(const QString& sendCmd, const QString& cmdPrefix,
                         const QString& transcript, qint16 pressVal);
