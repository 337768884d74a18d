#include "panel/failure_guard.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <QWidget>

class TestFailureGuard : public QObject {
    Q_OBJECT
private slots:
    void failureEndsTheWorkAndIsShownOnce();
    void aClosedBoxCanBeShownAgain();
    void boxBeforeTheWindowShowsOpensOverIt();
};

namespace {
QList<QMessageBox*> boxes(const QWidget& owner) {
    QList<QMessageBox*> open;
    for (QMessageBox* box : owner.findChildren<QMessageBox*>()) {
        if (box->isVisible()) {
            open << box;
        }
    }
    return open;
}
} // namespace

void TestFailureGuard::failureEndsTheWorkAndIsShownOnce() {
    QWidget owner;
    owner.setWindowTitle(QStringLiteral("VEXO   RM-Q27   CONTROL   Ver.1.40"));
    owner.show();
    FailureGuard guard(&owner);
    int stepsRun = 0;
    for (int i = 0; i < 50; ++i) {
        guard.run([&] {
            ++stepsRun;
            throw StepFailure(QStringLiteral("COM1 is not open"));
            ++stepsRun; // never reached
        });
    }
    guard.run([] { throw StepFailure(QStringLiteral("another <b>failure</b> & more")); });
    QCOMPARE(stepsRun, 50);
    const auto open = boxes(owner);
    QCOMPARE(open.size(), 2);
    for (QMessageBox* box : open) {
        QCOMPARE(box->windowTitle(), owner.windowTitle());
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->windowModality(), Qt::WindowModal);
    }
}

void TestFailureGuard::aClosedBoxCanBeShownAgain() {
    QWidget owner;
    owner.show();
    FailureGuard guard(&owner);
    guard.report(QStringLiteral("COM2 (/dev/ttyS1): No such file or directory"));
    QCOMPARE(boxes(owner).size(), 1);
    boxes(owner).first()->button(QMessageBox::Ok)->click();
    QTRY_COMPARE_WITH_TIMEOUT(boxes(owner).size(), 0, 10000);
    guard.report(QStringLiteral("COM2 (/dev/ttyS1): No such file or directory"));
    QCOMPARE(boxes(owner).size(), 1);
}

// A failure reported before the window is on the screen (a --log that cannot be opened, as the
// panel starts) opens once the window shows, over it where it was placed, and only once.
void TestFailureGuard::boxBeforeTheWindowShowsOpensOverIt() {
    QWidget owner;
    owner.resize(200, 100);
    FailureGuard guard(&owner);
    const QString description = QStringLiteral("The log /nonexistent/day.log cannot be written");
    guard.report(description);
    guard.report(description);
    QCOMPARE(owner.findChildren<QMessageBox*>().size(), 1);
    owner.move(450, 400); // as the panel centres itself on the screen before it shows
    owner.show();
    QTRY_COMPARE_WITH_TIMEOUT(boxes(owner).size(), 1, 10000);
    QMessageBox* box = boxes(owner).first();
    QCOMPARE(box->text(), description);
    QVERIFY2(owner.frameGeometry().contains(box->frameGeometry().center()),
             qPrintable(QStringLiteral("box centre %1,%2 outside the window at %3,%4 %5x%6")
                            .arg(box->frameGeometry().center().x())
                            .arg(box->frameGeometry().center().y())
                            .arg(owner.x())
                            .arg(owner.y())
                            .arg(owner.width())
                            .arg(owner.height())));
    guard.report(description);
    QCOMPARE(owner.findChildren<QMessageBox*>().size(), 1);
}

QTEST_MAIN(TestFailureGuard)
#include "test_failure_guard.moc"
