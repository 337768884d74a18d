#include "serial/net_link.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace {

// Where the module is: installed beside the programs' libraries (the path from the programs'
// folder is fixed at build time), else beside the program itself, as in a build tree. Nothing
// from the environment or the working folder is ever loaded.
QStringList moduleCandidates() {
    const QDir programs(QCoreApplication::applicationDirPath());
    return {QDir::cleanPath(programs.filePath(
                QStringLiteral(RMQ27_DEVICE_SERVERS_FROM_PROGRAMS "/" RMQ27_DEVICE_SERVERS_FILE))),
            programs.filePath(QStringLiteral(RMQ27_DEVICE_SERVERS_FILE))};
}

} // namespace

NetLinkMade makeNetLinkFrom(const QStringList& modules, NetLink::Events events) {
    QStringList why;
    for (const QString& path : modules) {
        if (!QFileInfo(path).isFile()) {
            continue;
        }
        // Loaded for good: links made by it may live as long as the program.
        QLibrary module(path);
        const auto entry = reinterpret_cast<NetLinkEntry>(module.resolve(kNetLinkEntry));
        if (!entry) {
            why << (module.isLoaded() ? QStringLiteral("%1 is no device server module").arg(path)
                                      : module.errorString());
            continue;
        }
        if (NetLink* link = entry(kNetLinkBuild, &events)) {
            return {std::unique_ptr<NetLink>(link), std::nullopt};
        }
        why << QStringLiteral("%1 belongs to another build of the program").arg(path);
    }
    if (why.isEmpty()) {
        why << QStringLiteral("%1 is not installed").arg(QStringLiteral(RMQ27_DEVICE_SERVERS_FILE));
    }
    return {nullptr, QStringLiteral("the support for device servers cannot be loaded (%1); "
                                    "reinstall the program")
                         .arg(why.join(QStringLiteral("; ")))};
}

NetLinkMade makeNetLink(NetLink::Events events) {
    return makeNetLinkFrom(moduleCandidates(), std::move(events));
}
