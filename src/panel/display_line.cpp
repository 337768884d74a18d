#include "panel/display_line.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace {

// A display line is read out by what it shows: its name is the visible beginning of its text,
// so a received line of 65,000 characters is not sent whole to assistive technology at every
// piece that arrives.
class DisplayLineAccessible : public QAccessibleWidget {
public:
    explicit DisplayLineAccessible(DisplayLine* line)
        : QAccessibleWidget(line, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        const auto* line = static_cast<const DisplayLine*>(widget());
        if (kind == QAccessible::Name && line->accessibleName().isEmpty()) {
            return line->visibleText();
        }
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* displayLineFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("DisplayLine")) {
        if (auto* line = qobject_cast<DisplayLine*>(object)) {
            return new DisplayLineAccessible(line);
        }
    }
    return nullptr;
}

} // namespace

DisplayLine::DisplayLine(QWidget* parent) : QLabel(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(displayLineFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
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
