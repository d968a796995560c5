#pragma once

#include "platform/Clock.h"
#include "platform/Mutex.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace corvantis {

// The waits of CConnectThrottle; the programs use the defaults, tests shorten them.
struct ConnectThrottleTiming {
    std::chrono::steady_clock::duration unit = std::chrono::milliseconds(10); // one count's worth of waiting
    std::chrono::steady_clock::duration hold = std::chrono::seconds(1); // a repeated host's entry counts as newer
    std::chrono::steady_clock::duration decayAge = std::chrono::seconds(2); // older entries are halved by a decay
};

// Slows down repeated connection attempts to the same host. Every attempt raises a count for its host and a
// count over all hosts (each capped at kMaxCount); an attempt to a host already in the table waits
// (host count + overall count) units, so the second attempt to a host waits 4 units and a host hammered long
// enough waits 2 × kMaxCount units. A decay step, run every kDecayEvery attempts or from the statistics thread,
// halves the overall count and the counts of hosts left alone for the decay age, and forgets hosts whose count
// reaches 0.
//
// Thread-safety: all members may be called from any thread; one lock guards the table, and the wait happens
// after it is released, so a waiting attempt never holds up others.
class CConnectThrottle final {
public:
    using Clock = SteadyClock;

    static constexpr uint32_t kMaxCount = 50;
    static constexpr unsigned kDecayEvery = 256;

    using Timing = ConnectThrottleTiming;

    // `now` reads the clock; the steady clock when empty.
    explicit CConnectThrottle(Timing timing = {}, std::function<Clock::time_point()> now = {});
    CConnectThrottle(const CConnectThrottle&) = delete;
    CConnectThrottle& operator=(const CConnectThrottle&) = delete;

    // Counts an attempt to `host` (compared exactly as given) and returns how long it must wait: zero for a host
    // not in the table. Does not wait.
    Clock::duration Register(const std::string& host);
    // Register, then waits for the returned time on the calling thread. Returns the time waited.
    Clock::duration Throttle(const std::string& host);
    // Runs the decay step when the lock is free at once; returns whether it ran. Never waits for the lock.
    bool TryDecay();

    // The current counts (0 for a host not in the table).
    uint32_t GetHostCount(const std::string& host) const;
    uint32_t GetGlobalCount() const;

private:
    struct Entry {
        Clock::time_point time;
        uint32_t count = 0;
    };

    Clock::time_point Now() const;
    void DecayLocked(Clock::time_point now) REQUIRES(m_lock);

    const Timing m_timing;
    const std::function<Clock::time_point()> m_now;
    mutable Mutex m_lock;
    std::map<std::string, Entry> m_table GUARDED_BY(m_lock);
    uint32_t m_global GUARDED_BY(m_lock) = 0;
    Clock::time_point m_lastDecay GUARDED_BY(m_lock) {}; // the clock's epoch, so the first decay halves
    uint8_t m_calls GUARDED_BY(m_lock) = 0; // wraps every kDecayEvery attempts
};

} // namespace corvantis
