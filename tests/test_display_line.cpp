#include "panel/display_line.h"

#include <QImage>
#include <QTest>

namespace {

template <typename Label> QImage render(const QString& text) {
    Label label;
    label.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label.setLineWidth(1);
    label.setTextFormat(Qt::PlainText);
    label.setAutoFillBackground(true);
    QPalette palette = label.palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::red);
    label.setPalette(palette);
    label.setGeometry(0, 0, 374, 20);
    label.setText(text);
    return label.grab().toImage();
}

} // namespace

class TestDisplayLine : public QObject {
    Q_OBJECT
private slots:
    void drawsLikeALabel_data();
    void drawsLikeALabel();
    void longTextIsKeptWholeButDrawnCut();
};

void TestDisplayLine::drawsLikeALabel_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("command") << " C 0 0 CR ";
    QTest::newRow("ampersand drawn as itself") << " Video & Audio mute OFF";
    QTest::newRow("no-reply mark") << " X X X X";
    QTest::newRow("wider than the line") << QString(" A").repeated(300);
}

void TestDisplayLine::drawsLikeALabel() {
    QFETCH(QString, text);
    QCOMPARE(render<DisplayLine>(text), render<QLabel>(text));
}

void TestDisplayLine::longTextIsKeptWholeButDrawnCut() {
    const QString whole = QString(" 0").repeated(32767) + QStringLiteral(" ");
    DisplayLine line;
    line.setGeometry(0, 0, 374, 20);
    line.setText(whole);
    QCOMPARE(line.text(), whole);
    QVERIFY(line.visibleText().size() <= 400);
    QVERIFY(whole.startsWith(line.visibleText()));
    QCOMPARE(line.sizeHint(), QSize(374, 20));
    QCOMPARE(render<DisplayLine>(whole), render<QLabel>(line.visibleText()));
}

QTEST_MAIN(TestDisplayLine)
#include "test_display_line.moc"
