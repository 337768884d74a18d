#include "core/failure.h"

RemedyWords panelRemedyWords() {
    return {QStringLiteral("choose the port again"),
            QStringLiteral("choose the port again to reconnect"),
            QStringLiteral("name the device with %1 DEVICE"), QStringLiteral("restart the panel")};
}

RemedyWords shellRemedyWords(const QString& program) {
    return {QStringLiteral("try again"), QStringLiteral("try again"),
            QStringLiteral("name the device with %1 DEVICE"),
            QStringLiteral("run %1 again").arg(program)};
}

QString Failure::text(const RemedyWords& words) const {
    QString whole = description;
    if (!advice.isEmpty()) {
        whole += QStringLiteral("; ") + advice;
    }
    QString remedyText;
    switch (remedy) {
    case Remedy::None:
        return whole;
    case Remedy::Reopen:
        remedyText = words.reopen;
        break;
    case Remedy::Reconnect:
        remedyText = words.reconnect;
        break;
    case Remedy::NameDevice:
        remedyText = words.nameDevice.arg(option);
        break;
    case Remedy::Restart:
        remedyText = words.restart;
        break;
    }
    if (remedyText.isEmpty()) {
        return whole;
    }
    return whole + (advice.isEmpty() ? QStringLiteral("; ") : QStringLiteral(", then ")) +
           remedyText;
}
