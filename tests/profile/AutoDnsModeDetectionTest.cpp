#include "core/profile/AutoDnsModeDetection.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/LogContext.h"
#include "tests/peers/Dnsmasq.h"
#include "tests/profile/CoreAppTestSupport.h"
#include "tests/profile/DetectionTestSupport.h"
#include "tests/profile/ProfileTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempDir.h"

#include <arpa/inet.h>
#include <deque>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/un.h>

namespace corvantis {
namespace {

using test::AutoProfile;
using test::DetectingApp;
using test::MakeRule;
using test::TakeScreenLines;
using test::waitUntil;

bool HasLineEndingWith(const std::vector<std::string>& lines, const std::string& end)
{
    for (const std::string& line : lines)
        if (line.ends_with(end))
            return true;
    return false;
}

// ---- The probe's reading of the answers ----

// A list of resolver answers built by hand, in the order given.
class Answers final {
public:
    Answers& V4(const char* text)
    {
        sockaddr_in& in = m_v4.emplace_back();
        in.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, text, &in.sin_addr), 1) << text;
        m_kinds.push_back(AF_INET);
        return *this;
    }
    Answers& V6(const char* text)
    {
        sockaddr_in6& in6 = m_v6.emplace_back();
        in6.sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, text, &in6.sin6_addr), 1) << text;
        m_kinds.push_back(AF_INET6);
        return *this;
    }
    Answers& Local()
    {
        m_kinds.push_back(AF_UNIX);
        return *this;
    }
    // The linked list; valid while this object lives and is not changed.
    const addrinfo* List()
    {
        m_list.assign(m_kinds.size(), addrinfo {});
        size_t v4 = 0, v6 = 0;
        for (size_t i = 0; i < m_kinds.size(); ++i) {
            addrinfo& a = m_list[i];
            a.ai_family = m_kinds[i];
            if (m_kinds[i] == AF_INET) {
                a.ai_addr = reinterpret_cast<sockaddr*>(&m_v4[v4++]);
                a.ai_addrlen = sizeof(sockaddr_in);
            } else if (m_kinds[i] == AF_INET6) {
                a.ai_addr = reinterpret_cast<sockaddr*>(&m_v6[v6++]);
                a.ai_addrlen = sizeof(sockaddr_in6);
            } else {
                a.ai_addr = reinterpret_cast<sockaddr*>(&m_unix);
                a.ai_addrlen = sizeof(sockaddr_un);
            }
            a.ai_next = i + 1 < m_kinds.size() ? &m_list[i + 1] : nullptr;
        }
        return m_list.empty() ? nullptr : m_list.data();
    }

private:
    std::vector<int> m_kinds;
    std::deque<sockaddr_in> m_v4;
    std::deque<sockaddr_in6> m_v6;
    sockaddr_un m_unix { AF_UNIX, {} };
    std::vector<addrinfo> m_list;
};

TEST(DnsProbe, PlaceholderAnswersAreSkippedAndAnyOtherAnswerShowsLocalDns)
{
    // The placeholder range is the one a process starts with: 0.0.0.0/8 and its IPv6 forms.
    ASSERT_EQ(GetFakeAddressRange(), FakeAddressRange {});
    struct Case {
        const char* name;
        Answers answers;
        bool showsLocalDns;
        bool logsIgnored;
    };
    std::vector<Case> cases;
    cases.push_back({ "no answer", Answers(), false, false });
    cases.push_back({ "a public IPv4 answer", Answers().V4("192.0.2.80"), true, false });
    cases.push_back({ "a public IPv6 answer", Answers().V6("2001:db8::80"), true, false });
    cases.push_back({ "placeholders only", Answers().V4("0.1.2.3").V6("::ffff:0.1.2.4").V6("::0.1.2.5"), false, true });
    cases.push_back({ "a real answer after placeholders", Answers().V4("0.1.2.3").V6("2001:db8::80"), true, true });
    cases.push_back({ "an answer of another family", Answers().V4("0.1.2.3").Local(), true, true });
    cases.push_back({ "the first real answer ends the walk", Answers().V4("192.0.2.80").V4("0.1.2.3"), true, false });
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        TakeScreenLines();
        EXPECT_EQ(ProbeAnswersShowLocalDns(c.answers.List()), c.showsLocalDns);
        EXPECT_EQ(
            HasLineEndingWith(TakeScreenLines(), "(Automatic DNS mode detection) error - IP ignored."), c.logsIgnored);
    }
}

