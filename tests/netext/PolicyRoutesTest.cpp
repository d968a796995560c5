#include "platform/netext/PolicyRoutes.h"

#include "platform/UniqueFd.h"
#include "tests/support/NetNamespace.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <utility>

namespace corvantis {
namespace {

using test::NetNamespace;

constexpr const char* kEverything = "ip rule; ip -6 rule; ip route show table all; ip -6 route show table all";
// Every route and rule that carries the default protocol tag (0x5a); `ip rule` cannot filter by protocol.
constexpr const char* kOurs = "{ ip rule; ip -6 rule; } | grep -w 'proto 90'; ip route show table all proto 90; "
                              "ip -6 route show table all proto 90";

// Runs `call` on a thread inside `ns` and returns its result.
Status inside(const NetNamespace& ns, const std::function<Status()>& call)
{
    Status status = Status::error(ECHILD, "the thread could not enter the namespace");
    if (!ns.runInside([&] { status = call(); }))
        return Status::error(ECHILD, "the thread could not enter the namespace");
    return status;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

struct Target {
    int family;
    const char* address;
};

// Port 80 of `target`, or nothing when the address does not parse.
std::optional<std::pair<sockaddr_storage, socklen_t>> port80(const Target& target)
{
    sockaddr_storage storage {};
    if (target.family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(80);
        if (::inet_pton(AF_INET, target.address, &in->sin_addr) != 1)
            return std::nullopt;
        return std::make_pair(storage, socklen_t { sizeof(sockaddr_in) });
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(80);
    if (::inet_pton(AF_INET6, target.address, &in6->sin6_addr) != 1)
        return std::nullopt;
    return std::make_pair(storage, socklen_t { sizeof(sockaddr_in6) });
}

// A TCP socket of `family`; with a mark it is transparent as well, as the proxy's own sockets are: only such a
// socket may use an address that is no address of this machine's, which the local route makes both ends of a
// connection to a foreign address.
UniqueFd tcpSocket(int family, uint32_t mark)
{
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (fd && mark != 0
        && (::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0
            || ::setsockopt(fd.get(), family == AF_INET ? SOL_IP : SOL_IPV6,
                   family == AF_INET ? IP_TRANSPARENT : IPV6_TRANSPARENT, &on, sizeof on)
                != 0))
        fd.reset();
    return fd;
}

// A listener on port 80 of the foreign address `target`, which the marked traffic reaches once it is local.
UniqueFd transparentListener(const Target& target, uint32_t mark)
{
    UniqueFd fd = tcpSocket(target.family, mark);
    const auto address = port80(target);
    if (!fd || !address || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address->first), address->second) != 0
        || ::listen(fd.get(), 4) != 0)
        return {};
    return fd;
}

// What a TCP connect to port 80 of `target` from a socket with `mark` says: the errno of connect() itself, or
// with `settle`, the connection's final error (0 when it is made; ETIMEDOUT when none comes within seconds).
int connectErrno(const Target& target, uint32_t mark, bool settle)
{
    UniqueFd fd = tcpSocket(target.family, mark);
    const auto address = port80(target);
    if (!fd || !address)
        return EBADF;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->first), address->second) == 0)
        return 0;
    if (errno != EINPROGRESS || !settle)
        return errno;
    pollfd ready { fd.get(), POLLOUT, 0 };
    if (::poll(&ready, 1, 10000) != 1)
        return ETIMEDOUT;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    return error;
}

