#pragma once

#include <QStringList>

// The whole program after QCoreApplication exists: options, password, line, server, event loop.
// Returns the exit status.
int runBridge(const QStringList& args);
