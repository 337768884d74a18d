#include "core/password_file.h"

#include <QFile>

#include <sys/stat.h>

Result<QByteArray> readPasswordFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Failure(
            QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString()));
    }
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Failure(QStringLiteral("the password file %1 is not a regular file").arg(path));
    }
    if (st.st_mode & (S_IROTH | S_IWOTH | S_IWGRP)) {
        // Its group may read it (how a service's group is given it), never change it.
        return Failure(QStringLiteral("the password file %1 may be read or written by others, or "
                                      "written by its group")
                           .arg(path),
                       QStringLiteral("make it private (chmod go-w,o-r %1)").arg(path));
    }
    QByteArray line = file.read(256);
    const qsizetype end = line.indexOf('\n');
    if (end >= 0) {
        line.truncate(end);
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    bool printable = true;
    for (const char c : line) {
        printable = printable && c >= 0x20 && c <= 0x7E;
    }
    if (line.isEmpty() || line.size() > MaxPasswordChars || !printable) {
        return Failure(QStringLiteral("the password in %1 must be 1 to %2 printable ASCII "
                                      "characters on its first line")
                           .arg(path)
                           .arg(MaxPasswordChars));
    }
    return line;
}
