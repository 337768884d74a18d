#include "panel/failure_guard.h"

#include <QMessageBox>
#include <QWidget>

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
        it = (it.value().isNull() || !it.value()->isVisible()) ? openBoxes_.erase(it)
                                                               : std::next(it);
    }
    if (openBoxes_.contains(description)) {
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, owner_ ? owner_->windowTitle() : QString(),
                                description, QMessageBox::Ok, owner_);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    openBoxes_.insert(description, box);
    box->open();
}
