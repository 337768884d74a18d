#pragma once

#include <QByteArray>
#include <QtGlobal>

// The programs without a window (the ctl, the bridge) run their event loop on Qt's own dispatcher
// instead of GLib's: they need nothing of GLib's main loop, and each turn of the loop costs about
// half as much, which halves the time an exchange spends in the loops of the two programs on its
// way. Call before the QCoreApplication is made; programs started from this one inherit it.
inline void useQtEventDispatcher() {
    qputenv("QT_NO_GLIB", QByteArray("1"));
}
