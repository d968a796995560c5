#include "platform/NetlinkWatcher.h"

#include "platform/HostNames.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

using test::waitUntil;
// A namespace with a veth pair "va"/"vb", both up, each with an address, and no default route.
class VethNamespace {
public:
    VethNamespace()
        : ns("nlw")
    {
        if (!ns.valid())
            return;
        ready = ns.run("ip link add name va type veth peer name vb") && ns.run("ip link set va up")
            && ns.run("ip link set vb up") && ns.run("ip addr add 10.71.0.1/24 dev va")
            && ns.run("ip addr add 10.72.0.1/24 dev vb") && ns.run("ip -6 addr add fd71::1/64 dev va nodad")
            && ns.run("ip -6 addr add fd72::1/64 dev vb nodad");
    }
    test::NetNamespace ns;
    bool ready = false;
};

void writeReplacing(const std::filesystem::path& path, const std::string& text)
{
    const auto temp = path.parent_path() / (path.filename().string() + ".new");
    std::ofstream(temp) << text;
    std::filesystem::rename(temp, path);
}

TEST(NetlinkWatcher, DefaultRouteIsTheLowestMetricOfItsFamily)
{
    VethNamespace net;
    if (!net.ready)
        GTEST_SKIP() << "needs root and iproute2 network namespaces";

    struct Case {
        const char* name;
        std::vector<std::string> commands;
        std::optional<std::string> expectedIf; // of findBaseInterface
        int expectedFamily;
    };
    const std::vector<Case> cases {
        { "no default route", {}, std::nullopt, 0 },
        { "one IPv4 default", { "ip route add default dev va" }, "va", AF_INET },
        { "lower metric wins", { "ip route add default dev va metric 200", "ip route add default dev vb metric 50" },
            "vb", AF_INET },
        { "IPv4 before IPv6", { "ip route add default dev va", "ip -6 route add default dev vb" }, "va", AF_INET },
        { "IPv6 alone", { "ip -6 route add default dev vb" }, "vb", AF_INET6 },
        { "other tables do not count", { "ip route add default dev va table 100" }, std::nullopt, 0 },
        { "a host route is no default", { "ip route add 10.9.9.9/32 dev va" }, std::nullopt, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net.ns.run("ip route flush table 100; ip route del default; ip route del default; ip -6 route del default; "
                   "ip route del 10.9.9.9/32; true");
        for (const std::string& command : c.commands)
            ASSERT_TRUE(net.ns.run(command)) << command;
        ASSERT_TRUE(net.ns.runInside([&] {
            const std::optional<DefaultRoute> base = findBaseInterface();
            ASSERT_EQ(base.has_value(), c.expectedIf.has_value());
            if (!base)
                return;
            EXPECT_EQ(base->ifname, *c.expectedIf);
            EXPECT_EQ(base->family, c.expectedFamily);
            EXPECT_EQ(base->ifindex, static_cast<int>(if_nametoindex(c.expectedIf->c_str())));
        }));
    }
}

TEST(NetlinkWatcher, NoticesAddressRouteAndWatchedFileChanges)
{
    VethNamespace net;
    if (!net.ready)
        GTEST_SKIP() << "needs root and iproute2 network namespaces";
    test::TempDir dir;
    const auto resolv = dir / "resolv.conf";
    std::ofstream(resolv) << "nameserver 10.71.0.53\n";

    ASSERT_TRUE(net.ns.runInside([&] {
        std::atomic<int> changes { 0 };
        NetlinkWatcher watcher(NetlinkWatcher::Config { { resolv.string() } }, [&] { ++changes; });
        std::string reason;
        ASSERT_FALSE(watcher.open(reason)) << reason;
        ASSERT_FALSE(watcher.start(reason)) << reason;

        const std::vector<std::pair<const char*, std::function<void()>>> steps {
            { "IPv4 address added", [&] { net.ns.run("ip addr add 10.71.0.9/24 dev va"); } },
            { "IPv4 address removed", [&] { net.ns.run("ip addr del 10.71.0.9/24 dev va"); } },
            { "IPv6 address added", [&] { net.ns.run("ip -6 addr add fd71::9/64 dev va nodad"); } },
            { "default route added", [&] { net.ns.run("ip route add default dev vb"); } },
            { "link down", [&] { net.ns.run("ip link set vb down"); } },
            { "resolver file replaced", [&] { writeReplacing(resolv, "nameserver 10.72.0.53\n"); } },
            { "resolver file rewritten in place", [&] { std::ofstream(resolv) << "nameserver 10.72.0.54\n"; } },
            { "resolver file deleted", [&] { std::filesystem::remove(resolv); } },
        };
        for (const auto& [name, step] : steps) {
            SCOPED_TRACE(name);
            const int before = changes.load();
            step();
            EXPECT_TRUE(waitUntil([&] { return changes.load() > before; }));
        }
        watcher.stop();
        EXPECT_FALSE(watcher.running());
    }));
}

TEST(NetlinkWatcher, FollowsTheTargetOfALinkedFile)
{
    test::TempDir dir;
    std::filesystem::create_directory(dir / "run");
    std::ofstream(dir / "run" / "stub.conf") << "nameserver 127.0.0.53\n";
    std::filesystem::create_symlink("run/stub.conf", dir / "resolv.conf");

    std::atomic<int> changes { 0 };
    NetlinkWatcher watcher(NetlinkWatcher::Config { { (dir / "resolv.conf").string() } }, [&] { ++changes; });
    std::string reason;
    ASSERT_FALSE(watcher.open(reason)) << reason;
    ASSERT_FALSE(watcher.start(reason)) << reason;
    writeReplacing(dir / "run" / "stub.conf", "nameserver 127.0.0.54\n");
    EXPECT_TRUE(waitUntil([&] { return changes.load() > 0; }));
}

TEST(NetlinkWatcher, AMissingWatchedFolderFailsTheSubscriptionAndLeavesNothingOpen)
{
    test::TempDir dir;
    NetlinkWatcher watcher(NetlinkWatcher::Config { { (dir / "absent" / "resolv.conf").string() } }, [] {});
    std::string reason;
    const auto failure = watcher.open(reason);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, NetlinkWatcher::Failure::Subscribe);
    EXPECT_NE(reason.find("absent"), std::string::npos) << reason;
    EXPECT_EQ(watcher.start(reason), NetlinkWatcher::Failure::Thread);
    EXPECT_FALSE(watcher.running());
}

