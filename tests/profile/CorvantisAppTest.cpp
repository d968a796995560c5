#include "core/profile/CorvantisApp.h"

#include "tests/profile/ProfileTestSupport.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::IPv4;
using test::IPv6;

TEST(CorvantisApp, NothingIsOwnBeforeTheListsAreFilled)
{
    test::TestApp app;
    EXPECT_FALSE(app.IsOwnHostName("localhost"));
    EXPECT_FALSE(app.IsOwnIPv4(IPv4("127.0.0.1")));
    EXPECT_FALSE(app.IsOwnIPv6(IPv6("::1")));
    EXPECT_FALSE(app.GetExtensionMode());
    app.SetExtensionMode(true);
    EXPECT_TRUE(app.GetExtensionMode());
}

TEST(CorvantisApp, OwnNamesMatchInAnyCaseWithOneTrailingDot)
{
    test::TestApp app;
    app.SetOwnIdentity({ "MyBox", "mybox.corp.lan" }, {}, {});
    struct Case {
        const char* name;
        bool own;
    };
    const Case cases[] = {
        { "mybox", true },
        { "MYBOX", true },
        { "MyBox.", true },
        { "mybox.corp.lan.", true },
        { "mybox..", false },
        { "mybox.x", false },
        { "mybo", false },
        { "", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(app.IsOwnHostName(c.name), c.own);
    }
    app.SetOwnIdentity({ "" }, {}, {});
    EXPECT_FALSE(app.IsOwnHostName("")); // an empty name is never own
}

TEST(CorvantisApp, OwnAddressesIncludeMappedIPv4)
{
    test::TestApp app;
    app.SetOwnIdentity({}, { IPv4("192.0.2.10"), IPv4("0.0.0.0"), IPv4("0.0.0.1") }, { IPv6("2001:db8::10") });
    EXPECT_TRUE(app.IsOwnIPv4(IPv4("192.0.2.10")));
    EXPECT_FALSE(app.IsOwnIPv4(IPv4("192.0.2.11")));
    EXPECT_TRUE(app.IsOwnIPv6(IPv6("2001:db8::10")));
    EXPECT_TRUE(app.IsOwnIPv6(IPv6("::ffff:192.0.2.10")));
    EXPECT_TRUE(app.IsOwnIPv6(IPv6("::192.0.2.10")));
    EXPECT_FALSE(app.IsOwnIPv6(IPv6("2001:db8::c000:20a"))); // carries no IPv4 address
    // The unspecified and loopback addresses do not carry 0.0.0.0 and 0.0.0.1.
    EXPECT_FALSE(app.IsOwnIPv6(IPv6("::")));
    EXPECT_FALSE(app.IsOwnIPv6(IPv6("::1")));

    app.SetOwnIdentity({}, {}, {});
    EXPECT_FALSE(app.IsOwnIPv6(IPv6("::ffff:192.0.2.10")));
}

} // namespace
} // namespace corvantis
