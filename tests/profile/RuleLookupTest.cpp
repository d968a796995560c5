#include "core/profile/RuleLookup.h"
#include "core/foundation/LogContext.h"
#include "core/profile/Host.h"
#include "core/profile/ProfileData.h"

#include "tests/profile/ProfileTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::IPv4;
using test::MakeRule;

CLogContext App(const std::string& name)
{
    CLogContext app;
    app.bsdName = name;
    return app;
}

// A profile of one rule with the given target text, then an enabled catch-all, so that FindRule answers 0
// when the target rule takes the connection and 1 otherwise.
CProfileData OneRule(const std::string& apps, const std::string& targets, const std::string& ports)
{
    CProfileData profile;
    profile.m_Rules = { MakeRule("tested", apps, targets, ports, kActionProxy, 1), CRule("Default") };
    return profile;
}

CHost Mapped(const char* ipv6, uint16_t port)
{
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, ipv6, &address.sin6_addr), 1);
    return CHost(address, false);
}

TEST(FindRule, MatchesTargetsByTable)
{
    struct Case {
        const char* targets;
        CHost host;
        bool match;
    };
    const Case cases[] = {
        // Host name wildcards: the pattern also covers the domain itself, and trailing dots of the name go.
        { "*.corp.lan", CHost("corp.lan", 443, false), true },
        { "*.corp.lan", CHost("Mail.Corp.Lan", 443, false), true },
        { "*.corp.lan", CHost("mail.corp.lan.", 443, false), true },
        { "*.corp.lan", CHost("mail.corp.lan..", 443, false), true },
        { "*.corp.lan", CHost("mycorp.lan", 443, false), false },
        { "mail.corp.lan.", CHost("mail.corp.lan", 443, false), false }, // a dotted pattern needs the dot
        { "www.example.com", CHost(std::string("www.example.com"), "192.0.2.1", 443, false), true },
        { "%SimpleHostnames%", CHost("intranet", 80, false), true },
        { "%SimpleHostnames%", CHost("intranet.corp", 80, false), false },
        { "%SimpleHostnames%", CHost("10.0.0.1", 80, false), false },
        // IPv4 patterns work on the dotted text: a star spans digits and dots.
        { "192.168.1.*", CHost("192.168.1.7", 80, false), true },
        { "192.168.1.*", CHost("192.168.10.7", 80, false), false },
        { "192.168.1*", CHost("192.168.10.7", 80, false), true },
        { "10.0.0.1-10.0.0.9", CHost("10.0.0.1", 80, false), true },
        { "10.0.0.1-10.0.0.9", CHost("10.0.0.9", 80, false), true },
        { "10.0.0.1-10.0.0.9", CHost("10.0.0.10", 80, false), false },
        { "10.0.0.5", CHost("10.0.0.5", 80, false), true },
        // An IPv4-mapped target from a socket address falls back to the IPv4 entries.
        { "10.0.0.5", Mapped("::ffff:10.0.0.5", 80), true },
        { "10.0.0.1-10.0.0.9", Mapped("::ffff:10.0.0.5", 80), true },
        { "10.0.0.*", Mapped("::ffff:10.0.0.5", 80), true },
        { "10.0.0.*", Mapped("2001:db8::a00:5", 80), false },
        // IPv6 ranges and patterns (on the compressed text).
        { "2001:db8::1-2001:db8::ff", CHost("2001:db8::80", 80, false), true },
        { "2001:db8::1-2001:db8::ff", CHost("2001:db8::100", 80, false), false },
        { "2001:DB8::*", CHost("2001:db8::5", 80, false), true },
        { "2001:db8::*", CHost("2001:db9::5", 80, false), false },
        { "::1", CHost("::1", 80, false), true },
        { "::1", CHost("127.0.0.1", 80, false), false },
        { "10.0.0.5", CHost("2001:db8::5", 80, false), false },
        // A placeholder address stands for a name and never matches an address entry.
        { "0.1.2.3", CHost("0.1.2.3", 80, false), false },
        { "0.*", CHost("0.1.2.3", 80, false), false },
        { "0.1.2.3", Mapped("::ffff:0.1.2.3", 80), false },
        // A target known only by name never matches an address entry.
        { "10.0.0.5", CHost("host.lan", 80, false), false },
        // A lone "*" reads as an IPv4 pattern (digits, dots and wildcards only): any real IPv4 address, no name.
        { "*", CHost("10.0.0.5", 80, false), true },
        { "*", CHost("host.lan", 80, false), false },
        { "*.*", CHost("host.lan", 80, false), false },
        { "*lan", CHost("host.lan", 80, false), true },
        { "", CHost("anything", 80, false), true },
    };
    test::TestApp app;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.targets) + " <- " + c.host.ToString(true));
        const CProfileData profile = OneRule("", c.targets, "");
        EXPECT_EQ(FindRule(profile, App("curl"), c.host, &app), c.match ? 0 : 1);
    }
}

