#pragma once

#include "platform/ThreadAnnotations.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvantis {

// A mutex that clang's -Wthread-safety can reason about: fields marked GUARDED_BY(m) may only be touched while
// `m` is held, and functions marked REQUIRES(m) only be called so. std::mutex carries no such attributes.
// Not recursive; not copyable. Thread-safe by nature.
class CAPABILITY("mutex") Mutex final {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    [[nodiscard]] bool tryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

    // Tells the analysis that the caller holds the mutex where it cannot see it (a callback run under the lock).
    void assertHeld() ASSERT_CAPABILITY(this) { }

private:
    friend class CondVar;
    std::mutex m_mutex;
};

// Marks a MutexLock that takes over a mutex the caller holds already (after a successful Mutex::tryLock()).
struct AdoptLock {
    explicit AdoptLock() = default;
};
inline constexpr AdoptLock kAdoptLock {};

// Holds a Mutex for its scope. The analysis knows the mutex is held from construction to destruction, and
// follows unlock() and lock() in between (a scope that lets go of the mutex around a call it must not hold it
// for). The destructor releases the mutex only if it is held then.
class SCOPED_CAPABILITY MutexLock final {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex)
        : m_mutex(mutex)
    {
        m_mutex.lock();
    }
    MutexLock(Mutex& mutex, AdoptLock) REQUIRES(mutex)
        : m_mutex(mutex)
    {
    }
    ~MutexLock() RELEASE()
    {
        if (m_held)
            m_mutex.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets go of the mutex before the scope ends; lock() takes it again. Calls alternate, starting with unlock().
    void unlock() RELEASE()
    {
        m_held = false;
        m_mutex.unlock();
    }
    void lock() ACQUIRE()
    {
        m_mutex.lock();
        m_held = true;
    }

private:
    Mutex& m_mutex;
    bool m_held = true;
};

// A condition variable used with one Mutex, which every wait requires held and holds again when it returns.
// Predicates run with the mutex held; the analysis cannot see that inside a lambda, so a predicate that reads
// guarded fields starts with `mutex.assertHeld()`.
class CondVar final {
public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void wait(Mutex& mutex) REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        m_cond.wait(lock);
        lock.release();
    }

    // Waits until `done()` holds.
    template <typename Predicate> void wait(Mutex& mutex, Predicate done) REQUIRES(mutex)
    {
        while (!done())
            wait(mutex);
    }

    // Waits for a signal or until `deadline` passes (or a spurious wake-up); false when the deadline passed.
    template <typename Clock, typename Duration>
    bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        const bool signalled = m_cond.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return signalled;
    }

    // The same with the deadline `timeout` from now on the monotonic clock.
    template <typename Rep, typename Period>
    bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex)
    {
        return waitUntil(mutex, std::chrono::steady_clock::now() + timeout);
    }

    // Waits until `done()` holds or `deadline` passes; returns what `done()` gave last.
    template <typename Clock, typename Duration, typename Predicate>
    bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline, Predicate done)
        REQUIRES(mutex)
    {
        std::unique_lock<std::mutex> lock(mutex.m_mutex, std::adopt_lock);
        const bool result = m_cond.wait_until(lock, deadline, std::move(done));
        lock.release();
        return result;
    }

    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout, Predicate done) REQUIRES(mutex)
    {
        return waitUntil(mutex, std::chrono::steady_clock::now() + timeout, std::move(done));
    }

    void signal() { m_cond.notify_one(); }
    void signalAll() { m_cond.notify_all(); }

private:
    std::condition_variable m_cond;
};

} // namespace corvantis
