#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QApplication;

// Qt's standard options on the command line (-platform NAME, -display DISPLAY, -style STYLE,
// -reverse, ...): taken out of the arguments so that the program's own parser never sees them,
// and left in argv for QApplication, as every Qt program takes them.
struct [[nodiscard]] QtOptions {
    QStringList rest;             // the arguments without Qt's options
    QString platform;             // -platform's value, if given
    QString display;              // -display's value, if given
    bool style = false;           // -style was given: the user's style, not ours
    std::optional<QString> error; // a Qt option without its value
};
QtOptions takeQtOptions(const QStringList& arguments, const QStringList& ownValueOptions);

// QApplication on the platform and display the command line and environment name. Where the
// platform cannot be opened (a display no server answers on, a stale login's DISPLAY), the
// program ends with exit code 1 and one line naming the display, before anything else opens,
// instead of Qt's abort.
std::unique_ptr<QApplication> openApplication(int& argc, char* argv[], const QString& display);
