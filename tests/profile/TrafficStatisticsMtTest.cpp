#include "core/profile/TrafficStatistics.h"

#include "tests/support/FakeSteadyClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <numeric>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::FakeSteadyClock;

uint64_t Sum(const std::vector<uint64_t>& values)
{
    return std::accumulate(values.begin(), values.end(), 0ull);
}

// Connection threads add bytes while the clock moves on, the graph is read and the totals are cleared: no byte
// may be lost from the history, whichever thread rolls a second into it.
TEST(TrafficStatisticsMtTest, ConcurrentAdditionsReachTotalsAndGraph)
{
    constexpr int kThreads = 4;
    constexpr uint64_t kAdds = 20000;
    FakeSteadyClock clock;
    CTrafficStatistics stats(clock.AsFunction());

    std::atomic<bool> stop { false };
    std::thread ticker([&] {
        // About 100 distinct seconds while the additions run, far from the 6000 s the graph shows.
        const auto end = clock.SinceEpoch() + 100s;
        while (!stop.load()) {
            if (clock.SinceEpoch() < end)
                clock.Advance(37ms);
            else
                std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        while (!stop.load()) {
            (void)stats.GetSeries();
            (void)stats.GetTotalSent();
            (void)stats.GetHistoryLength();
        }
    });
    std::vector<std::thread> adders;
    for (int t = 0; t < kThreads; ++t) {
        adders.emplace_back([&, t] {
            for (uint64_t i = 0; i < kAdds; ++i) {
                if (t % 2)
                    stats.AddSent(3);
                else
                    stats.AddReceived(5);
                stats.AddConnection();
            }
        });
    }
    for (std::thread& t : adders)
        t.join();
    stop.store(true);
    ticker.join();
    reader.join();

    const uint64_t sent = 3 * kAdds * (kThreads / 2);
    const uint64_t received = 5 * kAdds * (kThreads / 2);
    EXPECT_EQ(stats.GetTotalSent(), sent);
    EXPECT_EQ(stats.GetTotalReceived(), received);
    EXPECT_EQ(stats.GetTotalConnections(), kThreads * kAdds);
    clock.Advance(1s); // end the second still being counted
    const auto series = stats.GetSeries();
    EXPECT_EQ(Sum(series[CTrafficStatistics::kSeriesUp]), sent);
    EXPECT_EQ(Sum(series[CTrafficStatistics::kSeriesDown]), received);
}

// Clear and ClearHistory run while additions go on; once the additions stop, each reset holds.
TEST(TrafficStatisticsMtTest, ClearsRaceAdditions)
{
    CTrafficStatistics stats;
    std::atomic<bool> stop { false };
    std::vector<std::thread> adders;
    for (int t = 0; t < 3; ++t) {
        adders.emplace_back([&] {
            while (!stop.load()) {
                stats.AddSent(1);
                stats.AddReceived(2);
                stats.AddFailedConnection();
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        stats.Clear();
        stats.ClearHistory();
        (void)stats.GetSeries();
    }
    stop.store(true);
    for (std::thread& t : adders)
        t.join();

    stats.Clear();
    EXPECT_EQ(stats.GetTotalSent(), 0u);
    EXPECT_EQ(stats.GetTotalReceived(), 0u);
    EXPECT_EQ(stats.GetFailedConnections(), 0u);
    stats.ClearHistory();
    EXPECT_EQ(stats.GetHistoryLength(), 0u);
}

// Of several threads that ask at once, exactly one is told that the sample is due.
TEST(TrafficStatisticsMtTest, SampleDueOnceAmongConcurrentCallers)
{
    constexpr int kThreads = 4;
    FakeSteadyClock clock;
    CTrafficStatistics stats(clock.AsFunction());
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        clock.Advance(1000ms);
        std::atomic<int> due { 0 };
        std::latch start(kThreads);
        std::vector<std::thread> callers;
        for (int t = 0; t < kThreads; ++t) {
            callers.emplace_back([&] {
                start.arrive_and_wait();
                if (stats.IsSampleDue())
                    due.fetch_add(1);
            });
        }
        for (std::thread& t : callers)
            t.join();
        EXPECT_EQ(due.load(), 1);
    }
}

// Test writes counted from several threads while another keeps taking them: every write is taken exactly once.
TEST(TrafficStatisticsMtTest, TestWritesAreTakenExactlyOnce)
{
    constexpr int kThreads = 4;
    constexpr uint64_t kWrites = 20000;
    CTrafficStatistics stats;
    std::atomic<bool> stop { false };
    uint64_t count = 0;
    uint64_t bytes = 0;
    std::thread taker([&] {
        while (!stop.load()) {
            const auto taken = stats.TakeCountAndBytes();
            count += taken.first;
            bytes += taken.second;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&] {
            for (uint64_t i = 0; i < kWrites; ++i)
                stats.AddCountAndBytes(7);
        });
    }
    for (std::thread& t : writers)
        t.join();
    stop.store(true);
    taker.join();
    const auto rest = stats.TakeCountAndBytes();
    EXPECT_EQ(count + rest.first, kThreads * kWrites);
    EXPECT_EQ(bytes + rest.second, 7 * kThreads * kWrites);
}

} // namespace
} // namespace corvantis
