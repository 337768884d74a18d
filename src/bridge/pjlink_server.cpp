#include "bridge/pjlink_server.h"

#include "bridge/line_queue.h"

#include <QTcpSocket>

PjlinkServer::PjlinkServer(LineQueue& queue, pjlink::Identity identity,
                           std::optional<QByteArray> password, QObject* parent)
    : ClientListener(MaxConnections, QStringLiteral("connection"), parent), queue_(queue),
      identity_(std::move(identity)), password_(std::move(password)) {}

ClientConnection* PjlinkServer::makeConnection(QTcpSocket* socket) {
    return new PjlinkConnection(socket, queue_, identity_, password_, limits(), this);
}
