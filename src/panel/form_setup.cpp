#include "panel/form_setup.h"

#include "panel/fonts.h"
#include "panel/picture_box.h"
#include "picture_pixels.h"
#include "ui_form1.h"

#include <QFont>
#include <QLineEdit>
#include <QPixmap>

#include <limits>

namespace {

// The controls whose point size is not a whole number. Set here rather than by a style sheet on
// each: a style sheet gives its control a style object of its own to build and polish, several
// milliseconds before the first frame for a font size alone. The text box keeps its style sheet
// (addTextBox): under one, a line edit draws its own frame, the one the panel has always shown.
struct FractionalSize {
    const char* control;
    qreal points;
};
constexpr FractionalSize FractionalSizes[] = {
    {"Command59", 7.5},  {"Command62", 7.5},  {"Label11", 9.75},   {"Label12", 9.75},
    {"Label23", 8.25},   {"Command44", 8.25}, {"Command45", 8.25}, {"Command46", 8.25},
    {"Command47", 8.25}, {"Command54", 8.25}, {"Label26", 9.75},
};

} // namespace

QImage storedPicture() {
    // Shares the program's read-only pixels; a change would copy them first.
    return QImage(reinterpret_cast<const uchar*>(StoredPicturePixels), StoredPictureWidth,
                  StoredPictureHeight, StoredPictureWidth * 4, QImage::Format_RGB32);
}

void setUpForm(Ui::Form1& ui, QWidget& form) {
    ui.setupUi(&form);
    for (const FractionalSize& f : FractionalSizes) {
        auto* control = form.findChild<QWidget*>(QLatin1String(f.control));
        Q_ASSERT(control);
        QFont font = control->font();
        font.setPointSizeF(f.points);
        control->setFont(font);
    }
    ui.Image1->setPixmap(QPixmap::fromImage(storedPicture()));
}

QLineEdit* addTextBox(Ui::Form1& ui) {
    auto* box = new QLineEdit(ui.Frame15);
    box->setObjectName(QStringLiteral("Text1"));
    box->setGeometry(QRect(40, 11, 337, 23));
    // The face alone, bold: the size comes from the style sheet, under which a line edit draws its
    // own frame, the one the panel has always shown.
    QFont font;
    font.setFamilies({kGothicFace});
    font.setBold(true);
    box->setFont(font);
    box->setStyleSheet(QStringLiteral("font-size: 9.75pt;"));
    box->setMaxLength(std::numeric_limits<int>::max());
    box->setAccessibleName(QStringLiteral("CMD"));
    box->setAccessibleDescription(
        QStringLiteral("Free-text command; SEND sends it with a carriage return"));
    ui.Label26->setBuddy(box);
    QWidget::setTabOrder(ui.Command84, box);
    box->stackUnder(ui.Command95);
    // A control added to a window already on the screen shows only when told to.
    if (ui.Frame15->isVisible()) {
        box->show();
    }
    return box;
}
