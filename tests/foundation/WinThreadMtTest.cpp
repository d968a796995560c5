#include "core/foundation/WinThread.h"

#include "core/foundation/Log.h"
#include "tests/support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// What a thread function reports back; the test waits on it with a deadline.
struct Probe {
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false; // the function waits for this before it finishes
    bool waitForRelease = false;
    bool started = false;
    bool finished = false;
    std::thread::id ranOn;

    bool waitFor(bool Probe::*flag)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 30s, [&] { return this->*flag; });
    }
    void set(bool Probe::*flag)
    {
        std::lock_guard lock(mutex);
        this->*flag = true;
        changed.notify_all();
    }
};

void probeFunction(void* argument)
{
    Probe& probe = *static_cast<Probe*>(argument);
    {
        std::lock_guard lock(probe.mutex);
        probe.ranOn = std::this_thread::get_id();
    }
    probe.set(&Probe::started);
    bool wait;
    {
        std::lock_guard lock(probe.mutex);
        wait = probe.waitForRelease;
    }
    if (wait)
        probe.waitFor(&Probe::release);
    probe.set(&Probe::finished);
}

TEST(WinThreadMtTest, RunsTheFunctionOnItsOwnThread)
{
    Probe probe;
    std::shared_ptr<CWinThread> thread = CreateWinThread(probeFunction, &probe);
    ASSERT_TRUE(thread);
    ASSERT_TRUE(probe.waitFor(&Probe::finished));
    std::lock_guard lock(probe.mutex);
    EXPECT_NE(probe.ranOn, std::this_thread::get_id());
    auto* started = dynamic_cast<CWinThreadC*>(thread.get());
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(started->GetThreadId(), probe.ranOn);
}

// The thread objects never stop the thread: dropping the pointer, or asking it to cancel, changes nothing.
TEST(WinThreadMtTest, DroppingOrCancellingTheObjectLeavesTheThreadRunning)
{
    for (bool cancelFirst : { false, true }) {
        SCOPED_TRACE(cancelFirst ? "cancel, then drop" : "drop");
        Probe probe;
        probe.waitForRelease = true;
        std::shared_ptr<CWinThread> thread = CreateWinThread(probeFunction, &probe);
        ASSERT_TRUE(thread);
        ASSERT_TRUE(probe.waitFor(&Probe::started));
        if (cancelFirst) {
            EXPECT_EQ(thread->Cancel(), 0);
        }
        thread.reset();
        probe.set(&Probe::release);
        EXPECT_TRUE(probe.waitFor(&Probe::finished));
    }
}

TEST(WinThreadMtTest, AFunctionThatReturnsAtOnceOrIsNullOrThrowsEndsItsThreadQuietly)
{
    std::shared_ptr<CWinThread> nothing = CreateWinThread(nullptr, nullptr);
    EXPECT_TRUE(nothing);

    Probe probe;
    std::shared_ptr<CWinThread> quick = CreateWinThread(probeFunction, &probe);
    ASSERT_TRUE(quick);
    EXPECT_TRUE(probe.waitFor(&Probe::finished));
    quick.reset(); // after the thread ended: nothing to do

    // An exception that escapes the function would otherwise end the whole process.
    Probe thrown;
    CreateWinThread(
        [](void* argument) {
            static_cast<Probe*>(argument)->set(&Probe::finished);
            throw std::runtime_error("escaped");
        },
        &thrown);
    EXPECT_TRUE(thrown.waitFor(&Probe::finished));
    EXPECT_TRUE(test::waitUntil([] {
        bool isError = false;
        uint64_t time = 0;
        std::string line;
        while (PopLogRecord(false, isError, time, line))
            if (isError && line == "Thread function ended by an exception: escaped")
                return true;
        return false;
    }));
    EXPECT_EQ(nothing->InitInstance(), 0);
    EXPECT_EQ(nothing->ExitInstance(), 0);
}

// A bare thread object with its cancel flag set cancels the POSIX thread it was given when destroyed.
TEST(WinThreadMtTest, AnObjectWithTheCancelFlagCancelsItsPosixThread)
{
    pthread_t handle;
    ASSERT_EQ(pthread_create(
                  &handle, nullptr,
                  [](void*) -> void* {
                      poll(nullptr, 0, -1); // a cancellation point that never returns by itself
                      return nullptr;
                  },
                  nullptr),
        0);
    {
        CWinThread keep(handle, false); // without the flag, destruction does nothing
    }
    {
        CWinThread owner(handle, true);
    }
    void* result = nullptr;
    ASSERT_EQ(pthread_join(handle, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(CWinThread(0).Cancel(), 0);
}

} // namespace
} // namespace corvantis
