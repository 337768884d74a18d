#pragma once

#include "sim/pty_pair.h"
#include "sim/sim_projector.h"
#include "support/panel_rig.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <source_location>

// The common ground of the window tests: QtTest's init() gives each test function a fresh panel
// on its own pseudo-terminal, started up, and cleanup() takes it down after, whatever the test's
// outcome. A test class derives from it and writes only what its test does; one with an init()
// of its own calls WindowFixture::init() from it.
class WindowFixture : public QObject {
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    struct RigSetUp {
        QString com2 = QStringLiteral("/dev/rmq27-no-such-port");
        QString com1 = QString(); // empty: the rig's own pseudo-terminal
        bool load = true;
    };

    PanelRig& rig() { return *rig_; }
    Form1& form() { return rig_->form(); }

    // For a test that needs another set-up: the panel init() made is replaced by this one.
    PanelRig& remakeRig(const RigSetUp& setUp);
    // COM2 on a pseudo-terminal that the fixture holds until the panel is gone; made on first use.
    PtyPair& com2Pty();
    // COM1 on the simulated projector in the given mode (the panel is remade, started up).
    SimProjector& simulate(SimProjector::FaultMode mode, const QString& com2 = {});

    // Exactly these bytes reached the wire, nothing more follows them (a short drain), and no
    // warning was shown. A failure is reported at the caller's line.
    void expectWire(const QByteArray& bytes,
                    std::source_location where = std::source_location::current());

    // Reads the line dry: sends a fresh marker from the far side and ends reply windows until one
    // holds nothing but that marker, so everything sent before it (the tail of a flood) has been
    // read, and no window in between grew beyond its bound. False when the line does not settle.
    bool readLineDry();

private:
    std::unique_ptr<PtyPair> com2_;
    std::unique_ptr<SimProjector> projector_;
    std::unique_ptr<PanelRig> rig_;
};
