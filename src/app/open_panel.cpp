#include "app/open_panel.h"

#include "core/failure.h"
#include "panel/app_icon.h"
#include "panel/first_paint.h"
#include "panel/form1.h"
#include "serial/comm_port.h"
#include "serial/port_devices.h"

#include <QApplication>
#include <cstdio>

#ifdef RMQ27_WITH_SIMULATOR
#include "sim/sim_projector.h"
#endif

namespace {

// Starts the simulated projector, owned by `owner` from then on; its device, or an empty string
// with `failure` saying why there is none.
QString startSimulator(std::unique_ptr<QObject>& owner, QString& failure) {
#ifdef RMQ27_WITH_SIMULATOR
    try {
        auto projector = std::make_unique<SimProjector>(SimProjector::FaultMode::None);
        const QString device = projector->devicePath();
        owner = std::move(projector);
        return device;
    } catch (const PanelFailure& f) {
        failure = f.description();
    }
#else
    failure = QStringLiteral("this build has no simulated projector");
#endif
    return {};
}

} // namespace

std::unique_ptr<Form1> openPanel(const StartOptions& options) {
    Form1::PortDevices devices{options.com1, options.com2};
    std::unique_ptr<QObject> projector;
    QString simulatorFailure;
    if (options.simulate) {
        QString why;
        devices.com1 = startSimulator(projector, why);
        if (projector) {
            std::fprintf(stderr, "rmq27-panel: COM1 is a simulated projector on %s\n",
                         qPrintable(devices.com1));
        } else {
            simulatorFailure =
                QStringLiteral("The simulated projector cannot start (%1), so COM1 is the device "
                               "it would be without --simulate. Start the panel again once "
                               "pseudo-terminals can be opened, or name the projector's device "
                               "with --com1 DEVICE.")
                    .arg(why);
        }
    }

    // The devices behind COM1 and COM2: as given, else as remembered, else a USB adapter or the
    // default. Each device that opens is remembered for the next start, but never a simulated
    // projector's pseudo-terminal, which is new at every run.
    const PortDeviceChoice choice;
    // The system's list of ports is slow to read (it asks udev about every serial device), and
    // before the window shows only the search for a USB adapter needs it.
    const bool searchUsb = devices.com1.isEmpty() && choice.remembered(1).isEmpty();
    const QList<SerialPortEntry> ports =
        searchUsb ? availableSerialPorts() : QList<SerialPortEntry>{};
    devices.com1 = choice.choose(1, devices.com1, ports);
    devices.com2 = choice.choose(2, devices.com2, ports);
    auto form = std::make_unique<Form1>(devices);
    form->describePortOptions(ports);
    form->rememberDevices(choice, projector ? 1 : 0);
    if (projector) {
        projector.release()->setParent(form.get());
    }
    form->formLoad();
    form->show();
    // What the first frame does not show: the devices' descriptions in the options' tooltips
    // (they name the device already) and the window's icon, drawn at eight sizes.
    afterFirstPaint(form.get(), [window = form.get(), searchUsb] {
        QApplication::setWindowIcon(appIcon());
        if (!searchUsb) {
            window->describePortOptions(availableSerialPorts());
        }
    });
    if (!simulatorFailure.isEmpty()) {
        form->reportFailure(simulatorFailure);
    }
    return form;
}
