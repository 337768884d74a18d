#pragma once

#include <QString>

class QWidget;
class DisplayLine;

// What assistive technology hears of the window. The names and the plain words of every
// description are in the form, beside the control they belong to; what a command button sends
// and how is added here from the command table, so that each code is written in one place only.

// Ends the description of every command button and of SEND with what it sends and how: "Lens
// shift up; sends C5D; repeats while held". Call once, on the window made from the form.
void describeCommands(QWidget& window);

// The description a command button ends with, after its words from the form.
QString commandSuffix(const QString& control);

// Shows a reading on a display line and tells assistive technology about it when it changes the
// line, or, with `firstOfReply`, also when it is the same as the reading already shown (the
// operator asked again). A reply read again as its next piece arrives is not announced twice.
void announceReading(DisplayLine& line, const QString& reading, bool firstOfReply);
