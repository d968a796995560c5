#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

namespace corvantis::test {

// Why this process may not run a test that needs root inside network and mount namespaces of its own (CTest
// starts such suites through tests/support/in-netns); nothing when it may.
inline std::optional<std::string> WhyNoPrivateNetwork()
{
    if (::geteuid() != 0)
        return "needs root";
    const char* inside = std::getenv("CORVANTIS_IN_NETNS");
    if (!inside || std::string(inside) != "1")
        return "needs network and mount namespaces of its own (tests/support/in-netns)";
    return std::nullopt;
}

} // namespace corvantis::test

// Skips the test, naming `what` cannot be tested and why, when the process has no private network. `.ci/run` asks
// for a failure instead (CORVANTIS_REQUIRE_NETNS), so that a machine that cannot run the test never passes
// silently.
#define REQUIRE_PRIVATE_NETWORK(what)                                                                                  \
    do {                                                                                                               \
        if (const auto why = ::corvantis::test::WhyNoPrivateNetwork()) {                                               \
            if (std::getenv("CORVANTIS_REQUIRE_NETNS"))                                                                \
                FAIL() << what << " cannot be tested here: " << *why;                                                  \
            GTEST_SKIP() << what << " cannot be tested here: " << *why;                                                \
        }                                                                                                              \
    } while (false)
