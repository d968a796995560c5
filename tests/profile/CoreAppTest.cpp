#include "core/profile/CorvantisApp.h"

#include "core/profile/Host.h"
#include "platform/NotificationCenter.h"
#include "tests/profile/CoreAppTestSupport.h"
#include "tests/profile/ProfileTestSupport.h"
#include "tests/support/FakeMainThread.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>

namespace corvantis {
namespace {

using test::CoreTestApp;

CProfileData MakeProfile(std::vector<int32_t> proxyIds, std::vector<int32_t> chainIds, int64_t stamp)
{
    CProfileData profile;
    for (int32_t id : proxyIds)
        profile.m_Proxies.emplace_back("proxy" + std::to_string(id) + ".example", 1080, 0, id);
    for (int32_t id : chainIds)
        profile.m_Chains.emplace_back("chain" + std::to_string(id), id);
    profile.m_Rules.emplace_back("Default");
    profile.m_ChangeStamp = stamp;
    return profile;
}

std::vector<std::string> RuleNames(const CProfileData& profile)
{
    std::vector<std::string> names;
    for (const CRule& rule : profile.m_Rules)
        names.push_back(rule.m_Name);
    return names;
}

TEST(CoreApp, SetProfileInstallsACopyWithTheDnsMarkCleared)
{
    CoreTestApp app;
    CProfileData profile = MakeProfile({ 7 }, { 9 }, 12345);
    profile.m_DnsChanged = true;
    profile.m_TryLocalDnsFirst = true;
    profile.m_ViaProxy = false;
    profile.m_ConnectionLoopDetection = false;
    EXPECT_TRUE(app.SetProfile(profile, false));

    CProfileData out;
    app.GetProfile(out, false);
    EXPECT_FALSE(out.m_DnsChanged);
    EXPECT_TRUE(out.m_TryLocalDnsFirst); // the user's option is not the change mark
    EXPECT_EQ(out.m_ChangeStamp, 12345);
    ASSERT_EQ(out.m_Proxies.size(), 1u);
    EXPECT_EQ(out.m_Proxies[0].m_Id, 7);
    ASSERT_EQ(out.m_Chains.size(), 1u);
    EXPECT_EQ(out.m_Chains[0].m_Id, 9);
    EXPECT_FALSE(app.IsResolveThroughProxy());
    EXPECT_FALSE(app.GetProfileLoopOption());

    // A copy belongs to the caller: changing it leaves the active profile alone.
    out.m_Rules.clear();
    out.m_ViaProxy = true;
    CProfileData again;
    app.GetProfile(again, false);
    EXPECT_EQ(RuleNames(again), std::vector<std::string> { "Default" });
    EXPECT_FALSE(app.IsResolveThroughProxy());
}

TEST(CoreApp, ExtraRulesPrecedeTheProfileRulesLastFirst)
{
    CoreTestApp app;
    CProfileData profile = MakeProfile({}, {}, 1);
    profile.m_Rules.insert(profile.m_Rules.begin(), CRule("Localhost"));
    app.SetProfile(profile, false);
    app.AddExtraRule(CRule("A"));
    app.AddExtraRule(CRule("B"));

    struct Case {
        bool withExtra;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        { true, { "B", "A", "Localhost", "Default" } },
        { false, { "Localhost", "Default" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.withExtra);
        CProfileData out;
        app.GetProfile(out, c.withExtra);
        EXPECT_EQ(RuleNames(out), c.names);
    }
    std::vector<std::string> extra;
    for (const CRule& rule : app.GetExtraRules())
        extra.push_back(rule.m_Name);
    EXPECT_EQ(extra, (std::vector<std::string> { "A", "B" }));

    app.SetExtraRules({ CRule("C") });
    CProfileData out;
    app.GetProfile(out, true);
    EXPECT_EQ(RuleNames(out), (std::vector<std::string> { "C", "Localhost", "Default" }));
    app.SetExtraRules({});
    app.GetProfile(out, true);
    EXPECT_EQ(RuleNames(out), (std::vector<std::string> { "Localhost", "Default" }));
}

TEST(CoreApp, ProfileSnapshotIsSharedUntilTheProfileChanges)
{
    CoreTestApp app;
    app.SetProfile(MakeProfile({ 7 }, {}, 1), false);
    app.AddExtraRule(CRule("Extra"));

    const std::shared_ptr<const CProfileData> first = app.GetProfileSnapshot();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(app.GetProfileSnapshot(), first) << "an unchanged profile is handed out once";
    EXPECT_EQ(RuleNames(*first), std::vector<std::string> { "Default" }) << "the extra rules stay outside";

    CProfileData next = MakeProfile({ 8 }, {}, 2);
    next.m_Rules.insert(next.m_Rules.begin(), CRule("Second"));
    app.SetProfile(next, false);
    const std::shared_ptr<const CProfileData> second = app.GetProfileSnapshot();
    EXPECT_NE(second, first);
    EXPECT_EQ(RuleNames(*second), (std::vector<std::string> { "Second", "Default" }));
    ASSERT_EQ(second->m_Proxies.size(), 1u);
    EXPECT_EQ(second->m_Proxies[0].m_Id, 8);
    // Whoever holds the old snapshot keeps the profile as it was.
    EXPECT_EQ(first->m_ChangeStamp, 1);
    ASSERT_EQ(first->m_Proxies.size(), 1u);
    EXPECT_EQ(first->m_Proxies[0].m_Id, 7);
}

TEST(CoreApp, IdsFollowTheHighestIdOfTheInstalledProfile)
{
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    struct Case {
        const char* name;
        std::vector<int32_t> proxies;
        std::vector<int32_t> chains;
        std::vector<int32_t> ids; // what AllocateId hands out next, in order
    };
    const Case cases[] = {
        { "empty profile", {}, {}, { 100, 101, 102 } },
        { "ids below 100", { 5, 99 }, { 42 }, { 100, 101 } },
        { "proxy 250", { 250, 3 }, {}, { 251, 252 } },
        { "chain above proxies", { 250 }, { 300 }, { 301, 302 } },
        { "ids of 0 and below", { -7, 0 }, { -1 }, { 100 } },
        { "last id of all", { 100, 101, kMax }, { 103 }, { 102, 104, 105 } },
        { "one below the last", { kMax - 1 }, {}, { kMax, 100, 101 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreTestApp app;
        app.SetProfile(MakeProfile(c.proxies, c.chains, 1), false);
        for (int32_t expected : c.ids)
            EXPECT_EQ(app.AllocateId(), expected);
    }

    // A fresh object hands out 100 on; installing a profile starts the count again from that profile.
    CoreTestApp app;
    EXPECT_EQ(app.AllocateId(), 100);
    EXPECT_EQ(app.AllocateId(), 101);
    app.SetProfile(MakeProfile({ 100 }, {}, 2), false);
    EXPECT_EQ(app.AllocateId(), 101);
}

TEST(CoreApp, SaveIsAskedForOnlyWithSaveToFileAndItsFailureIsReported)
{
    struct Case {
        const char* name;
        bool saveToFile;
        bool saveWorks;
        int saves;
        bool result;
    };
    const Case cases[] = {
        { "no save", false, false, 0, true },
        { "saved", true, true, 1, true },
        { "save fails", true, false, 1, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CoreTestApp app;
        app.saveResult = c.saveWorks;
        EXPECT_EQ(app.SetProfile(MakeProfile({ 500 }, {}, 1), c.saveToFile), c.result);
        EXPECT_EQ(app.saves.load(), c.saves);
        // The profile is active whether or not its file could be written.
        CProfileData out;
        app.GetProfile(out, false);
        ASSERT_EQ(out.m_Proxies.size(), 1u);
        EXPECT_EQ(out.m_Proxies[0].m_Id, 500);
    }
}

// The detection starts on the first profile that is new or changes the automatic option, and is told of every
// later such profile; a profile with the same stamp and option (the detection's own write-back) wakes nothing.
TEST(CoreApp, DetectionIsStartedOrWokenByNewProfiles)
{
    CoreTestApp app;
    app.launchResult = true;
    CProfileData profile = MakeProfile({}, {}, 1000);
    app.SetProfile(profile, false);
    EXPECT_EQ(app.launches.load(), 1);
    EXPECT_TRUE(app.IsDetectionStarted());
    EXPECT_FALSE(app.TakeNetworkChange()); // a new start begins without a pending change

    struct Step {
        const char* name;
        int64_t stamp;
        bool autoDetection;
        bool viaProxy;
        bool signalled;
    };
    const Step steps[] = {
        { "same stamp and option", 1000, true, false, false },
        { "new stamp", 2000, true, true, true },
        { "option off", 2000, false, true, true },
        { "still off", 2000, false, false, false },
        { "option on again", 2000, true, false, true },
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        profile.m_ChangeStamp = s.stamp;
        profile.m_AutoModeDetection = s.autoDetection;
        profile.m_ViaProxy = s.viaProxy;
        app.SetProfile(profile, false);
        EXPECT_EQ(app.TakeNetworkChange(), s.signalled);
        EXPECT_EQ(app.IsResolveThroughProxy(), s.viaProxy);
    }
    EXPECT_EQ(app.launches.load(), 1);
}

TEST(CoreApp, DetectionThatCannotStartIsTriedAgainOnTheNextChange)
{
    CoreTestApp app; // launchResult false: nothing can be started
    app.SetProfile(MakeProfile({}, {}, 1000), false);
    app.SetProfile(MakeProfile({}, {}, 1000), false);
    EXPECT_EQ(app.launches.load(), 1);
    EXPECT_FALSE(app.IsDetectionStarted());
    app.launchResult = true;
    app.SetProfile(MakeProfile({}, {}, 2000), false);
    EXPECT_EQ(app.launches.load(), 2);
    EXPECT_TRUE(app.IsDetectionStarted());
}

TEST(CoreApp, WithoutDetectionAProfileChangeStartsNothing)
{
    test::TestApp app;
    app.SetProfile(MakeProfile({}, {}, 1000), true);
    EXPECT_FALSE(app.IsDetectionStarted());
}

TEST(CoreApp, ProfileUpdatedIsPostedOnTheMainThread)
{
    auto mainThread = std::make_shared<test::FakeMainThread>();
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.setMainThreadExecutor(mainThread);
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<const void*> senders;
    const auto observer = center.addObserver("ProfileUpdated", [&](const Notification& n) {
        std::lock_guard<std::mutex> lock(mutex);
        threads.push_back(std::this_thread::get_id());
        senders.push_back(n.object);
    });

    {
        CoreTestApp app;
        const CProfileData profile = MakeProfile({}, {}, 1000);
        app.SetProfile(profile, false);
        app.SetProfile(profile, true); // unchanged stamp: no detection, still announced
        app.saveResult = false;
        app.SetProfile(profile, true); // a failed save is still announced
        EXPECT_TRUE(test::waitUntil([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return threads.size() >= 3;
        }));
        mainThread->runAndWait([] {}); // nothing more is on its way
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(threads.size(), 3u);
        for (size_t i = 0; i < threads.size(); ++i) {
            EXPECT_EQ(threads[i], mainThread->id());
            EXPECT_EQ(senders[i], &app);
        }
    }
    center.removeObserver(observer);
    center.setMainThreadExecutor(nullptr);
}

TEST(CoreApp, SettingsStartAtTheRecordDefaultsAndAreReplacedWhole)
{
    CoreTestApp app;
    CAppSettings settings = app.GetSettings();
    EXPECT_EQ(settings.ActiveProfile, "");
    EXPECT_EQ(settings.MaxConnCount, 1500);
    EXPECT_TRUE(settings.ShowMainWindow);
    settings.ActiveProfile = "Office";
    settings.ProfileAutoUpdate = true;
    app.SetSettings(settings);
    settings.ActiveProfile = "changed in the caller's copy only";
    const CAppSettings stored = app.GetSettings();
    EXPECT_EQ(stored.ActiveProfile, "Office");
    EXPECT_TRUE(stored.ProfileAutoUpdate);
}

TEST(CoreApp, LoopQueueHoldsEachNameOnceInOrder)
{
    CoreTestApp app;
    EXPECT_EQ(app.PopLoopApp(), std::nullopt);
    for (const char* name : { "curl", "Browser", "curl", "browser", "" })
        app.QueueLoopApp(name);
    std::vector<std::string> popped;
    while (std::optional<std::string> name = app.PopLoopApp())
        popped.push_back(*name);
    EXPECT_EQ(popped, (std::vector<std::string> { "curl", "Browser", "browser", "" }));

    // A name taken from the queue may be queued again.
    app.QueueLoopApp("curl");
    app.QueueLoopApp("wget");
    EXPECT_EQ(app.PopLoopApp(), "curl");
    app.QueueLoopApp("curl");
    EXPECT_EQ(app.PopLoopApp(), "wget");
    EXPECT_EQ(app.PopLoopApp(), "curl");
    EXPECT_EQ(app.PopLoopApp(), std::nullopt);
}

// The throttle's key is the host name as given; the port plays no part. The second attempt waits 4 units.
TEST(CoreApp, ThrottleConnectWaitsForARepeatedHost)
{
    using namespace std::chrono;
    CConnectThrottle::Timing timing;
    timing.unit = milliseconds(5);
    CoreTestApp app(timing);
    const auto start = steady_clock::now();
    EXPECT_EQ(app.ThrottleConnect(CHost("host.example", 80, false)), steady_clock::duration::zero());
    EXPECT_EQ(app.ThrottleConnect(CHost("other.example", 80, false)), steady_clock::duration::zero());
    const auto afterNew = steady_clock::now();
    EXPECT_EQ(app.ThrottleConnect(CHost("host.example", 443, false)), milliseconds(5 * (2 + 3)));
    const auto end = steady_clock::now();
    EXPECT_GE(end - afterNew, milliseconds(25));
    EXPECT_LT(end - start, seconds(10));
    EXPECT_TRUE(app.TryDecayConnectThrottle());
}

TEST(CoreApp, BackgroundThreadsStopWhenAsked)
{
    CoreTestApp app;
    std::atomic<int> changes { 0 };
    std::atomic<bool> ended { false };
    ASSERT_TRUE(app.StartBackgroundThread("CoreAppTest", [&] {
        while (app.WaitForNetworkChange(std::nullopt) == CoreTestApp::WaitResult::Changed)
            ++changes;
        ended = true;
    }));
    app.SetNetworkChanged();
    EXPECT_TRUE(test::waitUntil([&] { return changes.load() >= 1; }));

    app.StopBackgroundThreads();
    EXPECT_TRUE(ended.load()); // joined before the call returned
    EXPECT_TRUE(app.IsStopRequested());
    EXPECT_FALSE(app.StartBackgroundThread("CoreAppTest", [] {}));
    // A stopped object starts no detection either.
    app.launchResult = true;
    app.SetProfile(MakeProfile({}, {}, 5), false);
    EXPECT_EQ(app.launches.load(), 0);
    EXPECT_EQ(app.WaitForNetworkChange(std::nullopt), CoreTestApp::WaitResult::Stopping);
}

} // namespace
} // namespace corvantis
