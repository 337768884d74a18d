// Holds the Designer form of the main window against the stored layout of the panel, typed in
// here control by control: name, kind, container, caption, geometry in twips, colours, font,
// tab index and visibility at creation.
#include "panel/app_icon.h"
#include "panel/command_button.h"
#include "panel/fonts.h"
#include "panel/form_setup.h"
#include "panel/picture_box.h"
#include "ui_form1.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QImage>
#include <QLineEdit>
#include <QMap>
#include <QPixmap>
#include <QSet>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QtMath>

namespace {

// Marks a colour the platform supplies (button face, text-box background).
constexpr const char* kSystem = "system";

struct StoredControl {
    const char* name;
    const char* kind;
    const char* container;
    const char* caption;
    int left, top, width, height; // twips, relative to the container
    const char* back;             // nullptr where the control has no background of its own
    const char* text;             // nullptr: black
    const char* font;             // font key, nullptr where the control shows no text
    int tab;
    Qt::Alignment align; // horizontal alignment of a label's text
    bool visible;
    bool checked;
};

const StoredControl kLayout[] = {
    {"Frame1", "QFrame", "Form1", "", 120, 240, 1695, 975, "#C0C0C0", nullptr, nullptr, 0,
     Qt::AlignLeft, true, false},
    {"Label1", "QLabel", "Frame1", "POWER", 240, 240, 1095, 255, "#C0C0C0", "#C00000", "W", 2,
     Qt::AlignHCenter, true, false},
    {"Command17", "QPushButton", "Frame1", "ON", 120, 600, 615, 300, "#C0FFC0", nullptr, "P9B", 1,
     Qt::AlignLeft, true, false},
    {"Command18", "QPushButton", "Frame1", "OFF", 960, 600, 615, 300, "#FFC0C0", nullptr, "P9B", 22,
     Qt::AlignLeft, true, false},
    {"Frame2", "QFrame", "Form1", "", 2280, 240, 3135, 975, "#C0C0C0", nullptr, nullptr, 3,
     Qt::AlignLeft, true, false},
    {"Label2", "QLabel", "Frame2", "INPUT MODE SET", 480, 240, 1935, 255, "#C0C0C0", nullptr, "W",
     4, Qt::AlignHCenter, true, false},
    {"Command27", "QPushButton", "Frame2", "1", 120, 600, 495, 300, "#C0FFFF", nullptr, "P9B", 29,
     Qt::AlignLeft, true, false},
    {"Command28", "QPushButton", "Frame2", "2", 720, 600, 495, 300, "#C0FFFF", nullptr, "P9B", 30,
     Qt::AlignLeft, true, false},
    {"Command29", "QPushButton", "Frame2", "3", 1320, 600, 495, 300, "#C0FFFF", nullptr, "P9B", 31,
     Qt::AlignLeft, true, false},
    {"Command43", "QPushButton", "Frame2", "NETWORK", 1920, 600, 1095, 300, "#C0FFFF", nullptr, "W",
     104, Qt::AlignLeft, true, false},
    {"Frame6", "QFrame", "Form1", "", 5640, 240, 1695, 975, "#C0C0C0", nullptr, nullptr, 9,
     Qt::AlignLeft, true, false},
    {"Label7", "QLabel", "Frame6", "MENU", 360, 240, 975, 255, "#C0C0C0", nullptr, "W", 10,
     Qt::AlignHCenter, true, false},
    {"Command23", "QPushButton", "Frame6", "ON", 120, 600, 615, 300, "#C0FFC0", nullptr, "P9B", 25,
     Qt::AlignLeft, true, false},
    {"Command24", "QPushButton", "Frame6", "OFF", 960, 600, 615, 300, "#FFC0C0", nullptr, "P9B", 26,
     Qt::AlignLeft, true, false},
    {"Frame10", "QFrame", "Form1", "", 7680, 600, 1692, 1695, "#C0C0C0", nullptr, nullptr, 65,
     Qt::AlignLeft, true, false},
    {"Label20", "QLabel", "Frame10", "LENS SHIFT", 120, 195, 1455, 300, "#C0C0C0", nullptr, "W", 68,
     Qt::AlignHCenter, true, false},
    {"Command59", "QPushButton", "Frame10", "↑", 600, 600, 492, 252, "#FFE0C0", nullptr, "P7", 66,
     Qt::AlignLeft, true, false},
    {"Command61", "QPushButton", "Frame10", "←", 240, 960, 495, 255, "#FFE0C0", nullptr, "W", 109,
     Qt::AlignLeft, true, false},
    {"Command60", "QPushButton", "Frame10", "→", 960, 960, 495, 255, "#FFE0C0", nullptr, "W", 108,
     Qt::AlignLeft, true, false},
    {"Command62", "QPushButton", "Frame10", "↓", 588, 1320, 492, 252, "#FFE0C0", nullptr, "P7", 67,
     Qt::AlignLeft, true, false},
    {"Image1", "PictureBox", "Form1", "", 8160, 120, 1200, 390, nullptr, nullptr, nullptr, -1,
     Qt::AlignLeft, true, false},
    {"Frame4", "QFrame", "Form1", "", 120, 1440, 1695, 855, "#C0C0C0", nullptr, nullptr, 5,
     Qt::AlignLeft, true, false},
    {"Label5", "QLabel", "Frame4", "NO SHOW", 360, 210, 1095, 285, "#C0C0C0", nullptr, "W", 6,
     Qt::AlignHCenter, true, false},
    {"Command21", "QPushButton", "Frame4", "ON", 120, 480, 615, 300, "#C0FFC0", nullptr, "P9B", 23,
     Qt::AlignLeft, true, false},
    {"Command22", "QPushButton", "Frame4", "OFF", 960, 480, 615, 300, "#FFC0C0", nullptr, "P9B", 24,
     Qt::AlignLeft, true, false},
    {"Frame7", "QFrame", "Form1", "", 2280, 1440, 1695, 855, "#C0C0C0", nullptr, nullptr, 17,
     Qt::AlignLeft, true, false},
    {"Label8", "QLabel", "Frame7", "FREEZE", 240, 210, 1215, 285, "#C0C0C0", nullptr, "W", 18,
     Qt::AlignHCenter, true, false},
    {"Command25", "QPushButton", "Frame7", "ON", 120, 480, 615, 300, "#C0FFC0", nullptr, "P9B", 27,
     Qt::AlignLeft, true, false},
    {"Command26", "QPushButton", "Frame7", "OFF", 960, 480, 615, 300, "#FFC0C0", nullptr, "P9B", 28,
     Qt::AlignLeft, true, false},
    {"Frame5", "QFrame", "Form1", "", 4440, 1440, 1815, 855, "#C0C0C0", nullptr, nullptr, 7,
     Qt::AlignLeft, true, false},
    {"Label6", "QLabel", "Frame5", "AV Size", 240, 210, 1335, 285, "#C0C0C0", nullptr, "W", 8,
     Qt::AlignHCenter, true, false},
    {"Command31", "QPushButton", "Frame5", "Regular", 120, 480, 855, 300, "#C0FFFF", nullptr, "P9",
     32, Qt::AlignLeft, true, false},
    {"Command32", "QPushButton", "Frame5", "Wide", 1080, 480, 615, 300, "#C0FFFF", nullptr, "P9",
     33, Qt::AlignLeft, true, false},
    {"Command5", "QPushButton", "Form1", "↑", 1200, 2520, 855, 375, "#FFE0C0", nullptr, "P9B", 12,
     Qt::AlignLeft, true, false},
    {"Command9", "QPushButton", "Form1", "←", 240, 3000, 855, 375, "#FFE0C0", nullptr, "P9B", 16,
     Qt::AlignLeft, true, false},
    {"Command6", "QPushButton", "Form1", "ENTER", 1200, 3000, 855, 375, "#FF8000", nullptr, "G9",
     13, Qt::AlignLeft, true, false},
    {"Command8", "QPushButton", "Form1", "→", 2160, 3000, 855, 375, "#FFE0C0", nullptr, "P9B", 15,
     Qt::AlignLeft, true, false},
    {"Command7", "QPushButton", "Form1", "↓", 1200, 3480, 855, 375, "#FFE0C0", nullptr, "P9B", 14,
     Qt::AlignLeft, true, false},
    {"Label13", "QLabel", "Form1", "Zoom", 4440, 2520, 492, 252, "#C0C0C0", nullptr, "G9", 46,
     Qt::AlignLeft, true, false},
    {"Command15", "QPushButton", "Form1", "+", 4440, 2880, 375, 255, "#C0FFFF", nullptr, "G9", 44,
     Qt::AlignLeft, true, false},
    {"Command35", "QPushButton", "Form1", "-", 4440, 3240, 375, 255, "#C0FFFF", nullptr, "G9", 45,
     Qt::AlignLeft, true, false},
    {"Label14", "QLabel", "Form1", "Focus", 5280, 2520, 615, 255, "#C0C0C0", nullptr, "G9", 49,
     Qt::AlignLeft, true, false},
    {"Command36", "QPushButton", "Form1", "+", 5280, 2880, 375, 255, "#C0FFFF", nullptr, "G9", 47,
     Qt::AlignLeft, true, false},
    {"Command37", "QPushButton", "Form1", "-", 5280, 3240, 375, 255, "#C0FFFF", nullptr, "G9", 48,
     Qt::AlignLeft, true, false},
    {"Label17", "QLabel", "Form1", "D.Zoom", 6360, 2520, 735, 255, "#C0C0C0", nullptr, "G9", 56,
     Qt::AlignLeft, true, false},
    {"Command48", "QPushButton", "Form1", "+", 6480, 2880, 375, 255, "#C0FFFF", nullptr, "P9", 54,
     Qt::AlignLeft, true, false},
    {"Command49", "QPushButton", "Form1", "-", 6480, 3240, 375, 255, "#C0FFFF", nullptr, "G9", 55,
     Qt::AlignLeft, true, false},
    {"Label18", "QLabel", "Form1", "Keystone", 7320, 2520, 855, 255, "#C0C0C0", nullptr, "G9", 59,
     Qt::AlignLeft, true, false},
    {"Command50", "QPushButton", "Form1", "↑", 7440, 2880, 375, 255, "#C0FFFF", nullptr, "G9", 57,
     Qt::AlignLeft, true, false},
    {"Command51", "QPushButton", "Form1", "↓", 7440, 3240, 375, 255, "#C0FFFF", nullptr, "G9", 58,
     Qt::AlignLeft, true, false},
    {"Command67", "QPushButton", "Form1", "←", 7080, 3120, 350, 255, "#C0FFFF", nullptr, "W", 111,
     Qt::AlignLeft, true, false},
    {"Command66", "QPushButton", "Form1", "→", 7850, 3120, 350, 255, "#C0FFFF", nullptr, "W", 110,
     Qt::AlignLeft, true, false},
    {"Command13", "QPushButton", "Form1", "A-IMAGE", 8400, 2760, 975, 250, "#00C0C0", nullptr, "G9",
     19, Qt::AlignLeft, true, false},
    {"Command30", "QPushButton", "Form1", "IMAGE", 8400, 3120, 975, 255, "#C0C0FF", nullptr, "G9",
     69, Qt::AlignLeft, true, false},
    {"Command14", "QPushButton", "Form1", "P-TIMER", 8400, 3360, 975, 250, "#C0C0FF", nullptr, "G9",
     20, Qt::AlignLeft, true, false},
    {"Command3", "QPushButton", "Form1", "DISPLAY CLEAR", 8400, 3600, 975, 492, "#C0C0FF", nullptr,
     "G9", 11, Qt::AlignLeft, true, false},
    {"Command16", "QPushButton", "Form1", "END", 8400, 4320, 975, 375, "#C0C0C0", nullptr, "W", 21,
     Qt::AlignLeft, true, false},
    {"Label19", "QLabel", "Form1", "R/C KEY OFF", 6600, 3720, 1332, 252, "#C0C0C0", nullptr, "G9",
     64, Qt::AlignLeft, true, false},
    {"Command56", "QPushButton", "Form1", "NONE", 6600, 3960, 1200, 372, "#C0FFFF", nullptr, "G9",
     61, Qt::AlignLeft, true, false},
    {"Command57", "QPushButton", "Form1", "R/C", 6600, 4320, 606, 372, "#C0FFFF", nullptr, "G9", 62,
     Qt::AlignLeft, true, false},
    {"Command58", "QPushButton", "Form1", "KEY", 7200, 4320, 606, 372, "#C0FFFF", nullptr, "G9", 63,
     Qt::AlignLeft, true, false},
    {"Command4", "QPushButton", "Form1", "STANDARD", 240, 4080, 975, 255, "#C0FFFF", nullptr, "G9",
     73, Qt::AlignLeft, true, false},
    {"Command10", "QPushButton", "Form1", "REAL", 240, 4320, 975, 255, "#C0FFFF", nullptr, "G9", 74,
     Qt::AlignLeft, true, false},
    {"Command11", "QPushButton", "Form1", "CINEMA", 1200, 4320, 975, 255, "#C0FFFF", nullptr, "G9",
     75, Qt::AlignLeft, true, false},
    {"Command39", "QPushButton", "Form1", "IMAGE1", 2160, 4320, 975, 255, "#C0FFFF", nullptr, "G9",
     76, Qt::AlignLeft, true, false},
    {"Command40", "QPushButton", "Form1", "IMAGE2", 240, 4560, 975, 255, "#C0FFFF", nullptr, "G9",
     77, Qt::AlignLeft, true, false},
    {"Command41", "QPushButton", "Form1", "IMAGE3", 1200, 4560, 975, 255, "#C0FFFF", nullptr, "G9",
     78, Qt::AlignLeft, true, false},
    {"Command42", "QPushButton", "Form1", "IMAGE4", 2160, 4560, 975, 255, "#C0FFFF", nullptr, "G9",
     79, Qt::AlignLeft, true, false},
    {"Command33", "QPushButton", "Form1", "COM", 4080, 4200, 1815, 375, kSystem, nullptr, "P9", 34,
     Qt::AlignLeft, true, false},
    {"Frame8", "QFrame", "Form1", "", 3480, 3600, 2775, 1185, "#C0C0C0", nullptr, nullptr, 35,
     Qt::AlignLeft, false, false},
    {"Option1", "QRadioButton", "Frame8", "COM1", 240, 240, 1215, 255, "#C0C0C0", nullptr, "W", 36,
     Qt::AlignLeft, true, false},
    {"Option2", "QRadioButton", "Frame8", "COM2", 1560, 240, 1095, 255, "#C0C0C0", nullptr, "W", 37,
     Qt::AlignLeft, true, false},
    {"Frame13", "QFrame", "Frame8", "", 120, 480, 2535, 615, "#C0C0C0", nullptr, nullptr, 70,
     Qt::AlignLeft, true, false},
    {"Option9", "QRadioButton", "Frame13", "19200", 120, 240, 1095, 255, "#C0C0C0", nullptr, "W",
     71, Qt::AlignLeft, true, true},
    {"Option10", "QRadioButton", "Frame13", "9600", 1440, 240, 975, 300, "#C0C0C0", nullptr, "W",
     72, Qt::AlignLeft, true, false},
    {"Frame9", "QFrame", "Form1", "", 45, 4920, 6312, 1290, "#C0C0C0", nullptr, nullptr, 38,
     Qt::AlignLeft, true, false},
    {"Label9", "QLabel", "Frame9", "TXD", 105, 210, 390, 285, "#C0C0C0", nullptr, "G9", 39,
     Qt::AlignRight, true, false},
    {"Label11", "DisplayLine", "Frame9", "", 600, 180, 5610, 300, "#FFFFFF", nullptr, "P10B", 41,
     Qt::AlignLeft, true, false},
    {"Label10", "QLabel", "Frame9", "RXD", 75, 555, 450, 300, "#C0C0C0", nullptr, "G9", 40,
     Qt::AlignRight, true, false},
    {"Label12", "DisplayLine", "Frame9", "", 600, 540, 5616, 300, "#FFFFFF", nullptr, "P10B", 42,
     Qt::AlignLeft, true, false},
    {"Label23", "QLabel", "Frame9", "STATUS", 120, 960, 735, 225, "#C0C0C0", nullptr, "G8", 103,
     Qt::AlignLeft, true, false},
    {"Label22", "DisplayLine", "Frame9", "", 930, 915, 5295, 300, "#FFFFFF", "#FF0000", "P9B", 102,
     Qt::AlignLeft, true, false},
    {"Command34", "QPushButton", "Form1", "データを表示する", 6600, 5040, 1200, 375, "#C0C0C0",
     nullptr, "P9", 43, Qt::AlignLeft, false, false},
    {"Command52", "QPushButton", "Form1", "P-FAIL", 8400, 5040, 975, 255, "#FFE0C0", nullptr, "W",
     80, Qt::AlignLeft, true, false},
    {"Command44", "QPushButton", "Form1", "STATUS", 6480, 5640, 975, 255, "#C0FFFF", nullptr, "G8B",
     50, Qt::AlignLeft, true, false},
    {"Command46", "QPushButton", "Form1", "L-TIME", 7440, 5640, 975, 255, "#C0FFFF", nullptr, "G8B",
     52, Qt::AlignLeft, true, false},
    {"Command54", "QPushButton", "Form1", "TEMP", 8400, 5640, 975, 252, "#C0FFFF", nullptr, "G8B",
     60, Qt::AlignLeft, true, false},
    {"Command45", "QPushButton", "Form1", "MODE", 6480, 5880, 975, 255, "#C0FFFF", nullptr, "G8B",
     51, Qt::AlignLeft, true, false},
    {"Command47", "QPushButton", "Form1", "SETTING", 7440, 5880, 975, 255, "#C0FFFF", nullptr,
     "G8B", 53, Qt::AlignLeft, true, false},
    {"Frame14", "QFrame", "Form1", "", 120, 6735, 7215, 1320, "#C0C0C0", nullptr, nullptr, 81,
     Qt::AlignLeft, true, false},
    {"Label15", "QLabel", "Frame14", "1", 120, 240, 255, 255, "#C0C0C0", nullptr, "W", 90,
     Qt::AlignLeft, true, false},
    {"Command64", "QPushButton", "Frame14", "RGB", 480, 240, 975, 255, "#C0FFFF", nullptr, "G9", 82,
     Qt::AlignLeft, true, false},
    {"Command65", "QPushButton", "Frame14", "SCART", 1440, 240, 975, 255, "#C0FFFF", nullptr, "G9",
     83, Qt::AlignLeft, true, false},
    {"Command38", "QPushButton", "Frame14", "DVI", 2400, 240, 975, 255, "#C0FFFF", nullptr, "G9",
     106, Qt::AlignLeft, true, false},
    {"Command53", "QPushButton", "Frame14", "HDCP", 3360, 240, 975, 255, "#C0FFFF", nullptr, "G9",
     107, Qt::AlignLeft, true, false},
    {"Command76", "QPushButton", "Frame14", "Monitor OUT", 4320, 240, 2415, 255, "#E0E0E0", nullptr,
     "G9", 85, Qt::AlignLeft, true, false},
    {"Label16", "QLabel", "Frame14", "2", 120, 480, 255, 255, "#C0C0C0", nullptr, "W", 91,
     Qt::AlignLeft, true, false},
    {"Command72", "QPushButton", "Frame14", "RGB", 480, 480, 975, 255, "#C0FFFF", nullptr, "G9", 84,
     Qt::AlignLeft, true, false},
    {"Command12", "QPushButton", "Frame14", "VIDEO", 1440, 480, 975, 255, "#C0FFFF", nullptr, "G9",
     105, Qt::AlignLeft, true, false},
    {"Command80", "QPushButton", "Frame14", "Y,Pb/Cb,Pr/Cr", 2400, 480, 1695, 255, "#C0FFFF",
     nullptr, "G9", 86, Qt::AlignLeft, true, false},
    {"Label24", "QLabel", "Frame14", "3", 120, 720, 255, 255, "#C0C0C0", nullptr, "W", 92,
     Qt::AlignLeft, true, false},
    {"Command81", "QPushButton", "Frame14", "VIDEO", 480, 720, 975, 255, "#C0FFFF", nullptr, "G9",
     87, Qt::AlignLeft, true, false},
    {"Command84", "QPushButton", "Frame14", "S-VIDEO", 1440, 720, 975, 255, "#C0FFFF", nullptr,
     "G9", 89, Qt::AlignLeft, true, false},
    {"Command82", "QPushButton", "Frame14", "Y,Pb/Cb,Pr/Cr", 2400, 720, 1695, 255, "#C0FFFF",
     nullptr, "G9", 88, Qt::AlignLeft, true, false},
    {"Frame16", "QFrame", "Form1", "", 7440, 6750, 1935, 945, "#C0C0C0", nullptr, nullptr, 98,
     Qt::AlignLeft, true, false},
    {"Label27", "QLabel", "Frame16", "FAN SPEED", 345, 285, 1215, 255, "#C0C0C0", nullptr, "W", 99,
     Qt::AlignLeft, true, false},
    {"Command97", "QPushButton", "Frame16", "MAX", 120, 600, 855, 255, "#C0FFC0", nullptr, "W", 100,
     Qt::AlignLeft, true, false},
    {"Command98", "QPushButton", "Frame16", "NOR", 960, 600, 855, 255, "#C0FFC0", nullptr, "W", 101,
     Qt::AlignLeft, true, false},
    {"Command68", "QPushButton", "Form1", "PRESSURE", 7440, 7800, 1335, 255, "#FFC0C0", nullptr,
     "W", 112, Qt::AlignLeft, true, false},
    {"Command63", "QPushButton", "Form1", "FILTER(usable)", 7440, 8160, 1815, 255, "#FFC0C0",
     nullptr, "W", 113, Qt::AlignLeft, true, false},
    {"Frame15", "QFrame", "Form1", "", 120, 8040, 7215, 570, "#C0C0C0", nullptr, nullptr, 93,
     Qt::AlignLeft, true, false},
    {"Label26", "QLabel", "Frame15", "CMD", 120, 240, 495, 255, "#C0C0C0", nullptr, "G10", 97,
     Qt::AlignLeft, true, false},
    {"Text1", "QLineEdit", "Frame15", "", 600, 165, 5055, 345, kSystem, nullptr, "G10B", 94,
     Qt::AlignLeft, true, false},
    {"Command95", "QPushButton", "Frame15", "SEND", 5760, 240, 735, 255, "#C0FFC0", nullptr, "W",
     95, Qt::AlignLeft, true, false},
    {"Command96", "QPushButton", "Frame15", "CLS", 6480, 240, 615, 255, "#FFC0C0", nullptr, "W", 96,
     Qt::AlignLeft, true, false},
};

struct StoredLine {
    const char* name;
    int x1, y1, x2, y2; // twips, window coordinates
};

const StoredLine kLines[] = {
    {"Line1", 1080, 2400, 1080, 2880},  {"Line2", 2160, 2400, 2160, 2880},
    {"Line3", 3120, 2880, 3120, 3480},  {"Line4", 2160, 3480, 2160, 3960},
    {"Line5", 1080, 3480, 1080, 3960},  {"Line6", 120, 2880, 120, 3480},
    {"Line7", 1080, 2400, 2160, 2400},  {"Line8", 120, 2880, 1080, 2880},
    {"Line9", 2160, 2880, 3120, 2880},  {"Line10", 120, 3480, 1080, 3480},
    {"Line11", 1080, 3960, 2160, 3960}, {"Line12", 2160, 3480, 3120, 3480},
};

struct FontKey {
    const char* key;
    const char16_t* face;
    qreal points;
    bool bold;
};

const FontKey kFontKeys[] = {
    {"W", u"ＭＳ ゴシック", 9, true},         {"G9", u"ＭＳ ゴシック", 9, false},
    {"G8B", u"ＭＳ ゴシック", 8.25, true},    {"G8", u"ＭＳ ゴシック", 8.25, false},
    {"G10B", u"ＭＳ ゴシック", 9.75, true},   {"G10", u"ＭＳ ゴシック", 9.75, false},
    {"P9", u"ＭＳ Ｐゴシック", 9, false},     {"P9B", u"ＭＳ Ｐゴシック", 9, true},
    {"P10B", u"ＭＳ Ｐゴシック", 9.75, true}, {"P7", u"ＭＳ Ｐゴシック", 7.5, false},
};

const FontKey& fontKey(const char* key) {
    for (const FontKey& f : kFontKeys) {
        if (qstrcmp(f.key, key) == 0) {
            return f;
        }
    }
    qFatal("unknown font key %s", key);
}

int px(int twips) {
    return qRound(twips / 15.0);
}

bool isFocusableKind(const char* kind) {
    return qstrcmp(kind, "QPushButton") == 0 || qstrcmp(kind, "QRadioButton") == 0 ||
           qstrcmp(kind, "QLineEdit") == 0;
}

// The colour actually behind a control: its own where it paints its background, else that of the
// nearest container that does.
QColor shownBackground(const QWidget* w) {
    while (!w->autoFillBackground() && !w->isWindow()) {
        w = w->parentWidget();
    }
    return w->palette().color(w->backgroundRole());
}

QString captionOf(const QWidget* w) {
    if (const auto* b = qobject_cast<const QAbstractButton*>(w)) {
        return b->text();
    }
    if (const auto* l = qobject_cast<const QLabel*>(w)) {
        return l->text();
    }
    if (const auto* e = qobject_cast<const QLineEdit*>(w)) {
        return e->text();
    }
    return {};
}

const QString& captionCharacters() {
    static const QString text = QStringLiteral(u"←→↑↓データを表示するデータを表示しない") +
                                QStringLiteral("ENTER Y,Pb/Cb,Pr/Cr FILTER(usable) 19200");
    return text;
}

bool rendersCaptions(const QString& family) {
    QFont font(family);
    font.setStyleStrategy(QFont::NoFontMerging);
    if (QFontInfo(font).family().compare(family, Qt::CaseInsensitive) != 0) {
        return false;
    }
    const QFontMetrics metrics(font);
    for (const char32_t c : captionCharacters().toUcs4()) {
        if (!metrics.inFontUcs4(c)) {
            return false;
        }
    }
    return true;
}

bool hasFixedPitch(const QFont& font) {
    const QFontMetricsF metrics(font);
    return metrics.horizontalAdvance(QLatin1Char('i')) ==
           metrics.horizontalAdvance(QLatin1Char('M'));
}

bool captionFacesInstalled() {
    static const bool installed = [] {
        const QStringList families = QFontDatabase::families();
        return std::any_of(families.begin(), families.end(), rendersCaptions);
    }();
    return installed;
}

// The class a control of the stored kind is built as: command buttons are CommandButtons.
QString builtKind(const char* kind) {
    return qstrcmp(kind, "QPushButton") == 0 ? QStringLiteral("CommandButton")
                                             : QString::fromLatin1(kind);
}

// The rectangle the style lays a push button's caption out in.
QRect captionRect(const QPushButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
}

// The caption's ink, the pixels that change when only the text colour changes: their mask, their
// box and the number of pixel rows they show on.
struct Ink {
    QImage mask;
    QRect box;
    int rows = 0;
};

Ink inkOf(QPushButton* button) {
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, Qt::black);
    button->setPalette(palette);
    const QImage black = button->grab().toImage();
    palette.setColor(QPalette::ButtonText, Qt::red);
    button->setPalette(palette);
    const QImage red = button->grab().toImage();
    Ink ink;
    ink.mask = QImage(black.size(), QImage::Format_Grayscale8);
    ink.mask.fill(0);
    for (int y = 0; y < black.height(); ++y) {
        bool inked = false;
        for (int x = 0; x < black.width(); ++x) {
            if (black.pixel(x, y) != red.pixel(x, y)) {
                ink.mask.setPixel(x, y, qRgb(255, 255, 255));
                ink.box |= QRect(x, y, 1, 1);
                inked = true;
            }
        }
        ink.rows += inked ? 1 : 0;
    }
    return ink;
}

