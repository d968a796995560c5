#include "core/profile/AutoDnsModeDetection.h"

#include "core/foundation/LogContext.h"
#include "tests/profile/CoreAppTestSupport.h"
#include "tests/profile/DetectionTestSupport.h"
#include "tests/profile/ProfileTestSupport.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace corvantis {
namespace {

using test::AutoProfile;
using test::DetectingApp;
using test::waitUntil;
using namespace std::chrono_literals;

// The threads of this process. The first thread a process makes may bring a helper thread of the runtime (the
// thread sanitizer's), so one is made and ended before the first count.
size_t threadCount()
{
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// Stopping ends the thread whatever it is doing: waiting for a change, pausing between retries (with the real
// pause of an hour), or probing (the probe is let go, then waited for). The watcher's thread ends too.
TEST(AutoDnsModeDetectionMt, StopsCleanlyInEveryState)
{
    enum class State { Waiting, Pausing, Probing };
    struct Case {
        const char* name;
        State state;
    };
    for (const Case& c : { Case { "waiting for a change", State::Waiting }, Case { "pausing", State::Pausing },
             Case { "probing", State::Probing } }) {
        SCOPED_TRACE(c.name);
        const size_t threadsBefore = threadCount();
        CAutoDnsModeDetection::Config config = test::UnwatchedConfig();
        config.watcher = NetlinkWatcher::Config { {} }; // watching the machine's routing messages only
        config.retryInterval = 1h;
        auto app = std::make_unique<DetectingApp>(config, DetectingApp::ProbeOnly);
        app->probe.SetUnavailable(true);
        if (c.state == State::Probing)
            app->probe.Hold();
        app->SetProfile(AutoProfile(false), false);
        ASSERT_TRUE(waitUntil([&] { return app->probe.Calls() == 1; }));
        if (c.state == State::Pausing) {
            app->SetNetworkChanged();
            ASSERT_TRUE(waitUntil([&] { return app->probe.Calls() == 2; }));
        }
        if (c.state != State::Probing) {
            EXPECT_TRUE(waitUntil([&] { return app->IsResolveThroughProxy(); }));
        }
        EXPECT_GT(threadCount(), threadsBefore);

        const auto start = std::chrono::steady_clock::now();
        app.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 60s) << "the stop does not wait for the pause";
        EXPECT_EQ(threadCount(), threadsBefore);
    }
}

// Profile edits, change marks, decisions and the detection's own switches run at once; a stop that races with the
// first start leaves no thread behind.
TEST(AutoDnsModeDetectionMt, ChurnWithEditorsReadersAndStops)
{
    const size_t threadsBefore = threadCount();
    {
        DetectingApp app;
        std::atomic<bool> done { false };
        std::vector<std::thread> threads;

        threads.emplace_back([&] { // the editor
            for (int i = 0; i < 200 && !done; ++i) {
                CProfileData profile;
                app.GetProfile(profile, false);
                profile.m_AutoModeDetection = i % 5 != 4;
                if (i % 7 == 0)
                    profile.m_ChangeStamp = i;
                profile.m_ExclusionList = { "edit-" + std::to_string(i) };
                app.SetProfile(profile, false);
            }
        });
        threads.emplace_back([&] { // network changes and a probe that changes its mind
            for (int i = 0; i < 400 && !done; ++i) {
                app.probe.SetUnavailable(i % 3 == 0);
                app.SetNetworkChanged();
                std::this_thread::yield();
            }
        });
        for (int r = 0; r < 2; ++r) {
            threads.emplace_back([&] { // the engine
                CLogContext context;
                context.bsdName = "reader";
                while (!done) {
                    CProfileData profile;
                    app.GetProfile(profile, true);
                    (void)app.DecideDnsThroughProxy("www.example.org", context, profile, "mt");
                    (void)app.IsResolveThroughProxy();
                    (void)app.IsOwnHostName("localhost");
                }
            });
        }
        threads[0].join();
        threads[1].join();
        // The detection switched the profile the editor had installed, never an older copy of it.
        CProfileData edited;
        app.GetProfile(edited, false);
        EXPECT_EQ(edited.m_ExclusionList, std::vector<std::string> { "edit-199" });

        // Settled: with the option on, the next change brings the profile in line with the probe.
        CProfileData profile;
        app.GetProfile(profile, false);
        profile.m_AutoModeDetection = true;
        app.SetProfile(profile, false);
        app.probe.SetUnavailable(true);
        app.SetNetworkChanged();
        EXPECT_TRUE(waitUntil([&] { return app.IsResolveThroughProxy(); }));
        app.probe.SetUnavailable(false);
        app.SetNetworkChanged();
        EXPECT_TRUE(waitUntil([&] { return !app.IsResolveThroughProxy(); }));

        done = true;
        for (size_t i = 2; i < threads.size(); ++i)
            threads[i].join();
    }
    EXPECT_EQ(threadCount(), threadsBefore);

    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        DetectingApp app;
        std::thread starter([&] { app.SetProfile(AutoProfile(true), false); });
        std::thread stopper([&] { app.StopBackgroundThreads(); });
        starter.join();
        stopper.join();
        app.StopBackgroundThreads(); // a start that won the race is stopped here
        EXPECT_EQ(threadCount(), threadsBefore);
    }
}

} // namespace
} // namespace corvantis
