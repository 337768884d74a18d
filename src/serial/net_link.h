#pragma once

#include "core/failure.h"
#include "serial/device_address.h"
#include "serial/line_settings.h"
#include "serial/name_resolver.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// The serial control's link to a device server (RFC 2217 or raw TCP) or to rmq27-bridge, as the
// control uses it.
// Its code and Qt Network, with the Kerberos and proxy libraries Qt Network brings, live in a
// module of their own (rmq27-device-servers), loaded the first time a device server is opened:
// a panel on a local line never loads them, and its window shows that much sooner.
//
// The link calls back on the control's thread, from the event loop, never from inside one of its
// own calls. The module is the program's own build: a module from another build is refused.
class NetLink {
public:
    struct Events {
        // Data waits.
        std::function<void()> readyRead;
        // The link is gone, with the failure naming the server; once per open.
        std::function<void(const Failure& failure)> dropped;
    };

    virtual ~NetLink() = default;

    // Connects, and over Telnet negotiates the option and sets the line, or with a bridge proves
    // `password` when it asks for one, within a bound. A host name goes through `resolver` (the
    // system's when empty). Returns what went wrong, naming host and port, or nothing.
    [[nodiscard]] virtual std::optional<Failure>
    open(const DeviceAddress& address, const LineSettings& line,
         const name_lookup::Resolver& resolver, const std::optional<QByteArray>& password) = 0;
    virtual void close() = 0;
    // Over Telnet, sends the settings to the server's port; a raw link keeps them local.
    virtual void setLine(const LineSettings& line) = 0;
    // Hands every byte to the socket before returning; returns what went wrong, or nothing.
    [[nodiscard]] virtual std::optional<Failure> write(const QByteArray& data) = 0;
    // The data waiting, Telnet commands removed.
    virtual QByteArray readAll() = 0;
};

// The one function the module exports, by this name: it makes a link when `build` is the
// program's build (kNetLinkBuild), and returns null otherwise.
inline constexpr char kNetLinkEntry[] = "rmq27_make_net_link";
inline constexpr char kNetLinkBuild[] = RMQ27_VERSION "/net-link-3";
using NetLinkEntry = NetLink* (*)(const char* build, const NetLink::Events* events);

struct [[nodiscard]] NetLinkMade {
    std::unique_ptr<NetLink> link;
    // Why there is no link: the module is missing, broken or of another build.
    std::optional<Failure> failure;
};

// The device server module as one program uses it: the first of its candidate files that gives a
// link is loaded on first use and kept for the life of the program, and every later link comes
// from it without looking at the disk again. A package upgrade that replaces the file while the
// program runs changes nothing for this run; a file found of another build before any was loaded
// means a program older than its module, which only a restart mends. A damaged file (cut short,
// not a library) is refused before it is loaded, never mapped and run.
class DeviceServersModule {
public:
    explicit DeviceServersModule(QStringList candidates) : candidates_(std::move(candidates)) {}
    // The program's own: installed beside the programs' libraries, or beside the program in a
    // build tree.
    static DeviceServersModule& installed();

    NetLinkMade make(NetLink::Events events);

private:
    QStringList candidates_;
    NetLinkEntry entry_ = nullptr;
};

// A link from the installed module, or from the one beside the program in a build tree.
NetLinkMade makeNetLink(NetLink::Events events);
// A link from the first of `modules` (paths to the module's file) that gives one.
NetLinkMade makeNetLinkFrom(const QStringList& modules, NetLink::Events events);
