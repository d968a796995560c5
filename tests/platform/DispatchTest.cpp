#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/DispatchSource.h"
#include "platform/DispatchThreads.h"
#include "platform/Once.h"
#include "platform/ThreadName.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/TempDir.h"

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DispatchQueueTest, BlocksRunInSubmissionOrder)
{
    auto q = DispatchQueue::create("order");
    std::vector<int> seen; // touched only by blocks of q
    for (int i = 0; i < 1000; ++i)
        q->async([&seen, i] { seen.push_back(i); });
    std::vector<int> copy;
    q->sync([&] { copy = seen; });
    ASSERT_EQ(copy.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(copy[static_cast<std::size_t>(i)], i);
}

TEST(DispatchQueueTest, BlocksSubmittedWhileTheQueueDrainsKeepTheirOrder)
{
    // The queue never runs dry here: each of the first blocks submits a later one while the rest still wait.
    auto q = DispatchQueue::create("refilled");
    DispatchSemaphore release(0);
    std::vector<int> seen; // touched only by blocks of q
    q->async([&] { ASSERT_TRUE(release.waitFor(10s)); });
    constexpr int kFirst = 300;
    for (int i = 0; i < kFirst; ++i) {
        q->async([&, i] {
            seen.push_back(i);
            q->async([&seen, i] { seen.push_back(kFirst + i); });
        });
    }
    DispatchSemaphore done(0);
    // Queued behind the first blocks, ahead of the ones they submit: it waits for those with a second hop.
    q->async([&] { q->async([&] { done.signal(); }); });
    release.signal();
    ASSERT_TRUE(done.waitFor(10s));
    std::vector<int> copy;
    q->sync([&] { copy = seen; });
    ASSERT_EQ(copy.size(), 2u * kFirst);
    for (int i = 0; i < 2 * kFirst; ++i)
        ASSERT_EQ(copy[static_cast<std::size_t>(i)], i);
}

TEST(DispatchQueueTest, SyncWaitsForTheBlockAndHandsBackItsException)
{
    auto q = DispatchQueue::create("sync");
    bool ran = false;
    q->sync([&] { ran = true; });
    EXPECT_TRUE(ran);

    EXPECT_THROW(q->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    int after = 0;
    q->sync([&] { after = 1; });
    EXPECT_EQ(after, 1) << "the queue goes on after a throwing block";
}

TEST(DispatchQueueTest, ThrowingAsyncBlockDoesNotStopTheQueue)
{
    auto q = DispatchQueue::create("throws");
    q->async([] { throw std::logic_error("escaped"); });
    q->async([] { throw 42; });
    bool ran = false;
    q->sync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(DispatchQueueTest, SyncOntoTheCurrentQueueRunsInline)
{
    auto q = DispatchQueue::create("inline");
    std::vector<int> steps;
    EXPECT_FALSE(q->isCurrent());
    q->sync([&] {
        EXPECT_TRUE(q->isCurrent());
        steps.push_back(1);
        q->sync([&] { steps.push_back(2); }); // would deadlock if queued behind ourselves
        steps.push_back(3);
    });
    EXPECT_EQ(steps, (std::vector<int> { 1, 2, 3 }));
}

TEST(DispatchQueueTest, AfterNeverRunsBeforeItsDelay)
{
    const std::chrono::milliseconds delays[] = { 0ms, 20ms, 120ms };
    auto q = DispatchQueue::create("after");
    for (auto delay : delays) {
        SCOPED_TRACE(delay.count());
        DispatchSemaphore done(0);
        Clock::time_point ranAt;
        const auto start = Clock::now();
        q->after(delay, [&] {
            EXPECT_TRUE(q->isCurrent());
            ranAt = Clock::now();
            done.signal();
        });
        ASSERT_TRUE(done.waitFor(10s));
        EXPECT_GE(ranAt - start, delay);
    }
}

TEST(DispatchQueueTest, DelayedCallsKeepTheirDeadlineOrder)
{
    auto q = DispatchQueue::create("after order");
    std::vector<int> seen;
    DispatchSemaphore done(0);
    q->after(90ms, [&] {
        seen.push_back(3);
        done.signal();
    });
    q->after(30ms, [&] { seen.push_back(1); });
    q->after(60ms, [&] { seen.push_back(2); });
    ASSERT_TRUE(done.waitFor(10s));
    std::vector<int> copy;
    q->sync([&] { copy = seen; });
    EXPECT_EQ(copy, (std::vector<int> { 1, 2, 3 }));
}

TEST(DispatchThreadsTest, ThreadNamesAreCutToWhatTheKernelKeeps)
{
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        { "short", "Corvantis pool", "Corvantis pool" },
        { "exactly 15", "123456789012345", "123456789012345" },
        { "long", "Corvantis connect thread (10.0.0.1)", "Corvantis conne" },
        { "two-byte character across the cut", "12345678901234\xC3\xA9", "12345678901234" },
        { "three-byte character across the cut", "1234567890123\xE2\x82\xAC", "1234567890123" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kernelThreadName(c.in), c.out);
    }

    auto q = DispatchQueue::create("a queue label far longer than fifteen bytes");
    char name[32] = {};
    // async: a sync on an idle queue would run on this very thread.
    DispatchSemaphore ran(0);
    q->async([&] {
        pthread_getname_np(pthread_self(), name, sizeof name);
        ran.signal();
    });
    ASSERT_TRUE(ran.waitFor(10s));
    EXPECT_STREQ(name, "Corvantis pool");
}

TEST(DispatchSemaphoreTest, DeadlineWaits)
{
    struct Case {
        const char* name;
        long initial;
        int signals;
        bool expected;
    };
    const Case cases[] = {
        { "empty times out", 0, 0, false },
        { "negative start counts as empty", -3, 0, false },
        { "a unit is free", 1, 0, true },
        { "a signal gives a unit", 0, 1, true },
        { "negative start plus a signal", -3, 1, true },
    };
    constexpr auto kTimeout = 80ms;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DispatchSemaphore sem(c.initial);
        for (int i = 0; i < c.signals; ++i)
            sem.signal();
        const auto start = Clock::now();
        EXPECT_EQ(sem.waitFor(kTimeout), c.expected);
        const auto took = Clock::now() - start;
        if (!c.expected) {
            EXPECT_GE(took, kTimeout);
        }
        EXPECT_LT(took, 10s);
    }
}

TEST(DispatchSemaphoreTest, CountsUnits)
{
    DispatchSemaphore sem(2);
    EXPECT_TRUE(sem.waitFor(0ms));
    EXPECT_TRUE(sem.waitFor(0ms));
    EXPECT_FALSE(sem.waitFor(0ms));
    sem.signal();
    sem.wait();
    EXPECT_FALSE(sem.wait(Clock::now() - 1s)) << "a deadline in the past is a time-out, not a wait";
}

TEST(OnceTest, RunsOnceAndRetriesAfterAThrow)
{
    Once once;
    int calls = 0;
    EXPECT_THROW(once.run([&] {
        ++calls;
        throw std::runtime_error("first try fails");
    }),
        std::runtime_error);
    once.run([&] { ++calls; });
    once.run([&] { ++calls; });
    EXPECT_EQ(calls, 2);
}

TEST(DispatchSourceTest, ResumeFailsForDescriptorsThatCannotBeWatched)
{
    test::TempDir dir;
    UniqueFd file(::open((dir / "f").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid());
    auto q = DispatchQueue::create("sources");
    {
        // Starts the layer's own descriptors first, so that the closed number below stays closed.
        int sp[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
        auto warmUp = DispatchSource::create(DispatchSource::Kind::Read, sp[0], q, [] {});
        ASSERT_TRUE(warmUp->resume().ok());
        warmUp->cancel();
        ::close(sp[0]);
        ::close(sp[1]);
    }
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    ::close(fds[1]);

    struct Case {
        const char* name;
        int fd;
        int err;
    };
    const Case cases[] = {
        { "regular file", file.get(), EPERM },
        { "closed descriptor", fds[0], EBADF },
        { "negative descriptor", -1, EBADF },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ran = false;
        auto source = DispatchSource::create(DispatchSource::Kind::Read, c.fd, q, [&] { ran = true; });
        Status st = source->resume();
        EXPECT_EQ(st.errnum(), c.err) << st.message();
        source->cancel();
        q->sync([] {});
        EXPECT_FALSE(ran);
    }
}

} // namespace
} // namespace corvantis
