#pragma once

#include <QString>
#include <optional>

// What the command line asks for. When exitCode is set the program ends with it at once (after
// --help, --version, a usage error, or when no display is available).
struct StartOptions {
    QString com1;
    QString com2;
    bool simulate = false;
    std::optional<int> exitCode;
};

StartOptions parseCommandLine(int argc, char* argv[]);
