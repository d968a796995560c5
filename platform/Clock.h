#pragma once

#include <chrono>
#include <functional>

namespace corvantis {

// Durations and time-outs are measured on the monotonic clock; wall-clock time is only ever printed.
using SteadyClock = std::chrono::steady_clock;
using SteadyTime = SteadyClock::time_point;

// The seam through which a class reads the monotonic time, so tests can hand in a clock they move themselves
// (tests/support/FakeSteadyClock.h). An empty one means SteadyClock::now.
using SteadyNow = std::function<SteadyTime()>;

} // namespace corvantis
