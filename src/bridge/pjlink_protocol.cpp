#include "bridge/pjlink_protocol.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace pjlink {

namespace {

const QByteArray kOk = QByteArrayLiteral("OK");
const QByteArray kUndefined = QByteArrayLiteral("ERR1"); // unknown command
const QByteArray kBadParameter = QByteArrayLiteral("ERR2");
const QByteArray kUnavailable = QByteArrayLiteral("ERR3"); // not now (warming up, cooling down)
const QByteArray kFailure = QByteArrayLiteral("ERR4");     // projector failure or silence

// One row of the power status table: the CR0 reply characters, the POWR answer and the ERST
// answer (fan, lamp, temperature, cover, filter, other).
struct PowerRow {
    const char* row;
    const char* power;
    const char* errors;
};

constexpr PowerRow kPowerRows[] = {
    {"00", "1", "000000"},    {"80", "0", "000000"}, {"40", "3", "000000"}, {"20", "2", "000000"},
    {"10", "ERR4", "000002"}, {"08", "1", "001000"}, {"04", "0", "000000"}, {"28", "2", "001000"},
    {"24", "0", "001000"},    {"88", "0", "001000"}, {"21", "2", "020000"}, {"81", "0", "020000"},
    {"02", "1", "000000"},
};

const PowerRow* powerRow(const std::optional<QString>& row) {
    if (!row) {
        return nullptr;
    }
    for (const PowerRow& r : kPowerRows) {
        if (*row == QLatin1String(r.row)) {
            return &r;
        }
    }
    return nullptr;
}

// A parameter and the serial command it sends, or the answer it gets at once.
struct SetRow {
    const char* parameter;
    const char* code;
};

constexpr SetRow kInputSets[] = {{"11", "C05"}, {"12", "C06"}, {"21", "C07"}, {"51", "C08"}};
// Only picture mute exists: NO SHOW on and off. Audio mute has no command here.
constexpr SetRow kMuteSets[] = {{"11", "C0D"}, {"10", "C0E"}, {"30", "C0E"}};
constexpr SetRow kPowerSets[] = {{"1", "C00"}, {"0", "C01"}};

template <size_t N> const char* codeFor(const SetRow (&rows)[N], const QByteArray& parameter) {
    for (const SetRow& r : rows) {
        if (parameter == r.parameter) {
            return r.code;
        }
    }
    return nullptr;
}

// Reply row -> answer, for the CR1 and CRA tables.
struct RowAnswer {
    const char* row;
    const char* answer;
};

constexpr RowAnswer kInputRows[] = {{"1", "11"}, {"2", "12"}, {"3", "21"}, {"4", "51"}};
constexpr RowAnswer kMuteRows[] = {{"00", "30"}, {"01", "11"}, {"02", "21"},
                                   {"03", "31"}, {"80", "30"}, {"FF", "ERR3"}};

template <size_t N>
QByteArray rowAnswer(const RowAnswer (&rows)[N], const std::optional<QString>& row) {
    if (row) {
        for (const RowAnswer& r : rows) {
            if (*row == QLatin1String(r.row)) {
                return r.answer;
            }
        }
    }
    return kFailure;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The answer when an exchange did not bring a reply to read.
QByteArray unanswered(const LineAnswer& a) {
    return a.outcome == LineAnswer::Outcome::Refused ? kUnavailable : kFailure;
}

} // namespace

QByteArray fitName(const QString& name) {
    QString clean;
    for (const QChar c : name) {
        if (c.isPrint()) {
            clean += c;
        }
    }
    QByteArray out = clean.toUtf8();
    if (out.size() > MaxNameBytes) {
        qsizetype cut = MaxNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) {
            --cut; // out[cut] continues a character: cut before that character starts
        }
        out.truncate(cut);
    }
    return out;
}

