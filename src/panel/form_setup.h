#pragma once

#include <QImage>

class QWidget;
namespace Ui {
class Form1;
}

// The window's controls as the form's file lays them out, completed by what that file cannot hold
// or holds only at a cost before the first frame: the point sizes that are not whole numbers, and
// the picture, built into the program as pixels.
void setUpForm(Ui::Form1& ui, QWidget& form);

// The panel's picture (80 by 26 pixels), without decoding anything.
QImage storedPicture();
