// rmq27-bridge: holds the projector's serial line and answers PJLink Class 1 on the network.

#include "bridge/bridge_run.h"
#include "exchange/event_loop.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char* argv[]) {
#ifdef SIGPIPE
    // A log or standard error whose reader has gone is a failed write and one warning, not a
    // signal that ends the bridge.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    useQtEventDispatcher();
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return runBridge(args);
}
