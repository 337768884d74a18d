// Renders the panel for the README: the window at each of its four heights, and the full panel
// showing a status reply from the simulated projector read out on the status line.
#include "panel/fonts.h"
#include "panel/form1.h"
#include "sim/sim_projector.h"
#include "support/form1_test_seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <functional>

namespace {

bool settle(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

bool save(Form1& form, const QDir& dir, const QString& name) {
    settle([] { return false; }, 200);
    const QString path = dir.filePath(name);
    if (!form.grab().save(path)) {
        std::fprintf(stderr, "rmq27-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    installFontSubstitutions();
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));

    SimProjector projector(SimProjector::FaultMode::None);
    projector.setCountDownMs(0);
    Form1 form({projector.devicePath(), QString()});
    form.formLoad();
    form.show();
    bool ok = save(form, dir, QStringLiteral("panel-start.png"));

    form.formKeyDown(Qt::Key_K, Qt::ControlModifier);
    ok = save(form, dir, QStringLiteral("panel-service.png")) && ok;
    form.image1DblClick();
    ok = save(form, dir, QStringLiteral("panel-full.png")) && ok;

    // POWER ON, then STATUS: the reply is read out on the status line.
    named<QPushButton>(form, "Command17")->click();
    settle([&] { return named<QLabel>(form, "Label12")->text().contains(QStringLiteral("ACK")); });
    form.timer2Tick();
    named<QLineEdit>(form, "Text1")->setText(QStringLiteral("CR0"));
    named<QPushButton>(form, "Command44")->click();
    seam(form).Timer2->stop();
    seam(form).Timer4->stop();
    ok = settle([&] {
             return named<QLabel>(form, "Label22")->text() == QStringLiteral(" Power ON");
         }) &&
         ok;
    ok = save(form, dir, QStringLiteral("panel-status.png")) && ok;

    // Closed, then the data view, whose toggle carries its Japanese caption.
    form.command34Click();
    form.command34Click();
    ok = save(form, dir, QStringLiteral("panel-data-view.png")) && ok;
    return ok ? 0 : 1;
}
