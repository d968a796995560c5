#include "tests/engine/AppProxyTestSupport.h"

#include "core/foundation/AppSettings.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::AppProxyFixture;

// Connection threads list, close and count records while the statistics thread takes snapshots and the clock
// moves; every record ends up either listed or removed, never both, and the open count matches the list.
TEST_F(AppProxyFixture, ListingClosingAndCleaningUpFromManyThreads)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 400;
    std::vector<std::vector<std::shared_ptr<CConnRecord>>> made(kThreads);
    std::atomic<bool> done { false };

    std::thread reader([&] {
        while (!done.load()) {
            for (const auto& record : app.GetConnectionsSnapshot())
                EXPECT_TRUE(record->IsRegistered() || record->IsClosed());
            app.GetStatText();
            clock.Advance(1s);
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            const CLogContext identity = Identity("app" + std::to_string(t));
            for (int i = 0; i < kPerThread; ++i) {
                auto record = Record(identity, "host" + std::to_string(i % 7) + ".example", 443);
                app.AddConnection(record, true);
                app.GetStatistics().AddConnection();
                if (i % 2 == 0)
                    record->MarkClosed();
                if (i % 50 == 0)
                    app.RemoveClosedConnections();
                made[t].push_back(std::move(record));
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    done.store(true);
    reader.join();

    clock.Advance(1h);
    const auto listed = app.GetConnectionsSnapshot();
    EXPECT_EQ(listed.size(), size_t(kThreads * kPerThread / 2));
    EXPECT_EQ(app.GetOpenConnectionCount(), listed.size());
    for (const auto& records : made)
        for (const auto& record : records)
            EXPECT_EQ(record->IsRegistered(), !record->IsClosed());
    EXPECT_NE(app.GetStatText().find("     Active\t\t : " + std::to_string(listed.size()) + "\r\n"), std::string::npos);
}

// Several threads send the same looping request at once: exactly one of them reports the loop.
TEST_F(AppProxyFixture, ConcurrentDnsRequestsReportOneLoop)
{
    CAppSettings settings = app.GetSettings();
    settings.ActiveProfile = "Default";
    app.SetSettings(settings);
    app.SetProfile(NewProfileData(), false);

    constexpr int kThreads = 4;
    std::atomic<int> reports { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                if (app.CheckDnsLoop(Identity("resolver"), 99, 1, "loop.example."))
                    reports.fetch_add(1);
                app.CheckDnsLoop(Identity("other"), 100 + t, 1, "quiet.example.");
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(reports.load(), 1);
    CProfileData profile;
    app.GetProfile(profile, false);
    ASSERT_FALSE(profile.m_Rules.empty());
    EXPECT_EQ(profile.m_Rules.front().m_Name, "resolver [auto-created]");
    EXPECT_EQ(profile.m_Rules.size(), 3u);
}

} // namespace
} // namespace corvantis
