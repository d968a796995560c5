#include "platform/Mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Whether another thread can take `mutex` right now.
bool freeForOthers(Mutex& mutex)
{
    bool taken = false;
    std::thread([&] {
        taken = mutex.tryLock();
        if (taken)
            mutex.unlock();
    }).join();
    return taken;
}

TEST(MutexMtTest, ALockReleasesOnceWhetherItAdoptedTheMutexOrLetItGoInBetween)
{
    Mutex mutex;
    {
        ASSERT_TRUE(mutex.tryLock());
        MutexLock lock(mutex, kAdoptLock);
        EXPECT_FALSE(freeForOthers(mutex));
    }
    EXPECT_TRUE(freeForOthers(mutex));
    {
        MutexLock lock(mutex);
        lock.unlock();
        EXPECT_TRUE(freeForOthers(mutex));
        lock.lock();
        EXPECT_FALSE(freeForOthers(mutex));
        lock.unlock(); // the scope ends without the mutex: the destructor must not release it again
    }
    EXPECT_TRUE(freeForOthers(mutex));
}

TEST(MutexMtTest, AWaitWithADeadlineEndsBySignalOrByTheDeadline)
{
    Mutex mutex;
    CondVar cond;
    bool ready = false;

    MutexLock lock(mutex);
    const auto start = Clock::now();
    EXPECT_FALSE(cond.waitUntil(mutex, start + 20ms, [&] { return ready; }));
    EXPECT_GE(Clock::now() - start, 20ms);

    std::thread signaller([&] {
        MutexLock inner(mutex);
        ready = true;
        cond.signalAll();
    });
    EXPECT_TRUE(cond.waitFor(mutex, 60s, [&] { return ready; }));
    lock.unlock();
    signaller.join();
}

} // namespace
} // namespace corvantis
