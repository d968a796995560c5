#pragma once

#include "platform/DispatchQueue.h"
#include "platform/Result.h"

#include <functional>
#include <memory>

namespace corvantis {

class DispatchSource;
using DispatchSourcePtr = std::unique_ptr<DispatchSource>;

// Watches a descriptor and runs a handler on a queue whenever the descriptor can be read (Read) or written
// (Write). Readiness is level-triggered and coalesced: while the descriptor stays ready the handler runs again
// after each run, never two runs of one source at once, never a second run queued while one is pending.
// A read source also runs on end of file, hang-up and a socket error, a write source on hang-up and error, so
// the handler's own recv or send sees what happened.
//
// Cancel is strict: once cancel() returns, the handler is not running (unless cancel() was called from inside
// the handler, which then finishes its own run) and will never run again, and the source no longer touches
// the descriptor, so the owner may close it. Cancel sources before closing their descriptor.
//
// Ownership: the source borrows the descriptor (the caller keeps it open until cancel() returns) and holds the
// queue and the handler until it is cancelled; cancel() releases the handler (after the run that called it, when
// called from inside the handler). Several sources may watch one descriptor.
//
// Thread-safety: resume() and cancel() may be called from any thread, also from inside the handler. cancel()
// called on another thread while the handler runs waits for the run to finish, so the handler must not wait for
// the thread that cancels it.
class DispatchSource final {
public:
    enum class Kind { Read, Write };
    using Handler = std::function<void()>;

    // A suspended source: nothing happens until resume(). `handler` runs on `queue`.
    static DispatchSourcePtr create(Kind kind, int fd, DispatchQueuePtr queue, Handler handler);

    // Cancels (see cancel()).
    ~DispatchSource();
    DispatchSource(const DispatchSource&) = delete;
    DispatchSource& operator=(const DispatchSource&) = delete;

    // Starts watching. A second call, or a call after cancel(), does nothing and succeeds. Fails with the
    // errno of epoll_ctl when the descriptor cannot be watched (EBADF for a closed one, EPERM for a regular
    // file); the source then stays suspended.
    [[nodiscard]] Status resume();

    // Stops the source for good (see the class comment). Further calls do nothing more.
    void cancel();

    // True once cancel() was called.
    bool isCancelled() const;

    struct State;

private:
    explicit DispatchSource(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace corvantis
