#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QVariantList>

// A small AT-SPI client over D-Bus, as a screen reader sees a program: the accessibility bus,
// the tree of accessible objects, their roles, names and descriptions, and their actions.

// The accessibility bus's address, from the session bus (which starts it when it is not yet up).
QString a11yBusAddress();

// One accessible object: the connection that serves it and its object path.
struct Node {
    QString service;
    QString path;
};

QDBusMessage atspiCall(QDBusConnection& bus, const Node& at, const QString& iface,
                       const QString& method, const QVariantList& args = {});
// A property of the Accessible interface ("Name", "Description").
QString atspiProperty(QDBusConnection& bus, const Node& at, const QString& name);
QList<Node> atspiChildren(QDBusConnection& bus, const Node& at);
QString roleName(QDBusConnection& bus, const Node& at);

struct Seen {
    Node node;
    QString role;
    QString name;
    QString description;
};

// Every object below `at`, depth first.
void walk(QDBusConnection& bus, const Node& at, QList<Seen>& into);