// Command34's captions while the transcript is shown and while it is not.
const char* const kCommand34Captions[] = {"データを表示しない", "CLOSE"};

} // namespace

class TestLayout : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void window();
    void controls_data();
    void controls();
    void everyControlAndNoOther();
    void tabOrder();
    void childrenInStoredOrder();
    void lines_data();
    void lines();
    void settingsGroupCoversComButton();
    void optionGroupsExcludeWithinTheirContainer();
    void displayLinesKeepTheirSize();
    void textBoxTakesLongText();
    void picture();
    void iconIsThePictureOnASquare_data();
    void iconIsThePictureOnASquare();
    void fontsRenderCaptions_data();
    void fontsRenderCaptions();
    void captionsFitWhenWrapped_data();
    void captionsFitWhenWrapped();
    void fittingCaptionsLookLikePushButtons_data();
    void fittingCaptionsLookLikePushButtons();
    void facesInStoredColour_data();
    void facesInStoredColour();
    void wrapping_data();
    void wrapping();
    void wrappingNarrow();

private:
    QWidget form_;
    Ui::Form1 ui_{};
};

void TestLayout::initTestCase() {
    installFontSubstitutions();
    setUpForm(ui_, form_);
    addTextBox(ui_);
    // A point size in a style sheet reaches its control when it is polished.
    form_.ensurePolished();
}

