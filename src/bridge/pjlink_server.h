#pragma once

#include "bridge/client_listener.h"
#include "bridge/pjlink_connection.h"
#include "bridge/pjlink_protocol.h"
#include "core/failure.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class LineQueue;

// The PJLink side: listens on one or more addresses, greets, bounds the number of connections
// and hands each client's lines to the one line queue.
class PjlinkServer : public ClientListener {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 32;

    PjlinkServer(LineQueue& queue, pjlink::Identity identity, std::optional<QByteArray> password,
                 QObject* parent = nullptr);

private:
    ClientConnection* makeConnection(QTcpSocket* socket) override;

    LineQueue& queue_;
    pjlink::Identity identity_;
    std::optional<QByteArray> password_;
};
