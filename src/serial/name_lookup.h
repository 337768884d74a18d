#pragma once

#include <optional>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>
#include <string>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

// A device server's host name turned into addresses, bounded in time. The system offers the
// lookup only blocking and without cancel, so it runs in a thread of its own that is left to
// finish alone when the bound runs out.
namespace name_lookup {

// What the lookup thread calls: the system's resolver status (0 for found) and the addresses.
// Runs on that thread, so it must touch nothing but its arguments.
using Resolver = std::function<int(const std::string& name, std::vector<sockaddr_storage>& found)>;

// Resolves `host` within the deadline into `addresses`; returns what went wrong in the operator's
// words, or nothing.
[[nodiscard]] std::optional<QString> lookUp(const QString& host, const QDeadlineTimer& deadline,
                                            QList<QHostAddress>& addresses);

// Puts another resolver in front of the system's (tests: names that must not leave the machine);
// an empty function restores the system's.
void setResolver(Resolver resolver);

} // namespace name_lookup
