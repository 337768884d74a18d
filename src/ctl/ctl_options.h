#pragma once

#include <QList>
#include <QString>
#include <optional>

// One thing to send: a button of the panel by its command-line name, or a raw code.
struct CtlAction {
    QString name; // "status", "power-on"; "raw" for a raw code
    QString code; // the bare command code, without prefix or carriage return
    int windowMs; // the reply window the panel gives this send
};

// The action a button's command-line name stands for; nothing for an unknown name.
std::optional<CtlAction> findNamedAction(const QString& name);
// A raw code, sent as the panel's free-text line sends it.
CtlAction rawAction(const QString& code);
// One line per button: name, code and caption, in the panel's order.
QString actionListText();

// The device behind COM1: the --port option when given, else the default device.
QString ctlDevice(const QString& portOption);

struct CtlOptions {
    QString port;
    bool simulate = false;
    QString settings = QStringLiteral("19200,N,8,1");
    std::optional<int> timeoutMs; // overrides every action's own reply window
    bool json = false;
    bool list = false;
    bool help = false;
    bool version = false;
    QList<CtlAction> actions;
};

struct CtlParse {
    CtlOptions options;
    QString error; // set for a usage error
};

// Reads the arguments after the program name. Actions keep their order, named and raw mixed.
CtlParse parseCtlArguments(const QStringList& args);

extern const char* const CtlUsage;
