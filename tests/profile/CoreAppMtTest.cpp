#include "core/profile/CorvantisApp.h"

#include "core/profile/ConnectThrottle.h"
#include "tests/profile/CoreAppTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::CoreTestApp;

// A profile whose every part tells which generation it belongs to, so that a copy mixed from two profiles
// shows.
CProfileData Generation(int g)
{
    CProfileData profile;
    for (int i = 0; i < 1 + g % 4; ++i)
        profile.m_Proxies.emplace_back("g" + std::to_string(g) + ".example", 1080, 0, 1000 * g + i + 1);
    profile.m_Chains.emplace_back("g" + std::to_string(g), 1000 * g + 900);
    profile.m_Rules.emplace_back("g" + std::to_string(g));
    profile.m_ExclusionText = "g" + std::to_string(g);
    profile.m_ViaProxy = g % 2 == 0;
    profile.m_ChangeStamp = g;
    return profile;
}

// Empty when the copy is one generation throughout, else what is mixed.
std::string CheckConsistent(const CProfileData& p, size_t extraRules)
{
    if (p.m_Rules.size() != extraRules + 1 || p.m_Chains.size() != 1 || p.m_Proxies.empty())
        return "sizes";
    const std::string tag = "g" + std::to_string(p.m_ChangeStamp);
    const int g = static_cast<int>(p.m_ChangeStamp);
    if (p.m_Rules.back().m_Name != tag || p.m_Chains[0].m_Name != tag || p.m_ExclusionText != tag
        || p.m_Proxies.size() != static_cast<size_t>(1 + g % 4) || p.m_ViaProxy != (g % 2 == 0))
        return "mixed generation " + tag;
    for (const CProxy& proxy : p.m_Proxies)
        if (proxy.m_Id / 1000 != g)
            return "proxy of another generation in " + tag;
    for (size_t i = 0; i < extraRules; ++i)
        if (p.m_Rules[i].m_Name.rfind("extra", 0) != 0)
            return "extra rules out of place";
    return {};
}

// Writers install profiles while readers copy them (with and without the extra rules, which another thread
// adds), and a detection thread of the object reads, edits and writes back the profile each time it is told of
// a change, as the real one does. Every SetProfile of a new generation takes `networkLock` under `profileLock`
// to wake it. No copy may be torn, and nothing may deadlock.
TEST(CoreAppMt, ProfileCopiesAreNeverTornWhileWritersAndTheDetectionRun)
{
    CoreTestApp app;
    app.launchResult = true;
    std::atomic<int> detectionPasses { 0 };
    std::atomic<int> torn { 0 };
    app.onLaunch = [&](CoreTestApp& self) {
        ASSERT_TRUE(self.StartBackgroundThread("detect", [&self, &detectionPasses, &torn] {
            while (self.WaitForNetworkChange(std::nullopt) == CoreTestApp::WaitResult::Changed) {
                CProfileData copy;
                self.GetProfile(copy, false);
                if (!CheckConsistent(copy, 0).empty())
                    ++torn;
                copy.m_DnsChanged = true;
                self.SetProfile(copy, false); // same stamp: wakes nothing
                ++detectionPasses;
            }
        }));
    };
    app.SetProfile(Generation(1), false);
    app.SetNetworkChanged();

    std::atomic<bool> stop { false };
    std::atomic<int> copies { 0 };
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (int round = 0; round < 300; ++round)
                app.SetProfile(Generation(2 + 2 * round + w), false);
        });
    for (int r = 0; r < 3; ++r)
        threads.emplace_back([&, r] {
            while (!stop.load()) {
                CProfileData copy;
                const bool withExtra = r % 2 == 0;
                app.GetProfile(copy, withExtra);
                const size_t extra = withExtra ? copy.m_Rules.size() - 1 : 0;
                const std::string problem = CheckConsistent(copy, extra);
                if (!problem.empty()) {
                    ADD_FAILURE() << problem;
                    ++torn;
                }
                app.IsResolveThroughProxy();
                ++copies;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 200 && !stop.load(); ++i) {
            app.AddExtraRule(CRule("extra" + std::to_string(i)));
            app.GetExtraRules();
        }
    });
    for (int i = 0; i < 2; ++i)
        threads[i].join();
    EXPECT_TRUE(test::waitUntil([&] { return copies.load() > 100 && detectionPasses.load() > 0; }));
    stop = true;
    for (size_t i = 2; i < threads.size(); ++i)
        threads[i].join();
    app.StopBackgroundThreads();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(app.launches.load(), 1);
    CProfileData last;
    app.GetProfile(last, false);
    EXPECT_EQ(CheckConsistent(last, 0), "");
    EXPECT_FALSE(last.m_DnsChanged);
}