bool isCommandLine(const QByteArray& line) {
    if (line.size() < 6 || line[0] != '%' || line[1] < '0' || line[1] > '9') {
        return false;
    }
    for (const char c : line) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

Handling handle(const QByteArray& line, const Identity& identity) {
    Handling h;
    // The command is what stands between the class and the separator; the reply repeats it as
    // sent, whatever its length, so that a client can tell which command it answers.
    const qsizetype space = line.indexOf(' ');
    h.header = space < 0 ? line : line.left(space);
    if (line[1] != '1') {
        h.answer = kUndefined; // a Class 1 projector knows no other class
        return h;
    }
    const QByteArray command = h.header.mid(2).toUpper();
    if (command.size() != 4) {
        h.answer = kUndefined; // every command is four characters: any other is none of them
        return h;
    }
    const QByteArray parameter = space == 6 ? line.mid(7) : QByteArray();
    const bool query = parameter == "?";

    struct Fixed {
        const char* command;
        QByteArray answer;
    };
    const Fixed fixed[] = {
        {"INST", QByteArrayLiteral("11 12 21 51")},
        {"NAME", identity.name},
        {"INF1", identity.manufacturer},
        {"INF2", identity.product},
        {"INFO", identity.info},
        {"CLSS", QByteArrayLiteral("1")},
    };
    for (const Fixed& f : fixed) {
        if (command == f.command) {
            h.answer = query ? f.answer : kBadParameter;
            return h;
        }
    }

    struct Queried {
        const char* command;
        QStringList codes;
        Mapping mapping;
    };
    const Queried queried[] = {
        {"POWR", {QStringLiteral("CR0")}, Mapping::Power},
        {"INPT", {QStringLiteral("CR1")}, Mapping::Input},
        {"AVMT", {QStringLiteral("CRA")}, Mapping::Mute},
        {"LAMP", {QStringLiteral("CR3"), QStringLiteral("CR0")}, Mapping::Lamp},
        {"ERST", {QStringLiteral("CR0")}, Mapping::ErrorStatus},
    };
    for (const Queried& q : queried) {
        if (command != q.command) {
            continue;
        }
        if (query) {
            h.codes = q.codes;
            h.mapping = q.mapping;
            return h;
        }
        const char* code = nullptr;
        if (command == "POWR") {
            code = codeFor(kPowerSets, parameter);
        } else if (command == "INPT") {
            code = codeFor(kInputSets, parameter);
        } else if (command == "AVMT") {
            code = codeFor(kMuteSets, parameter);
        }
        if (!code) {
            h.answer = kBadParameter;
            return h;
        }
        h.codes = QStringList{QLatin1String(code)};
        h.mapping = Mapping::Set;
        return h;
    }
    h.answer = kUndefined;
    return h;
}

QByteArray powerAnswer(const std::optional<QString>& row) {
    const PowerRow* r = powerRow(row);
    return r ? QByteArray(r->power) : kFailure;
}

QByteArray errorStatusAnswer(const std::optional<QString>& row) {
    const PowerRow* r = powerRow(row);
    return r ? QByteArray(r->errors) : kFailure;
}

QByteArray answerFrom(Mapping mapping, const QList<LineAnswer>& answers) {
    using O = LineAnswer::Outcome;
    if (answers.isEmpty()) {
        return kFailure;
    }
    const LineAnswer& first = answers.front();
    if (mapping == Mapping::Set) {
        switch (first.outcome) {
        case O::Acknowledged:
            return kOk;
        case O::Refused:
            return kUnavailable;
        case O::Answered:
        case O::NoReply:
        case O::LineDown:
            break;
        }
        return kFailure;
    }
    if (first.outcome != O::Answered) {
        return unanswered(first);
    }
    switch (mapping) {
    case Mapping::Power:
        return powerAnswer(first.row);
    case Mapping::ErrorStatus:
        return errorStatusAnswer(first.row);
    case Mapping::Input:
        return rowAnswer(kInputRows, first.row);
    case Mapping::Mute:
        return rowAnswer(kMuteRows, first.row);
    case Mapping::Lamp: {
        if (!first.lampHours || *first.lampHours < 0) {
            return kFailure;
        }
        if (answers.size() < 2 || answers[1].outcome != O::Answered) {
            return answers.size() < 2 ? kFailure : unanswered(answers[1]);
        }
        const PowerRow* r = powerRow(answers[1].row);
        if (!r) {
            return kFailure;
        }
        // Lit while on or warming up; a power failure counts as dark.
        const QByteArray power(r->power);
        const char* lit = power == "1" || power == "3" ? "1" : "0";
        return QByteArray::number(*first.lampHours) + ' ' + lit;
    }
    case Mapping::Set:
        break;
    }
    return kFailure;
}

QByteArray replyLine(const QByteArray& header, const QByteArray& answer) {
    return header + '=' + answer + '\r';
}

QByteArray greeting(const std::optional<QByteArray>& random) {
    return random ? QByteArrayLiteral("PJLINK 1 ") + *random + '\r'
                  : QByteArrayLiteral("PJLINK 0\r");
}

QByteArray authFailure() {
    return QByteArrayLiteral("PJLINK ERRA\r");
}

QByteArray newRandom() {
    return QByteArray::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, '0');
}

QByteArray digest(const QByteArray& random, const QByteArray& password) {
    return QCryptographicHash::hash(random + password, QCryptographicHash::Md5).toHex();
}

bool hasDigestShape(const QByteArray& line) {
    if (line.size() <= DigestChars) {
        return false;
    }
    for (qsizetype i = 0; i < DigestChars; ++i) {
        if (!isHex(line[i])) {
            return false;
        }
    }
    return true;
}

bool startsWithDigest(const QByteArray& line, const QByteArray& expected) {
    if (line.size() < DigestChars || expected.size() != DigestChars) {
        return false;
    }
    // Every digit compared whatever the first difference, so the time taken tells nothing.
    const QByteArray given = line.left(DigestChars).toLower();
    const QByteArray wanted = expected.toLower();
    int difference = 0;
    for (qsizetype i = 0; i < DigestChars; ++i) {
        difference |= given[i] ^ wanted[i];
    }
    return difference == 0;
}

} // namespace pjlink
