#include "tests/engine/AppProxyTestSupport.h"

#include "core/foundation/AppSettings.h"
#include "core/foundation/FakeAddressRange.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::AppProxyFixture;

std::vector<std::string> RuleNames(const CCorvantisApp& app)
{
    CProfileData profile;
    app.GetProfile(profile, false);
    std::vector<std::string> names;
    for (const CRule& rule : profile.m_Rules)
        names.push_back(rule.m_Name);
    return names;
}

// ---- Statistics text ----

class StatTextTest : public AppProxyFixture { };

TEST_F(StatTextTest, WorkingTimeShowsDaysOnlyFromOneDay)
{
    struct Case {
        const char* name;
        long seconds;
        const char* expected;
    };
    const std::vector<Case> cases = {
        { "just started", 0, "00:00:00" },
        { "seconds and minutes", 3 * 60 + 4, "00:03:04" },
        { "last second of the first day", 86399, "23:59:59" },
        { "exactly one day", 86400, "1 day(s) and 00:00:00" },
        { "one day, 2 hours, 3 minutes, 4 seconds", 93784, "1 day(s) and 02:03:04" },
        { "many days", 12L * 86400 + 5 * 3600, "12 day(s) and 05:00:00" },
        { "wall clock set back before the start", -3600, "00:00:00" },
    };
    const time_t start = app.GetStatistics().GetStartTime();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wallNow = start + c.seconds;
        const std::string text = app.GetStatText();
        EXPECT_EQ(text.substr(0, text.find("\r\nConnections")),
            std::string("\r\n\r\nWorking time:\t : ") + c.expected + "\r\n");
    }
}

TEST_F(StatTextTest, WholeTextWithCountersAndTraffic)
{
    CTrafficStatistics& statistics = app.GetStatistics();
    for (int i = 0; i < 3; ++i)
        statistics.AddConnection();
    statistics.AddFailedConnection();
    statistics.AddReceived(3 * 1024 * 1024 + 512 * 1024); // from the remote sides
    statistics.AddSent(500); // towards them
    app.AddConnection(Record(Identity("curl"), "example.org", 443), false);
    app.AddConnection(Record(Identity("curl"), "example.org", 80), false);
    wallNow = statistics.GetStartTime() + 3661;

    EXPECT_EQ(app.GetStatText(),
        "\r\n\r\nWorking time:\t : 01:01:01\r\n"
        "\r\nConnections:\r\n"
        "     Total\t\t : 3\r\n"
        "     Active\t\t : 2\r\n"
        "     Failed\t\t : 1\r\n"
        "\r\nTraffic:\r\n"
        "     Received\t : 3670016    (3.50 MB)\r\n"
        "     Sent\t\t : 500    (500 B)\r\n");
}

// ---- Connection list and clean-up ----

class ConnectionListTest : public AppProxyFixture { };

TEST_F(ConnectionListTest, ClosedRecordStaysForItsAgeThenGoes)
{
    auto open = Record(Identity("curl"), "open.example", 443);
    auto closing = Record(Identity("curl"), "closing.example", 443);
    auto later = Record(Identity("wget"), "later.example", 80);
    for (const auto& record : { open, closing, later })
        app.AddConnection(record, false);
    EXPECT_TRUE(closing->IsRegistered());
    EXPECT_EQ(app.GetOpenConnectionCount(), 3u);

    closing->MarkClosed();
    clock.Advance(1s);
    later->MarkClosed();

    clock.Advance(2s); // `closing` closed exactly 3 s ago: not yet older than its age
    EXPECT_EQ(app.GetConnectionsSnapshot().size(), 3u);

    clock.Advance(1ns);
    const auto snapshot = app.GetConnectionsSnapshot();
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot[0], open);
    EXPECT_EQ(snapshot[1], later);
    EXPECT_FALSE(closing->IsRegistered());
    EXPECT_EQ(app.GetOpenConnectionCount(), 2u);

    clock.Advance(1h); // an open record stays however old it is
    app.RemoveClosedConnections();
    ASSERT_EQ(app.GetConnectionsSnapshot().size(), 1u);
    EXPECT_EQ(app.GetConnectionsSnapshot()[0], open);
    EXPECT_EQ(app.GetOpenConnectionCount(), 1u);
}

