#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant is a crash to libFuzzer: it keeps the input and reports the check.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
