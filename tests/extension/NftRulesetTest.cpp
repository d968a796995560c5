#include "platform/netext/NftRuleset.h"
#include "extension/daemon/AppProxyProvider.h"
#include "extension/daemon/FilterDataProvider.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace corvantis::test {
namespace {

NftCapture Capture()
{
    NftCapture capture;
    capture.tcpPort = 41001;
    capture.udpPort = 41002;
    return capture;
}

TEST(NftRulesetTest, TheTextForAFewPorts)
{
    std::string line;
    const auto settings = AppProxyProvider::makeSettings("5353", "80,443", true, line);
    const std::string text = CompileTransparentProxyChains(settings, Capture());
    // Own packets first, exclusions (ports of one kind in one set, hosts masked) before the captures.
    const auto own = text.find("meta mark 0x5a17 return");
    const auto excluded = text.find("meta nfproto ipv4 meta l4proto tcp th dport { 80, 443 } return");
    const auto redirect = text.find("meta l4proto tcp redirect to :41001");
    ASSERT_NE(own, std::string::npos) << text;
    ASSERT_NE(excluded, std::string::npos) << text;
    ASSERT_NE(redirect, std::string::npos) << text;
    EXPECT_LT(own, excluded);
    EXPECT_LT(excluded, redirect);
    EXPECT_NE(text.find("ip6 daddr fc00::/8 meta l4proto tcp return"), std::string::npos) << text;
    EXPECT_NE(text.find("ip6 daddr ::/8 meta l4proto udp th dport 443 meta mark set 0x5a18"), std::string::npos)
        << "\"::1\" with prefix 8 is masked to ::/8\n"
        << text;
    EXPECT_NE(text.find("meta l4proto udp th dport 5353 return"), std::string::npos) << text;
}

TEST(NftRulesetTest, TheFilterTapsCopyPacketsAndHoldNone)
{
    const std::string text = CompileFilterChains(FilterDataProvider::makeSettings(), Capture(), 5);
    EXPECT_NE(text.find("meta l4proto udp th dport { 7, 67,"), std::string::npos) << "the allowed ports in one set\n"
                                                                                  << text;
    EXPECT_NE(text.find("meta l4proto udp udp dport 53 log group 5 accept"), std::string::npos) << text;
    EXPECT_NE(text.find("meta l4proto udp ct state new log group 5"), std::string::npos) << text;
    EXPECT_NE(text.find("udp sport 53 ct direction reply log group 5"), std::string::npos) << text;
    EXPECT_EQ(text.find("drop"), std::string::npos);
    EXPECT_EQ(text.find("redirect"), std::string::npos);
}

// Every ruleset the providers make is one nftables accepts, checked in a network namespace of the test's own.
TEST(NftRulesetTest, NftablesAcceptsEveryRuleset)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network namespace needs root";
    NetNamespace ns("nftcheck");
    if (!ns.valid())
        GTEST_SKIP() << "no network namespace here";
    struct Case {
        const char* name;
        std::string udp;
        std::string tcp;
        bool blockUdp443;
    };
    const Case cases[] = {
        { "default ports", "", "", false },
        { "80,443", "", "80,443", false },
        { "separators only", ",;\n", "", false },
        { "ports that are no ports", "", "80,abc,70000,22", false },
        { "block UDP 443", "", "", true },
        { "UDP and TCP", "53 5353;123", "22\n8080", true },
    };
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> rulesets;
    for (const Case& c : cases) {
        std::string line;
        rulesets.emplace_back(c.name,
            ComposeRuleset(Capture(),
                { CompileTransparentProxyChains(
                    AppProxyProvider::makeSettings(c.udp, c.tcp, c.blockUdp443, line), Capture()) },
                false));
    }
    const std::string dns = CompileDnsProxyChains(Capture());
    const std::string filter = CompileFilterChains(FilterDataProvider::makeSettings(), Capture(), 5);
    rulesets.emplace_back("DNS proxy", ComposeRuleset(Capture(), { dns }, false));
    rulesets.emplace_back("content filter", ComposeRuleset(Capture(), { filter }, false));
    rulesets.emplace_back("no provider", ComposeRuleset(Capture(), {}, false));
    std::string line;
    const std::string proxy
        = CompileTransparentProxyChains(AppProxyProvider::makeSettings("", "", false, line), Capture());
    rulesets.emplace_back("all three, owned", ComposeRuleset(Capture(), { proxy, dns, filter }, true));
    for (const auto& [name, text] : rulesets) {
        SCOPED_TRACE(name);
        const auto file = dir / "ruleset.nft";
        std::ofstream(file) << text;
        EXPECT_TRUE(ns.run("nft -c -f " + file.string() + " 2>&1"))
            << ns.output("nft -c -f " + file.string() + " 2>&1") << text;
    }
    // Applied twice in a row: the second replaces the first.
    const auto file = dir / "ruleset.nft";
    std::ofstream(file) << rulesets.front().second;
    EXPECT_TRUE(ns.run("nft -f " + file.string()));
    EXPECT_TRUE(ns.run("nft -f " + file.string()));
    EXPECT_NE(ns.output("nft list table inet corvantis").find("redirect to :41001"), std::string::npos);
}

} // namespace
} // namespace corvantis::test