TEST_F(ConnectionListTest, CleanUpAgeIsAParameter)
{
    CCorvantisAppProxy::Timing timing = MakeTiming();
    timing.closedRecordAge = 100ms;
    CCorvantisAppProxy quick(timing);
    auto record = Record(Identity("curl"), "example.org", 443);
    quick.AddConnection(record, false);
    record->MarkClosed();
    clock.Advance(100ms);
    quick.RemoveClosedConnections();
    EXPECT_EQ(quick.GetOpenConnectionCount(), 1u);
    clock.Advance(1ms);
    quick.RemoveClosedConnections();
    EXPECT_EQ(quick.GetOpenConnectionCount(), 0u);
    EXPECT_TRUE(quick.GetConnectionsSnapshot().empty());
}

TEST_F(ConnectionListTest, BusyListIsLeftForTheNextCleanUp)
{
    auto record = Record(Identity("curl"), "example.org", 443);
    app.AddConnection(record, false);
    record->MarkClosed();
    clock.Advance(10s);
    std::future<void> cleanUp;
    std::future_status status = std::future_status::timeout;
    {
        MutexLock busy(app.ListLock());
        // From another thread, as the engine calls it: it must come back without waiting for the list.
        cleanUp = std::async(std::launch::async, [this] { app.RemoveClosedConnections(); });
        status = cleanUp.wait_for(60s);
    }
    cleanUp.wait();
    EXPECT_EQ(status, std::future_status::ready);
    EXPECT_EQ(app.GetOpenConnectionCount(), 1u);
    EXPECT_TRUE(record->IsRegistered());
    app.RemoveClosedConnections();
    EXPECT_EQ(app.GetOpenConnectionCount(), 0u);
}

TEST_F(ConnectionListTest, SnapshotSharesTheRecords)
{
    auto record = Record(Identity("curl"), "example.org", 443);
    app.AddConnection(record, false);
    const auto snapshot = app.GetConnectionsSnapshot();
    ASSERT_EQ(snapshot.size(), 1u);
    snapshot[0]->AddBytesReceived(10);
    EXPECT_EQ(record->GetBytesReceived(), 10u);
    EXPECT_EQ(record.use_count(), 3); // the test, the list and the snapshot
}

// ---- Connection loop ----

class ConnectionLoopTest : public AppProxyFixture {
public:
    // Takes `count` records of `identity` to host:port, newest last; returns whether the last one found a loop
    // and whether any earlier one did.
    struct Outcome {
        bool earlier = false;
        bool last = false;
    };
    Outcome AddMany(
        int count, const CLogContext& identity, const std::string& host, uint16_t port, bool checkLoop = true)
    {
        Outcome outcome;
        for (int i = 0; i < count; ++i) {
            const bool loop = app.AddConnection(Record(identity, host, port), checkLoop);
            (i + 1 == count ? outcome.last : outcome.earlier) |= loop;
        }
        return outcome;
    }
};

TEST_F(ConnectionLoopTest, FiftyOneFreshSilentConnectionsToOneTargetAreALoop)
{
    const CLogContext identity = Identity("looper");
    const Outcome outcome = AddMany(51, identity, "proxy.example", 1080);
    EXPECT_FALSE(outcome.earlier);
    EXPECT_TRUE(outcome.last);

    const auto lines = TakeLogLines();
    EXPECT_TRUE(HasLineWith(lines, "Infinite loop connection detected"));
    EXPECT_TRUE(HasLineWith(lines, "looper"));
    EXPECT_EQ(Pending(), std::vector<std::string> { "looper" });
    EXPECT_FALSE(app.GetLoopDetectFlag()); // cleared again once handled
    EXPECT_EQ(app.GetOpenConnectionCount(), 51u);
}

