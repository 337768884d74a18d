#pragma once

#include "core/failure.h"

#include <QHash>
#include <QPointer>
#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

// The one place where failures are caught. Every entry from the event loop (slot, tick, event
// override) runs its work through run(): a StepFailure ends that work where it was thrown and
// the operator sees one warning box (the window title, warning icon, OK, the description). The
// box is opened window-modal without a nested event loop, and the same description is not shown
// again while its box is still open, so a failing timer cannot stack up boxes.
class FailureGuard {
public:
    using Presenter = std::function<void(const QString& description)>;

    explicit FailureGuard(QWidget* owner) : owner_(owner) {}

    template <typename Work> void run(Work&& work) noexcept {
        try {
            work();
        } catch (const StepFailure& failure) {
            report(failure.description());
        } catch (const std::exception& failure) {
            report(QString::fromLocal8Bit(failure.what()));
        }
    }

    void report(const QString& description) noexcept;

    // Sees every description reported, box or not (the log of the exchanges).
    void setObserver(Presenter observer) { observer_ = std::move(observer); }
    // Test seam: receives each description in place of the warning box.
    void setPresenter(Presenter presenter) { presenter_ = std::move(presenter); }

private:
    void showBox(const QString& description);

    QWidget* owner_;
    Presenter presenter_;
    Presenter observer_;
    QHash<QString, QPointer<QMessageBox>> openBoxes_;
};
