// The start-up floor: a window as big as the panel's, holding as many plain buttons and labels as
// the panel shows, in the same two Japanese Gothic faces, with no logic at all. What the panel
// takes beyond this to show its first frame is the panel's own cost.
#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    QWidget window;
    window.setWindowTitle(QStringLiteral("rmq27 start-up floor"));
    window.setFixedSize(633, 332);
    QFont buttonFont(QStringLiteral("IPAPGothic"), 9);
    buttonFont.setBold(true);
    const QFont labelFont(QStringLiteral("IPAGothic"), 9);

    // The panel's 73 command buttons and 4 options, its 20 labels, 3 display lines and picture.
    constexpr int Buttons = 77;
    constexpr int Labels = 24;
    const QString arrows = QStringLiteral(u"↑↓←→");
    for (int i = 0; i < Buttons; ++i) {
        auto* button = new QPushButton(&window);
        button->setText(i < 4 ? QString(arrows[i]) : QStringLiteral("BUTTON %1").arg(i));
        button->setFont(buttonFont);
        button->setGeometry(4 + (i % 9) * 69, 4 + (i / 9) * 22, 65, 20);
    }
    for (int i = 0; i < Labels; ++i) {
        auto* label = new QLabel(QStringLiteral("LABEL %1").arg(i), &window);
        label->setFont(labelFont);
        label->setGeometry(4 + (i % 6) * 104, 206 + (i / 6) * 22, 100, 20);
    }
    window.show();
    return app.exec();
}
