#include "core/profile/TrafficStatistics.h"

#include "tests/support/FakeSteadyClock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <numeric>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::FakeSteadyClock;

constexpr size_t kLast = CTrafficStatistics::kSeriesLength - 1;
constexpr size_t kUp = CTrafficStatistics::kSeriesUp;
constexpr size_t kDown = CTrafficStatistics::kSeriesDown;

uint64_t Sum(const std::vector<uint64_t>& values)
{
    return std::accumulate(values.begin(), values.end(), 0ull);
}

class TrafficStatistics : public ::testing::Test {
protected:
    // The fake clock starts in the middle of a second, as a real one would.
    FakeSteadyClock m_clock { std::chrono::hours(1000) + 300ms };
    CTrafficStatistics m_stats { m_clock.AsFunction() };
};

TEST_F(TrafficStatistics, NoTrafficGivesZeroSeries)
{
    const auto series = m_stats.GetSeries();
    ASSERT_EQ(series[kUp].size(), CTrafficStatistics::kSeriesLength);
    ASSERT_EQ(series[kDown].size(), CTrafficStatistics::kSeriesLength);
    EXPECT_EQ(Sum(series[kUp]), 0u);
    EXPECT_EQ(Sum(series[kDown]), 0u);
}

TEST_F(TrafficStatistics, CurrentSecondShowsOnlyOnceItHasEnded)
{
    m_stats.AddSent(100);
    m_stats.AddReceived(7);
    m_clock.Advance(500ms); // still the same second
    m_stats.AddSent(20);
    auto series = m_stats.GetSeries();
    EXPECT_EQ(Sum(series[kUp]), 0u);
    EXPECT_EQ(Sum(series[kDown]), 0u);

    m_clock.Advance(1s);
    series = m_stats.GetSeries(); // the call itself rolls the ended second into the history
    EXPECT_EQ(series[kUp][kLast - 1], 120u);
    EXPECT_EQ(series[kDown][kLast - 1], 7u);
    EXPECT_EQ(series[kUp][kLast], 0u);
    EXPECT_EQ(Sum(series[kUp]), 120u);
    EXPECT_EQ(Sum(series[kDown]), 7u);
}