TEST(HostNames, ShortNameAndPrettyName)
{
    struct ShortCase {
        const char* full;
        const char* shortName;
    };
    for (const ShortCase& c :
        std::vector<ShortCase> { { "box", "box" }, { "box.example.org", "box" }, { "", "" }, { ".odd", "" } }) {
        SCOPED_TRACE(c.full);
        EXPECT_EQ(shortHostName(c.full), c.shortName);
    }

    struct PrettyCase {
        const char* name;
        const char* file; // nullptr: no file
        const char* expected;
    };
    test::TempDir dir;
    for (const PrettyCase& c : std::vector<PrettyCase> {
             { "double quotes", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Jane's Laptop\"\n", "Jane's Laptop" },
             { "single quotes", "PRETTY_HOSTNAME='Lab \"A\"'\n", "Lab \"A\"" },
             { "escaped", "PRETTY_HOSTNAME=My\\ Box\n", "My Box" },
             { "no value", "CHASSIS=server\n", "" },
             { "no file", nullptr, "" },
         }) {
        SCOPED_TRACE(c.name);
        const auto path = dir / c.name;
        if (c.file)
            std::ofstream(path) << c.file;
        EXPECT_EQ(prettyHostName(path.string()), c.expected);
    }
    EXPECT_FALSE(kernelHostName().empty());
}

} // namespace
} // namespace corvantis
