#include "support/window_fixture.h"

#include <QStringList>
#include <QTest>

void WindowFixture::init() {
    remakeRig({});
}

void WindowFixture::cleanup() {
    // The panel first, so that it never sees the far side of its port go away.
    rig_.reset();
    projector_.reset();
    com2_.reset();
}

PanelRig& WindowFixture::remakeRig(const RigSetUp& setUp) {
    rig_.reset();
    rig_ = std::make_unique<PanelRig>(setUp.com2, setUp.com1);
    if (setUp.load) {
        rig_->load();
    }
    return *rig_;
}

PtyPair& WindowFixture::com2Pty() {
    if (!com2_) {
        com2_ = std::make_unique<PtyPair>();
    }
    return *com2_;
}

SimProjector& WindowFixture::simulate(SimProjector::FaultMode mode, const QString& com2) {
    rig_.reset();
    projector_ = std::make_unique<SimProjector>(mode);
    remakeRig({.com2 = com2, .com1 = projector_->devicePath()});
    return *projector_;
}

void WindowFixture::expectWire(const QByteArray& bytes, std::source_location where) {
    const char* file = where.file_name();
    const int line = int(where.line());
    if (!QTest::qCompare(rig_->wire(int(bytes.size())), bytes, "wire", "expected", file, line)) {
        return;
    }
    if (!QTest::qCompare(rig_->drainWire(), QByteArray(), "after it", "nothing", file, line)) {
        return;
    }
    const QString said = rig_->warnings().join(QLatin1String(" | "));
    QTest::qVerify(said.isEmpty(), "no warning", qPrintable(said), file, line);
}