TEST_F(TrafficStatistics, SeriesPositionFollowsTheAge)
{
    struct Case {
        const char* name;
        int64_t age; // seconds between the traffic and the series request
        bool shown;
        size_t historyLength;
    };
    const Case cases[] = {
        { "one second old", 1, true, 1 },
        { "a minute old", 60, true, 1 },
        { "oldest shown", 5999, true, 1 },
        { "kept but no longer shown", 6000, false, 1 },
        { "dropped", 6001, false, 0 },
        { "long gone", 100000, false, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_stats.ClearHistory();
        m_stats.AddSent(11);
        m_stats.AddReceived(22);
        m_clock.Advance(std::chrono::seconds(c.age));
        const auto series = m_stats.GetSeries();
        EXPECT_EQ(m_stats.GetHistoryLength(), c.historyLength);
        if (c.shown) {
            EXPECT_EQ(series[kUp][kLast - c.age], 11u);
            EXPECT_EQ(series[kDown][kLast - c.age], 22u);
        }
        EXPECT_EQ(Sum(series[kUp]), c.shown ? 11u : 0u);
        EXPECT_EQ(Sum(series[kDown]), c.shown ? 22u : 0u);
    }
}

TEST_F(TrafficStatistics, OnlySecondsWithTrafficAreStoredAndOldOnesDropFirst)
{
    m_stats.AddSent(1); // t
    m_clock.Advance(10s);
    m_stats.AddReceived(2); // t + 10
    m_clock.Advance(3s);
    m_stats.AddSent(3); // t + 13
    m_clock.Advance(1s);
    auto series = m_stats.GetSeries(); // at t + 14
    EXPECT_EQ(m_stats.GetHistoryLength(), 3u);
    EXPECT_EQ(series[kUp][kLast - 14], 1u);
    EXPECT_EQ(series[kDown][kLast - 4], 2u);
    EXPECT_EQ(series[kUp][kLast - 1], 3u);

    m_clock.Advance(std::chrono::seconds(5997)); // now t + 6011: the first two are 6011 and 6001 s old
    series = m_stats.GetSeries();
    EXPECT_EQ(m_stats.GetHistoryLength(), 1u);
    EXPECT_EQ(Sum(series[kDown]), 0u);
    EXPECT_EQ(series[kUp][kLast - 5998], 3u);
    EXPECT_EQ(Sum(series[kUp]), 3u);
}

TEST_F(TrafficStatistics, TotalsCountBothDirections)
{
    m_stats.AddSent(1000);
    m_clock.Advance(2s);
    m_stats.AddSent(24);
    m_stats.AddReceived(5);
    EXPECT_EQ(m_stats.GetTotalSent(), 1024u);
    EXPECT_EQ(m_stats.GetTotalReceived(), 5u);
}

TEST_F(TrafficStatistics, ClearKeepsTheGraphAndClearHistoryKeepsTheTotals)
{
    m_stats.AddSent(40);
    m_stats.AddReceived(2);
    m_stats.AddConnection();
    m_stats.AddConnection();
    m_stats.AddFailedConnection();
    m_clock.Advance(1s);

    const time_t before = time(nullptr);
    m_stats.Clear();
    EXPECT_EQ(m_stats.GetTotalSent(), 0u);
    EXPECT_EQ(m_stats.GetTotalReceived(), 0u);
    EXPECT_EQ(m_stats.GetTotalConnections(), 0u);
    EXPECT_EQ(m_stats.GetFailedConnections(), 0u);
    EXPECT_GE(m_stats.GetStartTime(), before);
    EXPECT_LE(m_stats.GetStartTime(), time(nullptr));
    auto series = m_stats.GetSeries();
    EXPECT_EQ(series[kUp][kLast - 1], 40u);
    EXPECT_EQ(series[kDown][kLast - 1], 2u);

    m_stats.AddSent(9);
    m_stats.ClearHistory();
    EXPECT_EQ(m_stats.GetTotalSent(), 9u);
    EXPECT_EQ(m_stats.GetHistoryLength(), 0u);
    m_clock.Advance(1s);
    series = m_stats.GetSeries(); // the second being counted went with the history
    EXPECT_EQ(Sum(series[kUp]), 0u);
    EXPECT_EQ(Sum(series[kDown]), 0u);
}

TEST_F(TrafficStatistics, SampleDueOncePerInterval)
{
    // Asked every 250 ms, as the application's statistics thread does: due at every fourth call.
    for (int call = 1; call <= 16; ++call) {
        SCOPED_TRACE(call);
        m_clock.Advance(250ms);
        EXPECT_EQ(m_stats.IsSampleDue(), call % 4 == 0);
    }
}

TEST_F(TrafficStatistics, SampleDueRestartsFromTheCallNotTheSchedule)
{
    m_clock.Advance(999ms);
    EXPECT_FALSE(m_stats.IsIntervalPassed());
    EXPECT_FALSE(m_stats.IsSampleDue());
    m_clock.Advance(1ms);
    EXPECT_TRUE(m_stats.IsIntervalPassed());
    EXPECT_TRUE(m_stats.IsIntervalPassed()); // does not restart the interval
    m_clock.Advance(2500ms); // a late call
    EXPECT_TRUE(m_stats.IsSampleDue());
    EXPECT_FALSE(m_stats.IsIntervalPassed());
    m_clock.Advance(999ms);
    EXPECT_FALSE(m_stats.IsSampleDue());
    m_clock.Advance(1ms);
    EXPECT_TRUE(m_stats.IsSampleDue());
}

TEST(TrafficStatisticsInterval, IntervalIsAParameter)
{
    FakeSteadyClock clock;
    CTrafficStatistics stats(clock.AsFunction(), 100ms);
    clock.Advance(99ms);
    EXPECT_FALSE(stats.IsSampleDue());
    clock.Advance(1ms);
    EXPECT_TRUE(stats.IsSampleDue());
}

TEST(TrafficStatisticsInterval, RealClockByDefault)
{
    CTrafficStatistics stats;
    EXPECT_FALSE(stats.IsIntervalPassed());
    stats.AddSent(3);
    EXPECT_EQ(stats.GetTotalSent(), 3u);
}

TEST_F(TrafficStatistics, TestWritesAreTakenAndRestarted)
{
    m_stats.AddCountAndBytes(100);
    m_stats.AddCountAndBytes(0);
    m_stats.AddCountAndBytes(500);
    EXPECT_EQ(m_stats.TakeCountAndBytes(), std::make_pair(uint64_t { 3 }, uint64_t { 600 }));
    EXPECT_EQ(m_stats.TakeCountAndBytes(), std::make_pair(uint64_t { 0 }, uint64_t { 0 }));
    m_stats.Clear(); // the test writes are not statistics totals
    m_stats.AddCountAndBytes(8);
    EXPECT_EQ(m_stats.TakeCountAndBytes(), std::make_pair(uint64_t { 1 }, uint64_t { 8 }));
}

} // namespace
} // namespace corvantis
