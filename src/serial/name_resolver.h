#pragma once

#include <QtGlobal>

#include <functional>
#include <string>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

// What turns a device server's host name into addresses: the system's resolver, unless another
// is handed to the serial control (CommPort::setResolver), which hands it on to the device server
// link at each open.
namespace name_lookup {

// What the lookup thread calls: the system's resolver status (0 for found) and the addresses.
// Runs on that thread, so it must touch nothing but its arguments. An empty function stands for
// the system's resolver.
using Resolver = std::function<int(const std::string& name, std::vector<sockaddr_storage>& found)>;

} // namespace name_lookup
