#pragma once
// Tests that need a tool the test command installs (scripts/deps.sh: mbpoll,
// the Tahoma-metric font of fonts-wine, /usr/bin/python3, ...). On a
// developer's machine a missing tool skips the test with the reason. In CI
// (CI=true, as CI services set it) the test command has installed every one
// of them, so a missing tool means a broken set-up: the test fails instead
// of passing unseen as a skip.
//
// Include GoogleTest or Qt Test first; REQUIRE_TOOL then uses its macros.
//   REQUIRE_TOOL(OnPath("mbpoll"), "mbpoll is not installed (Debian package mbpoll)");

#include <cstdlib>
#include <cstring>

// True when the CI variable says the tests run in CI ("true" or "1").
inline bool RunningInCi()
{
    const char *ci = std::getenv("CI");
    return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

// Appended to the reason of a failure, so that nobody looks for a fault in
// the code under test.
#define LUMO_IN_CI_NOTE " (CI=true: the test command installs it, so its absence is a failure)"

#if defined(GTEST_SKIP)
// In a test body or SetUp(): returns from it, skipped or failed, when `present` is false.
#define REQUIRE_TOOL(present, reason)                                                              \
    do {                                                                                           \
        if (!(present)) {                                                                          \
            if (RunningInCi())                                                                     \
                FAIL() << (reason) << LUMO_IN_CI_NOTE;                                             \
            else                                                                                   \
                GTEST_SKIP() << (reason);                                                          \
        }                                                                                          \
    } while (0)
#elif defined(QSKIP)
// In a Qt Test function: returns from it, skipped or failed, when `present` is false.
#define REQUIRE_TOOL(present, reason)                                                              \
    do {                                                                                           \
        if (!(present)) {                                                                          \
            if (RunningInCi())                                                                     \
                QFAIL(reason LUMO_IN_CI_NOTE);                                                     \
            else                                                                                   \
                QSKIP(reason);                                                                     \
        }                                                                                          \
    } while (0)
#endif
