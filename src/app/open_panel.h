#pragma once

#include "app/command_line.h"

#include <memory>

class Form1;

// The window as the command line asks for it, loaded and shown, its Gothic faces substituted by
// installed ones (installFontSubstitutions) once it is on the screen. With --simulate a simulated
// projector, owned by the window, stands behind COM1; where none can be started the window opens
// all the same, COM1 keeps its own device, and one warning says why.
std::unique_ptr<Form1> openPanel(const StartOptions& options);
