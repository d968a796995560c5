#include <gtest/gtest.h>

#include <string>

#include "core/proxy/TargetHostName.h"

namespace corvantis {
namespace {

TEST(TargetHostName, AcceptsOrRefuses)
{
    const std::string notAllowed = "Target host name contains characters that are not allowed.";
    const std::string tooLong = "Target host name is too long.";
    struct Case {
        const char* name;
        std::string host;
        std::string error;
    };
    const Case cases[] = {
        { "plain name", "www.example.com", "" },
        { "digits, dash, underscore", "_srv-1.a0-b.example", "" },
        { "single label", "localhost", "" },
        { "bracketed IPv6", "[2001:db8::1]", "" },
        { "255 bytes", std::string(255, 'a'), "" },
        { "256 bytes", std::string(256, 'a'), tooLong },
        { "CR LF header injection", "evil.com\r\nX-Injected: 1\r\n.allowed.com", notAllowed },
        { "space", "a b.com", notAllowed },
        { "NUL cuts a SOCKS4A name", std::string("short\0.allowed.com", 18), notAllowed },
        { "colon", "host:80", notAllowed },
        { "slash", "a/b", notAllowed },
        { "bracketed junk", "[not-an-address]", notAllowed },
        { "high byte", "caf\xc3\xa9.com", notAllowed },
        { "empty", "", "Target host name is empty." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CheckTargetHostName(c.host), c.error);
    }
}

} // namespace
} // namespace corvantis
