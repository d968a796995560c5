#include "core/profile/NetworkWatcher.h"

#include "platform/HostNames.h"
#include "tests/profile/CoreAppTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempDir.h"

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <net/if.h>

namespace corvantis {
namespace {

using test::CoreTestApp;
using test::waitUntil;

uint32_t v4(const char* text)
{
    uint32_t address = 0;
    EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
    return address;
}

IPv6Addr v6(const char* text)
{
    IPv6Addr address {};
    EXPECT_EQ(inet_pton(AF_INET6, text, address.data()), 1) << text;
    return address;
}

// The machine's short host name in lower case, as the own-name list holds it.
std::string shortHostNameForTest()
{
    std::string name = shortHostName(kernelHostName());
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

TEST(LocalIdentity, OwnNamesAreLowerCaseAndEnterOnce)
{
    struct Case {
        const char* name;
        std::vector<std::string> candidates;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases {
        { "host name and its short form", { "Box.Example.Org", "Box", "" }, { "box.example.org", "box" } },
        { "same name from two sources in other case", { "box", "BOX", "Box" }, { "box" } },
        { "a trailing dot names the same host", { "box", "box." }, { "box" } },
        { "a longer name is another name", { "box", "box.lan" }, { "box", "box.lan" } },
        { "pretty name kept", { "box", "box", "Jane's Laptop" }, { "box", "jane's laptop" } },
        { "nothing known", { "", "", "" }, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MergeOwnNames(c.candidates), c.expected);
    }
}

TEST(LocalIdentity, AddressTextsAreSortedByFamilyAndUnknownOnesSkipped)
{
    const OwnAddresses out = SortLocalAddresses({ "127.0.0.1", "::1", "fe80::1", "10.1.2.3", "not-an-address", "" });
    EXPECT_EQ(out.ipv4, (std::vector<uint32_t> { v4("127.0.0.1"), v4("10.1.2.3") }));
    EXPECT_EQ(out.ipv6, (std::vector<IPv6Addr> { v6("::1"), v6("fe80::1") }));
}

TEST(LocalIdentity, UpdateFillsTheCoreObjectFromTheMachine)
{
    CoreTestApp app;
    EXPECT_FALSE(app.IsOwnIPv4(v4("127.0.0.1")));
    EXPECT_EQ(UpdateLocalIdentity(app, "/nonexistent"), 1);
    EXPECT_TRUE(app.IsOwnIPv4(v4("127.0.0.1")));
    EXPECT_TRUE(app.IsOwnHostName(shortHostNameForTest()));
}

TEST(AddressOrder, NumericOrder)
{
    struct Case {
        const char* a;
        const char* b;
        bool less;
    };
    for (const Case& c : std::vector<Case> {
             { "1.2.3.4", "1.2.3.5", true },
             { "1.2.3.5", "1.2.3.4", false },
             { "9.0.0.0", "10.0.0.0", true }, // by value, not by the bytes of a little-endian word
             { "0.0.0.255", "0.0.1.0", true },
             { "10.0.0.1", "10.0.0.1", false },
         }) {
        SCOPED_TRACE(std::string(c.a) + " < " + c.b);
        EXPECT_EQ(LessIPv4(v4(c.a), v4(c.b)), c.less);
    }
    for (const Case& c : std::vector<Case> {
             { "::1", "::2", true },
             { "::2", "::1", false },
             { "1::", "::ffff:ffff:ffff:ffff", false }, // the first half decides
             { "0:0:0:1::", "0:0:0:0:ffff::", false },
             { "fe80::1", "fe80::1", false },
             { "::ff00:0:0:0", "::1:0:0:0:0", true },
         }) {
        SCOPED_TRACE(std::string(c.a) + " < " + c.b);
        EXPECT_EQ(LessIPv6(v6(c.a), v6(c.b)), c.less);
    }
}

// A namespace with a veth pair "wa"/"wb", both up, and a temporary resolver file.
class NetworkWatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ns = std::make_unique<test::NetNamespace>("netw");
        if (!ns->valid() || !ns->run("ip link add name wa type veth peer name wb") || !ns->run("ip link set wa up")
            || !ns->run("ip link set wb up"))
            GTEST_SKIP() << "needs root and iproute2 network namespaces";
        std::ofstream(resolv) << "nameserver 10.60.0.53\n";
    }

    NetlinkWatcher::Config config() const { return NetlinkWatcher::Config { { resolv.string() } }; }

    std::unique_ptr<test::NetNamespace> ns;
    test::TempDir dir;
    std::filesystem::path resolv = dir / "resolv.conf";
};

TEST_F(NetworkWatcherTest, OwnAddressesAndBaseInterfaceFollowTheNetwork)
{
    ASSERT_TRUE(ns->runInside([&] {
        CoreTestApp app;
        CNetworkWatcher watcher(app, config(), "/nonexistent");
        ASSERT_EQ(watcher.WatchForNetworkChanges(), CNetworkWatcher::kWatching);
        EXPECT_EQ(watcher.WatchForNetworkChanges(), CNetworkWatcher::kWatching); // a second start changes nothing
        const int32_t wa = static_cast<int32_t>(if_nametoindex("wa"));
        const int32_t wb = static_cast<int32_t>(if_nametoindex("wb"));
        ASSERT_GT(wa, 0);
        ASSERT_GT(wb, 0);

        ASSERT_TRUE(ns->run("ip addr add 10.60.0.1/24 dev wa"));
        EXPECT_TRUE(waitUntil([&] { return app.IsOwnIPv4(v4("10.60.0.1")); }));
        EXPECT_TRUE(app.IsOwnIPv6(v6("::ffff:10.60.0.1")));
        EXPECT_TRUE(app.IsOwnHostName(shortHostNameForTest()));

        ASSERT_TRUE(ns->run("ip -6 addr add fd60::1/64 dev wb nodad"));
        EXPECT_TRUE(waitUntil([&] { return app.IsOwnIPv6(v6("fd60::1")); }));

        ASSERT_TRUE(ns->run("ip addr del 10.60.0.1/24 dev wa"));
        EXPECT_TRUE(waitUntil([&] { return !app.IsOwnIPv4(v4("10.60.0.1")); }));
        EXPECT_TRUE(app.IsOwnIPv6(v6("fd60::1")));

        ASSERT_TRUE(ns->run("ip route add default dev wa"));
        EXPECT_TRUE(waitUntil([&] { return GetBaseInterfaceIndex() == wa; }));
        ASSERT_TRUE(ns->run("ip route replace default dev wb"));
        EXPECT_TRUE(waitUntil([&] { return GetBaseInterfaceIndex() == wb; }));

        // Without any default route the last base interface stays; a change is still reported.
        app.TakeNetworkChange();
        ASSERT_TRUE(ns->run("ip route del default"));
        EXPECT_TRUE(waitUntil([&] { return app.TakeNetworkChange(); }));
        EXPECT_EQ(GetBaseInterfaceIndex(), wb);

        // With no IPv4 default the IPv6 one decides.
        ASSERT_TRUE(ns->run("ip -6 route add default dev wa"));
        EXPECT_TRUE(waitUntil([&] { return GetBaseInterfaceIndex() == wa; }));

        watcher.Stop();
    }));
}

TEST_F(NetworkWatcherTest, AResolverFileChangeWakesTheDetection)
{
    ASSERT_TRUE(ns->runInside([&] {
        CoreTestApp app;
        CNetworkWatcher watcher(app, config(), "/nonexistent");
        ASSERT_EQ(watcher.WatchForNetworkChanges(), CNetworkWatcher::kWatching);
        // Let the link's own late messages pass, then start from a clear mark.
        ASSERT_TRUE(ns->run("ip link set wa down && ip link set wb down"));
        EXPECT_TRUE(waitUntil([&] { return app.TakeNetworkChange(); }));
        app.TakeNetworkChange();

        const auto temp = dir / "resolv.conf.tmp";
        std::ofstream(temp) << "nameserver 10.60.0.54\n";
        std::filesystem::rename(temp, resolv);
        EXPECT_TRUE(waitUntil([&] { return app.TakeNetworkChange(); }));
        watcher.Stop();
    }));
}

TEST_F(NetworkWatcherTest, AFailedSubscriptionStillFindsTheBaseInterfaceOnce)
{
    ASSERT_TRUE(ns->run("ip route add default dev wb metric 7"));
    ASSERT_TRUE(ns->runInside([&] {
        CoreTestApp app;
        CNetworkWatcher watcher(app, NetlinkWatcher::Config { { (dir / "absent" / "resolv.conf").string() } });
        EXPECT_EQ(watcher.WatchForNetworkChanges(), CNetworkWatcher::kSubscribeFailed);
        EXPECT_EQ(GetBaseInterfaceIndex(), static_cast<int32_t>(if_nametoindex("wb")));
    }));
}

} // namespace
} // namespace corvantis
