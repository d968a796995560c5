// Rule lookup runs once for every connection of the machine. These benchmarks put its cost next to what every
// connection pays anyway, a loopback TCP connect and accept, on a profile of 1,000 rules of mixed kinds.

#include "core/foundation/LogContext.h"
#include "core/profile/Host.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"
#include "core/profile/RuleLookup.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace corvantis {
namespace {

constexpr int kRuleCount = 1000;

CRule MakeRule(
    const std::string& name, const std::string& apps, const std::string& targets, const std::string& ports, int action)
{
    CRule rule(name);
    std::string message;
    if (!ParseAppList(rule, apps, message) || !ParseHostList(rule, targets, message)
        || !ParsePortList(rule, ports, message))
        std::abort();
    rule.m_Action = action;
    rule.m_ProxyId = action == kActionProxy ? 1 : -1;
    return rule;
}

// Rule 0 takes "www.first.lan"; rules 1 to 998 cycle through application lists, name wildcards, IPv4 and
// IPv6 ranges and patterns, port lists and macros, none of which takes the benchmark's connections; the last
// rule is the catch-all.
CProfileData MakeProfile()
{
    CProfileData profile;
    profile.m_Proxies.emplace_back("proxy.lan", 1080, kProxySocks5, 1);
    profile.m_Rules.push_back(MakeRule("first", "", "*.first.lan", "", kActionProxy));
    for (int i = 1; i < kRuleCount - 1; ++i) {
        const std::string n = std::to_string(i);
        const std::string octet = std::to_string(i % 250);
        switch (i % 6) {
        case 0:
            profile.m_Rules.push_back(
                MakeRule("apps " + n, "app" + n + ";\"Some App " + n + "\";org.example.*" + n, "", "", kActionProxy));
            break;
        case 1:
            profile.m_Rules.push_back(MakeRule(
                "names " + n, "", "*.corp" + n + ".lan;host" + n + ".example.com;mail?" + n + ".*", "", kActionProxy));
            break;
        case 2:
            profile.m_Rules.push_back(MakeRule("ranges " + n, "",
                "10." + octet + ".0.1-10." + octet + ".255.254;172.16." + octet + ".*", "", kActionBlock));
            break;
        case 3:
            profile.m_Rules.push_back(MakeRule(
                "ipv6 " + n, "", "2001:db8:" + n + "::1-2001:db8:" + n + "::ffff;fd00:" + n + "::*", "", kActionProxy));
            break;
        case 4:
            profile.m_Rules.push_back(
                MakeRule("ports " + n, "tool" + n, "", "22;" + n + "-" + std::to_string(i + 10), kActionChain));
            break;
        default:
            profile.m_Rules.push_back(
                MakeRule("mixed " + n, "/opt/app" + n + "/*", "%SimpleHostnames%;*.intra" + n, "8080", kActionDirect));
            break;
        }
    }
    profile.AddDefaultRule();
    return profile;
}

CLogContext Browser()
{
    CLogContext app;
    app.displayName = "browser";
    app.revDns = "org.example.browser";
    app.bsdName = "browser";
    app.packetName = "browser";
    app.packetShortName = "browser";
    app.fullPath = "/usr/lib/browser/browser";
    return app;
}

void BM_FindRuleFirst(benchmark::State& state)
{
    const CProfileData profile = MakeProfile();
    const CLogContext app = Browser();
    const CHost target(std::string("www.first.lan"), "203.0.113.5", 443, false);
    if (FindRule(profile, app, target, nullptr) != 0)
        state.SkipWithError("the first rule does not match");
    for (auto _ : state)
        benchmark::DoNotOptimize(FindRule(profile, app, target, nullptr));
}
BENCHMARK(BM_FindRuleFirst);

void BM_FindRuleLast(benchmark::State& state)
{
    const CProfileData profile = MakeProfile();
    const CLogContext app = Browser();
    // Named and resolved, so that name entries and address entries are both tried on every rule.
    const CHost target(std::string("www.example.org"), "203.0.113.5", 443, false);
    if (FindRule(profile, app, target, nullptr) != kRuleCount - 1)
        state.SkipWithError("a rule before the last one matches");
    for (auto _ : state)
        benchmark::DoNotOptimize(FindRule(profile, app, target, nullptr));
    state.counters["ns_per_rule"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRuleCount,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FindRuleLast);

// One loopback TCP connection: socket, connect, accept, close on both sides (with an abortive close, so that
// no TIME_WAIT entries pile up and exhaust the ephemeral ports).
void BM_LoopbackConnectAccept(benchmark::State& state)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(listener, 128) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    const linger abortive { 1, 0 };
    for (auto _ : state) {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            state.SkipWithError("connect failed");
            close(client);
            break;
        }
        const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        setsockopt(server, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        close(server);
        close(client);
    }
    close(listener);
}
BENCHMARK(BM_LoopbackConnectAccept);

} // namespace
} // namespace corvantis
