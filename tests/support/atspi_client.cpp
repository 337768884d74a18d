#include "support/atspi_client.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>

QString a11yBusAddress() {
    return QDBusConnection::sessionBus()
        .call(QDBusMessage::createMethodCall(
            QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
            QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")))
        .arguments()
        .value(0)
        .toString();
}

QDBusMessage atspiCall(QDBusConnection& bus, const Node& at, const QString& iface,
                       const QString& method, const QVariantList& args) {
    QDBusMessage call = QDBusMessage::createMethodCall(at.service, at.path, iface, method);
    call.setArguments(args);
    return bus.call(call, QDBus::Block, 5000);
}

QString atspiProperty(QDBusConnection& bus, const Node& at, const QString& name) {
    const QDBusMessage reply =
        atspiCall(bus, at, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                  {QStringLiteral("org.a11y.atspi.Accessible"), name});
    return reply.arguments().value(0).value<QDBusVariant>().variant().toString();
}

QList<Node> atspiChildren(QDBusConnection& bus, const Node& at) {
    const QDBusMessage reply = atspiCall(bus, at, QStringLiteral("org.a11y.atspi.Accessible"),
                                         QStringLiteral("GetChildren"));
    QList<Node> found;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return found;
    }
    const auto arg = reply.arguments().first().value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        QString service;
        QDBusObjectPath path;
        arg.beginStructure();
        arg >> service >> path;
        arg.endStructure();
        found << Node{service, path.path()};
    }
    arg.endArray();
    return found;
}

QString roleName(QDBusConnection& bus, const Node& at) {
    return atspiCall(bus, at, QStringLiteral("org.a11y.atspi.Accessible"),
                     QStringLiteral("GetRoleName"))
        .arguments()
        .value(0)
        .toString();
}

void walk(QDBusConnection& bus, const Node& at, QList<Seen>& into) {
    for (const Node& child : atspiChildren(bus, at)) {
        into << Seen{child, roleName(bus, child), atspiProperty(bus, child, QStringLiteral("Name")),
                     atspiProperty(bus, child, QStringLiteral("Description"))};
        walk(bus, child, into);
    }
}