TEST(DnsProbe, ANameThatDoesNotResolveMeansUnavailable)
{
    // ".invalid" never resolves (reserved); the resolver answers from its own rules or fails, never with an address.
    EXPECT_TRUE(IsLocalDnsUnavailable("no-such-host.invalid"));
    EXPECT_TRUE(IsLocalDnsUnavailable(""));
}

// ---- The name-resolution decision ----

class DnsDecisionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldScreenLevel = GetLog().GetScreenLevel();
        GetLog().SetScreenLevel(kLogVerbose);
        TakeScreenLines();
    }
    void TearDown() override
    {
        GetLog().SetScreenLevel(oldScreenLevel);
        TakeScreenLines();
    }

    int oldScreenLevel = 1;
    test::TestApp app;
};

TEST_F(DnsDecisionTest, ListThenRulesDecideWithTheirReasons)
{
    CLogContext browser;
    browser.bsdName = "Browser";
    browser.pid = 42;

    // Rules in order: a disabled proxy rule that would take everything; direct for one name, but only on one port
    // (passed over: the port is not known yet); proxy for *.example.org; block for the browser; a chain for
    // *.chain.test; direct for everything else.
    CProfileData rules;
    rules.m_ViaProxy = true;
    rules.m_ExclusionList = { "*.corp.example" };
    rules.m_Rules.push_back(MakeRule("Off", "", "", "", kActionProxy, 100));
    rules.m_Rules.back().m_Enabled = false;
    rules.m_Rules.push_back(MakeRule("Port only", "", "www.example.org", "443", kActionDirect));
    rules.m_Rules.push_back(MakeRule("Proxied", "", "*.example.org", "", kActionProxy, 100));
    rules.m_Rules.push_back(MakeRule("Blocked", "browser", "", "", kActionBlock));
    rules.m_Rules.push_back(MakeRule("Chained", "", "*.chain.test", "", kActionChain, 101));
    rules.m_Rules.push_back(MakeRule("Default", "", "", "", kActionDirect));

    CProfileData local = rules;
    local.m_ViaProxy = false;
    CProfileData inclusion = rules;
    inclusion.m_OnlyFromListMode = true;
    CProfileData noRules = rules;
    noRules.m_Rules.clear();

    struct Case {
        const char* name;
        const CProfileData& profile;
        const char* host;
        int result;
        const char* reason;
    };
    const std::vector<Case> cases {
        { "resolving through the proxy is off", local, "www.example.org", CCorvantisApp::kDnsLocal,
            " : DNS (resolve through proxy is not enabled)" },
        { "off even for a listed name", local, "a.corp.example", CCorvantisApp::kDnsLocal,
            " : DNS (resolve through proxy is not enabled)" },
        { "exclusion list", rules, "a.corp.example", CCorvantisApp::kDnsLocal, " : DNS (Exclusion List match)" },
        { "exclusion preset: simple host name", rules, "printer", CCorvantisApp::kDnsLocal,
            " : DNS (Exclusion List match)" },
        { "exclusion preset: localhost", rules, "LocalHost", CCorvantisApp::kDnsLocal,
            " : DNS (Exclusion List match)" },
        { "a proxy rule", rules, "Mail.Example.ORG", CCorvantisApp::kDnsThroughProxy, " : proxy" },
        { "a rule with ports is passed over", rules, "WWW.example.org", CCorvantisApp::kDnsThroughProxy, " : proxy" },
        { "a chain rule", rules, "x.chain.test", CCorvantisApp::kDnsLocal, " : DNS (According to Rules)" },
        { "inclusion list, listed, proxy rule", inclusion, "mail.corp.example", CCorvantisApp::kDnsLocal,
            " : DNS (According to Rules)" },
        { "inclusion list, not listed", inclusion, "www.example.org", CCorvantisApp::kDnsLocal,
            " : DNS (Not in the List)" },
        { "inclusion list ignores the presets", inclusion, "printer", CCorvantisApp::kDnsLocal,
            " : DNS (Not in the List)" },
        { "no rule at all", noRules, "www.example.org", CCorvantisApp::kDnsLocal, " : DNS (According to Rules)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(app.DecideDnsThroughProxy(c.host, browser, c.profile, "flow 7"), c.result);
        const std::vector<std::string> lines = TakeScreenLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].ends_with(std::string("resolve \"") + c.host + "\" on flow 7" + c.reason)) << lines[0];
        EXPECT_NE(lines[0].find("Browser"), std::string::npos) << "the application's log context: " << lines[0];
    }

    // The block rule for the browser decides its names; another application's names reach the chain rule; an
    // inclusion-list name reaches the proxy rule for another application.
    CLogContext mailer;
    mailer.bsdName = "Mailer";
    inclusion.m_ExclusionList = { "*.example.org" };
    const std::vector<Case> otherApp {
        { "the chain rule", rules, "x.chain.test", CCorvantisApp::kDnsThroughProxy, " : proxy" },
        { "the default rule", rules, "www.example.net", CCorvantisApp::kDnsLocal, " : DNS (According to Rules)" },
        { "inclusion list match", inclusion, "www.example.org", CCorvantisApp::kDnsThroughProxy,
            " : proxy (Inclusion List match)" },
    };
    for (const Case& c : otherApp) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(app.DecideDnsThroughProxy(c.host, mailer, c.profile, "flow 8"), c.result);
        EXPECT_TRUE(HasLineEndingWith(TakeScreenLines(), std::string("on flow 8") + c.reason));
    }
}