void TestLayout::window() {
    QCOMPARE(form_.objectName(), QStringLiteral("Form1"));
    QCOMPARE(form_.windowTitle(), QStringLiteral("VEXO   RM-Q27   CONTROL   Ver.1.40"));
    QCOMPARE(form_.size(), QSize(px(9495), px(8730)));
    QCOMPARE(form_.minimumWidth(), form_.maximumWidth());
    QCOMPARE(form_.palette().color(QPalette::Window), QColor("#C0C0C0"));
    const QFont font = form_.font();
    QCOMPARE(font.family(), QStringLiteral(u"ＭＳ ゴシック"));
    QCOMPARE(font.pointSizeF(), 9.0);
    QVERIFY(font.bold());
}

void TestLayout::controls_data() {
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(kLayout)); ++i) {
        QTest::newRow(kLayout[i].name) << i;
    }
}

void TestLayout::controls() {
    QFETCH(int, row);
    const StoredControl& c = kLayout[row];
    auto* w = form_.findChild<QWidget*>(QString::fromLatin1(c.name));
    QVERIFY(w);

    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), builtKind(c.kind));
    QVERIFY(w->inherits(c.kind));
    QVERIFY(w->parentWidget());
    QCOMPARE(w->parentWidget()->objectName(), QString::fromLatin1(c.container));
    QCOMPARE(captionOf(w), QString::fromUtf8(c.caption));
    QCOMPARE(w->geometry(), QRect(px(c.left), px(c.top), px(c.width), px(c.height)));
    QCOMPARE(w->isHidden(), !c.visible);
    QVERIFY(w->isEnabled());

    auto* button = qobject_cast<QPushButton*>(w);
    auto* edit = qobject_cast<QLineEdit*>(w);
    if (button) {
        const QColor face = c.back == kSystem
                                ? QApplication::palette(button).color(QPalette::Button)
                                : QColor(c.back);
        QCOMPARE(button->palette().color(QPalette::Button), face);
        if (c.back != kSystem) {
            QCOMPARE(button->palette().color(QPalette::ButtonText), QColor(Qt::black));
        }
        QVERIFY(!button->autoDefault());
        QVERIFY(!button->isDefault());
    } else if (edit) {
        QCOMPARE(edit->palette().color(QPalette::Base),
                 QApplication::palette(edit).color(QPalette::Base));
    } else if (c.back) {
        QCOMPARE(shownBackground(w), QColor(c.back));
    }
    if (!button && !edit && c.font) {
        QCOMPARE(w->palette().color(w->foregroundRole()), QColor(c.text ? c.text : "#000000"));
    }

    if (c.font) {
        const FontKey& key = fontKey(c.font);
        const QFont font = w->font();
        QCOMPARE(font.family(), QString::fromUtf16(key.face));
        QCOMPARE(font.pointSizeF(), key.points);
        QCOMPARE(font.bold(), key.bold);
        QVERIFY(!font.italic() && !font.underline() && !font.strikeOut());
    }

    // Frames and labels hold a tab index but never take the focus.
    QCOMPARE(bool(w->focusPolicy() & Qt::TabFocus), isFocusableKind(c.kind));

    if (auto* label = qobject_cast<QLabel*>(w); label && !qobject_cast<PictureBox*>(w)) {
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(!label->wordWrap());
        QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, c.align);
    }
    if (auto* option = qobject_cast<QRadioButton*>(w)) {
        QCOMPARE(option->isChecked(), c.checked);
        QVERIFY(option->autoExclusive());
    }
}

