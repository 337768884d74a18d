#include "support/window_fixture.h"

#include "support/form1_test_seam.h"

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

bool WindowFixture::readLineDry() {
    Form1& f = form();
    for (int round = 0; round < 100; ++round) {
        // Each round's marker differs, so that one still on its way from an earlier round is not
        // taken for this one; no run of the bytes the tests flood with looks like it.
        const QByteArray marker = "~" + QByteArray::number(round) + "\r";
        rig_->reply(marker);
        // The marker is read into this window, or the window fills with what came before it (and
        // the marker may be dropped with the rest of that read).
        if (!waitFor([&] {
                return seam(f).RecvBuf.endsWith(QLatin1String(marker)) ||
                       seam(f).RecvBuf.size() >= Form1::RecvBufLimit;
            })) {
            return false;
        }
        if (seam(f).RecvBuf.size() > Form1::RecvBufLimit) {
            return false;
        }
        const bool dry = seam(f).RecvBuf == QLatin1String(marker);
        f.timer2Tick();
        if (dry) {
            return true;
        }
    }
    return false;
}
