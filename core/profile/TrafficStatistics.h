#pragma once

#include "platform/Clock.h"
#include "platform/Mutex.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace corvantis {

// The traffic of all connections: totals of bytes sent (towards the remote side) and received (from it), a
// per-second history of the last 100 minutes for the traffic graph, connection counters and the time the
// statistics started.
//
// Thread safety: every member function may be called from any thread. The totals, the history and the second
// being counted are guarded by one mutex; the connection and test-write counters are atomics. IsSampleDue and
// IsIntervalPassed are meant for one polling thread but stay race-free with several.
class CTrafficStatistics final {
public:
    // Where the statistics read the monotonic time; the default is std::chrono::steady_clock.
    using Clock = SteadyNow;

    // Values per graph series: element i holds the bytes of the second kSeriesLength - 1 - i seconds before the
    // second being counted, so the last element (that second itself) is always 0.
    static constexpr size_t kSeriesLength = 6000;
    // Seconds with traffic are kept until they are this many seconds old.
    static constexpr uint64_t kHistorySeconds = 6001;
    static constexpr size_t kSeriesUp = 0; // bytes sent
    static constexpr size_t kSeriesDown = 1; // bytes received
    using Series = std::array<std::vector<uint64_t>, 2>;
    static constexpr std::chrono::milliseconds kDefaultSampleInterval { 1000 };

    // All counters 0, an empty history, the start time now, the last sample now. `sampleInterval` is the
    // period IsSampleDue reports (1000 ms in the programs).
    explicit CTrafficStatistics(Clock clock = {}, std::chrono::milliseconds sampleInterval = kDefaultSampleInterval);
    CTrafficStatistics(const CTrafficStatistics&) = delete;
    CTrafficStatistics& operator=(const CTrafficStatistics&) = delete;

    // Count bytes sent to / received from a remote, in the total and in the current second.
    void AddSent(uint64_t bytes);
    void AddReceived(uint64_t bytes);

    // The graph series: [kSeriesUp] bytes sent, [kSeriesDown] bytes received, kSeriesLength values each. Rolls
    // the current second first, so traffic of seconds that have ended shows.
    Series GetSeries();

    // Totals and connection counters to 0, the start time now. The history stays.
    void Clear();
    // Empties the history and the second being counted. The totals stay.
    void ClearHistory();

    // True when at least the sample interval has passed since the last sample; it then starts the next one.
    bool IsSampleDue();
    // The same test without starting a new interval.
    bool IsIntervalPassed() const;

    uint64_t GetTotalSent() const;
    uint64_t GetTotalReceived() const;
    // Wall-clock time of construction or of the last Clear, for the statistics text.
    time_t GetStartTime() const { return m_StartTime.load(std::memory_order_relaxed); }
    // The number of seconds with traffic that the history holds.
    size_t GetHistoryLength() const;

    // Counters the engine keeps of its connections; Clear resets them.
    void AddConnection() { m_TotalConnections.fetch_add(1, std::memory_order_relaxed); }
    void AddFailedConnection() { m_FailedConnections.fetch_add(1, std::memory_order_relaxed); }
    uint64_t GetTotalConnections() const { return m_TotalConnections.load(std::memory_order_relaxed); }
    uint64_t GetFailedConnections() const { return m_FailedConnections.load(std::memory_order_relaxed); }

    // One test write of `bytes` bytes.
    void AddCountAndBytes(uint64_t bytes);
    // The test writes since the last call, as (count, bytes); both counters start again from 0. Each counter is
    // exchanged atomically, so no write is lost or counted twice.
    std::pair<uint64_t, uint64_t> TakeCountAndBytes();

private:
    struct Sample {
        uint64_t second;
        uint64_t sent;
        uint64_t received;
    };

    std::chrono::steady_clock::time_point Now() const;
    // Moves the current second into the history when a new second has begun.
    void RollSecondLocked() REQUIRES(m_Lock);
    // Drops samples kHistorySeconds or more older than `now`.
    void DropOldSamplesLocked(uint64_t now) REQUIRES(m_Lock);

    const Clock m_Clock;
    const std::chrono::milliseconds m_SampleInterval;

    mutable Mutex m_Lock;
    uint64_t m_TotalSent GUARDED_BY(m_Lock) = 0;
    uint64_t m_TotalReceived GUARDED_BY(m_Lock) = 0;
    std::deque<Sample> m_History GUARDED_BY(m_Lock); // oldest first, only seconds that had traffic
    uint64_t m_CurrentSecond GUARDED_BY(m_Lock) = 0;
    uint64_t m_SentThisSecond GUARDED_BY(m_Lock) = 0;
    uint64_t m_ReceivedThisSecond GUARDED_BY(m_Lock) = 0;

    std::atomic<uint64_t> m_TotalConnections { 0 };
    std::atomic<uint64_t> m_FailedConnections { 0 };
    std::atomic<uint64_t> m_TestWriteCount { 0 };
    std::atomic<uint64_t> m_TestWriteBytes { 0 };
    std::atomic<time_t> m_StartTime;
    std::atomic<int64_t> m_LastSample; // steady-clock ticks
};

} // namespace corvantis