void TestLayout::everyControlAndNoOther() {
    QSet<QString> expected;
    for (const StoredControl& c : kLayout) {
        expected << QString::fromLatin1(c.name);
    }
    for (const StoredLine& l : kLines) {
        expected << QString::fromLatin1(l.name);
    }
    QSet<QString> found;
    QHash<QString, int> kinds;
    int frames = 0;
    int lines = 0;
    for (const QWidget* w : form_.findChildren<QWidget*>()) {
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_"))) {
            continue; // a widget's own internals
        }
        found << w->objectName();
        const QString kind = QString::fromLatin1(w->metaObject()->className());
        ++kinds[kind];
        if (kind == QLatin1String("QFrame")) {
            (w->objectName().startsWith(QLatin1String("Line")) ? lines : frames)++;
        }
    }
    QCOMPARE(found, expected);
    QCOMPARE(kinds.value("CommandButton"), 73);
    QCOMPARE(kinds.value("QLabel"), 20);
    QCOMPARE(kinds.value("DisplayLine"), 3); // the three display lines are labels too
    QCOMPARE(frames, 13);
    QCOMPARE(lines, 12);
    QCOMPARE(kinds.value("QRadioButton"), 4);
    QCOMPARE(kinds.value("QLineEdit"), 1);
    QCOMPARE(kinds.value("PictureBox"), 1);
}

