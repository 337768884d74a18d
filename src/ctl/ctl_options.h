#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// One thing to send: a button of the panel by its command-line name, or a raw code.
struct CtlAction {
    QString name; // "status", "power-on"; "raw" for a raw code
    QString code; // the bare command code, without prefix or carriage return
    int windowMs; // the reply window the panel gives this send
};

// The action a button's command-line name stands for, in any mix of case; nothing for an unknown
// name.
std::optional<CtlAction> findNamedAction(const QString& name);
// The action name nearest to an unknown one (fewest edits), to suggest in its place.
QString nearestActionName(const QString& name);
// A raw code, sent as the panel's free-text line sends it.
CtlAction rawAction(const QString& code);
// One line per button: name, code and caption, in the panel's order; with json, one object per
// line with the reply window as well.
QString actionListText(bool json);

// The device behind COM1: the --port option when given, else the default device.
QString ctlDevice(const QString& portOption);

struct CtlOptions {
    QString port;
    bool simulate = false;
    QString settings = QStringLiteral("19200,N,8,1");
    std::optional<int> timeoutMs; // overrides every action's own reply window
    QString logFile;              // --log
    QString passwordFile;         // --password-file: a bridge's password
    bool json = false;
    bool list = false;
    bool help = false;
    bool version = false;
    QList<CtlAction> actions;
};

struct CtlParse {
    CtlOptions options;
    QString error; // set for a usage error: one line that names the option
};

// Reads the arguments after the program name. Actions keep their order, named and raw mixed.
// Everything is checked before --help, --version or --list is honoured, so that a command line
// with a mistake in it never ends in success.
CtlParse parseCtlArguments(const QStringList& args);

// The --help text.
QString ctlUsage();