// ---- The detection thread ----

TEST(AutoDnsModeDetection, SwitchesTheActiveProfileBothWaysAndKeepsTheRest)
{
    DetectingApp app;
    app.probe.SetUnavailable(false);
    CProfileData profile = AutoProfile(true);
    profile.m_Rules.push_back(MakeRule("Default", "", "", "", kActionDirect));
    profile.m_ExclusionList = { "*.corp.example" };
    TakeScreenLines();
    app.SetProfile(profile, false);
    EXPECT_TRUE(app.IsDetectionStarted());

    ASSERT_TRUE(waitUntil([&] { return !app.IsResolveThroughProxy(); }));
    CProfileData active;
    app.GetProfile(active, false);
    EXPECT_FALSE(active.m_ViaProxy);
    const std::shared_ptr<const CProfileData> switchedOff = app.GetProfileSnapshot();
    EXPECT_FALSE(switchedOff->m_ViaProxy);
    EXPECT_TRUE(active.m_AutoModeDetection);
    EXPECT_EQ(active.m_ChangeStamp, profile.m_ChangeStamp);
    EXPECT_EQ(active.m_Rules.size(), 1u);
    EXPECT_EQ(active.m_ExclusionList, profile.m_ExclusionList);
    EXPECT_EQ(app.saves.load(), 1) << "the switched profile is saved";
    EXPECT_TRUE(waitUntil([&] {
        return HasLineEndingWith(TakeScreenLines(),
            "(Automatic DNS mode detection) Local DNS service is available. Name Resolution through proxy is "
            "disabled.");
    }));

    app.probe.SetUnavailable(true);
    app.SetNetworkChanged();
    ASSERT_TRUE(waitUntil([&] { return app.IsResolveThroughProxy(); }));
    // The switch changes the profile in place: a snapshot taken now shows it, one taken before stays as it was.
    EXPECT_TRUE(app.GetProfileSnapshot()->m_ViaProxy);
    EXPECT_FALSE(switchedOff->m_ViaProxy);
    EXPECT_TRUE(waitUntil([&] {
        return HasLineEndingWith(TakeScreenLines(),
            "(Automatic DNS mode detection) Local DNS service is unavailable. Name Resolution through proxy is "
            "enabled.");
    }));
    EXPECT_EQ(app.saves.load(), 2);
}

TEST(AutoDnsModeDetection, AChangeDuringAPassGivesOnePassAtOnceThenRetriesAfterPauses)
{
    DetectingApp app;
    app.pause.Close();
    app.probe.SetUnavailable(true);
    app.probe.Hold();
    app.SetProfile(AutoProfile(true), false);
    ASSERT_TRUE(waitUntil([&] { return app.probe.Calls() == 1; }));
    app.SetNetworkChanged(); // while the first probe runs
    app.probe.Release();

    // The pass for the change follows at once, without a pause; then five retries, each after a pause of 1 s.
    for (int pause = 1; pause <= 5; ++pause) {
        SCOPED_TRACE(pause);
        ASSERT_TRUE(waitUntil([&] { return app.pause.Started() == pause; }));
        EXPECT_EQ(app.probe.Calls(), pause + 1);
        EXPECT_EQ(app.pause.LastInterval(), std::chrono::seconds(1));
        app.pause.Allow();
    }
    ASSERT_TRUE(waitUntil([&] { return app.probe.Calls() == 7; }));

    // Then the thread waits for the next change, which again gets a pass at once before any pause.
    app.SetNetworkChanged();
    ASSERT_TRUE(waitUntil([&] { return app.pause.Started() == 6; }));
    EXPECT_EQ(app.probe.Calls(), 8);
    EXPECT_TRUE(app.IsResolveThroughProxy());
}