void TestLayout::tabOrder() {
    QList<const StoredControl*> focusable;
    for (const StoredControl& c : kLayout) {
        if (isFocusableKind(c.kind)) {
            focusable << &c;
        }
    }
    std::sort(focusable.begin(), focusable.end(),
              [](const StoredControl* a, const StoredControl* b) { return a->tab < b->tab; });
    QStringList expected;
    for (const StoredControl* c : focusable) {
        expected << QString::fromLatin1(c->name);
    }

    // From the window round the chain: the first stop is the first to get the focus ("ON" of
    // the POWER group), and the stops follow the tab indices.
    QStringList chain;
    for (QWidget* w = form_.nextInFocusChain(); w != &form_; w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            chain << w->objectName();
        }
    }
    QCOMPARE(chain, expected);
}

// A screen reader walks each container's controls in the order they were made: the stored order.
void TestLayout::childrenInStoredOrder() {
    QMap<QString, QStringList> expected;
    for (const StoredControl& c : kLayout) {
        expected[QString::fromLatin1(c.container)] << QString::fromLatin1(c.name);
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        auto* container =
            it.key() == form_.objectName() ? &form_ : form_.findChild<QWidget*>(it.key());
        QVERIFY(container);
        QStringList made;
        for (const QObject* child : container->children()) {
            const QString name = child->objectName();
            if (child->isWidgetType() && !name.isEmpty() &&
                !name.startsWith(QLatin1String("qt_")) && !name.startsWith(QLatin1String("Line"))) {
                made << name;
            }
        }
        QCOMPARE(made, it.value());
    }
}

