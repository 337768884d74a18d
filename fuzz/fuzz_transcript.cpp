// Transcript rendering over arbitrary text: the bytes once as Latin-1 (what the serial control
// delivers) and once as UTF-16 (any QString at all, lone surrogates included). Every character
// must give exactly its one token, the transcript must start with a space and hold printable
// ASCII only, and printable text must keep the 1 + 2n layout the reply decoder cuts by position.
#include "core/transcript.h"
#include "fuzz_check.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

QLatin1String tokenFor(char16_t c, QChar& self) {
    switch (c) {
    case 6:
        return QLatin1String("ACK ");
    case 20:
        return QLatin1String("&");
    case 13:
        return QLatin1String("CR ");
    case 10:
        return QLatin1String("LF ");
    default:
        break;
    }
    if (c >= u' ' && c <= u'z') {
        self = QChar(c);
        return QLatin1String();
    }
    return QLatin1String("? ");
}

void check(const QString& text) {
    const QString t = renderTranscript(text);
    FUZZ_CHECK(!t.isEmpty() && t.front() == QLatin1Char(' '));
    FUZZ_CHECK(t.size() >= 1 + text.size() && t.size() <= 1 + 4 * text.size());

    bool printable = true;
    qsizetype pos = 1;
    for (const QChar ch : text) {
        QChar self;
        const QLatin1String token = tokenFor(ch.unicode(), self);
        if (token.isNull()) {
            FUZZ_CHECK(pos + 2 <= t.size());
            FUZZ_CHECK(t.at(pos) == self && t.at(pos + 1) == QLatin1Char(' '));
            pos += 2;
        } else {
            printable = false;
            FUZZ_CHECK(QStringView(t).mid(pos, token.size()) == token);
            pos += token.size();
        }
    }
    FUZZ_CHECK(pos == t.size());
    for (const QChar ch : t) {
        FUZZ_CHECK(ch.unicode() >= u' ' && ch.unicode() <= u'z');
    }
    if (printable) {
        FUZZ_CHECK(t.size() == 1 + 2 * text.size());
        for (qsizetype k = 1; k <= text.size(); ++k) {
            FUZZ_CHECK(t.at(2 * k - 1) == text.at(k - 1) && t.at(2 * k) == QLatin1Char(' '));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto n = qsizetype(size);
    check(QString::fromLatin1(reinterpret_cast<const char*>(data), n));

    std::vector<char16_t> units(size / 2);
    if (!units.empty()) {
        std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    }
    check(QString(reinterpret_cast<const QChar*>(units.data()), qsizetype(units.size())));
    return 0;
}