TEST(AutoDnsModeDetection, TurningTheOptionOffStopsSwitchingAndKeepsTheLastValue)
{
    DetectingApp app;
    app.probe.SetUnavailable(false);
    app.SetProfile(AutoProfile(true), false);
    ASSERT_TRUE(waitUntil([&] { return !app.IsResolveThroughProxy(); }));

    CProfileData profile;
    app.GetProfile(profile, false);
    profile.m_AutoModeDetection = false; // wakes the detection
    app.pause.Close();
    app.SetProfile(profile, false);
    app.probe.SetUnavailable(true);
    // Two pauses begun from here on: the pass between them saw the option off and the probe failing.
    const int begun = app.pause.Started();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(waitUntil([&] { return app.pause.Started() > begun + i; }));
        app.pause.Allow();
    }
    app.pause.Open();
    EXPECT_FALSE(app.IsResolveThroughProxy());

    // Back on, the next pass switches again.
    profile.m_AutoModeDetection = true;
    app.SetProfile(profile, false);
    EXPECT_TRUE(waitUntil([&] { return app.IsResolveThroughProxy(); }));
}

TEST(AutoDnsModeDetection, AProfileInstalledWhileTheProbeRunsIsSwitchedNotReplaced)
{
    struct Case {
        const char* name;
        bool autoAfterEdit;
        bool viaProxyAfter;
    };
    for (const Case& c :
        { Case { "edit keeps the option on", true, true }, Case { "edit turns it off", false, false } }) {
        SCOPED_TRACE(c.name);
        DetectingApp app;
        app.probe.SetUnavailable(true);
        app.probe.Hold();
        app.SetProfile(AutoProfile(false), false);
        ASSERT_TRUE(waitUntil([&] { return app.probe.Calls() == 1; }));

        CProfileData edited = AutoProfile(false);
        edited.m_ChangeStamp = 4242;
        edited.m_AutoModeDetection = c.autoAfterEdit;
        edited.m_ExclusionList = { "edited.example" };
        app.SetProfile(edited, false);
        app.probe.Release();
        ASSERT_TRUE(waitUntil([&] { return app.probe.Calls() >= (c.autoAfterEdit ? 2 : 1); }));
        if (c.viaProxyAfter) {
            EXPECT_TRUE(waitUntil([&] { return app.IsResolveThroughProxy(); }));
        }
        // A change after the edit brings one more pass; once it ended the answer stands.
        app.pause.Close();
        ASSERT_TRUE(waitUntil([&] { return app.pause.Started() >= 1; }));
        EXPECT_EQ(app.IsResolveThroughProxy(), c.viaProxyAfter);
        CProfileData active;
        app.GetProfile(active, false);
        EXPECT_EQ(active.m_ExclusionList, edited.m_ExclusionList);
        EXPECT_EQ(active.m_ChangeStamp, 4242);
        EXPECT_EQ(active.m_AutoModeDetection, c.autoAfterEdit);
    }
}

TEST(AutoDnsModeDetection, TheFirstProfileStartsItEvenWithTheStampOfTheEmptyOne)
{
    DetectingApp app;
    CProfileData empty;
    app.GetProfile(empty, false);
    CProfileData profile = AutoProfile(true);
    profile.m_ChangeStamp = empty.m_ChangeStamp; // built in the same millisecond as the object
    app.SetProfile(profile, false);
    EXPECT_TRUE(app.IsDetectionStarted());
    EXPECT_TRUE(waitUntil([&] { return app.probe.Calls() == 1; }));
}

TEST(AutoDnsModeDetection, EachPassWritesItsTimingLineWhenAsked)
{
    const int oldScreenLevel = GetLog().GetScreenLevel();
    GetLog().SetScreenLevel(kLogVerbose);
    SetTimingOn(TimingItem::Autod, true);
    TakeScreenLines();
    {
        DetectingApp app;
        app.SetProfile(AutoProfile(true), false);
        EXPECT_TRUE(waitUntil([&] {
            for (const std::string& line : TakeScreenLines())
                if (line.starts_with("AutoDnsModeDetectThread:") && line.find(" T=") != std::string::npos
                    && line.find(" S=") != std::string::npos)
                    return true;
            return false;
        }));
    }
    SetTimingOn(TimingItem::Autod, false);
    GetLog().SetScreenLevel(oldScreenLevel);
    TakeScreenLines();
}

