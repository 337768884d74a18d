#pragma once

#include <QLabel>

// One of the three display lines: a one-line, plain-text label whose text is cut at its width,
// never wrapped or scrolled. It keeps the whole text (the reply decoder reads the received line
// back), but paints only the beginning that can be seen, so a received line of 65,000
// characters costs no more to draw than a short one. Text that fits is drawn exactly as a
// QLabel draws it; "&" is always drawn as itself.
class DisplayLine : public QLabel {
    Q_OBJECT
public:
    explicit DisplayLine(QWidget* parent = nullptr);

    // The size never depends on the text.
    QSize sizeHint() const override { return size(); }
    QSize minimumSizeHint() const override { return size(); }

    // The part of the text that can reach the visible area.
    QString visibleText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect textRect() const;
};
