#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace corvantis::test {

// A monotonic clock that moves only when a test moves it. Safe to read and move from several threads. Hand
// AsFunction() to a class that takes a clock; the clock must outlive it.
class FakeSteadyClock final {
public:
    explicit FakeSteadyClock(std::chrono::nanoseconds start = std::chrono::hours(1000))
        : m_ticks(start.count())
    {
    }

    std::chrono::steady_clock::time_point Now() const
    {
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(m_ticks.load())));
    }
    void Advance(std::chrono::nanoseconds step) { m_ticks.fetch_add(step.count()); }
    void Set(std::chrono::nanoseconds sinceEpoch) { m_ticks.store(sinceEpoch.count()); }
    std::chrono::nanoseconds SinceEpoch() const { return std::chrono::nanoseconds(m_ticks.load()); }

    std::function<std::chrono::steady_clock::time_point()> AsFunction()
    {
        return [this] { return Now(); };
    }

private:
    std::atomic<int64_t> m_ticks;
};

} // namespace corvantis::test
