#pragma once

#include <QImage>

class QLineEdit;
class QWidget;
namespace Ui {
class Form1;
}

// The window's controls as the form's file lays them out, completed by what that file cannot hold
// or holds only at a cost before the first frame: the point sizes that are not whole numbers, and
// the picture, built into the program as pixels.
void setUpForm(Ui::Form1& ui, QWidget& form);

// The free-text line Text1, made apart from the rest of the form: a line edit lays out its text as
// soon as it is made, which loads the font database and faces, several milliseconds. The line
// sits below the start height, so the panel makes it once its first frame is on the screen. It
// takes the place the form would give it: in Frame15 after its label "CMD" (its buddy), after
// Command84 in the tab order, and before Command95 among Frame15's children, the order a screen
// reader walks.
QLineEdit* addTextBox(Ui::Form1& ui);

// The panel's picture (80 by 26 pixels), without decoding anything.
QImage storedPicture();