TEST(AutoDnsModeDetection, AnObjectWithoutDetectionStartsNothing)
{
    test::TestApp app;
    app.SetProfile(AutoProfile(true), false);
    EXPECT_FALSE(app.IsDetectionStarted());
    EXPECT_TRUE(app.IsResolveThroughProxy());
}

// ---- In a network namespace, with the system resolver and dnsmasq ----

// Gives the calling thread a mount namespace of its own in which `file` stands for `target`; threads and processes
// it starts later share it. False when that is not possible.
bool BindPrivately(const std::string& file, const std::string& target)
{
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    // Nothing mounted here may reach the machine's own mount namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

TEST(AutoDnsModeDetectionNamespace, AnAddressChangeSwitchesTheModeWhenLoopbackDnsStopsAnswering)
{
    test::NetNamespace ns("dnsmode");
    if (!ns.valid())
        GTEST_SKIP() << "needs root and iproute2 network namespaces";
    test::TempDir dir;
    const std::string resolv = (dir / "resolv.conf").string();
    const std::string hosts = (dir / "hosts").string();
    std::ofstream(resolv) << "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
    std::ofstream(hosts) << "127.0.0.1 localhost\n";
    const std::vector<std::string> publicAnswer { std::string("--address=/") + kDnsProbeHost + "/192.0.2.80" };
    const std::vector<std::string> placeholderAnswer { std::string("--address=/") + kDnsProbeHost + "/0.1.2.3" };

    bool prepared = false;
    ASSERT_TRUE(ns.runInside([&] {
        if (!BindPrivately(resolv, "/etc/resolv.conf") || mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr))
            return;
        prepared = true;
        auto dnsmasq = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Where { "127.0.0.1", 53 }, publicAnswer);
        ASSERT_TRUE(dnsmasq->ready());

        CAutoDnsModeDetection::Config config;
        config.watcher = NetlinkWatcher::Config { { resolv } };
        config.machineInfoPath = "/nonexistent";
        config.retries = 0; // only the watcher's changes start passes
        DetectingApp app(config, DetectingApp::Neither);

        CProfileData profile = AutoProfile(true);
        profile.m_Rules.push_back(MakeRule("Proxied", "", "*.example.org", "", kActionProxy, 100));
        profile.m_Rules.push_back(MakeRule("Default", "", "", "", kActionDirect));
        app.SetProfile(profile, false);
        CLogContext context;
        context.bsdName = "curl";
        const auto decide = [&] {
            CProfileData active;
            app.GetProfile(active, true);
            return app.DecideDnsThroughProxy("www.example.org", context, active, "test");
        };

        // dnsmasq answers: local DNS works.
        ASSERT_TRUE(waitUntil([&] { return !app.IsResolveThroughProxy(); }));
        EXPECT_EQ(decide(), CCorvantisApp::kDnsLocal);

        struct Step {
            const char* name;
            const std::vector<std::string>* answer; // null: no DNS service
            const char* address; // added to the loopback
            bool throughProxy;
        };
        const std::vector<Step> steps {
            { "dnsmasq gone", nullptr, "10.62.0.1", true },
            { "dnsmasq back", &publicAnswer, "10.62.0.2", false },
            { "placeholder answers only", &placeholderAnswer, "10.62.0.3", true },
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            dnsmasq.reset();
            if (step.answer != nullptr) {
                dnsmasq = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Where { "127.0.0.1", 53 }, *step.answer);
                ASSERT_TRUE(dnsmasq->ready());
            }
            uint32_t added = 0;
            ASSERT_EQ(inet_pton(AF_INET, step.address, &added), 1);
            ASSERT_TRUE(ns.run(std::string("ip addr add ") + step.address + "/32 dev lo"));
            EXPECT_TRUE(waitUntil([&] { return app.IsOwnIPv4(added); })) << "the watcher saw the new address";
            EXPECT_TRUE(waitUntil([&] { return app.IsResolveThroughProxy() == step.throughProxy; }));
            EXPECT_EQ(decide(), step.throughProxy ? CCorvantisApp::kDnsThroughProxy : CCorvantisApp::kDnsLocal);
        }
    }));
    if (!prepared)
        GTEST_SKIP() << "needs a private mount namespace for the resolver files";
}

} // namespace
} // namespace corvantis
