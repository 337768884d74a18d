#include "serial/net_link.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <cstring>

#if defined(Q_OF_ELF) && defined(Q_OS_LINUX)
#include <elf.h>
#include <link.h>
#endif

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

namespace {

// Why the file at `path` cannot be a whole module, or nothing. The loader maps a library's
// segments as its headers describe them and touches them at once; a file cut short (a copy or an
// upgrade interrupted) would end the program with SIGBUS there, so its headers are checked
// against its size first.
std::optional<QString> damage(const QString& path) {
#if defined(Q_OF_ELF) && defined(Q_OS_LINUX)
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("%1 cannot be read (%2)").arg(path, file.errorString());
    }
    const qint64 size = file.size();
    const auto cutShort = [&] { return QStringLiteral("%1 is damaged").arg(path); };
    ElfW(Ehdr) header{};
    if (file.read(reinterpret_cast<char*>(&header), sizeof header) != qint64(sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        // No library at all: the loader refuses it in its own words, without mapping anything.
        return std::nullopt;
    }
    const auto within = [size](quint64 offset, quint64 length) {
        return offset <= quint64(size) && length <= quint64(size) - offset;
    };
    if (header.e_phentsize != sizeof(ElfW(Phdr)) ||
        !within(header.e_phoff, quint64(header.e_phnum) * sizeof(ElfW(Phdr))) ||
        (header.e_shnum && !within(header.e_shoff, quint64(header.e_shnum) * header.e_shentsize))) {
        return cutShort();
    }
    for (int i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment{};
        if (!file.seek(qint64(header.e_phoff + quint64(i) * sizeof segment)) ||
            file.read(reinterpret_cast<char*>(&segment), sizeof segment) !=
                qint64(sizeof segment)) {
            return cutShort();
        }
        if (segment.p_type != PT_NULL && !within(segment.p_offset, segment.p_filesz)) {
            return cutShort();
        }
    }
#else
    Q_UNUSED(path);
#endif
    return std::nullopt;
}

} // namespace

DeviceServersModule& DeviceServersModule::installed() {
    // The module loaded into this process, for as long as the process runs.
    static DeviceServersModule module(moduleCandidates());
    return module;
}

NetLinkMade DeviceServersModule::make(NetLink::Events events) {
    if (entry_) {
        if (NetLink* link = entry_(kNetLinkBuild, &events)) {
            return {std::unique_ptr<NetLink>(link), std::nullopt};
        }
    }
    QStringList why;
    bool otherBuild = false;
    for (const QString& path : std::as_const(candidates_)) {
        if (!QFileInfo(path).isFile()) {
            continue;
        }
        if (const std::optional<QString> damaged = damage(path)) {
            why << *damaged;
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
            entry_ = entry;
            return {std::unique_ptr<NetLink>(link), std::nullopt};
        }
        otherBuild = true;
        why << QStringLiteral("%1 belongs to another build of the program").arg(path);
    }
    if (why.isEmpty()) {
        why << QStringLiteral("%1 is not installed").arg(QStringLiteral(RMQ27_DEVICE_SERVERS_FILE));
    }
    // A module of another build is one installed after this program started: the program on
    // disk is its match, and starting it again loads both.
    const QString description =
        QStringLiteral("the support for device servers cannot be loaded (%1)")
            .arg(why.join(QStringLiteral("; ")));
    if (otherBuild && why.size() == 1) {
        return {nullptr, Failure{description, {}, Remedy::Restart}};
    }
    return {nullptr, Failure{description, QStringLiteral("reinstall the program")}};
}

NetLinkMade makeNetLinkFrom(const QStringList& modules, NetLink::Events events) {
    return DeviceServersModule(modules).make(std::move(events));
}

NetLinkMade makeNetLink(NetLink::Events events) {
    return DeviceServersModule::installed().make(std::move(events));
}
