#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// What the command line asks for. When exitCode is set the program ends with it at once, after
// writing `out` to standard output and `err` to standard error (--help, --version, a usage error).
struct StartOptions {
    QString com1;
    QString com2;
    bool simulate = false;
    QString log;          // --log: every event of the line appended to this file
    QString passwordFile; // --password-file: the password of a bridge behind COM1 or COM2
    std::optional<QByteArray> password; // read from passwordFile before the window opens
    // Jobs done without the window: list the serial ports, or forget the remembered devices.
    bool listPorts = false;
    bool forget = false;
    // Qt's own options, left to QApplication: the display and platform named, and whether a
    // style was.
    QString qtDisplay;
    QString qtPlatform;
    bool qtStyle = false;
    std::optional<int> exitCode;
    QString out;
    QString err;
};

// Parses the program's arguments (the first is the program itself). Needs no QCoreApplication
// and reads nothing but `arguments`.
StartOptions parseArguments(const QStringList& arguments);

// parseArguments() on argv, with its text written out; also refuses to go on (exit code 1) when
// there is no display to open the window on. Qt's standard options stay in argv for QApplication.
StartOptions parseCommandLine(int argc, char* argv[]);

// --list-ports and --forget, which need no window and no display; the exit code when one of them
// was asked for.
std::optional<int> runWithoutWindow(const StartOptions& options);
