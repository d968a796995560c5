#include "core/profile/ConnectThrottle.h"

#include <gtest/gtest.h>

#include <string>

namespace corvantis {
namespace {

using namespace std::chrono;
using Clock = CConnectThrottle::Clock;

// A throttle on a clock the test moves, with a one-microsecond unit so that waits cost nothing.
struct ThrottleFixture : ::testing::Test {
    Clock::time_point now = Clock::time_point {} + hours(1);
    CConnectThrottle throttle { Timing(), [this] { return now; } };

    static CConnectThrottle::Timing Timing()
    {
        CConnectThrottle::Timing timing;
        timing.unit = microseconds(1);
        return timing;
    }
    int64_t Units(const std::string& host) { return duration_cast<microseconds>(throttle.Register(host)).count(); }
};

TEST_F(ThrottleFixture, RepeatedHostsWaitTheirCountPlusTheOverallCount)
{
    struct Step {
        const char* host;
        int64_t units;
    };
    const Step steps[] = {
        { "a.example", 0 }, // new host: no wait
        { "a.example", 2 + 2 },
        { "b.example", 0 },
        { "b.example", 2 + 4 },
        { "a.example", 3 + 5 },
        { "A.example", 0 }, // names are compared as given
        { "a.example.", 0 },
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.host);
        EXPECT_EQ(Units(s.host), s.units);
    }
    EXPECT_EQ(throttle.GetHostCount("a.example"), 3u);
    EXPECT_EQ(throttle.GetGlobalCount(), 7u);
}

TEST_F(ThrottleFixture, CountsStopAtTheCap)
{
    for (int i = 0; i < 49; ++i)
        Units("busy.example");
    EXPECT_EQ(Units("busy.example"), 50 + 50);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Units("busy.example"), 50 + 50);
    EXPECT_EQ(throttle.GetHostCount("busy.example"), CConnectThrottle::kMaxCount);
    EXPECT_EQ(throttle.GetGlobalCount(), CConnectThrottle::kMaxCount);
}

TEST_F(ThrottleFixture, DecayHalvesOldCountsAndForgetsQuietHosts)
{
    for (int i = 0; i < 60; ++i)
        Units("busy.example");
    Units("once.example");
    // Right away only the overall count is halved (the last halving is long past); the busy host was tried a
    // moment ago and its entry counts as a second newer still.
    ASSERT_TRUE(throttle.TryDecay());
    EXPECT_EQ(throttle.GetGlobalCount(), 25u);
    EXPECT_EQ(throttle.GetHostCount("busy.example"), 50u);
    EXPECT_EQ(throttle.GetHostCount("once.example"), 1u);
    // Within the decay age of the last halving nothing changes.
    now += milliseconds(1500);
    ASSERT_TRUE(throttle.TryDecay());
    EXPECT_EQ(throttle.GetGlobalCount(), 25u);
    EXPECT_EQ(throttle.GetHostCount("busy.example"), 50u);

    now += milliseconds(2000);
    ASSERT_TRUE(throttle.TryDecay());
    EXPECT_EQ(throttle.GetGlobalCount(), 12u);
    EXPECT_EQ(throttle.GetHostCount("busy.example"), 25u);
    EXPECT_EQ(throttle.GetHostCount("once.example"), 0u);
    EXPECT_EQ(Units("once.example"), 0); // forgotten: counts as new
    EXPECT_EQ(Units("busy.example"), 26 + 14);
}

TEST_F(ThrottleFixture, EveryFullRoundOfAttemptsRunsTheDecay)
{
    // 255 attempts to distinct hosts leave every host at count 1.
    for (int i = 0; i < 255; ++i)
        Units("host" + std::to_string(i));
    now += seconds(3);
    EXPECT_EQ(throttle.GetHostCount("host0"), 1u);
    EXPECT_EQ(throttle.GetGlobalCount(), 50u);
    // The 256th attempt runs the decay: the old hosts are forgotten, the overall count halved.
    Units("last.example");
    EXPECT_EQ(throttle.GetHostCount("host0"), 0u);
    EXPECT_EQ(throttle.GetHostCount("host254"), 0u);
    EXPECT_EQ(throttle.GetHostCount("last.example"), 1u);
    EXPECT_EQ(throttle.GetGlobalCount(), 25u);
}

// The real wait: a lower bound only, with a generous upper bound.
TEST(ConnectThrottle, ThrottleSleepsTheWait)
{
    CConnectThrottle::Timing timing;
    timing.unit = milliseconds(3);
    CConnectThrottle throttle(timing);
    EXPECT_EQ(throttle.Throttle("x.example"), Clock::duration::zero());
    const auto start = Clock::now();
    EXPECT_EQ(throttle.Throttle("x.example"), milliseconds(12));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(12));
    EXPECT_LT(waited, seconds(10));
}

} // namespace
} // namespace corvantis
