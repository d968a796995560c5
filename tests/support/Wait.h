#pragma once

// Waiting in tests: for something another thread or process does, never for a fixed time. Every wait ends as
// soon as its condition holds; the deadline only stops a test that would otherwise hang, so it is generous
// enough for a loaded two-core machine and is never what a test asserts on.

#include <chrono>
#include <thread>

namespace corvantis::test {

using Deadline = std::chrono::steady_clock::time_point;

// How long a wait for something that should happen at once may take before the test gives up.
inline constexpr std::chrono::seconds kPatience { 20 };

inline Deadline deadlineIn(std::chrono::steady_clock::duration span)
{
    return std::chrono::steady_clock::now() + span;
}

// Whole milliseconds from now to `deadline`, 0 once it has passed: the time-out of a poll(2) that must end by then.
inline int millisLeft(Deadline deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Calls `predicate` about once a millisecond until it returns true or `deadline` has passed; returns whether
// it held. The predicate runs on the calling thread, at least once, and may do work of its own (pump a loop,
// read a queue) as long as that work does not block.
template <typename Predicate> bool waitUntil(Predicate&& predicate, Deadline deadline = deadlineIn(kPatience))
{
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace corvantis::test
