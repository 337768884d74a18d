#include "app/command_line.h"
#include "panel/app_icon.h"
#include "panel/fonts.h"
#include "panel/form1.h"
#include "sim/sim_projector.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
    const StartOptions options = parseCommandLine(argc, argv);
    if (options.exitCode) {
        return *options.exitCode;
    }
    QApplication app(argc, argv);
    // Fusion draws every button in its own colour on every platform.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setWindowIcon(appIcon());
    // Names the installed menu entry, so a desktop shell finds the icon and name for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.rmq27.panel"));
    installFontSubstitutions();

    Form1::PortDevices devices{options.com1, options.com2};
    SimProjector* projector = nullptr;
    if (options.simulate) {
        projector = new SimProjector(SimProjector::FaultMode::None, &app);
        devices.com1 = projector->devicePath();
        std::fprintf(stderr, "rmq27-panel: COM1 is a simulated projector on %s\n",
                     qPrintable(devices.com1));
    }
    Form1 form(devices);
    form.formLoad();
    form.show();
    return app.exec();
}
