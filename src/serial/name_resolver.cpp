#include "serial/name_resolver.h"

#include <utility>

namespace name_lookup {

namespace {

Resolver& installed() {
    static Resolver resolver;
    return resolver;
}

} // namespace

void setResolver(Resolver resolver) {
    installed() = std::move(resolver);
}

const Resolver& installedResolver() {
    return installed();
}

} // namespace name_lookup
