#include "panel/accessibility.h"

#include "core/bindings.h"
#include "panel/display_line.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QWidget>

namespace {

QString waitsFor(int replyMs) {
    return QStringLiteral("; waits up to %1 s for the reply").arg(replyMs / 1000.0);
}

} // namespace

QString commandSuffix(const QString& control) {
    for (const OneShotBinding& binding : oneShotBindings()) {
        if (control == QLatin1String(binding.control)) {
            QString suffix = QStringLiteral("; sends %1").arg(QLatin1String(binding.code));
            if (const auto window = replyWindowSetBy(binding.kind)) {
                suffix += waitsFor(window->replyMs);
            }
            return suffix;
        }
    }
    for (const HoldBinding& hold : holdBindings()) {
        if (control == QLatin1String(hold.control)) {
            return QStringLiteral("; sends %1; repeats while held").arg(QLatin1String(hold.code));
        }
    }
    if (control == QLatin1String("Command95")) {
        return waitsFor(FreeTextReplyWindowMs);
    }
    return {};
}

void describeCommands(QWidget& window) {
    for (QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        const QString suffix = commandSuffix(button->objectName());
        if (!suffix.isEmpty()) {
            button->setAccessibleDescription(button->accessibleDescription() + suffix);
        }
    }
}

void announceReading(DisplayLine& line, const QString& reading, bool firstOfReply) {
    if (line.text() != reading) {
        // A label announces a change of its own text (its name) by itself.
        line.setText(reading);
        return;
    }
    if (!firstOfReply) {
        return;
    }
    QAccessibleEvent event(&line, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}