void TestLayout::lines_data() {
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(kLines)); ++i) {
        QTest::newRow(kLines[i].name) << i;
    }
}

void TestLayout::lines() {
    QFETCH(int, row);
    const StoredLine& l = kLines[row];
    auto* line = form_.findChild<QFrame*>(QString::fromLatin1(l.name));
    QVERIFY(line);
    QCOMPARE(line->parentWidget(), &form_);

    // Two pixels thick, running from one end point to the other.
    const QRect g = line->geometry();
    const QPoint a(px(l.x1), px(l.y1));
    const QPoint b(px(l.x2), px(l.y2));
    const bool vertical = a.x() == b.x();
    QCOMPARE(vertical ? g.width() : g.height(), 2);
    QCOMPARE(vertical ? g.height() : g.width(), (vertical ? b.y() - a.y() : b.x() - a.x()) + 2);
    QVERIFY(g.contains(a));
    QVERIFY(g.contains(b));

    // Drawn in its colour and not covered by any control.
    const QImage image = form_.grab().toImage();
    const QPoint middle = g.center();
    QCOMPARE(QColor(image.pixel(middle)), QColor("#8080FF"));
    QCOMPARE(QColor(image.pixel(g.topLeft())), QColor("#8080FF"));
    QCOMPARE(QColor(image.pixel(g.bottomRight())), QColor("#8080FF"));
}

void TestLayout::settingsGroupCoversComButton() {
    QWidget form;
    Ui::Form1 ui{};
    ui.setupUi(&form);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    const QRect com = ui.Command33->geometry();
    const QList<QPoint> points = {com.topLeft(), com.topRight(), com.bottomLeft(),
                                  com.bottomRight(), com.center()};
    for (const QPoint& p : points) {
        QCOMPARE(form.childAt(p), ui.Command33);
    }
    ui.Frame8->show();
    QVERIFY(ui.Frame8->geometry().contains(com));
    for (const QPoint& p : points) {
        QWidget* top = form.childAt(p);
        QVERIFY2(top == ui.Frame8 || ui.Frame8->isAncestorOf(top), qPrintable(top->objectName()));
    }
    ui.Frame8->hide();
    for (const QPoint& p : points) {
        QCOMPARE(form.childAt(p), ui.Command33);
    }
}

void TestLayout::optionGroupsExcludeWithinTheirContainer() {
    QWidget form;
    Ui::Form1 ui{};
    ui.setupUi(&form);

    ui.Option1->setChecked(true);
    QVERIFY(ui.Option9->isChecked());
    ui.Option2->setChecked(true);
    QVERIFY(!ui.Option1->isChecked());
    QVERIFY(ui.Option9->isChecked());

    ui.Option10->setChecked(true);
    QVERIFY(!ui.Option9->isChecked());
    QVERIFY(ui.Option2->isChecked());
}

void TestLayout::displayLinesKeepTheirSize() {
    QWidget form;
    Ui::Form1 ui{};
    ui.setupUi(&form);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    const QString longText = QString(" <0x0D>&").repeated(400);
    for (QLabel* line : {ui.Label11, ui.Label12, ui.Label22}) {
        const QRect before = line->geometry();
        line->setText(longText);
        form.adjustSize();
        QCOMPARE(line->geometry(), before);
        QCOMPARE(line->minimumSize(), before.size());
        QCOMPARE(line->maximumSize(), before.size());
        QCOMPARE(line->text(), longText);
        QVERIFY(line->frameShape() != QFrame::NoFrame);
        QCOMPARE(line->lineWidth(), 1);
    }
}

