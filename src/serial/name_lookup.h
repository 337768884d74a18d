#pragma once

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <optional>

#include "serial/name_resolver.h"

// A device server's host name turned into addresses, bounded in time. The system offers the
// lookup only blocking and without cancel, so it runs in a thread of its own that is left to
// finish alone when the bound runs out.
namespace name_lookup {

// Resolves `host` within the deadline into `addresses` through `resolver` (the system's when it
// is empty); returns what went wrong in the operator's words, or nothing.
[[nodiscard]] std::optional<QString> lookUp(const QString& host, const QDeadlineTimer& deadline,
                                            QList<QHostAddress>& addresses,
                                            const Resolver& resolver);

} // namespace name_lookup
