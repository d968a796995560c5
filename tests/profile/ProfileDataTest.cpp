#include "core/profile/ProfileData.h"
#include "core/profile/ProfileCheck.h"

#include "tests/profile/ProfileTestSupport.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::IPv4;
using test::IPv6;

TEST(ProfileData, NewProfileHasLocalhostFirstAndDefaultLast)
{
    const CProfileData profile = NewProfileData();
    ASSERT_EQ(profile.m_Rules.size(), 2u);
    const CRule& localhost = profile.m_Rules[0];
    EXPECT_EQ(localhost.m_Name, "Localhost");
    EXPECT_EQ(localhost.m_Action, kActionDirect);
    EXPECT_TRUE(localhost.m_Enabled);
    EXPECT_EQ(localhost.m_TargetsText, "localhost; 127.0.0.1; ::1; %ComputerName%");
    ASSERT_EQ(localhost.m_Targets.size(), 4u);
    EXPECT_EQ(localhost.m_Targets[0].m_Kind, kTargetHostPattern);
    EXPECT_EQ(localhost.m_Targets[1].m_Kind, kTargetIPv4Range);
    EXPECT_EQ(localhost.m_Targets[1].FirstIPv4(), IPv4("127.0.0.1"));
    EXPECT_EQ(localhost.m_Targets[1].LastIPv4(), IPv4("127.0.0.1"));
    EXPECT_EQ(localhost.m_Targets[2].m_Kind, kTargetIPv6Range);
    EXPECT_EQ(localhost.m_Targets[2].m_First, IPv6("::1"));
    EXPECT_EQ(localhost.m_Targets[3].m_Kind, kTargetMacro);
    EXPECT_TRUE(localhost.m_Apps.empty());
    EXPECT_TRUE(localhost.m_Ports.empty());

    const CRule& fallback = profile.m_Rules[1];
    EXPECT_EQ(fallback.m_Name, "Default");
    EXPECT_EQ(fallback.m_Action, kActionDirect);
    EXPECT_TRUE(fallback.m_Targets.empty() && fallback.m_Apps.empty() && fallback.m_Ports.empty());
    EXPECT_EQ(fallback.m_ProxyId, -1);

    EXPECT_TRUE(profile.m_ExcludeLocalhost && profile.m_ExcludeSimpleHostnames && profile.m_ExcludeSelfHostname
        && profile.m_ExcludeLocalDomain);
    EXPECT_TRUE(profile.m_ExclusionText.empty());
    EXPECT_EQ(profile.m_EncryptionMode, kEncryptionBasic);
    EXPECT_FALSE(profile.m_BlockUDP443);
    EXPECT_FALSE(profile.m_DnsChanged);

    std::string message;
    EXPECT_TRUE(CheckProfileConsistency(profile, message)) << message;
}

TEST(ProfileData, DefaultsOfAnEmptyProfile)
{
    const CProfileData profile;
    EXPECT_TRUE(profile.m_Rules.empty());
    EXPECT_TRUE(profile.m_AutoModeDetection);
    EXPECT_TRUE(profile.m_ViaProxy);
    EXPECT_FALSE(profile.m_TryLocalDnsFirst);
    EXPECT_FALSE(profile.m_OnlyFromListMode);
    EXPECT_FALSE(profile.m_HttpProxiesSupport);
    EXPECT_FALSE(profile.m_HandleDirectConnections);
    EXPECT_TRUE(profile.m_ProcessServices);
    EXPECT_TRUE(profile.m_ProcessOtherUsers);
    EXPECT_TRUE(profile.m_ConnectionLoopDetection);
    EXPECT_EQ(profile.m_EncryptionMode, kEncryptionDisabled);
    EXPECT_GT(profile.m_ChangeStamp, 0);
    EXPECT_EQ(profile.GetHighestId(), 1);
}

CProfileData ProfileWithProxies()
{
    CProfileData profile;
    profile.m_Proxies = {
        CProxy("socks.lan", 1080, kProxySocks5, 101),
        CProxy("web.lan", 3128, kProxyHttp, 102),
        CProxy("Web.lan", 8080, kProxyHttp, 250),
    };
    profile.m_Chains = { CChain("first", 103), CChain("second", 104) };
    profile.m_Chains[1].m_Entries = { { 101, true }, { 102, false } };
    return profile;
}

TEST(ProfileData, LookupsByIdFailForUnknownOrNonPositiveIds)
{
    CProfileData profile = ProfileWithProxies();
    // A stray proxy with id 0 (as a file without the attribute would give) must still not be found by id.
    profile.m_Proxies.emplace_back("zero.lan", 1, kProxySocks5, 0);
    profile.m_Proxies.emplace_back("negative.lan", 1, kProxySocks5, -5);

    ASSERT_TRUE(profile.FindProxy(102).has_value());
    EXPECT_EQ(profile.FindProxy(102)->GetHostName(), "web.lan");
    ASSERT_TRUE(profile.FindChain(104).has_value());
    EXPECT_EQ(profile.FindChain(104)->m_Name, "second");
    for (int64_t id :
        { int64_t { 7 }, int64_t { 0 }, int64_t { -5 }, int64_t { -1 }, int64_t { 103 }, int64_t { 0x100000065 } }) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(profile.FindProxy(id).has_value());
    }
    for (int64_t id : { int64_t { 101 }, int64_t { 0 }, int64_t { -1 } }) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(profile.FindChain(id).has_value());
    }
    EXPECT_EQ(GetProxyIndexById(profile.m_Proxies, 250), 2);
    EXPECT_EQ(GetProxyIndexById(profile.m_Proxies, 7), -1);
    EXPECT_EQ(GetChainIndexById(profile.m_Chains, 103), 0);
    EXPECT_EQ(GetChainIndexById(profile.m_Chains, 101), -1);
    EXPECT_EQ(profile.GetHighestId(), 250);
}