TEST(FindRule, MatchesPortsByTable)
{
    struct Case {
        const char* ports;
        uint16_t port;
        bool match;
    };
    const Case cases[] = {
        { "80;443", 8080, false },
        { "8000-8100", 8080, true },
        { "80;443;8000-8100", 8100, true },
        { "80;443", 0, true }, // an unknown port passes every list
        { "", 8080, true },
    };
    test::TestApp app;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ports) + " <- " + std::to_string(c.port));
        const CProfileData profile = OneRule("", "", c.ports);
        EXPECT_EQ(FindRule(profile, App("curl"), CHost("host.lan", c.port, false), &app), c.match ? 0 : 1);
    }
}

TEST(FindRule, MatchesApplicationsByTable)
{
    const auto with = [](auto field, const char* value) {
        CLogContext app;
        app.*field = value;
        return app;
    };
    CLogContext path;
    path.bsdName = "viewer";
    path.fullPath = "/applications/viewer.app/contents/bin/viewer";
    struct Case {
        const char* apps;
        CLogContext app;
        bool match;
    };
    const Case cases[] = {
        { "viewer", with(&CLogContext::packetName, "viewer"), true },
        { "viewer", with(&CLogContext::packetShortName, "viewer"), true },
        { "viewer", with(&CLogContext::bsdName, "viewer"), true },
        { "viewer", with(&CLogContext::revDns, "viewer"), true },
        { "viewer", with(&CLogContext::displayName, "viewer"), false }, // the display text does not count
        { "Viewer", with(&CLogContext::bsdName, "viewer"), true }, // patterns are kept in lower case
        { "brow*", with(&CLogContext::bsdName, "browser-esr"), true },
        { "org.example.*", with(&CLogContext::revDns, "org.example.browser"), true },
        { "curl;wget", with(&CLogContext::bsdName, "wget"), true },
        { "/applications/*", path, true },
        { "*/viewer", path, false }, // the full path is only tried for patterns that begin with "/"
        { "/usr/bin/*", path, false },
        { "viewer", CLogContext(), false },
    };
    test::TestApp app;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.apps);
        const CProfileData profile = OneRule(c.apps, "", "");
        EXPECT_EQ(FindRule(profile, c.app, CHost("host.lan", 80, false), &app), c.match ? 0 : 1);
    }
}

TEST(FindRule, ComputerNameMatchesThisMachine)
{
    test::TestApp app;
    const CProfileData profile = OneRule("", "%ComputerName%", "");
    const CHost targets[] = { CHost("mybox", 22, false), CHost("MYBOX.", 22, false), CHost("192.0.2.10", 22, false),
        CHost("2001:db8::10", 22, false), Mapped("::ffff:192.0.2.10", 22) };

    // Before the lists are filled nothing is this machine; without a core object neither.
    for (const CHost& target : targets) {
        SCOPED_TRACE(target.ToString(true));
        EXPECT_EQ(FindRule(profile, App("ssh"), target, &app), 1);
    }
    app.SetOwnIdentity({ "MyBox" }, { IPv4("192.0.2.10") }, { test::IPv6("2001:db8::10") });
    for (const CHost& target : targets) {
        SCOPED_TRACE(target.ToString(true));
        EXPECT_EQ(FindRule(profile, App("ssh"), target, &app), 0);
        EXPECT_EQ(FindRule(profile, App("ssh"), target, nullptr), 1);
    }
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("mybox.lan", 22, false), &app), 1);
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("192.0.2.11", 22, false), &app), 1);
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("0.0.0.10", 22, false), &app), 1);

    // The new profile's Localhost rule takes loopback and this machine, the Default rule the rest.
    CProfileData fresh;
    fresh.InitNewProfileOptions();
    fresh.AddLocalhostRule();
    fresh.AddDefaultRule();
    for (const char* target : { "localhost", "127.0.0.1", "::1", "mybox", "192.0.2.10" })
        EXPECT_EQ(FindRule(fresh, App("ssh"), CHost(target, 22, false), &app), 0) << target;
    for (const char* target : { "example.com", "127.0.0.2", "192.0.2.11" })
        EXPECT_EQ(FindRule(fresh, App("ssh"), CHost(target, 22, false), &app), 1) << target;
}