void TestLayout::textBoxTakesLongText() {
    auto* box = form_.findChild<QLineEdit*>(QStringLiteral("Text1"));
    QVERIFY(box);
    // Well past Qt's default cap of 32767 characters.
    const QString text(40000, QLatin1Char('C'));
    box->setText(text);
    QCOMPARE(box->text().size(), text.size());
    box->clear();
}

void TestLayout::picture() {
    const QPixmap stored(QStringLiteral(RMQ27_STORED_PICTURE));
    QVERIFY(!stored.isNull());
    QCOMPARE(stored.size(), QSize(80, 26));

    QWidget form;
    Ui::Form1 ui{};
    setUpForm(ui, form);
    PictureBox* picture = ui.Image1;
    // The pixels built into the program are the stored picture's, every one.
    QCOMPARE(picture->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
             stored.toImage().convertToFormat(QImage::Format_RGB32));
    QVERIFY(!picture->hasScaledContents());
    QCOMPARE(picture->alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask),
             Qt::AlignLeft | Qt::AlignTop);

    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QSignalSpy spy(picture, &PictureBox::doubleClicked);
    QTest::mouseClick(picture, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(spy.count(), 0);
    QTest::mouseDClick(picture, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(spy.count(), 1);
}

void TestLayout::iconIsThePictureOnASquare_data() {
    QTest::addColumn<int>("size");
    for (const int size : AppIconSizes) {
        QTest::addRow("%d", size) << size;
    }
}

// Icon themes and the window take square icons; the picture must sit centred on one, whole and
// unstretched, with nothing but transparency around it.
void TestLayout::iconIsThePictureOnASquare() {
    QFETCH(int, size);
    const QImage icon = appIconImage(size);
    QCOMPARE(icon.size(), QSize(size, size));
    QVERIFY(icon.hasAlphaChannel());
    QRect opaque;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (qAlpha(icon.pixel(x, y)) != 0) {
                opaque |= QRect(x, y, 1, 1);
            }
        }
    }
    QVERIFY(!opaque.isEmpty());
    QVERIFY(qAbs(opaque.left() - (size - 1 - opaque.right())) <= 1);
    QVERIFY(qAbs(opaque.top() - (size - 1 - opaque.bottom())) <= 1);
    QVERIFY2(opaque.width() >= size * 7 / 8, "the picture fills the icon's width");
    const qreal aspect = qreal(opaque.width()) / opaque.height();
    QVERIFY2(qAbs(aspect - 80.0 / 26.0) < 80.0 / 26.0 * 2 / opaque.height(), "aspect kept");
    QVERIFY(appIcon().availableSizes().contains(QSize(size, size)));
}

void TestLayout::fontsRenderCaptions_data() {
    QTest::addColumn<QString>("face");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");
    for (const FontKey& key : kFontKeys) {
        QTest::newRow(key.key) << QString::fromUtf16(key.face) << key.points << key.bold;
    }
}

void TestLayout::fontsRenderCaptions() {
    QFETCH(QString, face);
    QFETCH(qreal, points);
    QFETCH(bool, bold);

    if (!captionFacesInstalled()) {
        QSKIP("no installed face renders the arrows and the Japanese captions");
    }

    QFont font(face);
    font.setPointSizeF(points);
    font.setBold(bold);
    const QString resolved = QFontInfo(font).family();
    QVERIFY2(rendersCaptions(resolved), qPrintable(resolved));
    // The fixed-pitch Gothic maps to a fixed-pitch face, its companion to a proportional one.
    QFont exact(resolved);
    exact.setStyleStrategy(QFont::NoFontMerging);
    QCOMPARE(hasFixedPitch(exact), face == QStringLiteral(u"ＭＳ ゴシック"));
}

void TestLayout::captionsFitWhenWrapped_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    for (const StoredControl& c : kLayout) {
        if (qstrcmp(c.kind, "QPushButton") == 0) {
            QTest::newRow(c.name) << QString::fromLatin1(c.name) << QString::fromUtf8(c.caption);
        }
    }
    for (const char* caption : kCommand34Captions) {
        QTest::newRow(caption) << QStringLiteral("Command34") << QString::fromUtf8(caption);
    }
}

// Every caption, wrapped between words, is no wider than its button, and the button draws all
// of it: each line it draws fits across, and every pixel row of every line's glyphs shows (a line
// cut at the top or bottom of the caption area shows on fewer rows). Two lines at the face's own
// line spacing would need 26 pixels, more than Command34's 25; the button closes them up, so the
// height is held against the ink drawn rather than against line boxes.
void TestLayout::captionsFitWhenWrapped() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    if (!captionFacesInstalled()) {
        QSKIP("no installed face renders the arrows and the Japanese captions");
    }
    const auto* stored = form_.findChild<CommandButton*>(name);
    QVERIFY(stored);
    const QFontMetrics metrics(stored->font());
    const QRect inside = stored->contentsRect();
    const QRect wrapped = metrics.boundingRect(inside, Qt::TextWordWrap | Qt::AlignCenter, caption);
    QVERIFY2(wrapped.left() >= inside.left() && wrapped.right() <= inside.right(),
             qPrintable(QStringLiteral("%1 is %2 wide in %3")
                            .arg(caption)
                            .arg(wrapped.width())
                            .arg(inside.width())));

    CommandButton button;
    button.setFont(stored->font());
    button.setPalette(stored->palette());
    button.resize(stored->size());
    button.setText(caption);
    const QRect area = captionRect(&button);
    // Each line alone on a roomy push button shows every row of its glyphs.
    int glyphRows = 0;
    for (const QString& line :
         CommandButton::captionLines(caption, button.font(), area.width(), &button)) {
        QVERIFY(metrics.horizontalAdvance(line) <= area.width());
        QPushButton roomy(line);
        roomy.setFont(button.font());
        roomy.setPalette(button.palette());
        roomy.resize(stored->width() + 40, 3 * metrics.height());
        glyphRows += inkOf(&roomy).rows;
    }
    const Ink ink = inkOf(&button);
    QVERIFY(area.contains(ink.box));
    QVERIFY2(ink.rows >= glyphRows,
             qPrintable(QStringLiteral("%1 of %2 rows show").arg(ink.rows).arg(glyphRows)));
}

void TestLayout::fittingCaptionsLookLikePushButtons_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::newRow("ON") << QStringLiteral("Command17") << QStringLiteral("ON");
    QTest::newRow("arrow") << QStringLiteral("Command5") << QStringLiteral(u"↑");
    QTest::newRow("Y,Pb/Cb,Pr/Cr")
        << QStringLiteral("Command80") << QStringLiteral("Y,Pb/Cb,Pr/Cr");
    QTest::newRow("CLOSE") << QStringLiteral("Command34") << QStringLiteral("CLOSE");
    QTest::newRow("COM, system face") << QStringLiteral("Command33") << QStringLiteral("COM");
}

