#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant inside a fuzz target: say which one and abort, so that
// libFuzzer keeps the input as a crash.
#define NMB_FUZZ_CHECK(condition)                                                              \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__,     \
                         __LINE__);                                                            \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

// Harness code that runs for every byte but is no part of what is fuzzed
// (reference models, comparisons): left out of the coverage feedback, which
// would otherwise spend most of the time on it.
#define NMB_FUZZ_UNINSTRUMENTED __attribute__((no_sanitize("coverage")))
