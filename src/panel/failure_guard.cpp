#include "panel/failure_guard.h"

#include <QEvent>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

namespace {

// Marks a box made while its window was not yet on the screen, until it opens.
constexpr char kWaitingToOpen[] = "rmq27WaitingToOpen";

// Opens a box once its window shows. A dialog places itself over its parent as it opens; before
// the window is on the screen (a --log that fails as the panel starts), that is where the window
// was made, the screen's top-left corner, not where it shows.
class OpenWhenShown : public QObject {
public:
    OpenWhenShown(QWidget* window, QMessageBox* box) : QObject(box), window_(window), box_(box) {
        box->setProperty(kWaitingToOpen, true);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Show) {
            window_->removeEventFilter(this);
            // Opened from the event loop, once the window has been placed and shown.
            QTimer::singleShot(0, box_, [box = box_] {
                box->setProperty(kWaitingToOpen, false);
                box->open();
            });
            deleteLater();
        }
        return false;
    }

private:
    QWidget* window_;
    QMessageBox* box_;
};

} // namespace

void FailureGuard::report(const QString& description) noexcept {
    try {
        if (observer_) {
            observer_(description);
        }
        if (presenter_) {
            presenter_(description);
        } else {
            showBox(description);
        }
    } catch (...) {
        // Nothing may escape into the event loop; a box that cannot be shown is dropped.
    }
}

void FailureGuard::showBox(const QString& description) {
    for (auto it = openBoxes_.begin(); it != openBoxes_.end();) {
        const bool gone = it.value().isNull() || (!it.value()->isVisible() &&
                                                  !it.value()->property(kWaitingToOpen).toBool());
        it = gone ? openBoxes_.erase(it) : std::next(it);
    }
    if (openBoxes_.contains(description)) {
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, owner_ ? owner_->windowTitle() : QString(),
                                description, QMessageBox::Ok, owner_);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    openBoxes_.insert(description, box);
    if (owner_ && !owner_->isVisible()) {
        new OpenWhenShown(owner_->window(), box);
        return;
    }
    box->open();
}
