#include "app/open_panel.h"

#include "core/failure.h"
#include "panel/form1.h"
#include "serial/comm_port.h"
#include "serial/port_devices.h"
#include "sim/sim_projector.h"

#include <cstdio>

std::unique_ptr<Form1> openPanel(const StartOptions& options) {
    Form1::PortDevices devices{options.com1, options.com2};
    std::unique_ptr<SimProjector> projector;
    QString simulatorFailure;
    if (options.simulate) {
        try {
            projector = std::make_unique<SimProjector>(SimProjector::FaultMode::None);
            devices.com1 = projector->devicePath();
            std::fprintf(stderr, "rmq27-panel: COM1 is a simulated projector on %s\n",
                         qPrintable(devices.com1));
        } catch (const PanelFailure& failure) {
            simulatorFailure =
                QStringLiteral("The simulated projector cannot start (%1), so COM1 is %2 as "
                               "without --simulate. Start the panel again once pseudo-terminals "
                               "can be opened, or name the projector's device with --com1 DEVICE.")
                    .arg(failure.description(), CommPort::defaultDevice(1));
        }
    }

    // The devices behind COM1 and COM2: as given, else as remembered, else a USB adapter or the
    // default. Each device that opens is remembered for the next start, but never a simulated
    // projector's pseudo-terminal, which is new at every run.
    const PortDeviceChoice choice;
    const QList<SerialPortEntry> ports = availableSerialPorts();
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
    if (!simulatorFailure.isEmpty()) {
        form->guard.report(simulatorFailure);
    }
    return form;
}
