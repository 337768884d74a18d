#include "support/panel_rig.h"

#include "support/form1_test_seam.h"

#include <QLabel>
#include <QTest>

#include <ctime>

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool waitFor(const std::function<bool()>& predicate, int timeoutMs) {
    return QTest::qWaitFor(predicate, timeoutMs);
}

PanelRig::PanelRig(const QString& com2Device, const QString& com1Device) {
    form_ = std::make_unique<Form1>(
        Form1::PortDevices{com1Device.isEmpty() ? far_.devicePath() : com1Device, com2Device});
    seam(*form_).guard.setPresenter(
        [this](const QString& description) { warnings_ << description; });
}

void PanelRig::load() {
    form_->formLoad();
}

QByteArray PanelRig::wire(int bytes) {
    waitFor([&] {
        pending_ += far_.readAll();
        return pending_.size() >= bytes;
    });
    QByteArray out = pending_;
    pending_.clear();
    return out;
}

QByteArray PanelRig::drainWire() {
    QTest::qWait(50);
    pending_ += far_.readAll();
    QByteArray out = pending_;
    pending_.clear();
    return out;
}

QString PanelRig::line(const char* labelName) const {
    const auto* label = form_->findChild<QLabel*>(QLatin1String(labelName));
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(labelName));
}