// Where the caption fits, a command button draws it pixel for pixel where a push button does, at
// rest and held down.
void TestLayout::fittingCaptionsLookLikePushButtons() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    const auto* stored = form_.findChild<QPushButton*>(name);
    QVERIFY(stored);

    QPushButton plain;
    CommandButton command;
    for (QPushButton* b : {&plain, static_cast<QPushButton*>(&command)}) {
        b->setFont(stored->font());
        b->setPalette(stored->palette());
        b->resize(stored->size());
        b->setText(caption);
    }
    if (QFontMetrics(stored->font()).horizontalAdvance(caption) > captionRect(&plain).width()) {
        QSKIP("the installed faces are too wide for this caption to fit on one line");
    }
    QCOMPARE(inkOf(&command).mask, inkOf(&plain).mask);
    plain.setDown(true);
    command.setDown(true);
    QCOMPARE(inkOf(&command).mask, inkOf(&plain).mask);
}

void TestLayout::facesInStoredColour_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("colour");
    // One button of each colour of the palette.
    QTest::newRow("#C0FFFF") << QStringLiteral("Command27") << QStringLiteral("#C0FFFF");
    QTest::newRow("#C0FFC0") << QStringLiteral("Command17") << QStringLiteral("#C0FFC0");
    QTest::newRow("#FFC0C0") << QStringLiteral("Command18") << QStringLiteral("#FFC0C0");
    QTest::newRow("#FFE0C0") << QStringLiteral("Command5") << QStringLiteral("#FFE0C0");
    QTest::newRow("#FF8000") << QStringLiteral("Command6") << QStringLiteral("#FF8000");
    QTest::newRow("#C0C0FF") << QStringLiteral("Command3") << QStringLiteral("#C0C0FF");
    QTest::newRow("#00C0C0") << QStringLiteral("Command13") << QStringLiteral("#00C0C0");
    QTest::newRow("#E0E0E0") << QStringLiteral("Command76") << QStringLiteral("#E0E0E0");
    QTest::newRow("#C0C0C0") << QStringLiteral("Command16") << QStringLiteral("#C0C0C0");
}

// At rest every pixel of a button's face, inside its edge and outside its caption, is exactly
// the stored colour; the edge is lit at the top left and shaded at the bottom right, the other
// way round while the button is held down.
void TestLayout::facesInStoredColour() {
    QFETCH(QString, name);
    QFETCH(QString, colour);
    auto* stored = form_.findChild<CommandButton*>(name);
    QVERIFY(stored);
    const QImage image = stored->grab().toImage();

    CommandButton twin;
    twin.setFont(stored->font());
    twin.setPalette(stored->palette());
    twin.resize(stored->size());
    twin.setText(stored->text());
    const QImage caption = inkOf(&twin).mask;

    constexpr int edge = 2;
    int face = 0;
    for (int y = edge; y < image.height() - edge; ++y) {
        for (int x = edge; x < image.width() - edge; ++x) {
            if (qGray(caption.pixel(x, y)) != 0) {
                continue;
            }
            const QColor shown(image.pixel(x, y));
            QVERIFY2(shown == QColor(colour),
                     qPrintable(QStringLiteral("%1 at (%2, %3)").arg(shown.name()).arg(x).arg(y)));
            ++face;
        }
    }
    QVERIFY(face > image.width() * image.height() / 3);

    const auto lit = [](const QImage& i) {
        const int mid = i.height() / 2;
        return QColor(i.pixel(0, mid)).lightness() -
               QColor(i.pixel(i.width() - 1, mid)).lightness();
    };
    QVERIFY(lit(image) > 0);
    stored->setDown(true);
    const QImage held = stored->grab().toImage();
    stored->setDown(false);
    QVERIFY(lit(held) < 0);
}

void TestLayout::wrapping_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("widest"); // the line that sets the width the caption gets
    QTest::addColumn<int>("slack");      // pixels added to that line's width
    QTest::addColumn<QString>("expected");
    QTest::newRow("fits") << QStringLiteral("DISPLAY CLEAR") << QStringLiteral("DISPLAY CLEAR") << 0
                          << QStringLiteral("DISPLAY CLEAR");
    QTest::newRow("between words") << QStringLiteral("DISPLAY CLEAR") << QStringLiteral("DISPLAY")
                                   << 2 << QStringLiteral("DISPLAY\nCLEAR");
    QTest::newRow("three words") << QStringLiteral("R/C KEY OFF") << QStringLiteral("R/C KEY") << 1
                                 << QStringLiteral("R/C KEY\nOFF");
    QTest::newRow("inside a long word")
        << QStringLiteral("FILTER(usable)") << QStringLiteral("FILTER(") << 1
        << QStringLiteral("FILTER(\nusable)");
    QTest::newRow("own line breaks")
        << QStringLiteral("A\nB") << QStringLiteral("A") << 40 << QStringLiteral("A\nB");
    QTest::newRow("empty") << QString() << QStringLiteral("M") << 0 << QString();
}

void TestLayout::wrapping() {
    QFETCH(QString, text);
    QFETCH(QString, widest);
    QFETCH(int, slack);
    QFETCH(QString, expected);
    // The width is measured in the face the caption is laid out in, so the breaks fall in the
    // same places whichever face is installed.
    QFont font;
    font.setPixelSize(12);
    const int width = qCeil(QFontMetricsF(font).horizontalAdvance(widest)) + slack;
    QCOMPARE(CommandButton::captionLines(text, font, width).join(QLatin1Char('\n')), expected);
}

// However narrow the button, every character of the caption is drawn, and nothing hangs.
void TestLayout::wrappingNarrow() {
    const QString text = QStringLiteral(u"データを表示しない DISPLAY CLEAR");
    const QFont font = ui_.Command34->font();
    for (int width : {-5, 0, 1, 3}) {
        const QStringList lines = CommandButton::captionLines(text, font, width);
        QCOMPARE(lines.join(QString()).remove(QLatin1Char(' ')),
                 QString(text).remove(QLatin1Char(' ')));
    }
    CommandButton button;
    button.setFont(font);
    button.setText(text);
    for (const QSize size : {QSize(1, 1), QSize(6, 40), QSize(80, 3)}) {
        button.resize(size);
        QVERIFY(!button.grab().isNull());
    }
}

QTEST_MAIN(TestLayout)
#include "test_layout.moc"
