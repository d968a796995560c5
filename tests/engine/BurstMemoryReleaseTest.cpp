#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "extension/engine/BurstMemoryRelease.h"
#include "platform/Mutex.h"

namespace corvantis::test {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kMinBurst = 8;
constexpr auto kDelay = 20ms;

// Counts the releases and when each ran.
class Releases {
public:
    void Add()
    {
        MutexLock lock(m_mutex);
        m_times.push_back(std::chrono::steady_clock::now());
        m_changed.signalAll();
    }
    // Waits until `count` releases ran (a generous bound), then a few delays more for any that should not come.
    size_t Settle(size_t count)
    {
        MutexLock lock(m_mutex);
        m_changed.waitUntil(m_mutex, std::chrono::steady_clock::now() + 30s, [&] {
            m_mutex.assertHeld();
            return m_times.size() >= count;
        });
        m_changed.waitUntil(m_mutex, std::chrono::steady_clock::now() + 5 * kDelay, [&] {
            m_mutex.assertHeld();
            return m_times.size() > count;
        });
        return m_times.size();
    }
    std::chrono::steady_clock::time_point First()
    {
        MutexLock lock(m_mutex);
        return m_times.front();
    }

private:
    Mutex m_mutex;
    CondVar m_changed;
    std::vector<std::chrono::steady_clock::time_point> m_times GUARDED_BY(m_mutex);
};

struct Fixture {
    std::shared_ptr<Releases> releases = std::make_shared<Releases>();
    CBurstMemoryRelease burst { BurstMemoryReleaseSettings {
        kMinBurst, kDelay, [releases = releases] { releases->Add(); } } };

    void Start(uint64_t n)
    {
        for (uint64_t i = 0; i < n; ++i)
            burst.ConnectionStarted();
    }
    void End(uint64_t n)
    {
        for (uint64_t i = 0; i < n; ++i)
            burst.ConnectionEnded();
    }
};

struct BurstCase {
    std::string name;
    // Steps: a positive number starts that many connections, a negative one ends that many; 0 waits for the
    // releases due so far.
    std::vector<int64_t> steps;
    size_t releases;
};

class BurstMemoryReleaseTest : public ::testing::TestWithParam<BurstCase> { };

TEST_P(BurstMemoryReleaseTest, ReleasesOnceABurstHasPassed)
{
    const BurstCase& c = GetParam();
    Fixture f;
    size_t due = 0;
    for (const int64_t step : c.steps) {
        if (step > 0)
            f.Start(static_cast<uint64_t>(step));
        else if (step < 0)
            f.End(static_cast<uint64_t>(-step));
        else
            due = f.releases->Settle(due + 1);
    }
    EXPECT_EQ(f.releases->Settle(c.releases), c.releases);
}

INSTANTIATE_TEST_SUITE_P(Bursts, BurstMemoryReleaseTest,
    ::testing::Values(
        // Fewer connections at once than a burst: they may come and go forever without a release.
        BurstCase { "SmallNeverReleases", { 7, -7, 7, -7, 7, -7 }, 0 },
        // Many after one another, never many at once.
        BurstCase { "ManyInTurnNeverRelease", { 1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1, 1, -1 }, 0 },
        // A burst whose connections all end: one release, however many end after the first half.
        BurstCase { "EndedBurstReleasesOnce", { 8, -8 }, 1 }, BurstCase { "HalfEndedBurstReleases", { 20, -10 }, 1 },
        // Still more than half of the burst open: nothing yet.
        BurstCase { "MostStillOpenWaits", { 20, -9 }, 0 },
        // A slow descent releases at each halving while a burst's worth is left, then no more.
        BurstCase { "SlowDescentReleasesAtEachHalving", { 32, -16, 0, -8, 0, -4, 0, -4 }, 3 },
        // The next burst releases again.
        BurstCase { "EveryBurstReleases", { 10, -10, 0, 10, -10 }, 2 }),
    [](const ::testing::TestParamInfo<BurstCase>& info) { return info.param.name; });

TEST(BurstMemoryReleaseTiming, ReleaseComesOnlyAfterTheDelay)
{
    Fixture f;
    f.Start(kMinBurst);
    const auto ended = std::chrono::steady_clock::now();
    f.End(kMinBurst);
    ASSERT_EQ(f.releases->Settle(1), 1u);
    EXPECT_GE(f.releases->First() - ended, kDelay);
}

// The clean-up of listed records: a burst's worth at once makes a release due, fewer do not.
TEST(BurstMemoryReleaseRecords, ManyRemovedRecordsMakeAReleaseDue)
{
    Fixture f;
    f.burst.RecordsRemoved(kMinBurst - 1);
    f.burst.RecordsRemoved(0);
    EXPECT_EQ(f.releases->Settle(0), 0u);
    f.burst.RecordsRemoved(kMinBurst);
    f.burst.RecordsRemoved(kMinBurst); // while one is pending: still one
    EXPECT_EQ(f.releases->Settle(1), 1u);
}

// The object may go while its release is pending: the release still runs, once.
TEST(BurstMemoryReleaseLifetime, PendingReleaseOutlivesTheObject)
{
    auto releases = std::make_shared<Releases>();
    {
        CBurstMemoryRelease burst(BurstMemoryReleaseSettings { kMinBurst, kDelay, [releases] { releases->Add(); } });
        for (uint64_t i = 0; i < kMinBurst; ++i)
            burst.ConnectionStarted();
        for (uint64_t i = 0; i < kMinBurst; ++i)
            burst.ConnectionEnded();
    }
    EXPECT_EQ(releases->Settle(1), 1u);
}

} // namespace
} // namespace corvantis::test
