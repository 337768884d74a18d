#pragma once

#include "bridge/line_answer.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// PJLink Class 1 as pure functions: what a received line asks for, which serial commands answer
// it, and how their replies read as PJLink answers. No sockets, no clock: the server feeds lines
// in and writes what comes out.
namespace pjlink {

// Longest command line a client may send, its CR included.
constexpr qsizetype MaxCommandBytes = 136;
// The authentication digest in front of a command: 32 hex digits of MD5.
constexpr qsizetype DigestChars = 32;
// Longest line the server keeps waiting for its CR: a digest and a whole command.
constexpr qsizetype MaxLineBytes = DigestChars + MaxCommandBytes;
// NAME answers at most this many bytes.
constexpr qsizetype MaxNameBytes = 64;

// What this projector says about itself.
struct Identity {
    QByteArray name;                                     // NAME ?
    QByteArray manufacturer = QByteArrayLiteral("VEXO"); // INF1 ?
    QByteArray product = QByteArrayLiteral("RM-Q27");    // INF2 ?
    QByteArray info;                                     // INFO ?: program and version
};

// A host name or a --name made fit for NAME: control characters dropped, at most MaxNameBytes
// of UTF-8, never cut inside a character.
QByteArray fitName(const QString& name);

// How the replies of a serial plan read as one PJLink answer.
enum class Mapping {
    Set,         // ACK -> OK, NAK -> ERR3, no reply -> ERR4
    Power,       // CR0 row -> 0, 1, 2, 3
    ErrorStatus, // CR0 row -> six digits
    Input,       // CR1 row -> 11, 12, 21, 51
    Mute,        // CRA row -> 30, 11, 21, 31
    Lamp,        // CR3 hours and CR0 row -> "hours 0|1"
};

// What to do with one command line: answer at once, or run serial commands and map their
// replies.
struct Handling {
    QByteArray header; // the line up to its separator, as sent ("%1POWR"), which the reply repeats
    QByteArray answer; // an answer needing no serial exchange (when codes is empty)
    QStringList codes; // serial commands to run in order, each with its reply window
    Mapping mapping = Mapping::Set;
};

// A line is PJLink when it starts with '%', a class digit and a four-character command, and
// holds only printable ASCII. Anything else is not worth an answer: the connection closes.
bool isCommandLine(const QByteArray& line);

// One command line (no digest, no CR; isCommandLine() true) to its handling. Class 2 commands
// get ERR1, unknown commands ERR1 (one not four characters long too), parameters outside the
// table ERR2.
Handling handle(const QByteArray& line, const Identity& identity);

// The PJLink answer from the replies of the plan's serial commands (fewer answers than codes
// when the run stopped at a failed exchange).
QByteArray answerFrom(Mapping mapping, const QList<LineAnswer>& answers);

// CR0 row -> POWR answer and ERST answer; ERR4 for a row not in the table.
QByteArray powerAnswer(const std::optional<QString>& row);
QByteArray errorStatusAnswer(const std::optional<QString>& row);

// The reply line: header, '=', answer, CR.
QByteArray replyLine(const QByteArray& header, const QByteArray& answer);

// The greeting: "PJLINK 0" CR, or "PJLINK 1 " + the random number + CR when a password is set.
QByteArray greeting(const std::optional<QByteArray>& random);
// The reply to a missing or wrong digest, after which the connection closes.
QByteArray authFailure();
// Eight random hex digits for a greeting.
QByteArray newRandom();
// The digest a client must send: MD5 of the random number followed by the password, in hex.
QByteArray digest(const QByteArray& random, const QByteArray& password);
// True when the line starts with the digest (either case of hex digits).
bool startsWithDigest(const QByteArray& line, const QByteArray& expected);
// True when the line starts with 32 hex digits followed by more: a digest in front of a command.
bool hasDigestShape(const QByteArray& line);

} // namespace pjlink
