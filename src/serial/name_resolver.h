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
// is put in front of it. The choice lives with the serial control, which hands it to the device
// server link at each open.
namespace name_lookup {

// What the lookup thread calls: the system's resolver status (0 for found) and the addresses.
// Runs on that thread, so it must touch nothing but its arguments.
using Resolver = std::function<int(const std::string& name, std::vector<sockaddr_storage>& found)>;

// Puts another resolver in front of the system's (tests: names that must not leave the machine);
// an empty function restores the system's.
void setResolver(Resolver resolver);
// The resolver put in front, or an empty function for the system's.
const Resolver& installedResolver();

} // namespace name_lookup