TEST(ProfileData, ChainsAndProxyComparison)
{
    const CProfileData profile = ProfileWithProxies();
    EXPECT_TRUE(ChainHasProxy(profile.m_Chains[1], 102)); // disabled entries count
    EXPECT_FALSE(ChainHasProxy(profile.m_Chains[0], 101));
    EXPECT_TRUE(AnyChainHasProxy(profile.m_Chains, 101));
    EXPECT_FALSE(AnyChainHasProxy(profile.m_Chains, 250));

    const CProxy& a = profile.m_Proxies[1];
    const CProxy& b = profile.m_Proxies[2];
    EXPECT_TRUE(ProxiesEqual(a, b, true, true, false)); // names compare in lower case
    EXPECT_FALSE(ProxiesEqual(a, b, true, true, true));
    EXPECT_FALSE(ProxiesEqual(a, profile.m_Proxies[0], true, false, false));
    EXPECT_TRUE(ProxiesEqual(a, profile.m_Proxies[0], false, false, false));

    EXPECT_EQ(GetProxyCount(profile), 3);
    EXPECT_EQ(GetProxyNameByIndex(profile, 2), "Web.lan");
    EXPECT_EQ(GetProxyPortTextByIndex(profile, 0), "1080");
    EXPECT_STREQ(GetProxyTypeNameByIndex(profile, 1), "HTTP");
    EXPECT_EQ(GetProxyNameByIndex(profile, 3), "");
    EXPECT_EQ(GetProxyPortTextByIndex(profile, -1), "");
    EXPECT_EQ(GetProxyTypeNameByIndex(profile, 3), nullptr);
}

TEST(RuleActions, ListIndexesMapBothWays)
{
    CProfileData profile = ProfileWithProxies(); // two chains, three proxies: 7 entries
    struct Case {
        int action;
        int64_t id;
        int index;
    };
    const Case cases[] = {
        { kActionChain, 103, 0 },
        { kActionChain, 104, 1 },
        { kActionProxy, 101, 2 },
        { kActionProxy, 102, 3 },
        { kActionProxy, 250, 4 },
        { kActionDirect, -1, 5 },
        { kActionBlock, -1, 6 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        CRule rule("r");
        rule.m_Action = c.action;
        rule.m_ProxyId = c.id;
        EXPECT_EQ(GetActiveActionIndex(rule, profile.m_Proxies, profile.m_Chains), c.index);

        CRule set("s");
        SetActionByListIndex(set, c.index, profile.m_Proxies, profile.m_Chains);
        EXPECT_EQ(set.m_Action, c.action);
        if (c.action == kActionChain || c.action == kActionProxy) {
            EXPECT_EQ(set.m_ProxyId, c.id);
        }
    }
    CRule rule("r");
    SetActionByListIndex(rule, 9, profile.m_Proxies, profile.m_Chains);
    EXPECT_EQ(rule.m_Action, kActionBlock);

    // A rule whose proxy or chain is gone has no place in the list (no stop: the editor shows none selected).
    rule.m_Action = kActionChain;
    rule.m_ProxyId = 999;
    EXPECT_EQ(GetActiveActionIndex(rule, profile.m_Proxies, profile.m_Chains), -1);
    rule.m_Action = kActionProxy;
    EXPECT_EQ(GetActiveActionIndex(rule, profile.m_Proxies, profile.m_Chains), -1);
    rule.m_Action = 7;
    EXPECT_EQ(GetActiveActionIndex(rule, profile.m_Proxies, profile.m_Chains), -1);
}

TEST(RuleActions, ListTextsTellSameHostProxiesApart)
{
    const CProfileData profile = ProfileWithProxies();
    EXPECT_EQ(ListRuleActionNames(profile.m_Proxies, profile.m_Chains),
        (std::vector<std::string> { "Chain first [empty]", "Chain second", "Proxy SOCKS5 socks.lan",
            "Proxy HTTP web.lan:3128", "Proxy HTTP Web.lan:8080", "Direct", "Block" }));

    std::vector<CProxy> proxies = { CProxy("web.lan", 3128, kProxyHttp, 1), CProxy("web.lan", 1080, kProxySocks5, 2) };
    EXPECT_EQ(ListRuleActionNames(proxies, {}, true),
        (std::vector<std::string> { "Proxy HTTP\r\nweb.lan", "Proxy SOCKS5\r\nweb.lan", "Direct", "Block" }));
    EXPECT_STREQ(GetRuleActionName(kActionChain), "Chain");
    EXPECT_EQ(GetRuleActionName(-1), nullptr);
}

} // namespace
} // namespace corvantis
