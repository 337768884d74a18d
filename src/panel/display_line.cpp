#include "panel/display_line.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

DisplayLine::DisplayLine(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QRect DisplayLine::textRect() const {
    // The same inset as QLabel's: the margin, and half an "x" inside a frame.
    QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    int inset = indent();
    if (inset < 0 && frameWidth() > 0) {
        inset = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - margin();
    }
    if (inset > 0) {
        const Qt::Alignment align = QStyle::visualAlignment(Qt::LeftToRight, alignment());
        if (align & Qt::AlignLeft) {
            r.setLeft(r.left() + inset);
        }
        if (align & Qt::AlignRight) {
            r.setRight(r.right() - inset);
        }
        if (align & Qt::AlignTop) {
            r.setTop(r.top() + inset);
        }
        if (align & Qt::AlignBottom) {
            r.setBottom(r.bottom() - inset);
        }
    }
    return r;
}

QString DisplayLine::visibleText() const {
    // No character is narrower than one pixel, so this many characters always reach past the
    // right edge; the rest is never seen.
    return text().left(qMax(0, textRect().width()) + 1);
}

void DisplayLine::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    drawFrame(&painter);
    QStyleOption option;
    option.initFrom(this);
    const int flags = int(QStyle::visualAlignment(Qt::LeftToRight, alignment())) |
                      Qt::TextForceLeftToRight | Qt::TextSingleLine;
    style()->drawItemText(&painter, textRect(), flags, option.palette, isEnabled(), visibleText(),
                          foregroundRole());
}
