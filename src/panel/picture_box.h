#pragma once

#include <QLabel>

class QMouseEvent;

// The picture in the panel's top-right corner: shows its pixmap at natural size, anchored
// top-left and never stretched, and reports a double-click (it opens the full service view).
class PictureBox : public QLabel {
    Q_OBJECT

public:
    explicit PictureBox(QWidget* parent = nullptr);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
