#include "sim/start_simulator.h"

#include "core/failure.h"

SimulatorStart startSimulatedProjector(QObject* owner, SimProjector::FaultMode mode) {
    SimulatorStart start;
    try {
        start.projector = new SimProjector(mode, owner);
        start.device = start.projector->devicePath();
    } catch (const StepFailure& failure) {
        start.failure =
            QStringLiteral("the simulated projector cannot start (%1)").arg(failure.description());
    }
    return start;
}
