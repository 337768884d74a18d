#pragma once

#include <QPushButton>
#include <QString>
#include <QStringList>

class QFont;
class QPaintDevice;
class QPaintEvent;
class QStyleOptionButton;
class QStylePainter;

// A command button whose caption wraps onto several centred lines when it is wider than the
// button: between words where it can, anywhere inside a word (or a run of Japanese text) that is
// wider than the button on its own. A caption that fits is drawn exactly as QPushButton draws it.
// The face is a flat fill in the button's own colour (QPalette::Button) in a raised edge.
class CommandButton : public QPushButton {
    Q_OBJECT

public:
    explicit CommandButton(QWidget* parent = nullptr);

    // The lines `text` is drawn on in `width` pixels: the text itself when it fits on one line.
    // `device` gives the resolution the font is measured at.
    static QStringList captionLines(const QString& text, const QFont& font, int width,
                                    QPaintDevice* device = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawFocus(QStylePainter& painter, const QStyleOptionButton& option) const;
};
