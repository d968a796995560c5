#pragma once

#include "platform/Clock.h"
#include "platform/Mutex.h"

#include <chrono>
#include <memory>

namespace corvantis {

// A counting semaphore. wait() takes one unit, waiting while there is none; signal() gives one back and wakes
// one waiter. Deadlines are on the monotonic clock, so changes of the wall clock neither cut nor stretch a wait.
//
// Thread-safety: every member may be called from any thread; the object must outlive every call.
class DispatchSemaphore final {
public:
    using Clock = SteadyClock;

    // A semaphore holding `initial` units (a negative value counts as 0).
    explicit DispatchSemaphore(long initial);
    DispatchSemaphore(const DispatchSemaphore&) = delete;
    DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

    // Gives back one unit and wakes one waiter, if any. Never blocks for long.
    void signal();

    // Takes one unit, waiting as long as it takes.
    void wait();

    // Takes one unit if one is free before `deadline`. Returns true when it took one, false on time-out (then
    // nothing was taken).
    [[nodiscard]] bool wait(Clock::time_point deadline);

    // The same with the deadline `timeout` from now.
    [[nodiscard]] bool waitFor(std::chrono::nanoseconds timeout) { return wait(Clock::now() + timeout); }

private:
    Mutex m_mutex;
    CondVar m_cv;
    long m_count GUARDED_BY(m_mutex);
};

using DispatchSemaphorePtr = std::shared_ptr<DispatchSemaphore>;

} // namespace corvantis