TEST(PolicyRoutes, InstallsTaggedRulesAndRoutesThatRouteTheTraffic)
{
    struct Case {
        const char* name;
        PolicyRouteConfig config;
        const char* rule; // as `ip rule` shows it
        const char* table; // as `ip route` shows the table
    };
    const Case cases[] {
        { "defaults, a table id above 255", {}, "fwmark 0x5a18 lookup 23063 proto 90", "table 23063" },
        { "a table id that fits the header", { 0x1, 100, 0x5a }, "fwmark 0x1 lookup 100 proto 90", "table 100" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NetNamespace ns("proute");
        if (!ns.valid())
            GTEST_SKIP() << "needs root";
        // Marked traffic to a foreign address and traffic to the placeholders have no route yet.
        const Target foreign4 { AF_INET, "198.51.100.7" };
        const Target foreign6 { AF_INET6, "2001:db8::7" };
        const Target placeholder4 { AF_INET, "0.0.0.5" };
        const Target placeholder6 { AF_INET6, "fd00:5a17::5" };
        ASSERT_TRUE(ns.runInside([&] {
            EXPECT_EQ(connectErrno(foreign4, c.config.tproxyMark, true), ENETUNREACH);
            EXPECT_EQ(connectErrno(foreign6, c.config.tproxyMark, true), ENETUNREACH);
            EXPECT_EQ(connectErrno(placeholder4, 0, false), ENETUNREACH);
            EXPECT_EQ(connectErrno(placeholder6, 0, false), ENETUNREACH);
        }));

        const Status policy = inside(ns, [&] { return InstallPolicyRouting(c.config); });
        ASSERT_TRUE(policy.ok()) << policy.message();
        const Status placeholders = inside(ns, [&] { return InstallPlaceholderRoutes(c.config, 0); });
        ASSERT_TRUE(placeholders.ok()) << placeholders.message();

        const std::string rules4 = ns.output("ip -4 rule");
        const std::string rules6 = ns.output("ip -6 rule");
        EXPECT_TRUE(contains(rules4, c.rule)) << rules4;
        EXPECT_TRUE(contains(rules6, c.rule)) << rules6;
        const std::string routes4 = ns.output("ip -4 route show table all");
        const std::string routes6 = ns.output("ip -6 route show table all");
        EXPECT_TRUE(contains(routes4, std::string("local default dev lo ") + c.table + " proto 90 scope host"))
            << routes4;
        EXPECT_TRUE(contains(routes6, std::string("local default dev lo ") + c.table + " proto 90")) << routes6;
        // The loopback's address is the source of connections to the ranges: an unspecified one would leave a
        // redirected connection's answers with nowhere to go.
        EXPECT_TRUE(contains(routes4, "0.0.0.0/8 dev lo proto 90 scope link src 127.0.0.1")) << routes4;
        EXPECT_TRUE(contains(routes6, "fd00:5a17::/32 dev lo proto 90 src ::1")) << routes6;

        // Marked packets are now delivered here, to a listener as the proxy's; unmarked ones still have no route.
        ASSERT_TRUE(ns.runInside([&] {
            const UniqueFd listener4 = transparentListener(foreign4, c.config.tproxyMark);
            const UniqueFd listener6 = transparentListener(foreign6, c.config.tproxyMark);
            ASSERT_TRUE(listener4 && listener6) << std::strerror(errno);
            EXPECT_EQ(connectErrno(foreign4, c.config.tproxyMark, true), 0);
            EXPECT_EQ(connectErrno(foreign6, c.config.tproxyMark, true), 0);
            EXPECT_EQ(connectErrno(foreign4, 0, true), ENETUNREACH);
            EXPECT_EQ(connectErrno(placeholder4, 0, false), EINPROGRESS);
            EXPECT_EQ(connectErrno(placeholder6, 0, false), EINPROGRESS);
        }));
    }
}

TEST(PolicyRoutes, InstallingAgainChangesNothingAndFollowsANewConfig)
{
    NetNamespace ns("proute");
    if (!ns.valid())
        GTEST_SKIP() << "needs root";
    const PolicyRouteConfig config;
    const auto installBoth = [&](const PolicyRouteConfig& with, uint8_t subnet) {
        const Status policy = inside(ns, [&] { return InstallPolicyRouting(with); });
        EXPECT_TRUE(policy.ok()) << policy.message();
        const Status placeholders = inside(ns, [&] { return InstallPlaceholderRoutes(with, subnet); });
        EXPECT_TRUE(placeholders.ok()) << placeholders.message();
    };

    installBoth(config, 0);
    const std::string first = ns.output(kEverything);
    installBoth(config, 0);
    EXPECT_EQ(ns.output(kEverything), first);

    // The next start uses another subnet number, mark and table: only the new entries of ours remain.
    const PolicyRouteConfig changed { 0x77, 0x10000, config.protocol };
    installBoth(changed, 10);
    const std::string ours = ns.output(kOurs);
    EXPECT_EQ(ns.output("ip -4 route show table all proto 90 | sort"),
        "10.0.0.0/8 dev lo scope link src 127.0.0.1 \nlocal default dev lo table 65536 scope host \n");
    EXPECT_EQ(ns.output("ip -6 route show table all proto 90 | sort"),
        "fd00:5a17::/32 dev lo src ::1 metric 1024 pref medium\nlocal default dev lo table 65536 metric 1024 pref "
        "medium\n");
    for (const char* command : { "ip -4 rule | grep -w 'proto 90'", "ip -6 rule | grep -w 'proto 90'" }) {
        const std::string rules = ns.output(command);
        SCOPED_TRACE(command);
        EXPECT_TRUE(contains(rules, "fwmark 0x77 lookup 65536")) << rules;
        EXPECT_FALSE(contains(rules, "0x5a18")) << rules;
        EXPECT_EQ(std::count(rules.begin(), rules.end(), '\n'), 1) << rules;
    }
}

TEST(PolicyRoutes, LeavesASomeoneElsesRouteOfTheSameRangeAlone)
{
    NetNamespace ns("proute");
    if (!ns.valid())
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(ns.run("ip route add 10.0.0.0/8 dev lo proto static"));

    const Status status = inside(ns, [] { return InstallPlaceholderRoutes({}, 10); });
    EXPECT_EQ(status.errnum(), EEXIST) << status.message();
    EXPECT_TRUE(contains(status.message(), "10.0.0.0/8")) << status.message();
    EXPECT_EQ(ns.output("ip route show 10.0.0.0/8"), "10.0.0.0/8 dev lo proto static scope link \n");
}

TEST(PolicyRoutes, RemoveOwnRoutesDeletesOnlyOurs)
{
    NetNamespace ns("proute");
    if (!ns.valid())
        GTEST_SKIP() << "needs root";
    const Status clean = inside(ns, [] { return RemoveOwnRoutes({}); });
    EXPECT_TRUE(clean.ok()) << clean.message();

    const std::string before = ns.output(kEverything);
    ASSERT_TRUE(inside(ns, [] { return InstallPolicyRouting({}); }).ok());
    ASSERT_TRUE(inside(ns, [] { return InstallPlaceholderRoutes({}, 10); }).ok());
    // What a killed daemon of another configuration left behind, and what others own.
    ASSERT_TRUE(ns.run("ip route add 198.18.0.0/15 dev lo proto 90 table 7"));
    ASSERT_TRUE(ns.run("ip -6 rule add fwmark 0x66 lookup 7 proto 90"));
    ASSERT_TRUE(ns.run("ip route add 192.0.2.0/24 dev lo proto static"));
    ASSERT_TRUE(ns.run("ip rule add fwmark 0x99 lookup 99"));
    ASSERT_TRUE(ns.run("ip -6 route add 2001:db8::/64 dev lo proto 91"));
    ASSERT_FALSE(ns.output(kOurs).empty());

    const Status removed = inside(ns, [] { return RemoveOwnRoutes({}); });
    EXPECT_TRUE(removed.ok()) << removed.message();
    EXPECT_EQ(ns.output(kOurs), "");
    const std::string after = ns.output(kEverything);
    EXPECT_TRUE(contains(after, "192.0.2.0/24 dev lo proto static")) << after;
    EXPECT_TRUE(contains(after, "fwmark 0x99 lookup 99")) << after;
    EXPECT_TRUE(contains(after, "2001:db8::/64 dev lo proto 91")) << after;

    ASSERT_TRUE(ns.run("ip route del 192.0.2.0/24; ip rule del fwmark 0x99 lookup 99; ip -6 route del 2001:db8::/64"));
    EXPECT_EQ(ns.output(kEverything), before);
}

TEST(PolicyRoutes, WithoutIpv6OnlyTheIpv4PartIsDone)
{
    NetNamespace ns("proute");
    if (!ns.valid())
        GTEST_SKIP() << "needs root";
    ASSERT_TRUE(ns.run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.lo.disable_ipv6=1"));

    const Status policy = inside(ns, [] { return InstallPolicyRouting({}); });
    EXPECT_TRUE(policy.ok()) << policy.message();
    const Status placeholders = inside(ns, [] { return InstallPlaceholderRoutes({}, 0); });
    EXPECT_TRUE(placeholders.ok()) << placeholders.message();
    EXPECT_TRUE(contains(ns.output("ip -4 rule"), "fwmark 0x5a18 lookup 23063 proto 90"));
    EXPECT_TRUE(contains(ns.output("ip -4 route show table all"), "0.0.0.0/8 dev lo proto 90"));
    EXPECT_TRUE(contains(ns.output("ip -4 route show table all"), "local default dev lo table 23063 proto 90"));

    const Status removed = inside(ns, [] { return RemoveOwnRoutes({}); });
    EXPECT_TRUE(removed.ok()) << removed.message();
    EXPECT_EQ(ns.output(kOurs), "");
}

TEST(PolicyRoutes, RefusesAConfigThatWouldTouchOthersOrAllTraffic)
{
    // Inside a namespace all the same: should a check be missing, the host's routing stays untouched.
    NetNamespace ns("proute");
    if (!ns.valid())
        GTEST_SKIP() << "needs root";
    struct Case {
        const char* name;
        PolicyRouteConfig config;
        bool placeholdersToo; // the config is wrong for every function, not only for the policy routing
    };
    const Case cases[] {
        { "protocol of the kernel", { 0x5a18, 0x5a17, 2 }, true },
        { "protocol static", { 0x5a18, 0x5a17, 4 }, true },
        { "protocol unspecified", { 0x5a18, 0x5a17, 0 }, true },
        { "main table", { 0x5a18, 254, 0x5a }, false },
        { "local table", { 0x5a18, 255, 0x5a }, false },
        { "table 0", { 0x5a18, 0, 0x5a }, false },
        { "mark 0", { 0, 0x5a17, 0x5a }, false },
    };
    const std::string before = ns.output(kEverything);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(inside(ns, [&] { return InstallPolicyRouting(c.config); }).errnum(), EINVAL);
        const int placeholders = inside(ns, [&] { return InstallPlaceholderRoutes(c.config, 0); }).errnum();
        const int removal = inside(ns, [&] { return RemoveOwnRoutes(c.config); }).errnum();
        EXPECT_EQ(placeholders, c.placeholdersToo ? EINVAL : 0);
        EXPECT_EQ(removal, c.placeholdersToo ? EINVAL : 0);
        ASSERT_TRUE(inside(ns, [] { return RemoveOwnRoutes({}); }).ok());
        EXPECT_EQ(ns.output(kEverything), before);
    }
}

} // namespace
} // namespace corvantis
