#pragma once

#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>

namespace corvantis {

// What an event reports. Read and Write are readiness of a descriptor, Timer the expiry of a periodic timer,
// Wake a call of EventQueue::wake() from another thread.
enum class EventFilter : std::uint8_t { Read, Write, Timer, Wake };

// One event handed out by EventQueue::wait().
struct KernelEvent {
    EventFilter filter = EventFilter::Read;
    // Read: the peer has ended its sending side or the connection hung up (EPOLLRDHUP/EPOLLHUP).
    // Write: the connection hung up (EPOLLHUP). A pending socket error alone does not set it: the
    // owner's next recv or send reports that error.
    bool eof = false;
    // The descriptor for Read and Write, the timer's identifier for Timer, 0 for Wake.
    std::uint64_t ident = 0;
    // Read: bytes available to read (FIONREAD, 0 where the descriptor cannot tell). Timer: expirations since
    // the last event (at least 1). Write and Wake: 0.
    std::int64_t data = 0;
    // The caller's value given when the registration was last added; 0 for Wake.
    std::uint64_t udata = 0;
};

// A kernel event queue in the style of kqueue, over epoll. Registrations are keyed as kqueue keys them: a
// descriptor with a filter (Read or Write), or a timer identifier in a namespace of its own. Every event carries
// the caller's 64-bit `udata`, never a kernel-side pointer, so a caller keeps its own table from udata to its
// objects and drops events whose udata it no longer knows.
//
// Read and Write are edge-triggered: an event is reported once per change of readiness (and once at once when
// the descriptor is already ready when registered), so the owner reads or writes until it would block. With
// both filters on one descriptor, a change of either readiness reports every filter that is ready at that
// moment (epoll reports the whole state), so a writable socket that receives data gives a Write event too.
//
// Closing a registered descriptor ends its registrations (as long as no dup() of it survives), as with kqueue.
// The queue keeps no state that could confuse a later descriptor with the same number.
//
// Thread-safety: add*/remove*/wake may be called from any thread at any time, also while another thread waits
// in wait(), and also from the code that handles an event. wait() is called by one thread at a time. No lock of
// the queue is held when wait() returns, so event handling may change registrations freely. An event may
// still be reported for a registration that another thread removes during the wait: callers look udata up.
class EventQueue final {
public:
    // Creates the epoll descriptor and the wake-up eventfd (both close-on-exec). Returns an error with errno
    // when the system refuses either.
    [[nodiscard]] static Result<std::unique_ptr<EventQueue>> create();

    // Closes every descriptor the queue owns (epoll, eventfd, timerfds). The caller's descriptors stay open.
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Starts reporting `filter` (Read or Write) of `fd` with `udata`. Adding a registration that exists
    // updates its udata and re-arms it (readiness present now is reported again). The descriptor is borrowed:
    // the caller keeps it open while registered and closes it itself. Returns EINVAL for another filter,
    // otherwise the errno of epoll_ctl (EBADF for a closed descriptor, EPERM for a regular file).
    [[nodiscard]] Status addFd(int fd, EventFilter filter, std::uint64_t udata);

    // Stops reporting `filter` of `fd`; events of it not yet handed out are dropped. The descriptor's other
    // filter, if registered, is re-armed (its present readiness may be reported again). Returns ENOENT when it
    // was not registered (or its descriptor was closed meanwhile); never touches a later descriptor that
    // reuses the number.
    [[nodiscard]] Status removeFd(int fd, EventFilter filter);

    // Starts a periodic timer (monotonic clock) that fires every `period` (at least 1 ms) and reports
    // Timer events with `ident` and `udata`. Adding an identifier that exists changes its period and udata
    // and restarts it. The timer uses one timerfd, owned by the queue. Returns EINVAL for a period below
    // 1 ms, or the errno of timerfd_create/epoll_ctl.
    [[nodiscard]] Status addTimer(std::uint64_t ident, std::chrono::milliseconds period, std::uint64_t udata);

    // Stops and closes the timer `ident`; expirations not yet handed out are dropped. ENOENT when unknown.
    [[nodiscard]] Status removeTimer(std::uint64_t ident);

    // Makes the current or next wait() return a Wake event. Several calls before that wait give one event.
    // Safe from any thread; never blocks.
    void wake();

    // Waits until at least one event is ready or `timeout` has passed (no value: no limit), then fills the
    // front of `out` and returns how many events it filled; 0 means the time-out passed. A descriptor that is
    // ready for both reading and writing gives two events; when `out` has room for one, the second is kept
    // and handed out by the next call (unless its registration is removed before). A signal does not end or
    // shorten the wait (EINTR resumes it with the time left). Other failures of epoll_wait are returned as an
    // error; the queue stays usable, so an event loop logs them and waits again. `out` must not be empty.
    [[nodiscard]] Result<std::size_t> wait(
        std::span<KernelEvent> out, std::optional<std::chrono::milliseconds> timeout);

private:
    struct Registration;

    EventQueue(UniqueFd epoll, UniqueFd wakeFd);
    // Fills `out` from events held back by an earlier call; returns how many.
    std::size_t takeHeldBack(std::span<KernelEvent> out) REQUIRES(m_mutex);
    Status updateFdMask(Registration& reg) REQUIRES(m_mutex);
    void eraseRegistration(std::uint64_t key) REQUIRES(m_mutex);

    const UniqueFd m_epoll;
    const UniqueFd m_wakeFd;

    Mutex m_mutex;
    // Every registration by its key, which is what epoll hands back; keys are never reused.
    std::map<std::uint64_t, std::unique_ptr<Registration>> m_registrations GUARDED_BY(m_mutex);
    std::map<int, std::uint64_t> m_keyByFd GUARDED_BY(m_mutex);
    std::map<std::uint64_t, std::uint64_t> m_keyByTimer GUARDED_BY(m_mutex);
    std::uint64_t m_nextKey GUARDED_BY(m_mutex) = 1;
    // Events found but not handed out yet, with the key they came from (checked again before handing out).
    std::deque<std::pair<std::uint64_t, KernelEvent>> m_heldBack GUARDED_BY(m_mutex);
};

using EventQueuePtr = std::unique_ptr<EventQueue>;

} // namespace corvantis
