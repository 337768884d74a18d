#pragma once

#include "sim/sim_projector.h"

#include <QString>
#include <optional>

class QObject;

// What starting a simulated projector gave: the projector and the serial device to open, or why
// there is none.
struct [[nodiscard]] SimulatorStart {
    SimProjector* projector = nullptr; // owned by the owner given to startSimulatedProjector()
    QString device;
    std::optional<QString> failure;
};

// The one way a program starts its simulated projector behind a port: on a new pseudo-terminal,
// owned by `owner`. Where none can be had (no pseudo-terminal, no descriptor left), `failure`
// says so in the operator's words and nothing is started.
SimulatorStart
startSimulatedProjector(QObject* owner,
                        SimProjector::FaultMode mode = SimProjector::FaultMode::None);
