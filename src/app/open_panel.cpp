#include "app/open_panel.h"

#include "panel/app_icon.h"
#include "panel/first_paint.h"
#include "panel/fonts.h"
#include "panel/form1.h"
#include "serial/comm_port.h"
#include "serial/port_devices.h"

#include <QApplication>
#include <cstdio>

#ifdef RMQ27_WITH_SIMULATOR
#include "sim/start_simulator.h"
#endif

namespace {

// What stands behind COM1 with --simulate: the projector's device, or why there is none.
struct Simulated {
    QObject* projector = nullptr;
    QString device;
    std::optional<QString> failure;
};

Simulated simulate(QObject* owner) {
#ifdef RMQ27_WITH_SIMULATOR
    SimulatorStart start = startSimulatedProjector(owner);
    return {start.projector, start.device, start.failure};
#else
    Q_UNUSED(owner);
    return {nullptr, {}, QStringLiteral("this build has no simulated projector")};
#endif
}

} // namespace

std::unique_ptr<Form1> openPanel(const StartOptions& options) {
    // The devices behind COM1 and COM2: as given, else as remembered, else a USB adapter or the
    // default. Each device that opens is remembered for the next start, but never a simulated
    // projector's pseudo-terminal, which is new at every run.
    const PortDeviceChoice choice;
    // The system's list of ports is slow to read (it asks udev about every serial device), and
    // before the window shows only the search for a USB adapter needs it.
    const bool searchUsb =
        options.com1.isEmpty() && !options.simulate && choice.remembered(1).isEmpty();
    const QList<SerialPortEntry> ports =
        searchUsb ? availableSerialPorts() : QList<SerialPortEntry>{};
    Form1::PortDevices devices{choice.choose(1, options.com1, ports),
                               choice.choose(2, options.com2, ports)};
    auto projectorOwner = std::make_unique<QObject>();
    Simulated simulated;
    if (options.simulate) {
        simulated = simulate(projectorOwner.get());
        devices.com1 = simulated.failure ? QStringLiteral("simulated projector") : simulated.device;
    }
    auto form = std::make_unique<Form1>(devices, Form1::TextBox::Later);
    auto* port = form->findChild<CommPort*>(QStringLiteral("MSComm1"));
    Q_ASSERT(port);
    port->setPassword(options.password);
    if (simulated.failure) {
        // The operator asked for a simulated projector: no real device may stand in for it, so
        // COM1 stays closed and its one warning says why.
        port->setUnavailable(1, QStringLiteral("%1, so COM1 stays closed; start the panel again "
                                               "once pseudo-terminals can be opened, or name the "
                                               "projector's device with --com1 DEVICE")
                                    .arg(*simulated.failure));
    } else if (simulated.projector) {
        std::fprintf(stderr, "rmq27-panel: COM1 is a simulated projector on %s\n",
                     qPrintable(devices.com1));
        projectorOwner.release()->setParent(form.get());
    }
    form->describePortOptions(ports);
    form->rememberDevices(choice, options.simulate ? 1 : 0);
    if (!options.log.isEmpty()) {
        form->setLog(options.log);
    }
    form->formLoad();
    form->show();
    // The window is on the screen. Its first frame needs the faces, and reads them as it paints,
    // as any window does: their substitutes are chosen now, before the event loop draws it.
    installFontSubstitutions();
    // What the first frame does not show: the free-text line (below the start height, and made
    // with the faces), the devices' descriptions in the options' tooltips (they name the device
    // already) and the window's icon, drawn at eight sizes.
    afterFirstPaint(form.get(), [window = form.get(), searchUsb] {
        window->addTextBox();
        QApplication::setWindowIcon(appIcon());
        if (!searchUsb) {
            window->describePortOptions(availableSerialPorts());
        }
    });
    return form;
}
