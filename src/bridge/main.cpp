// rmq27-bridge: holds the projector's serial line and answers PJLink Class 1 on the network.

#include "bridge/bridge_run.h"
#include "exchange/event_loop.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    useQtEventDispatcher();
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return runBridge(args);
}
