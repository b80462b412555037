// WEBMON_ASSERT: the numbered invariants of a file, checked where data crosses a module's
// boundary, in the test and sanitizer builds (WEBMON_CHECKS); the release builds compile it to
// nothing. A failed check names the file, line and condition on standard error and aborts, so
// that a test or fuzzer stops at the first broken invariant rather than at its consequence.
#pragma once

#if WEBMON_CHECKS
#include <cstdio>
#include <cstdlib>
#define WEBMON_ASSERT(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
#else
#define WEBMON_ASSERT(condition) ((void)0)
#endif
