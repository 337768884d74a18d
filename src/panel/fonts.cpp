#include "panel/fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QStringList>

namespace {

// Every character the panel's captions can show: printable ASCII, the four arrows and the two
// Japanese captions of the data-view button.
const QString& panelText() {
    static const QString text = [] {
        QString s;
        for (char16_t c = 0x20; c < 0x7F; ++c) {
            s += QChar(c);
        }
        s += QStringLiteral(u"←→↑↓データを表示するデータを表示しない");
        return s;
    }();
    return text;
}

QFont exactFont(const QString& family) {
    QFont font(family);
    // Without this the check would pass on glyphs borrowed from other faces.
    font.setStyleStrategy(QFont::NoFontMerging);
    return font;
}

// Half-width Latin all of one advance: how fixed-pitch Gothic faces show on systems where
// fontconfig calls them "dual" spacing rather than monospaced.
bool isFixedPitch(const QString& family) {
    const QFontMetricsF metrics(exactFont(family));
    const qreal narrow = metrics.horizontalAdvance(QLatin1Char('i'));
    return narrow > 0 && narrow == metrics.horizontalAdvance(QLatin1Char('M')) &&
           narrow == metrics.horizontalAdvance(QLatin1Char('0'));
}

QStringList chooseSubstitutes(const QStringList& preferred, bool fixedPitch) {
    QStringList chosen;
    for (const QString& family : preferred) {
        if (faceRendersPanelText(family)) {
            chosen << family;
        }
    }
    if (!chosen.isEmpty()) {
        return chosen;
    }
    // None of the known faces: take any installed Japanese face of the right pitch, and failing
    // that any face that renders the captions at all.
    QStringList otherPitch;
    for (const QString& family : QFontDatabase::families(QFontDatabase::Japanese)) {
        if (!faceRendersPanelText(family)) {
            continue;
        }
        (isFixedPitch(family) == fixedPitch ? chosen : otherPitch) << family;
    }
    return chosen + otherPitch;
}

} // namespace

bool faceRendersPanelText(const QString& family) {
    if (!QFontDatabase::families().contains(family, Qt::CaseInsensitive)) {
        return false;
    }
    const QFont font = exactFont(family);
    if (QFontInfo(font).family().compare(family, Qt::CaseInsensitive) != 0) {
        return false;
    }
    const QFontMetrics metrics(font);
    for (const char32_t c : panelText().toUcs4()) {
        if (!metrics.inFontUcs4(c)) {
            return false;
        }
    }
    return true;
}

void installFontSubstitutions() {
    const QStringList fixed = chooseSubstitutes(
        {QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans Mono CJK JP"),
         QStringLiteral("TakaoGothic"), QStringLiteral("VL Gothic"), QStringLiteral("MS Gothic")},
        true);
    const QStringList proportional =
        chooseSubstitutes({QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP"),
                           QStringLiteral("IPAexGothic"), QStringLiteral("TakaoPGothic"),
                           QStringLiteral("VL PGothic"), QStringLiteral("MS PGothic")},
                          false);
    if (!fixed.isEmpty()) {
        QFont::insertSubstitutions(kGothicFace, fixed);
    }
    if (!proportional.isEmpty()) {
        QFont::insertSubstitutions(kPGothicFace, proportional);
    }
}
