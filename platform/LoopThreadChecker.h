#pragma once

#include <atomic>
#include <thread>

namespace corvantis {

// Remembers which thread runs an event loop, so that the loop's thread-confined entry points can check that
// they are called there. A call from another thread would run callbacks and touch loop state concurrently with
// the loop, a fault no test reliably shows; the check turns it into an immediate, named stop (CORVANTIS_ASSERT).
//
// Thread-safety: every member may be called from any thread.
class LoopThreadChecker final {
public:
    LoopThreadChecker() = default;
    LoopThreadChecker(const LoopThreadChecker&) = delete;
    LoopThreadChecker& operator=(const LoopThreadChecker&) = delete;

    // Marks the calling thread as the loop's until leave(). Stops the program when another thread runs the
    // loop already (`loop` names it in the message).
    void enter(const char* loop);
    // Ends the mark set by enter(); called by the loop's thread when the loop returns.
    void leave();

    // Whether the calling thread is the loop's (false while no loop runs).
    [[nodiscard]] bool isLoopThread() const;

    // Stops the program unless the calling thread runs the loop; `entryPoint` names the caller in the message.
    void assertOnLoopThread(const char* entryPoint) const;

private:
    std::atomic<std::thread::id> m_loopThread {};
};

} // namespace corvantis
