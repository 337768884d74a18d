// Reply decoding for any last command and any reply. The first byte picks the command: its low
// nibble one of the nine status queries (0 to 8) or an arbitrary command taken from the input
// (9 to 15); bit 4 takes a non-empty command prefix from the input as well; bit 5 reads the reply
// as UTF-16 instead of Latin-1; bit 6 takes the PressVal before the decode from the input. The
// rest is the reply, rendered as the received line shows it and decoded from there.
//
// Beyond no crash and no undefined behaviour: only a query's reply changes the status line or
// PressVal, a reading is short (but for CR9, which shows the transcript itself), and only the
// pressure reading can fail, with a short message and the status line left alone. The readings as
// values agree with the status line: a table row exactly when the line shows one, the pressure
// figure exactly when the line shows it.
#include "core/readings.h"
#include "core/reply_decoder.h"
#include "core/transcript.h"
#include "fuzz_check.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::array<const char*, 9> kQueries{"CR0", "CR1", "CR4",         "CR3", "CR6",
                                              "CRA", "CR9", "CR PRESSURE", "CR7"};

// Longest reading other than CR9's: the temperatures, labels and three runs of the transcript.
constexpr qsizetype kLongestReading = 64;
constexpr qsizetype kLongestFailure = 256;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A length byte, then that many bytes (fewer where the input ends).
    QString latin1Run() {
        const size_t n = std::min<size_t>(byte(), size_ - pos_);
        const QString s =
            QString::fromLatin1(reinterpret_cast<const char*>(data_ + pos_), qsizetype(n));
        pos_ += n;
        return s;
    }
    QString restLatin1() {
        const QString s = QString::fromLatin1(reinterpret_cast<const char*>(data_ + pos_),
                                              qsizetype(size_ - pos_));
        pos_ = size_;
        return s;
    }
    QString restUtf16() {
        std::vector<char16_t> units((size_ - pos_) / 2);
        if (!units.empty()) {
            std::memcpy(units.data(), data_ + pos_, units.size() * sizeof(char16_t));
        }
        pos_ = size_;
        return QString(reinterpret_cast<const QChar*>(units.data()), qsizetype(units.size()));
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// code: the query answered with no prefix, else nothing (the values then read as for no query).
void checkValues(const QString& reply, const ReplyReading& r, const char* code) {
    const QString query = code ? QLatin1String(code) : QStringLiteral("C00");
    const StatusValues v = readStatusValues(query, reply);
    const bool table = QStringList{"CR0", "CR1", "CR4", "CRA", "CR7"}.contains(query);
    FUZZ_CHECK(v.row.has_value() == (table && r.status.has_value()));
    if (v.row) {
        FUZZ_CHECK(v.row->size() <= 2);
    }
    if (query == QLatin1String("CR PRESSURE")) {
        FUZZ_CHECK(v.pressureHpa.has_value() == r.status.has_value());
        FUZZ_CHECK(!v.pressureHpa || *v.pressureHpa == r.pressVal);
    }
    for (const auto& text : v.temperatureText) {
        FUZZ_CHECK(!text || text->size() <= 5);
    }
    FUZZ_CHECK(!v.lampHours || *v.lampHours >= 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t choice = in.byte();
    const QString prefix = (choice & 0x10) ? in.latin1Run() : QString();
    QString sendCmd;
    const unsigned pick = choice & 0x0F;
    if (pick < kQueries.size()) {
        sendCmd = prefix + QLatin1String(kQueries[pick]) + QLatin1Char('\r');
    } else {
        sendCmd = in.latin1Run();
    }
    qint16 pressVal = 0;
    if (choice & 0x40) {
        const uint8_t hi = in.byte();
        pressVal = qint16(uint16_t(hi << 8 | in.byte()));
    }
    const QString reply = (choice & 0x20) ? in.restUtf16() : in.restLatin1();
    const QString t = renderTranscript(reply);

    const ReplyReading r = decodeReply(sendCmd, prefix, t, pressVal);
    checkValues(reply, r, pick < kQueries.size() && prefix.isEmpty() ? kQueries[pick] : nullptr);

    // Which query the command answers, found independently of the decoder.
    const char* query = nullptr;
    for (const char* q : kQueries) {
        if (sendCmd == prefix + QLatin1String(q) + QLatin1Char('\r')) {
            query = q;
        }
    }
    const bool isPressure = query && std::strcmp(query, "CR PRESSURE") == 0;

    if (!query) {
        FUZZ_CHECK(!r.status && !r.failure && r.pressVal == pressVal);
        return 0;
    }
    if (!isPressure) {
        FUZZ_CHECK(!r.failure && r.pressVal == pressVal);
    }
    if (r.failure) {
        FUZZ_CHECK(!r.status);
        FUZZ_CHECK(!r.failure->isEmpty() && r.failure->size() <= kLongestFailure);
    }
    if (!r.status) {
        return 0;
    }
    if (std::strcmp(query, "CR9") == 0) {
        FUZZ_CHECK(*r.status == t);
    } else {
        FUZZ_CHECK(r.status->size() <= kLongestReading);
    }
    if (isPressure) {
        FUZZ_CHECK(*r.status == QString::number(r.pressVal) + QLatin1String(" hPa"));
        FUZZ_CHECK(r.pressVal >= -6866 && r.pressVal <= 7077);
    }
    return 0;
}
