// The module of device server support: the serial control's link (net_link.h) over SocketLink.
// It exports its one entry and nothing else.
#include "serial/net_link.h"
#include "serial/socket_link.h"

#include <QtGlobal>

#include <cstring>
#include <string_view>

namespace {

class SocketNetLink final : public NetLink {
public:
    explicit SocketNetLink(const NetLink::Events& events) {
        if (events.readyRead) {
            QObject::connect(&link_, &SocketLink::readyRead, events.readyRead);
        }
        if (events.dropped) {
            QObject::connect(&link_, &SocketLink::dropped, events.dropped);
        }
    }
    // The control is going: nothing more is told to it, whatever the link does as it ends.
    ~SocketNetLink() override { link_.disconnect(); }

    std::optional<Failure> open(const DeviceAddress& address, const LineSettings& line,
                                const name_lookup::Resolver& resolver,
                                const std::optional<QByteArray>& password) override {
        return link_.open(address, line, resolver, password);
    }
    void close() override { link_.close(); }
    void setLine(const LineSettings& line) override { link_.setLine(line); }
    std::optional<Failure> write(const QByteArray& data) override { return link_.write(data); }
    QByteArray readAll() override { return link_.readAll(); }

private:
    SocketLink link_;
};

} // namespace

static_assert(std::string_view(kNetLinkEntry) == "rmq27_make_net_link");

extern "C" Q_DECL_EXPORT NetLink* rmq27_make_net_link(const char* build,
                                                      const NetLink::Events* events) {
    if (!build || !events || std::strcmp(build, kNetLinkBuild) != 0) {
        return nullptr;
    }
    return new SocketNetLink(*events);
}
