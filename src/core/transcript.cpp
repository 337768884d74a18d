#include "core/transcript.h"

QString renderTranscript(const QString& text) {
    QString out;
    out.reserve(1 + 2 * text.size() + 16);
    out += QLatin1Char(' ');
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c == 6) {
            out += QLatin1String("ACK ");
        } else if (c == 20) {
            out += QLatin1Char('&');
        } else if (c == 13) {
            out += QLatin1String("CR ");
        } else if (c == 10) {
            out += QLatin1String("LF ");
        } else if (c >= u' ' && c <= u'z') {
            out += ch;
            out += QLatin1Char(' ');
        } else {
            out += QLatin1String("? ");
        }
    }
    return out;
}
