#pragma once

#include <functional>

class QWidget;

// Runs `work` once `window` has shown its first frame: on the turn of the event loop after its
// first paint, so that the frame has reached the screen before it starts. For what the first
// frame does not need and would only wait for.
void afterFirstPaint(QWidget* window, std::function<void()> work);
