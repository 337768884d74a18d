#include "app/command_line.h"
#include "app/open_panel.h"
#include "app/platform.h"
#include "core/password_file.h"
#include "panel/form1.h"

#include <QApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char* argv[]) {
#ifdef SIGPIPE
    // A log or standard error whose reader has gone is a failed write and one warning, not a
    // signal that ends the panel.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Parsed before QApplication exists, so --help, --version and usage errors need no display.
    StartOptions options = parseCommandLine(argc, argv);
    if (options.exitCode) {
        return *options.exitCode;
    }
    if (const auto done = runWithoutWindow(options)) {
        return *done;
    }
    if (!options.passwordFile.isEmpty()) {
        // A password file others may read is refused before any window opens: the one line on
        // standard error says which and how to mend it.
        const Result<QByteArray> password = readPasswordFile(options.passwordFile);
        if (!password) {
            std::fprintf(stderr, "rmq27-panel: %s\n",
                         qPrintable(password.failure().text(
                             shellRemedyWords(QStringLiteral("rmq27-panel")))));
            return 1;
        }
        options.password = password.value();
    }
    const std::unique_ptr<QApplication> app = openApplication(argc, argv, options.qtDisplay);
    // One look on every platform, unless the user asks for a style; command buttons paint their
    // own faces in their own colours.
    if (!options.qtStyle) {
        QApplication::setStyle(QStringLiteral("Fusion"));
    }
    // Names the installed menu entry, so a desktop shell finds the icon and name for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.rmq27.panel"));
    const std::unique_ptr<Form1> form = openPanel(options);
    return QApplication::exec();
}
