#include "panel/command_button.h"

#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QList>
#include <QRect>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QTextLayout>
#include <QTextOption>
#include <qdrawutil.h>

#include <algorithm>

CommandButton::CommandButton(QWidget* parent) : QPushButton(parent) {}

QStringList CommandButton::captionLines(const QString& text, const QFont& font, int width,
                                        QPaintDevice* device) {
    QString laidOut = text;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    if (width <= 0 || (!laidOut.contains(QChar::LineSeparator) &&
                       QFontMetricsF(font, device).horizontalAdvance(laidOut) <= width)) {
        return {text};
    }

    QTextLayout layout(laidOut, font, device);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        QString part = laidOut.mid(line.textStart(), line.textLength());
        // The space or separator a line breaks at stays at its end; centring ignores it.
        while (!part.isEmpty() && (part.back().isSpace() || part.back() == QChar::LineSeparator)) {
            part.chop(1);
        }
        lines << part;
    }
    layout.endLayout();
    return lines.size() > 1 ? lines : QStringList{text};
}

void CommandButton::paintEvent(QPaintEvent* /*event*/) {
    QStyleOptionButton option;
    initStyleOption(&option);
    QStylePainter painter(this);

    // The face is a solid fill in exactly the button's own colour (styles such as Fusion would
    // paint a gradient lightened from it), inside a two-pixel edge from the palette's 3D colours:
    // raised at rest, sunken while the button is held down.
    const QBrush face = option.palette.brush(QPalette::Button);
    qDrawWinButton(&painter, option.rect, option.palette,
                   option.state & (QStyle::State_Sunken | QStyle::State_On), &face);

    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    const QStringList lines = captionLines(option.text, font(), area.width(), this);
    if (lines.size() <= 1) {
        // The style's own label, where QPushButton puts it.
        QStyleOptionButton label = option;
        label.rect = area;
        painter.drawControl(QStyle::CE_PushButtonLabel, label);
        drawFocus(painter, option);
        return;
    }

    // The lines' ink, each relative to its own baseline; a line without ink keeps a text line's
    // height so that blank lines still take their place.
    const QFontMetrics metrics = fontMetrics();
    QList<QRect> inks;
    for (const QString& line : lines) {
        const QRect ink = metrics.tightBoundingRect(line);
        inks << (ink.isEmpty() ? QRect(0, -metrics.ascent(), 1, metrics.height()) : ink);
    }
    // Lines sit the font's line spacing apart where the button is tall enough. In a low button
    // they close up until the whole caption fits, but never so far that two lines' ink overlaps:
    // at twelve pixels a face needs 26 for two lines, and a 25-pixel button must still show both.
    int closest = 1;
    for (qsizetype i = 0; i + 1 < inks.size(); ++i) {
        closest = std::max(closest, inks[i].bottom() - inks[i + 1].top() + 1);
    }
    const auto blockHeight = [&](int pitch) {
        return int(lines.size() - 1) * pitch + inks.back().bottom() - inks.front().top() + 1;
    };
    int pitch = std::max(metrics.lineSpacing(), closest);
    while (pitch > closest && blockHeight(pitch) > area.height()) {
        --pitch;
    }

    // QPushButton's label drawn line by line: the caption in the button's text colour, centred,
    // then the focus rectangle.
    painter.save();
    painter.setClipRect(area);
    int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextShowMnemonic;
    if (!style()->styleHint(QStyle::SH_UnderlineShortcut, &option, this)) {
        flags |= Qt::TextHideMnemonic;
    }
    int baseline = area.top() + (area.height() - blockHeight(pitch)) / 2 - inks.front().top();
    for (const QString& line : lines) {
        const QRect box(area.left(), baseline - metrics.ascent(), area.width(), metrics.height());
        style()->drawItemText(&painter, box, flags, option.palette,
                              option.state & QStyle::State_Enabled, line, QPalette::ButtonText);
        baseline += pitch;
    }
    painter.restore();
    drawFocus(painter, option);
}

void CommandButton::drawFocus(QStylePainter& painter, const QStyleOptionButton& option) const {
    if (option.state & QStyle::State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.rect = style()->subElementRect(QStyle::SE_PushButtonFocusRect, &option, this);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}
