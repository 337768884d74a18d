#pragma once

#include "core/failure.h"

#include <QByteArray>
#include <QString>

// The bridge's password, kept in a file and never given on a command line (where every user of
// the machine may read it): the bridge reads it to check its clients, the panel and rmq27-ctl to
// prove it to the bridge.
inline constexpr qsizetype MaxPasswordChars = 32;

// The password from its file: the first line, without its line end. Refused when others may read
// the file, its group or others may write it, it is no regular file, or the line is empty,
// longer than MaxPasswordChars or not printable ASCII.
Result<QByteArray> readPasswordFile(const QString& path);