TEST(FindRule, FirstEnabledMatchingRuleWins)
{
    test::TestApp app;
    CProfileData profile;
    profile.m_Rules = {
        MakeRule("disabled", "", "", "", kActionBlock),
        MakeRule("other app", "wget", "", "", kActionBlock),
        MakeRule("first", "curl", "*.lan", "", kActionProxy, 1),
        MakeRule("second", "", "*.lan", "", kActionChain, 2),
        CRule("Default"),
    };
    profile.m_Rules[0].m_Enabled = false;
    EXPECT_EQ(FindRule(profile, App("curl"), CHost("a.lan", 80, false), &app), 2);
    EXPECT_EQ(FindRule(profile, App("wget"), CHost("a.lan", 80, false), &app), 1);
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("a.lan", 80, false), &app), 3);
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("a.com", 80, false), &app), 4);

    // A profile without a catch-all, or without rules, answers "no rule applies" instead of stopping.
    profile.m_Rules.pop_back();
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("a.com", 80, false), &app), kNoRule);
    profile.m_Rules.clear();
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("a.com", 80, false), &app), kNoRule);
    profile.m_Rules = { MakeRule("only", "", "", "", kActionBlock) };
    profile.m_Rules[0].m_Enabled = false;
    EXPECT_EQ(FindRule(profile, App("ssh"), CHost("a.com", 80, false), &app), kNoRule);
}

TEST(RulesNeedFakeIp, FirstDecidingRuleWins)
{
    test::TestApp app;
    struct Case {
        const char* name;
        std::vector<CRule> rules;
        const char* host;
        bool fake;
    };
    const Case cases[] = {
        // The direct rule has a port list: the port of the later connection is unknown, so it is passed over.
        { "direct with ports passed over",
            { MakeRule("local dns", "", "*.local", "53"), MakeRule("all", "", "", "", kActionProxy, 1) },
            "printer.local", true },
        { "direct without ports decides",
            { MakeRule("local", "", "*.local", ""), MakeRule("all", "", "", "", kActionProxy, 1) }, "printer.local",
            false },
        { "chain", { MakeRule("corp", "", "*.corp", "", kActionChain, 3), CRule("Default") }, "a.corp", true },
        { "block decides", { MakeRule("ads", "", "ads.*", "", kActionBlock), CRule("Default") }, "ads.example", false },
        { "other app's rule ignored", { MakeRule("wget only", "wget", "", "", kActionProxy, 1), CRule("Default") },
            "a.com", false },
        { "no host: only applications count",
            { MakeRule("corp", "curl", "*.corp", "", kActionProxy, 1), CRule("Default") }, nullptr, true },
        { "nothing decides", { MakeRule("ports", "", "", "443") }, "a.com", false },
        { "no rules", {}, "a.com", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile;
        profile.m_Rules = c.rules;
        EXPECT_EQ(RulesNeedFakeIp(profile, App("curl"), c.host, &app), c.fake);
    }
}

CRule Disabled(CRule rule)
{
    rule.m_Enabled = false;
    return rule;
}

TEST(RulesNeedDnsForApp, DecidesByTheFirstRuleThatCan)
{
    struct Case {
        const char* name;
        std::vector<CRule> rules;
        bool viaProxy;
        bool need;
    };
    const Case cases[] = {
        { "resolving through the proxy is off", { MakeRule("all", "", "", "", kActionProxy, 1) }, false, false },
        { "no rules", {}, true, true },
        { "catch-all direct", { CRule("Default") }, true, false },
        { "catch-all proxy", { MakeRule("all", "", "", "", kActionProxy, 1) }, true, true },
        { "ports through a proxy", { MakeRule("web", "", "", "443", kActionProxy, 1), CRule("Default") }, true, true },
        { "targets blocked", { MakeRule("ads", "", "ads.*", "", kActionBlock), CRule("Default") }, true, true },
        { "direct targets undecided", { MakeRule("lan", "", "*.lan", ""), CRule("Default") }, true, false },
        { "this app direct", { MakeRule("curl", "curl", "", ""), MakeRule("all", "", "", "", kActionProxy, 1) }, true,
            false },
        { "this app through a proxy for some hosts",
            { MakeRule("curl", "curl", "*.corp", "", kActionProxy, 1), CRule("Default") }, true, true },
        { "this app direct for some hosts undecided",
            { MakeRule("curl", "curl", "*.corp", ""), MakeRule("all", "", "", "", kActionProxy, 1) }, true, true },
        { "another app's proxy rule", { MakeRule("wget", "wget", "", "", kActionProxy, 1), CRule("Default") }, true,
            false },
        { "disabled rule skipped", { Disabled(MakeRule("all", "", "", "", kActionProxy, 1)), CRule("Default") }, true,
            false },
        { "nothing decides", { MakeRule("wget", "wget", "", "", kActionProxy, 1) }, true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile;
        profile.m_Rules = c.rules;
        profile.m_ViaProxy = c.viaProxy;
        EXPECT_EQ(RulesNeedDnsForApp(profile, App("curl")), c.need);
    }
}

TEST(RuleMatches, WithoutTargetOnlyApplicationsCount)
{
    const CRule rule = MakeRule("r", "curl", "*.corp", "443");
    EXPECT_TRUE(RuleMatches(rule, App("curl"), nullptr, nullptr));
    EXPECT_FALSE(RuleMatches(rule, App("wget"), nullptr, nullptr));
    const CHost target("a.com", 443, false);
    EXPECT_FALSE(RuleMatches(rule, App("curl"), &target, nullptr));
}

} // namespace
} // namespace corvantis
