#include <gtest/gtest.h>

#include <netinet/in.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/SafeSocket.h"
#include "core/profile/Chain.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "extension/engine/Tunnel.h"
#include "platform/UniqueFd.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/PeerProcess.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/peers/ScriptedProxy.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/Loopback.h"

namespace corvantis::test {
namespace {

constexpr size_t kOneMiB = 1024 * 1024;

CProxy LoopbackProxy(int type, uint16_t port, int32_t id)
{
    return CProxy("127.0.0.1", port, type, id);
}

CRule RuleWith(int action, int64_t id = -1)
{
    CRule rule("Test rule");
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

// A profile holding `proxies` and one chain (id 50) of all of them, enabled, in order.
CProfileData ProfileWithChain(const std::vector<CProxy>& proxies)
{
    CProfileData profile;
    profile.m_Proxies = proxies;
    CChain chain("Test chain", 50);
    for (const auto& proxy : proxies)
        chain.m_Entries.push_back({ proxy.m_Id, true });
    profile.m_Chains.push_back(chain);
    return profile;
}

struct Outcome {
    std::shared_ptr<CSafeSocket> socket;
    std::string error;
    bool http = false;
    bool ipv6 = false;
    std::unique_ptr<CProxy> httpProxy;
};

Outcome RunTunnel(const CHost& target, const CProfileData& profile, const CRule& rule,
    const std::optional<CHost>& resolved = std::nullopt)
{
    CTunnel tunnel(target, profile, rule);
    const auto prepared = tunnel.ConnectPrepare();
    EXPECT_NE(prepared.kind, CTunnel::kBlocked);
    Outcome outcome;
    outcome.socket = tunnel.ConnectEstablish(resolved);
    outcome.error = tunnel.TakeErrorText();
    outcome.http = tunnel.IsHttp();
    outcome.ipv6 = tunnel.IsIPv6();
    outcome.httpProxy = tunnel.TakeHttpProxy();
    EXPECT_EQ(tunnel.TakeErrorText(), "");
    return outcome;
}

std::string Refused(uint16_t port)
{
    return "connection attempt to 127.0.0.1:" + std::to_string(port) + " failed with error "
        + std::to_string(ECONNREFUSED);
}

// A port on ::1 that nothing listens on; throws when the machine has no IPv6 loopback.
uint16_t FreeIPv6LoopbackPort()
{
    UniqueFd probe(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (!probe || bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no IPv6 loopback");
    return ntohs(address.sin6_port);
}

// A SOCKS5 proxy that takes the greeting and a connect request of `requestSize` bytes, then refuses the
// connection with reply code 5.
std::unique_ptr<ScriptedProxy> RefusingSocks5(size_t requestSize, bool ipv6)
{
    using Step = ScriptedProxy::Step;
    return std::make_unique<ScriptedProxy>(std::vector<Step> { Step::read(3), Step::write({ 5, 0 }),
                                               Step::read(requestSize), Step::write({ 5, 5, 0, 1, 0, 0, 0, 0, 0, 0 }) },
        ipv6);
}

// Every road to the echo server carries a mebibyte each way unchanged.
TEST(Tunnel, CarriesDataDirectlyThroughEachProxyKindAndThroughAChain)
{
    EchoServer echo;
    const CHost target = AddressTarget("127.0.0.1", echo.port());
    auto microsocks = startMicrosocks();
    auto dante = startDante();
    auto squid = startSquid();

    struct Case {
        const char* name;
        std::vector<CProxy> proxies;
        int action;
    };
    const Case cases[] = {
        { "direct", {}, kActionDirect },
        { "microsocks (SOCKS5)", { LoopbackProxy(kProxySocks5, microsocks->port(), 1) }, kActionProxy },
        { "dante (SOCKS4)", { LoopbackProxy(kProxySocks4, dante->port(), 2) }, kActionProxy },
        { "dante (SOCKS5)", { LoopbackProxy(kProxySocks5, dante->port(), 2) }, kActionProxy },
        { "squid (CONNECT)", { LoopbackProxy(kProxyHttps, squid->port(), 3) }, kActionProxy },
        { "chain microsocks then dante",
            { LoopbackProxy(kProxySocks5, microsocks->port(), 1), LoopbackProxy(kProxySocks5, dante->port(), 2) },
            kActionChain },
        { "chain dante then squid",
            { LoopbackProxy(kProxySocks4, dante->port(), 2), LoopbackProxy(kProxyHttps, squid->port(), 3) },
            kActionChain },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CProfileData profile = ProfileWithChain(c.proxies);
        const int64_t id = c.action == kActionProxy ? c.proxies.front().m_Id : 50;
        const CRule rule = RuleWith(c.action, id);
        CTunnel tunnel(target, profile, rule);
        EXPECT_EQ(tunnel.ConnectPrepare().kind, CTunnel::kConnectNow);
        auto socket = tunnel.ConnectEstablish();
        ASSERT_NE(socket, nullptr) << tunnel.TakeErrorText();
        EXPECT_EQ(tunnel.TakeErrorText(), "");
        EXPECT_FALSE(tunnel.IsHttp());
        EXPECT_FALSE(tunnel.IsIPv6());
        EXPECT_EQ(socket.use_count(), 1); // the tunnel kept no reference
        ExpectEchoedUnchanged(*socket, kOneMiB);
    }
}

TEST(Tunnel, ChainTakesOnlyEnabledEntriesAndAllDisabledConnectsDirectly)
{
    EchoServer echo;
    const CHost target = AddressTarget("127.0.0.1", echo.port());
    auto microsocks = startMicrosocks();
    const uint16_t closed = freeLoopbackPort();

    CProfileData profile;
    profile.m_Proxies = { LoopbackProxy(kProxySocks5, closed, 1), LoopbackProxy(kProxySocks5, microsocks->port(), 2) };
    CChain chain("Partly off", 50);
    chain.m_Entries = { { 1, false }, { 2, true } };
    CChain off("All off", 51);
    off.m_Entries = { { 1, false }, { 2, false } };
    profile.m_Chains = { chain, off };

    const CRule partly = RuleWith(kActionChain, 50);
    CTunnel tunnel(target, profile, partly);
    std::string error;
    const auto hops = tunnel.CalculateConnectionChain(error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(hops.size(), 1u);
    EXPECT_EQ(hops.front()->m_Id, 2);
    auto viaMicrosocks = RunTunnel(target, profile, partly);
    ASSERT_NE(viaMicrosocks.socket, nullptr) << viaMicrosocks.error;
    ExpectEchoedUnchanged(*viaMicrosocks.socket, 4096);

    const CRule allOff = RuleWith(kActionChain, 51);
    CTunnel direct(target, profile, allOff);
    EXPECT_TRUE(direct.CalculateConnectionChain(error).empty());
    EXPECT_EQ(error, "");
    EXPECT_EQ(direct.ConnectPrepare().kind, CTunnel::kConnectNow);
    EXPECT_EQ(direct.GetFirstHop().m_Port, echo.port());
    auto socket = direct.ConnectEstablish();
    ASSERT_NE(socket, nullptr) << direct.TakeErrorText();
    ExpectEchoedUnchanged(*socket, 4096);
}

// The error text names the hop that failed first and ends with the innermost cause.
TEST(Tunnel, FailuresNameTheHopThenTheCause)
{
    auto microsocks = startMicrosocks();
    EchoServer echo;
    const uint16_t closed = freeLoopbackPort();
    const std::string micro = "127.0.0.1:" + std::to_string(microsocks->port());
    const std::string closedText = "127.0.0.1:" + std::to_string(closed);

    struct Case {
        const char* name;
        std::vector<CProxy> proxies;
        int action;
        uint16_t targetPort;
        std::string expected; // the whole text, or its start when `prefixOnly`
        bool prefixOnly;
    };
    const Case cases[] = {
        { "direct to a closed port", {}, kActionDirect, closed,
            "Could not connect to " + closedText + " - " + Refused(closed), false },
        { "unreachable proxy", { LoopbackProxy(kProxySocks5, closed, 1) }, kActionProxy, echo.port(),
            "Could not connect to proxy " + closedText + " - " + Refused(closed), false },
        { "unreachable first proxy of a chain",
            { LoopbackProxy(kProxySocks5, closed, 1), LoopbackProxy(kProxySocks5, microsocks->port(), 2) },
            kActionChain, echo.port(), "Could not connect to proxy " + closedText + " - " + Refused(closed), false },
        { "second proxy of a chain unreachable through the first",
            { LoopbackProxy(kProxySocks5, microsocks->port(), 1), LoopbackProxy(kProxySocks5, closed, 2),
                LoopbackProxy(kProxySocks5, microsocks->port(), 3) },
            kActionChain, echo.port(),
            "Could not connect through proxy " + micro + " to the next proxy in the chain " + closedText + " - ",
            true },
        { "target unreachable through the proxy", { LoopbackProxy(kProxySocks5, microsocks->port(), 1) }, kActionProxy,
            closed, "Could not connect through proxy " + micro + " - ", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CProfileData profile = ProfileWithChain(c.proxies);
        const CRule rule = RuleWith(c.action, c.action == kActionProxy ? c.proxies.front().m_Id : 50);
        const auto outcome = RunTunnel(AddressTarget("127.0.0.1", c.targetPort), profile, rule);
        EXPECT_EQ(outcome.socket, nullptr);
        if (c.prefixOnly) {
            EXPECT_EQ(outcome.error.rfind(c.expected, 0), 0u) << outcome.error;
            EXPECT_GT(outcome.error.size(), c.expected.size()) << "the protocol's own text follows";
        } else {
            EXPECT_EQ(outcome.error, c.expected);
        }
    }
}

// Ids come from profile files and other processes; one that does not exist fails that connection only.
TEST(Tunnel, MissingProxyOrChainIdFailsTheConnectionWithAMessage)
{
    EchoServer echo;
    const CHost target = AddressTarget("127.0.0.1", echo.port());
    CProfileData profile = ProfileWithChain({ LoopbackProxy(kProxySocks5, 1080, 1) });
    CChain broken("Broken chain", 60);
    broken.m_Entries = { { 1, true }, { 77, true } };
    profile.m_Chains.push_back(broken);

    struct Case {
        const char* name;
        CRule rule;
        std::string expected;
    };
    const Case cases[] = {
        { "proxy rule", RuleWith(kActionProxy, 9), "Rule \"Test rule\" refers to nonexistent proxy (id = 9)" },
        { "chain rule", RuleWith(kActionChain, 99), "Rule \"Test rule\" refers to nonexistent proxy chain (id = 99)" },
        { "chain entry", RuleWith(kActionChain, 60), "Chain \"Broken chain\": incorrect proxy server ID found." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTunnel tunnel(target, profile, c.rule);
        std::string error;
        EXPECT_TRUE(tunnel.CalculateConnectionChain(error).empty());
        EXPECT_EQ(error, c.expected);
        const auto outcome = RunTunnel(target, profile, c.rule);
        EXPECT_EQ(outcome.socket, nullptr);
        EXPECT_EQ(outcome.error, c.expected);
    }
}

TEST(Tunnel, PrepareAsksToResolveUnusableFirstHops)
{
    UseTestPlaceholderRange();
    const CHost real = AddressTarget("127.0.0.1", 7);
    const CHost placeholder = AddressTarget("198.18.0.20", 443, std::string("example.org"));
    CProfileData profile;
    profile.m_Proxies = { CProxy("proxy.invalid", 1080, kProxySocks5, 1), LoopbackProxy(kProxySocks5, 1080, 2) };
    profile.m_Chains.push_back(CChain("Named first", 50));
    profile.m_Chains.back().m_Entries = { { 1, true }, { 2, true } };

    struct Case {
        const char* name;
        CHost target;
        CRule rule;
        int kind;
        std::string resolveName; // the host to resolve, for kResolveFirst
    };
    const Case cases[] = {
        { "block", real, RuleWith(kActionBlock), CTunnel::kBlocked, "" },
        { "direct to an address", real, RuleWith(kActionDirect), CTunnel::kConnectNow, "" },
        { "direct to a placeholder", placeholder, RuleWith(kActionDirect), CTunnel::kResolveFirst, "example.org" },
        { "proxy by name", real, RuleWith(kActionProxy, 1), CTunnel::kResolveFirst, "proxy.invalid" },
        { "proxy by address, placeholder target", placeholder, RuleWith(kActionProxy, 2), CTunnel::kConnectNow, "" },
        { "chain whose first proxy has a name", real, RuleWith(kActionChain, 50), CTunnel::kResolveFirst,
            "proxy.invalid" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTunnel tunnel(c.target, profile, c.rule);
        const auto prepared = tunnel.ConnectPrepare();
        EXPECT_EQ(prepared.kind, c.kind);
        EXPECT_EQ(prepared.host.has_value(), c.kind == CTunnel::kResolveFirst);
        if (prepared.host) {
            EXPECT_EQ(prepared.host->GetHostName(), c.resolveName);
        }
    }
}

// An unresolved or placeholder first hop that was not resolved fails without an inner cause.
TEST(Tunnel, UnresolvedFirstHopFailsWithoutCause)
{
    UseTestPlaceholderRange();
    CProfileData profile;
    profile.m_Proxies = { CProxy("proxy.invalid", 1080, kProxySocks5, 1) };
    const auto viaNamedProxy = RunTunnel(AddressTarget("127.0.0.1", 7), profile, RuleWith(kActionProxy, 1));
    EXPECT_EQ(viaNamedProxy.socket, nullptr);
    EXPECT_EQ(viaNamedProxy.error, "Could not connect to proxy proxy.invalid:1080 - ");

    const auto toPlaceholder
        = RunTunnel(AddressTarget("198.18.0.20", 443, std::string("example.org")), profile, RuleWith(kActionDirect));
    EXPECT_EQ(toPlaceholder.socket, nullptr);
    EXPECT_EQ(toPlaceholder.error, "Could not connect to example.org:443 - ");
}

TEST(Tunnel, ResolvedFirstHopReplacesIt)
{
    UseTestPlaceholderRange();
    EchoServer echo;
    auto microsocks = startMicrosocks();
    CProfileData profile;
    profile.m_Proxies = { CProxy("socks.test", microsocks->port(), kProxySocks5, 1) };

    // A placeholder target, connected directly to the address found for its name.
    const CHost placeholder = AddressTarget("198.18.0.20", echo.port(), std::string("echo.test"));
    const CHost resolvedTarget = AddressTarget("127.0.0.1", echo.port(), std::string("echo.test"));
    auto direct = RunTunnel(placeholder, profile, RuleWith(kActionDirect), resolvedTarget);
    ASSERT_NE(direct.socket, nullptr) << direct.error;
    ExpectEchoedUnchanged(*direct.socket, 4096);

    // A proxy known by name, reached at the address found for it.
    const CHost resolvedProxy = AddressTarget("127.0.0.1", microsocks->port(), std::string("socks.test"));
    auto viaProxy
        = RunTunnel(AddressTarget("127.0.0.1", echo.port()), profile, RuleWith(kActionProxy, 1), resolvedProxy);
    ASSERT_NE(viaProxy.socket, nullptr) << viaProxy.error;
    ExpectEchoedUnchanged(*viaProxy.socket, 4096);
}

TEST(Tunnel, IPv6FirstHopSetsTheFlag)
{
    std::unique_ptr<EchoServer> echo;
    try {
        echo = std::make_unique<EchoServer>("::1");
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    const CHost target = AddressTarget("::1", echo->port());
    auto outcome = RunTunnel(target, CProfileData(), RuleWith(kActionDirect));
    ASSERT_NE(outcome.socket, nullptr) << outcome.error;
    EXPECT_TRUE(outcome.ipv6);
    ExpectEchoedUnchanged(*outcome.socket, 4096);

    const uint16_t closed = freeLoopbackPort();
    const auto failed = RunTunnel(AddressTarget("::1", closed), CProfileData(), RuleWith(kActionDirect));
    EXPECT_EQ(failed.socket, nullptr);
    EXPECT_TRUE(failed.ipv6);
    EXPECT_EQ(failed.error,
        "Could not connect to [::1]:" + std::to_string(closed) + " (IPv6) - connection attempt to ::1:"
            + std::to_string(closed) + " failed with error " + std::to_string(ECONNREFUSED));
}

// A listener whose accept queue is full makes the system drop further connection requests, so a connect to it
// waits until the tunnel's time-out.
TEST(Tunnel, DirectConnectGivesUpAfterItsTimeOut)
{
    const LoopbackListener listener("127.0.0.1", 0);
    const uint16_t port = listener.port();
    const sockaddr_storage address = *socketAddress("127.0.0.1", port);
    std::vector<UniqueFd> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        connect(fillers.back().get(), reinterpret_cast<const sockaddr*>(&address), addressLength(address));
    }

    const CRule rule = RuleWith(kActionDirect);
    const CProfileData profile;
    CTunnel tunnel(AddressTarget("127.0.0.1", port), profile, rule);
    const auto timeout = std::chrono::milliseconds(500);
    tunnel.SetConnectTimeout(timeout);
    ASSERT_EQ(tunnel.ConnectPrepare().kind, CTunnel::kConnectNow);
    const auto start = std::chrono::steady_clock::now();
    const auto socket = tunnel.ConnectEstablish();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(socket, nullptr);
    EXPECT_EQ(tunnel.TakeErrorText(),
        "Could not connect to 127.0.0.1:" + std::to_string(port) + " - connection attempt to 127.0.0.1:"
            + std::to_string(port) + " failed with error " + std::to_string(ETIMEDOUT));
    EXPECT_GE(waited, timeout);
    EXPECT_LT(waited, std::chrono::seconds(30));
}

// " (IPv6)" follows only the hop the tunnel connects to itself (the target of a direct connection, or the first
// proxy); hops named in a failure through a proxy carry no family, whichever family they have.
TEST(Tunnel, IPv6MarkOnlyOnTheDirectlyConnectedHop)
{
    uint16_t closed6 = 0;
    std::unique_ptr<ScriptedProxy> refusingTarget6;
    std::unique_ptr<ScriptedProxy> refusingNext6;
    try {
        closed6 = FreeIPv6LoopbackPort();
        refusingTarget6 = RefusingSocks5(10, true);
        refusingNext6 = RefusingSocks5(10, true);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    const auto refusingNextIs6 = RefusingSocks5(22, false); // an IPv6 next hop makes a 22-byte request
    const uint16_t closed4 = freeLoopbackPort();
    const std::string c4 = std::to_string(closed4);
    const std::string c6 = std::to_string(closed6);
    const std::string t6 = std::to_string(refusingTarget6->port());
    const std::string n6 = std::to_string(refusingNext6->port());
    const std::string n4 = std::to_string(refusingNextIs6->port());
    const std::string refused = std::to_string(ECONNREFUSED);
    const std::string socksRefused = "Proxy server cannot establish a connection with the target - Connection refused.";

    struct Case {
        const char* name;
        std::vector<CProxy> proxies;
        int action;
        CHost target;
        std::string expected;
    };
    const Case cases[] = {
        { "direct, IPv4", {}, kActionDirect, AddressTarget("127.0.0.1", closed4),
            "Could not connect to 127.0.0.1:" + c4 + " - connection attempt to 127.0.0.1:" + c4 + " failed with error "
                + refused },
        { "direct, IPv6", {}, kActionDirect, AddressTarget("::1", closed6),
            "Could not connect to [::1]:" + c6 + " (IPv6) - connection attempt to ::1:" + c6 + " failed with error "
                + refused },
        { "unreachable IPv6 proxy", { CProxy("::1", closed6, kProxySocks5, 1) }, kActionProxy,
            AddressTarget("127.0.0.1", 80),
            "Could not connect to proxy [::1]:" + c6 + " (IPv6) - connection attempt to ::1:" + c6
                + " failed with error " + refused },
        { "IPv6 proxy refuses the target", { CProxy("::1", refusingTarget6->port(), kProxySocks5, 1) }, kActionProxy,
            AddressTarget("127.0.0.1", 80), "Could not connect through proxy [::1]:" + t6 + " - " + socksRefused },
        { "IPv6 first proxy of a chain refuses the next",
            { CProxy("::1", refusingNext6->port(), kProxySocks5, 1), LoopbackProxy(kProxySocks5, 1080, 2) },
            kActionChain, AddressTarget("127.0.0.1", 80),
            "Could not connect through proxy [::1]:" + n6 + " to the next proxy in the chain 127.0.0.1:1080 - "
                + socksRefused },
        { "IPv6 next proxy of a chain",
            { LoopbackProxy(kProxySocks5, refusingNextIs6->port(), 1), CProxy("::1", closed6, kProxySocks5, 2) },
            kActionChain, AddressTarget("127.0.0.1", 80),
            "Could not connect through proxy 127.0.0.1:" + n4 + " to the next proxy in the chain [::1]:" + c6 + " - "
                + socksRefused },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CProfileData profile = ProfileWithChain(c.proxies);
        const CRule rule = RuleWith(c.action, c.action == kActionProxy ? c.proxies.front().m_Id : 50);
        const auto outcome = RunTunnel(c.target, profile, rule);
        EXPECT_EQ(outcome.socket, nullptr);
        EXPECT_EQ(outcome.error, c.expected);
    }
}

// The tunnel on a thread of its own, so that a connect that never ends fails the test instead of hanging it:
// after `guard` its socket is shut down, as a cancel would.
struct GuardedOutcome {
    Outcome outcome;
    std::chrono::steady_clock::duration waited {};
    bool endedAlone = false;
};

GuardedOutcome RunGuarded(CTunnel& tunnel, std::chrono::seconds guard = std::chrono::seconds(30))
{
    std::promise<std::shared_ptr<CSafeSocket>> created;
    auto socketFuture = created.get_future();
    tunnel.SetSocketCreatedHandler(
        [&created](const std::shared_ptr<CSafeSocket>& socket) { created.set_value(socket); });
    EXPECT_EQ(tunnel.ConnectPrepare().kind, CTunnel::kConnectNow);
    GuardedOutcome result;
    const auto start = std::chrono::steady_clock::now();
    auto run = std::async(std::launch::async, [&] { return tunnel.ConnectEstablish(); });
    result.endedAlone = run.wait_for(guard) == std::future_status::ready;
    if (!result.endedAlone && socketFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
        socketFuture.get()->Shutdown();
    result.outcome.socket = run.get();
    result.waited = std::chrono::steady_clock::now() - start;
    result.outcome.error = tunnel.TakeErrorText();
    return result;
}

// A proxy that accepts and never answers, or answers a byte at a time, fails the connection once the hop's
// connect time-out has passed, handshake included, with the text of a connect that timed out; the connecting
// thread is free again. Each hop has the whole time-out: a slow handshake that fits in it still connects.
TEST(Tunnel, SilentOrDribblingProxyFailsOnTheConnectTimeOut)
{
    using Step = ScriptedProxy::Step;
    const auto timeout = std::chrono::milliseconds(400);
    const auto interval = std::chrono::milliseconds(100);
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    // Each reply byte of the SOCKS5 exchange after the greeting's reply comes a pause apart: 1.2 s in all.
    const std::vector<Step> dribblingSocks5 = { Step::read(3), Step::dribble({ 5, 0 }, interval), Step::read(10),
        Step::dribble({ 5, 0, 0, 1, 127, 0, 0, 1, 0, 80 }, interval) };
    auto microsocks = startMicrosocks();

    struct Case {
        const char* name;
        int type;
        std::vector<Step> script;
        bool behindMicrosocks; // the scripted proxy is the second hop of a chain
    };
    const Case cases[] = {
        { "SOCKS5 proxy silent after accepting", kProxySocks5, {}, false },
        { "SOCKS5 proxy silent after the greeting", kProxySocks5, { Step::read(3) }, false },
        { "SOCKS5 proxy dribbling its replies", kProxySocks5, dribblingSocks5, false },
        { "HTTPS proxy silent", kProxyHttps, {}, false },
        { "HTTPS proxy dribbling its reply", kProxyHttps,
            { Step::dribble(std::vector<uint8_t>(established.begin(), established.end()), interval) }, false },
        { "silent second proxy of a chain", kProxySocks5, {}, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedProxy fake(c.script);
        const std::string fakeText = "127.0.0.1:" + std::to_string(fake.port());
        std::vector<CProxy> proxies;
        if (c.behindMicrosocks)
            proxies.push_back(LoopbackProxy(kProxySocks5, microsocks->port(), 1));
        proxies.push_back(LoopbackProxy(c.type, fake.port(), 2));
        const CProfileData profile = ProfileWithChain(proxies);
        const CRule rule = RuleWith(kActionChain, 50);
        CTunnel tunnel(AddressTarget("127.0.0.1", 80), profile, rule);
        tunnel.SetConnectTimeout(timeout);
        const auto result = RunGuarded(tunnel);
        EXPECT_TRUE(result.endedAlone) << "the connect went on until it was shut down";
        EXPECT_EQ(result.outcome.socket, nullptr);
        EXPECT_EQ(result.outcome.error,
            "Could not connect through proxy " + fakeText + " - connection attempt to " + fakeText
                + " failed with error " + std::to_string(ETIMEDOUT));
        EXPECT_GE(result.waited, timeout);
        EXPECT_LT(result.waited, std::chrono::seconds(20));
    }

    // The same dribbling proxy with time enough, behind a first hop: each hop has the whole time-out.
    ScriptedProxy slow(dribblingSocks5);
    const CProfileData profile = ProfileWithChain(
        { LoopbackProxy(kProxySocks5, microsocks->port(), 1), LoopbackProxy(kProxySocks5, slow.port(), 2) });
    const CRule rule = RuleWith(kActionChain, 50);
    CTunnel tunnel(AddressTarget("127.0.0.1", 80), profile, rule);
    tunnel.SetConnectTimeout(std::chrono::seconds(15));
    const auto result = RunGuarded(tunnel);
    EXPECT_TRUE(result.endedAlone);
    EXPECT_NE(result.outcome.socket, nullptr) << result.outcome.error;
}

TEST(Tunnel, LastHopHttpProxyHandsOverACopy)
{
    auto tinyproxy = startTinyproxy();
    auto microsocks = startMicrosocks();
    CProxy http = LoopbackProxy(kProxyHttp, tinyproxy->port(), 7);
    http.m_UserName = "someone";
    const CProfileData profile = ProfileWithChain({ LoopbackProxy(kProxySocks5, microsocks->port(), 1), http });

    for (int action : { kActionProxy, kActionChain }) {
        SCOPED_TRACE(action);
        const CRule rule = RuleWith(action, action == kActionProxy ? 7 : 50);
        CTunnel tunnel(AddressTarget("10.1.2.3", 80), profile, rule);
        ASSERT_EQ(tunnel.ConnectPrepare().kind, CTunnel::kConnectNow);
        auto socket = tunnel.ConnectEstablish();
        ASSERT_NE(socket, nullptr) << tunnel.TakeErrorText();
        EXPECT_TRUE(tunnel.IsHttp());
        auto copy = tunnel.TakeHttpProxy();
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->m_Id, 7);
        EXPECT_EQ(copy->m_UserName, "someone");
        EXPECT_EQ(copy->m_Port, tinyproxy->port());
        EXPECT_EQ(tunnel.TakeHttpProxy(), nullptr);
    }
}

} // namespace
} // namespace corvantis::test
