#pragma once

#include "bridge/client_connection.h"
#include "bridge/pjlink_protocol.h"

#include <QByteArray>
#include <optional>

// One PJLink client, one user of the line queue (see ClientConnection): the greeting, the digest
// check, and its command lines through the line queue. Bad input (a line over the length limit,
// bytes that are not printable text, no CR within the limit, a wrong digest, a digest without a
// command) closes this connection and nothing else.
class PjlinkConnection : public ClientConnection {
    Q_OBJECT
public:
    // password: when set, a digest must come in front of the first command.
    PjlinkConnection(QTcpSocket* socket, LineQueue& queue, const pjlink::Identity& identity,
                     const std::optional<QByteArray>& password, const ConnectionLimits& limits,
                     QObject* parent = nullptr);

private:
    bool handleLine(QByteArray line) override;

    const pjlink::Identity& identity_;
    std::optional<QByteArray> expectedDigest_; // until the client has authenticated
    QByteArray digest_;                        // the digest this connection accepts
};