TEST_F(ConnectionLoopTest, CheckedOnlyOnEveryFiftiethConnection)
{
    const CLogContext identity = Identity("looper");
    // The first record got an answer, so the check when the list reaches 51 finds no loop.
    auto answered = Record(identity, "proxy.example", 1080);
    answered->AddBytesReceived(100);
    app.AddConnection(answered, true);
    EXPECT_FALSE(AddMany(50, identity, "proxy.example", 1080).last);
    // The next check comes 50 connections later; by then the answered record is out of its reach.
    const Outcome outcome = AddMany(50, identity, "proxy.example", 1080);
    EXPECT_FALSE(outcome.earlier);
    EXPECT_TRUE(outcome.last);
}

struct LoopCase {
    const char* name;
    // Lists a few records before the looping application's 49 connections to proxy.example:1080.
    std::function<void(ConnectionLoopTest&)> before;
    bool checkLoop = true;
    bool expectLoop = false;
};

void PrintTo(const LoopCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConnectionLoopCaseTest : public ConnectionLoopTest, public ::testing::WithParamInterface<LoopCase> { };

TEST_P(ConnectionLoopCaseTest, OnlyFiftyFreshSilentConnectionsOfOneApplicationToOneTarget)
{
    const LoopCase& c = GetParam();
    c.before(*this);
    const Outcome outcome = AddMany(49, Identity("looper"), "proxy.example", 1080, c.checkLoop);
    EXPECT_FALSE(outcome.earlier);
    EXPECT_EQ(outcome.last, c.expectLoop);
    EXPECT_EQ(Pending().size(), c.expectLoop ? 1u : 0u);
}

void TwoOf(ConnectionLoopTest& t, const CLogContext& identity, const std::string& host, uint16_t port)
{
    t.AddMany(2, identity, host, port);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConnectionLoopCaseTest,
    ::testing::Values(
        LoopCase { "TwoMoreOfTheSame",
            [](ConnectionLoopTest& t) { TwoOf(t, test::AppProxyFixture::Identity("looper"), "proxy.example", 1080); },
            true, true },
        LoopCase { "OnlyFiftyListed",
            [](ConnectionLoopTest& t) {
                t.AddMany(1, test::AppProxyFixture::Identity("looper"), "proxy.example", 1080);
            } },
        LoopCase { "LoopCheckOff",
            [](ConnectionLoopTest& t) {
                t.AddMany(2, test::AppProxyFixture::Identity("looper"), "proxy.example", 1080, false);
            },
            false },
        LoopCase { "OneReceivedData",
            [](ConnectionLoopTest& t) {
                auto answered = t.Record(test::AppProxyFixture::Identity("looper"), "proxy.example", 1080);
                answered->AddBytesReceived(1);
                t.app.AddConnection(answered, true);
                TwoOf(t, test::AppProxyFixture::Identity("looper"), "proxy.example", 1080);
            } },
        LoopCase { "OlderThanTenSeconds",
            [](ConnectionLoopTest& t) {
                TwoOf(t, test::AppProxyFixture::Identity("looper"), "proxy.example", 1080);
                t.clock.Advance(10s + 1ns);
            } },
        LoopCase { "Closed",
            [](ConnectionLoopTest& t) {
                for (int i = 0; i < 2; ++i) {
                    auto closed = t.Record(test::AppProxyFixture::Identity("looper"), "proxy.example", 1080);
                    t.app.AddConnection(closed, true);
                    closed->MarkClosed();
                }
            } },
        LoopCase { "AnotherApplication",
            [](ConnectionLoopTest& t) { TwoOf(t, test::AppProxyFixture::Identity("other"), "proxy.example", 1080); } },
        LoopCase { "AnotherIdentifier",
            [](ConnectionLoopTest& t) {
                TwoOf(t, test::AppProxyFixture::Identity("looper", "org.other"), "proxy.example", 1080);
            } },
        LoopCase { "AnotherPort",
            [](ConnectionLoopTest& t) { TwoOf(t, test::AppProxyFixture::Identity("looper"), "proxy.example", 1081); } },
        LoopCase { "AnotherHost",
            [](ConnectionLoopTest& t) {
                TwoOf(t, test::AppProxyFixture::Identity("looper"), "proxy2.example", 1080);
            } }),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

// ---- DNS loop ----

class DnsLoopTest : public AppProxyFixture {
public:
    void SetUp() override
    {
        AppProxyFixture::SetUp();
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = "Office";
        app.SetSettings(settings);
        app.SetProfile(NewProfileData(), false);
    }

    // Sends `count` identical requests; returns the indexes (from 1) of those that reported a loop.
    std::vector<int> Requests(int count, const CLogContext& identity, int64_t pid = 4242, uint8_t kind = 1,
        const std::string& name = "loop.example.")
    {
        std::vector<int> reported;
        for (int i = 1; i <= count; ++i)
            if (app.CheckDnsLoop(identity, pid, kind, name))
                reported.push_back(i);
        return reported;
    }
};

TEST_F(DnsLoopTest, ReportedWhenMoreThanTwoHundredIdenticalRequestsAreRemembered)
{
    const CLogContext identity = Identity("resolver");
    // 201 requests leave 200 earlier ones for the last: not more than 200 yet.
    EXPECT_TRUE(Requests(201, identity).empty());
    EXPECT_TRUE(Pending().empty());
    EXPECT_EQ(RuleNames(app), (std::vector<std::string> { "Localhost", "Default" }));

    // The next sees 201 earlier identical requests: a loop, reported once.
    EXPECT_EQ(Requests(1, identity), std::vector<int> { 1 });
    EXPECT_TRUE(Requests(300, identity).empty());
    EXPECT_EQ(Pending(), std::vector<std::string> { "resolver" });

    CProfileData profile;
    app.GetProfile(profile, false);
    ASSERT_EQ(profile.m_Rules.size(), 3u);
    const CRule& rule = profile.m_Rules.front();
    EXPECT_EQ(rule.m_Name, "resolver [auto-created]");
    EXPECT_EQ(rule.m_Action, kActionDirect);
    EXPECT_EQ(rule.m_Apps, std::vector<std::string> { "resolver" });
    EXPECT_TRUE(HasLineWith(TakeLogLines(), "resolver - Infinite loop prevention rule created"));
    // The changed profile is saved to the active profile's file.
    EXPECT_TRUE(std::filesystem::exists(home / "Profiles" / "Office.ppx"));
}

TEST_F(DnsLoopTest, ANewEpisodeAfterTheRequestsAgedOutReplacesTheRule)
{
    const CLogContext identity = Identity("resolver");
    EXPECT_EQ(Requests(202, identity), std::vector<int> { 202 });
    clock.Advance(3s); // exactly the age: still remembered
    EXPECT_TRUE(Requests(1, identity).empty());
    clock.Advance(3s + 1ns);
    EXPECT_EQ(Requests(202, identity), std::vector<int> { 202 });
    EXPECT_EQ(RuleNames(app), (std::vector<std::string> { "resolver [auto-created]", "Localhost", "Default" }));
    EXPECT_EQ(Pending(), std::vector<std::string> { "resolver" }); // queued once while it waited
}

TEST_F(DnsLoopTest, OnlyIdenticalRecentRequestsCount)
{
    struct Case {
        const char* name;
        int64_t pid;
        uint8_t kind;
        const char* host;
    };
    const std::vector<Case> others = {
        { "another process", 4243, 1, "loop.example." },
        { "another kind", 4242, 2, "loop.example." },
        { "another name", 4242, 1, "other.example." },
    };
    const CLogContext identity = Identity("resolver");
    for (const Case& c : others) {
        SCOPED_TRACE(c.name);
        clock.Advance(1h); // forget the previous case
        for (int i = 0; i < 150; ++i) {
            EXPECT_FALSE(app.CheckDnsLoop(identity, 4242, 1, "loop.example."));
            EXPECT_FALSE(app.CheckDnsLoop(identity, c.pid, c.kind, c.host));
        }
    }
    clock.Advance(1h);
    EXPECT_TRUE(Requests(150, identity).empty());
    clock.Advance(3s + 1ns); // the first 150 are forgotten
    EXPECT_TRUE(Requests(150, identity).empty());
    EXPECT_TRUE(Pending().empty());
}

TEST_F(DnsLoopTest, NameWithABlankIsQuoted)
{
    EXPECT_EQ(Requests(202, Identity("Name Resolver")), std::vector<int> { 202 });
    CProfileData profile;
    app.GetProfile(profile, false);
    EXPECT_EQ(profile.m_Rules.front().m_Name, "\"Name Resolver\" [auto-created]");
    EXPECT_EQ(profile.m_Rules.front().m_Apps, std::vector<std::string> { "Name Resolver" });
}

TEST_F(DnsLoopTest, HistoryAgeIsAParameter)
{
    CCorvantisAppProxy::Timing timing = MakeTiming();
    timing.dnsHistoryAge = 50ms;
    CCorvantisAppProxy quick(timing);
    theApp = &quick;
    quick.SetProfile(NewProfileData(), false);
    const CLogContext identity = Identity("resolver");
    for (int i = 0; i < 201; ++i)
        EXPECT_FALSE(quick.CheckDnsLoop(identity, 1, 1, "a."));
    clock.Advance(51ms);
    for (int i = 0; i < 201; ++i)
        EXPECT_FALSE(quick.CheckDnsLoop(identity, 1, 1, "a."));
    EXPECT_TRUE(quick.CheckDnsLoop(identity, 1, 1, "a."));
    theApp = &app;
}

// ---- Connection loop handling ----

TEST_F(AppProxyFixture, ConnectionLoopHandlingLogsQueuesAndClearsTheFlag)
{
    app.SetLoopDetectFlag(true);
    CLogContext unnamed;
    app.OnConnectionLoop(Identity("looper"));
    app.OnConnectionLoop(Identity("looper")); // still waiting for the prompt: queued once
    app.OnConnectionLoop(unnamed);
    EXPECT_FALSE(app.GetLoopDetectFlag());
    EXPECT_EQ(Pending(), (std::vector<std::string> { "looper", "<unknown>" }));
    EXPECT_TRUE(HasLineWith(TakeLogLines(), "Infinite loop connection detected"));
}

// ---- Start ----

struct StartCase {
    const char* name;
    // Prepares the Profiles folder of the extension's home.
    std::function<void(const std::filesystem::path& profiles)> prepare;
    bool expectFailure;
    std::vector<std::string> expectRules;
};

void PrintTo(const StartCase& c, std::ostream* os)
{
    *os << c.name;
}

class StartTest : public AppProxyFixture, public ::testing::WithParamInterface<StartCase> { };

CProfileData OfficeProfile()
{
    CProfileData profile;
    profile.m_Proxies.push_back(CProxy("proxy.example", 1080, kProxySocks5, 100));
    CRule rule("Browsers");
    rule.m_Action = kActionProxy;
    rule.m_ProxyId = 100;
    std::string message;
    EXPECT_TRUE(ParseAppList(rule, "browser", message)) << message;
    profile.m_Rules.push_back(rule);
    profile.AddDefaultRule();
    return profile;
}

std::vector<std::string> FileNames(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void WriteProfile(const std::filesystem::path& path, const CProfileData& profile)
{
    std::string error;
    ASSERT_TRUE(SaveProfileToFile(profile, path.string(), kProfileSilent, &error)) << error;
}

TEST_P(StartTest, ActiveProfileOrANewOne)
{
    const StartCase& c = GetParam();
    const std::filesystem::path profiles = home / "Profiles";
    std::filesystem::create_directories(profiles);
    c.prepare(profiles);
    CAppSettings settings = app.GetSettings();
    settings.ActiveProfile = "Office";
    app.SetSettings(settings);

    const auto before = FileNames(profiles);
    struct sigaction previous = {};
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaultAction, &previous);

    std::string error;
    EXPECT_EQ(app.InitInstanceProxy(error), c.expectFailure);
    EXPECT_EQ(error, c.expectFailure ? "Profile cannot be loaded" : "");
    EXPECT_EQ(RuleNames(app), c.expectRules);
    EXPECT_TRUE(app.GetExtensionMode());
    struct sigaction now = {};
    sigaction(SIGPIPE, &previous, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    // Nothing is written back: the folder stays as the application left it.
    EXPECT_EQ(FileNames(profiles), before);
    EXPECT_EQ(app.GetSettings().ActiveProfile, "Office");
}

INSTANTIATE_TEST_SUITE_P(Cases, StartTest,
    ::testing::Values(
        StartCase { "SavedProfile",
            [](const std::filesystem::path& profiles) { WriteProfile(profiles / "Office.ppx", OfficeProfile()); },
            false, { "Browsers", "Default" } },
        StartCase { "NameInAnotherLetterCase",
            [](const std::filesystem::path& profiles) { WriteProfile(profiles / "office.ppx", OfficeProfile()); },
            false, { "Browsers", "Default" } },
        StartCase { "FirstRunWithoutAFile", [](const std::filesystem::path&) {}, false, { "Localhost", "Default" } },
        StartCase { "DamagedFile",
            [](const std::filesystem::path& profiles) {
                std::ofstream(profiles / "Office.ppx") << "<CorvantisProfile><Proxy";
            },
            true, { "Localhost", "Default" } },
        StartCase { "ProfileThatNeedsAPassword",
            [](const std::filesystem::path& profiles) {
                CProfileData profile = OfficeProfile();
                profile.m_Proxies[0].m_AuthEnabled = true;
                profile.m_Proxies[0].m_UserName = "user";
                profile.m_Proxies[0].m_Password = "secret";
                profile.m_EncryptionMode = kEncryptionMaster;
                profile.m_MasterPassword = "master key";
                WriteProfile(profiles / "Office.ppx", profile);
            },
            true, { "Localhost", "Default" } }),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// ---- Placeholder addresses for DNS answers ----

// Only a name resolved through the proxy gets a placeholder, from the table; a name that resolves locally gets
// none, not even with the force flag. The decision's line names the DNS server the request went to.
TEST_F(AppProxyFixture, PlaceholderOnlyForNamesResolvedThroughTheProxy)
{
    CProfileData proxied;
    proxied.m_ViaProxy = true;
    proxied.m_ExclusionList = { "*.corp.example" };
    CRule viaProxy("Via proxy");
    viaProxy.m_Action = kActionProxy;
    viaProxy.m_ProxyId = 100;
    proxied.m_Rules = { viaProxy };
    CProfileData local = proxied;
    local.m_ViaProxy = false;

    struct Case {
        const char* name;
        const CProfileData& profile;
        const char* host;
        bool force;
        bool placeholder;
    };
    const Case cases[] = {
        { "through the proxy", proxied, "www.example.org", false, true },
        { "excluded by the list", proxied, "mail.corp.example", false, false },
        { "excluded by the list, forced", proxied, "wiki.corp.example", true, false },
        { "resolving through the proxy off, forced", local, "www.example.net", true, false },
    };
    const CHost server("192.0.2.53", 53, false);
    const CLogContext browser = Identity("browser");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TakeLogLines();
        uint64_t ttl = 99;
        const uint32_t v4
            = app.GetFakeIpv4ForName(browser, c.host, server, c.profile, c.force, nullptr, 0, nullptr, ttl);
        const in6_addr v6
            = app.GetFakeIpv6ForName(browser, c.host, server, c.profile, c.force, nullptr, 0, nullptr, ttl);
        EXPECT_TRUE(HasLineWith(TakeLogLines(), std::string("resolve \"") + c.host + "\" on 192.0.2.53:53 : "));
        if (!c.placeholder) {
            EXPECT_EQ(v4, 0u);
            EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&v6));
            MutexLock lock(app.GetDnsStorage().Mutex());
            EXPECT_EQ(app.GetDnsStorage().FindRecord(c.host, false), nullptr) << "no record made for a local name";
            continue;
        }
        ASSERT_NE(v4, 0u);
        EXPECT_TRUE(IsIPv4InFakeRange(v4));
        EXPECT_EQ(app.NameForIPv4(v4), c.host);
        EXPECT_EQ(app.NameForIPv6(v6), c.host);
        EXPECT_GT(ttl, 0u);
    }
}

TEST_F(AppProxyFixture, NeverAsksForAPassword)
{
    EXPECT_EQ(app.GetProfilePassword("Office", false, "key"), "");
    EXPECT_EQ(app.GetProfilePassword("Office", true, ""), "");
}

} // namespace
} // namespace corvantis
