#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

CRule RuleThrough(const std::string& name, int action, int64_t id)
{
    CRule rule(name);
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

CProfileData Consistent()
{
    CProfileData profile;
    profile.m_Proxies = { CProxy("a.lan", 1080, kProxySocks5, 1), CProxy("b.lan", 3128, kProxyHttp, 2) };
    profile.m_Chains = { CChain("c", 10) };
    profile.m_Chains[0].m_Entries = { { 1, true }, { 2, true } };
    profile.m_Rules = { RuleThrough("via proxy", kActionProxy, 1), RuleThrough("via chain", kActionChain, 10),
        RuleThrough("Default", kActionDirect, -1) };
    return profile;
}

std::string Check(const CProfileData& profile)
{
    std::string message;
    const bool ok = CheckProfileConsistency(profile, message);
    EXPECT_EQ(ok, message.empty()) << message;
    return message;
}

TEST(CheckProfileConsistency, ReportsEachProblem)
{
    struct Case {
        const char* name;
        void (*change)(CProfileData&);
        const char* message;
    };
    const Case cases[] = {
        { "consistent", [](CProfileData&) {}, "" },
        { "unknown proxy", [](CProfileData& p) { p.m_Rules[0].m_ProxyId = 7; },
            "Rule \"via proxy\" refers to nonexistent proxy (id = 7)" },
        { "proxy id 0", [](CProfileData& p) { p.m_Rules[0].m_ProxyId = 0; },
            "Action of Rule \"via proxy\" doesn't have a correct proxy ID" },
        { "unknown chain", [](CProfileData& p) { p.m_Rules[1].m_ProxyId = 11; },
            "Rule \"via chain\" refers to nonexistent proxy chain (id = 11)" },
        { "chain id 0", [](CProfileData& p) { p.m_Rules[1].m_ProxyId = 0; },
            "Action of Rule \"via chain\" doesn't have a correct proxy chain ID" },
        // Ids of 0 and below never name a stored proxy or chain, even when one carries such an id: a proxy
        // lookup by such an id fails later, so the profile is refused up front.
        { "negative proxy id on both sides",
            [](CProfileData& p) {
                p.m_Proxies[0].m_Id = -5;
                p.m_Chains[0].m_Entries[0].m_ProxyId = -5;
                p.m_Rules[0].m_ProxyId = -5;
            },
            "Action of Rule \"via proxy\" doesn't have a correct proxy ID" },
        { "chain entry with proxy id 0",
            [](CProfileData& p) {
                p.m_Proxies[0].m_Id = 0;
                p.m_Chains[0].m_Entries[0].m_ProxyId = 0;
                p.m_Rules[0].m_ProxyId = 2;
            },
            "Chain \"c\": incorrect proxy server ID found." },
        { "block and direct are not checked",
            [](CProfileData& p) {
                p.m_Rules[0] = RuleThrough("blocked", kActionBlock, 77);
                p.m_Rules[1] = RuleThrough("direct", kActionDirect, 0);
            },
            "" },
        { "duplicate proxy ids", [](CProfileData& p) { p.m_Proxies.emplace_back("c.lan", 1, kProxySocks4, 2); },
            "Duplicated IDs found. Two or more proxy servers have id = 2" },
        { "duplicate chain ids", [](CProfileData& p) { p.m_Chains.emplace_back("d", 10); },
            "Duplicated IDs found. Two or more proxy chains have id = 10" },
        { "chain entry unknown, even disabled",
            [](CProfileData& p) {
                p.m_Chains[0].m_Entries.push_back({ 9, false });
            },
            "Chain \"c\": incorrect proxy server ID found." },
        { "HTTP not last",
            [](CProfileData& p) {
                p.m_Chains[0].m_Entries = { { 2, true }, { 1, true } };
            },
            "Chain \"c\": HTTP proxy server must be the last one in the chain." },
        { "HTTP followed by a disabled entry",
            [](CProfileData& p) {
                p.m_Chains[0].m_Entries = { { 2, true }, { 1, false } };
            },
            "" },
        { "disabled HTTP before others",
            [](CProfileData& p) {
                p.m_Chains[0].m_Entries = { { 2, false }, { 1, true } };
            },
            "" },
        { "rule name is data, not a format",
            [](CProfileData& p) { p.m_Rules[0] = RuleThrough("%s%n%d", kActionProxy, 7); },
            "Rule \"%s%n%d\" refers to nonexistent proxy (id = 7)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile = Consistent();
        c.change(profile);
        EXPECT_EQ(Check(profile), c.message);
    }
}

TEST(CheckProfileConsistency, RulesBeforeIdsBeforeChains)
{
    CProfileData profile = Consistent();
    profile.m_Chains[0].m_Entries = { { 2, true }, { 1, true } }; // chain problem
    profile.m_Proxies.emplace_back("c.lan", 1, kProxySocks4, 1); // duplicate proxy id
    profile.m_Chains.emplace_back("d", 10); // duplicate chain id
    profile.m_Rules.insert(profile.m_Rules.begin() + 1, RuleThrough("broken", kActionProxy, 42)); // rule problem

    EXPECT_EQ(Check(profile), "Rule \"broken\" refers to nonexistent proxy (id = 42)");
    profile.m_Rules.erase(profile.m_Rules.begin() + 1);
    EXPECT_EQ(Check(profile), "Duplicated IDs found. Two or more proxy servers have id = 1");
    profile.m_Proxies.pop_back();
    EXPECT_EQ(Check(profile), "Duplicated IDs found. Two or more proxy chains have id = 10");
    profile.m_Chains.pop_back();
    EXPECT_EQ(Check(profile), "Chain \"c\": HTTP proxy server must be the last one in the chain.");
}

} // namespace
} // namespace corvantis