// The settings record is replaced as a whole: a reader never sees the name of one write with the number of
// another.
TEST(CoreAppMt, SettingsCopiesAreWhole)
{
    CoreTestApp app;
    std::atomic<bool> stop { false };
    std::atomic<int> mixed { 0 };
    std::thread reader([&] {
        while (!stop.load()) {
            const CAppSettings s = app.GetSettings();
            if (s.MaxConnCount != 1500 && s.ActiveProfile != "p" + std::to_string(s.MaxConnCount))
                ++mixed;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                CAppSettings s;
                s.MaxConnCount = 2 * i + w;
                s.ActiveProfile = "p" + std::to_string(s.MaxConnCount);
                app.SetSettings(s);
            }
        });
    for (std::thread& writer : writers)
        writer.join();
    stop = true;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
}

TEST(CoreAppMt, IdsFromManyThreadsAreDistinctAndDense)
{
    CoreTestApp app;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::vector<int32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                got[t].push_back(app.AllocateId());
        });
    for (std::thread& thread : threads)
        thread.join();
    std::set<int32_t> all;
    for (const auto& ids : got)
        all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), CCorvantisApp::kFirstAllocatedId);
    EXPECT_EQ(*all.rbegin(), CCorvantisApp::kFirstAllocatedId + kThreads * kEach - 1);
}

// Producers queue names (each many times) while a consumer pops: a name is never waiting twice, so after the
// producers end the queue holds each name at most once.
TEST(CoreAppMt, LoopQueueKeepsNamesUniqueUnderContention)
{
    CoreTestApp app;
    std::atomic<bool> producing { true };
    std::atomic<int> popped { 0 };
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p)
        producers.emplace_back([&] {
            for (int round = 0; round < 200; ++round)
                for (int n = 0; n < 20; ++n)
                    app.QueueLoopApp("app" + std::to_string(n));
        });
    std::thread consumer([&] {
        while (producing.load())
            if (app.PopLoopApp())
                ++popped;
    });
    for (std::thread& producer : producers)
        producer.join();
    producing = false;
    consumer.join();

    std::set<std::string> left;
    while (std::optional<std::string> name = app.PopLoopApp())
        EXPECT_TRUE(left.insert(*name).second) << *name << " was queued twice";
    EXPECT_LE(left.size(), 20u);
}

// Connection threads hammer the throttle while the statistics thread tries its decay, which never waits for
// the lock.
TEST(CoreAppMt, ThrottleUnderContention)
{
    CConnectThrottle::Timing timing;
    timing.unit = std::chrono::microseconds(1);
    CConnectThrottle throttle(timing);
    std::atomic<bool> stop { false };
    std::thread statistics([&] {
        while (!stop.load())
            throttle.TryDecay();
    });
    std::vector<std::thread> connections;
    for (int t = 0; t < 4; ++t)
        connections.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i)
                throttle.Throttle("host" + std::to_string((i + t) % 8));
        });
    for (std::thread& thread : connections)
        thread.join();
    stop = true;
    statistics.join();
    EXPECT_LE(throttle.GetGlobalCount(), CConnectThrottle::kMaxCount);
    for (int h = 0; h < 8; ++h)
        EXPECT_LE(throttle.GetHostCount("host" + std::to_string(h)), CConnectThrottle::kMaxCount);
}

// While one thread holds the throttle's lock (here: inside the decay, reading the clock), TryDecay on another
// thread gives up at once instead of waiting.
TEST(CoreAppMt, TryDecayGivesUpWhenTheLockIsBusy)
{
    std::atomic<bool> blockNext { false };
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    CConnectThrottle throttle({}, [&] {
        if (blockNext.exchange(false)) {
            entered.set_value();
            released.wait();
        }
        return CConnectThrottle::Clock::now();
    });
    blockNext = true;
    std::future<bool> holder = std::async(std::launch::async, [&] { return throttle.TryDecay(); });
    entered.get_future().wait();
    EXPECT_FALSE(throttle.TryDecay());
    release.set_value();
    EXPECT_TRUE(holder.get());
    EXPECT_TRUE(throttle.TryDecay());
}

} // namespace
} // namespace corvantis
