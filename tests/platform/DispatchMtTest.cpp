#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/DispatchSource.h"
#include "platform/Once.h"
#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::SocketPair;
using test::waitUntil;

std::size_t threadCount()
{
    std::size_t n = 0;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return 0;
    while (dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(dir);
    return n;
}

TEST(DispatchQueueMtTest, EachSubmittersBlocksKeepTheirOrder)
{
    auto q = DispatchQueue::create("shared");
    constexpr int kThreads = 4, kBlocks = 500;
    std::vector<int> last(kThreads, -1); // touched only by blocks of q
    std::atomic<int> outOfOrder { 0 };
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                q->async([&, t, i] {
                    if (last[static_cast<std::size_t>(t)] != i - 1)
                        ++outOfOrder;
                    last[static_cast<std::size_t>(t)] = i;
                });
            }
        });
    }
    for (auto& s : submitters)
        s.join();
    q->sync([] {});
    EXPECT_EQ(outOfOrder.load(), 0);
    for (int v : last)
        EXPECT_EQ(v, kBlocks - 1);
}

TEST(DispatchQueueMtTest, SyncFromABlockOfAnotherQueue)
{
    auto registry = DispatchQueue::create("FlowManager.TcpFlowProcessor");
    auto worker = DispatchQueue::create("Corvantis worker queue");
    int flows = 0; // registry's state
    std::atomic<int> result { -1 };
    DispatchSemaphore done(0);
    worker->async([&] {
        registry->sync([&] {
            EXPECT_TRUE(registry->isCurrent());
            EXPECT_FALSE(worker->isCurrent());
            flows += 1;
        });
        int seen = 0;
        registry->sync([&] { seen = flows; });
        result = seen;
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(10s));
    EXPECT_EQ(result.load(), 1);
}

TEST(DispatchQueueMtTest, SyncOnAnIdleQueueRunsOnTheCallerAndHoldsTheQueue)
{
    auto q = DispatchQueue::create("idle sync");
    auto outer = DispatchQueue::create("outer");
    std::vector<int> steps; // the queue's state
    std::atomic<bool> asyncSubmitted { false };
    std::thread::id syncThread;
    outer->sync([&] {
        q->sync([&] {
            syncThread = std::this_thread::get_id();
            EXPECT_TRUE(q->isCurrent());
            EXPECT_FALSE(outer->isCurrent());
            // Submitted from another thread while this block runs: it must wait for the block's end.
            std::thread submitter([&] {
                q->async([&] { steps.push_back(3); });
                asyncSubmitted = true;
            });
            submitter.join();
            ASSERT_TRUE(asyncSubmitted.load());
            std::this_thread::sleep_for(20ms);
            steps.push_back(1);
            q->sync([&] { steps.push_back(2); }); // the queue is current: inline, no deadlock
        });
        EXPECT_TRUE(outer->isCurrent()) << "the outer queue is current again after the inline run";
        EXPECT_FALSE(q->isCurrent());
    });
    EXPECT_EQ(syncThread, std::this_thread::get_id());
    q->sync([] {});
    EXPECT_EQ(steps, (std::vector<int> { 1, 2, 3 }));
}

TEST(DispatchQueueMtTest, SyncOnABusyQueueWaitsForTheEarlierBlocks)
{
    auto q = DispatchQueue::create("busy sync");
    DispatchSemaphore started(0);
    DispatchSemaphore release(0);
    std::vector<int> steps; // the queue's state
    q->async([&] {
        started.signal();
        ASSERT_TRUE(release.waitFor(10s));
        steps.push_back(1);
    });
    ASSERT_TRUE(started.waitFor(10s));
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        release.signal();
    });
    q->sync([&] {
        EXPECT_TRUE(q->isCurrent());
        steps.push_back(2);
    });
    releaser.join();
    EXPECT_EQ(steps, (std::vector<int> { 1, 2 }));
}

TEST(DispatchQueueMtTest, AsyncInlineOnAnIdleQueueRunsOnTheCallerAndHoldsTheQueue)
{
    auto q = DispatchQueue::create("inline async");
    std::vector<int> steps; // the queue's state
    std::thread::id ranOn;
    std::thread::id followerRanOn;
    q->asyncInline([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(q->isCurrent());
        steps.push_back(1);
        // Submitted by the block, and from another thread while it runs: both wait for its end, and run on the
        // pool, not on this thread.
        q->async([&] {
            followerRanOn = std::this_thread::get_id();
            steps.push_back(2);
        });
        std::thread([&] { q->async([&] { steps.push_back(3); }); }).join();
        std::this_thread::sleep_for(20ms);
        steps.push_back(4);
    });
    EXPECT_FALSE(q->isCurrent());
    q->sync([] {});
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_NE(followerRanOn, std::this_thread::get_id());
    EXPECT_EQ(steps, (std::vector<int> { 1, 4, 2, 3 }));
    // The pool thread that ran the last block may not have let the queue go yet when sync() returns: the queue
    // is idle once it has, and then syncIfIdle runs the block.
    EXPECT_TRUE(waitUntil([&] {
        return q->syncIfIdle([&] {
            EXPECT_TRUE(q->isCurrent());
            EXPECT_TRUE(q->syncIfIdle([&] { steps.push_back(5); })) << "its own block: at once";
        });
    }));
    EXPECT_EQ(steps.back(), 5);
    steps.clear();

    // A throwing block is reported like one on a pool thread; the queue goes on.
    EXPECT_NO_THROW(q->asyncInline([] { throw std::runtime_error("inline boom"); }));
    q->asyncInline([&] { steps.push_back(4); });
    EXPECT_EQ(steps.back(), 4);
}

TEST(DispatchQueueMtTest, AsyncInlineOnABusyQueueNeverWaits)
{
    auto q = DispatchQueue::create("busy inline async");
    DispatchSemaphore started(0);
    DispatchSemaphore release(0);
    std::vector<int> steps; // the queue's state
    std::atomic<bool> laterRanHere { false };
    q->async([&] {
        started.signal();
        ASSERT_TRUE(release.waitFor(10s));
        steps.push_back(1);
    });
    ASSERT_TRUE(started.waitFor(10s));
    const auto caller = std::this_thread::get_id();
    // Returns while the first block still runs: the block waits its turn on the queue.
    q->asyncInline([&] {
        laterRanHere = std::this_thread::get_id() == caller;
        steps.push_back(2);
    });
    EXPECT_FALSE(q->syncIfIdle([&] { steps.push_back(-1); })) << "a busy queue runs nothing here";
    release.signal();
    q->sync([] {});
    EXPECT_FALSE(laterRanHere.load());
    EXPECT_EQ(steps, (std::vector<int> { 1, 2 }));
}

TEST(DispatchQueueMtTest, SyncOntoAnOuterQueueFromAnInlineBlockRunsInline)
{
    // outer's block runs inner's block inline; that block waiting for outer would wait for its own thread.
    auto outer = DispatchQueue::create("outer");
    auto inner = DispatchQueue::create("inner");
    std::vector<int> steps; // outer's state
    DispatchSemaphore done(0);
    outer->async([&] {
        steps.push_back(1);
        inner->asyncInline([&] {
            EXPECT_TRUE(inner->isCurrent());
            EXPECT_FALSE(outer->isCurrent());
            outer->sync([&] { steps.push_back(2); });
            inner->sync([&] { steps.push_back(3); });
        });
        inner->sync([&] { outer->sync([&] { steps.push_back(4); }); });
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(10s));
    outer->sync([] {});
    EXPECT_EQ(steps, (std::vector<int> { 1, 2, 3, 4 }));
}

TEST(DispatchQueueMtTest, ConcurrentSyncsAndAsyncsRunOneAtATime)
{
    auto q = DispatchQueue::create("mixed");
    constexpr int kThreads = 6;
    constexpr int kRounds = 2000;
    std::atomic<int> inside { 0 };
    std::atomic<int> overlaps { 0 };
    int total = 0; // the queue's state
    auto body = [&] {
        if (inside.fetch_add(1) != 0)
            ++overlaps;
        ++total;
        inside.fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 3 == 0)
                    q->async(body);
                else
                    q->sync(body);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    q->sync([] {});
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(total, kThreads * kRounds);
}

TEST(DispatchQueueMtTest, BlockedQueuesDoNotStopOtherQueues)
{
    // More blocked queues than the pool starts at once: it must grow while they wait for each other.
    const std::size_t queues = 40 + 2 * std::thread::hardware_concurrency();
    std::vector<DispatchQueuePtr> all;
    std::atomic<std::size_t> started { 0 };
    std::atomic<std::size_t> finished { 0 };
    for (std::size_t i = 0; i < queues; ++i) {
        all.push_back(DispatchQueue::create("blocked " + std::to_string(i)));
        all.back()->async([&] {
            ++started;
            // Each block waits until every queue has started one: only possible when none holds up another.
            if (waitUntil([&] { return started.load() == queues; }, test::deadlineIn(20s)))
                ++finished;
        });
    }
    EXPECT_TRUE(waitUntil([&] { return finished.load() == queues; }, test::deadlineIn(30s)))
        << finished.load() << " of " << queues << " blocks got past the barrier";
}

TEST(DispatchQueueMtTest, IdleQueuesUseNoThreads)
{
    const std::size_t before = threadCount();
    ASSERT_GT(before, 0u);
    std::vector<DispatchQueuePtr> queues;
    for (int i = 0; i < 2000; ++i)
        queues.push_back(DispatchQueue::create("flow " + std::to_string(i) + " upstream"));
    EXPECT_LE(threadCount(), before) << "creating queues starts no thread";

    // Each queue runs one block, then all sit idle.
    std::atomic<int> ran { 0 };
    for (auto& q : queues)
        q->async([&] { ++ran; });
    ASSERT_TRUE(waitUntil([&] { return ran.load() == 2000; }));
    EXPECT_LT(threadCount(), before + 500) << "2000 queues that ran a short block do not keep a thread each";
}

TEST(DispatchSemaphoreMtTest, BoundsConcurrencyAndWakesWaiters)
{
    constexpr long kUnits = 3;
    DispatchSemaphore sem(kUnits);
    std::atomic<int> inside { 0 }, maxInside { 0 }, done { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                sem.wait();
                int now = ++inside;
                int prev = maxInside.load();
                while (now > prev && !maxInside.compare_exchange_weak(prev, now)) { }
                std::this_thread::yield();
                --inside;
                sem.signal();
            }
            ++done;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(done.load(), 12);
    EXPECT_LE(maxInside.load(), kUnits);

    // A waiter with a deadline is woken by a signal from another thread well before its time-out.
    DispatchSemaphore gate(0);
    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        gate.signal();
    });
    EXPECT_TRUE(gate.waitFor(30s));
    signaller.join();
}

TEST(OnceMtTest, ConcurrentCallersRunTheCodeOnce)
{
    Once once;
    std::atomic<int> calls { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] { once.run([&] { ++calls; }); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(calls.load(), 1);
}

TEST(DispatchSourceMtTest, ReadSourceRunsWhileDataIsLeft)
{
    SocketPair s;
    auto q = DispatchQueue::create("reads");
    std::atomic<int> runs { 0 };
    auto source = DispatchSource::create(DispatchSource::Kind::Read, s.a.get(), q, [&] {
        EXPECT_TRUE(q->isCurrent());
        char c;
        if (::read(s.a.get(), &c, 1) == 1) // one byte per run: the source must come back for the rest
            ++runs;
    });
    ASSERT_TRUE(source->resume().ok());
    ASSERT_EQ(::write(s.b.get(), "abcde", 5), 5);
    EXPECT_TRUE(waitUntil([&] { return runs.load() == 5; }));
    source->cancel();
    EXPECT_EQ(runs.load(), 5);
}

TEST(DispatchSourceMtTest, EndOfFileRunsTheReadHandler)
{
    SocketPair s;
    auto q = DispatchQueue::create("eof");
    std::atomic<bool> sawEof { false };
    DispatchSourcePtr source;
    source = DispatchSource::create(DispatchSource::Kind::Read, s.a.get(), q, [&] {
        char c;
        if (::read(s.a.get(), &c, 1) == 0) {
            sawEof = true;
            source->cancel(); // from inside its own handler: no deadlock
        }
    });
    ASSERT_TRUE(source->resume().ok());
    s.b.reset();
    EXPECT_TRUE(waitUntil([&] { return sawEof.load(); }));
    q->sync([] {});
    EXPECT_TRUE(source->isCancelled());
}

TEST(DispatchSourceMtTest, WriteSourceAndReadSourceOnOneDescriptor)
{
    SocketPair s;
    auto q = DispatchQueue::create("both");
    std::atomic<int> writes { 0 }, reads { 0 };
    DispatchSourcePtr writer, reader;
    writer = DispatchSource::create(DispatchSource::Kind::Write, s.a.get(), q, [&] {
        ++writes;
        writer->cancel(); // used once, as a flow does once its pending bytes are out
    });
    reader = DispatchSource::create(DispatchSource::Kind::Read, s.a.get(), q, [&] {
        char buf[16];
        while (::read(s.a.get(), buf, sizeof buf) > 0) { }
        ++reads;
    });
    ASSERT_TRUE(reader->resume().ok());
    ASSERT_TRUE(writer->resume().ok());
    EXPECT_TRUE(waitUntil([&] { return writes.load() == 1; }));
    ASSERT_EQ(::write(s.b.get(), "x", 1), 1);
    EXPECT_TRUE(waitUntil([&] { return reads.load() == 1; }));
    ASSERT_EQ(::write(s.b.get(), "y", 1), 1);
    EXPECT_TRUE(waitUntil([&] { return reads.load() == 2; }));
    reader->cancel();
    EXPECT_EQ(writes.load(), 1);
}

TEST(DispatchSourceMtTest, NoHandlerRunsAfterCancelReturns)
{
    // Cancel races a handler that is queued, about to run, or running; whatever the timing, nothing of the
    // handler may happen once cancel() has returned.
    auto q = DispatchQueue::create("race");
    std::atomic<int> late { 0 }, total { 0 };
    for (int round = 0; round < 300; ++round) {
        SocketPair s;
        ASSERT_EQ(::write(s.b.get(), "r", 1), 1); // ready at once: the handler keeps being scheduled
        std::atomic<bool> cancelled { false };
        std::atomic<bool> inHandler { false }, entered { false };
        auto source = DispatchSource::create(DispatchSource::Kind::Read, s.a.get(), q, [&] {
            inHandler = true;
            entered = true;
            if (cancelled)
                ++late;
            ++total;
            if (round % 3 == 0)
                std::this_thread::sleep_for(100us); // widen the window in which cancel meets a running handler
            inHandler = false;
        });
        ASSERT_TRUE(source->resume().ok());
        if (round % 4 == 0)
            ASSERT_TRUE(waitUntil([&] { return entered.load(); })); // the data stays unread: it keeps running
        else if (round % 2)
            std::this_thread::yield();
        source->cancel();
        cancelled = true;
        EXPECT_FALSE(inHandler.load()) << "cancel returned while the handler was still running";
        s.a.reset(); // safe now: the source no longer touches the descriptor
    }
    q->sync([] {}); // runs queued-but-cancelled handler calls, which must do nothing
    EXPECT_EQ(late.load(), 0);
    EXPECT_GT(total.load(), 0) << "the race never let a handler run at all";
}

TEST(DispatchSourceMtTest, CancelFromAnotherQueueWhileTheHandlerRunsWaitsForIt)
{
    SocketPair s;
    auto handlerQueue = DispatchQueue::create("handler");
    auto otherQueue = DispatchQueue::create("canceller");
    std::atomic<bool> entered { false }, release { false }, finished { false };
    auto source = DispatchSource::create(DispatchSource::Kind::Read, s.a.get(), handlerQueue, [&] {
        entered = true;
        waitUntil([&] { return release.load(); });
        finished = true;
    });
    ASSERT_TRUE(source->resume().ok());
    ASSERT_EQ(::write(s.b.get(), "x", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));

    std::atomic<bool> cancelReturned { false };
    std::atomic<bool> finishedWhenCancelReturned { false };
    otherQueue->async([&] {
        source->cancel();
        finishedWhenCancelReturned = finished.load();
        cancelReturned = true;
    });
    std::this_thread::sleep_for(20ms); // give cancel the chance to return early (it must not)
    EXPECT_FALSE(cancelReturned.load());
    release = true;
    ASSERT_TRUE(waitUntil([&] { return cancelReturned.load(); }));
    EXPECT_TRUE(finishedWhenCancelReturned.load());
}

TEST(DispatchSourceMtTest, DestroyingTheSourceInsideItsHandlerReleasesWhatTheHandlerHolds)
{
    SocketPair s;
    auto q = DispatchQueue::create("self destroy");
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    std::atomic<int> runs { 0 };
    DispatchSourcePtr source;
    source = DispatchSource::create(DispatchSource::Kind::Read, s.a.get(), q, [&, token] {
        ++runs;
        source.reset(); // the flow drops its source from inside the handler
    });
    token.reset();
    ASSERT_TRUE(source->resume().ok());
    ASSERT_EQ(::write(s.b.get(), "xy", 2), 2); // still readable after the run: must not run again
    ASSERT_TRUE(waitUntil([&] { return runs.load() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return watch.expired(); })) << "the handler's captures are released";
    q->sync([] {});
    EXPECT_EQ(runs.load(), 1);
}

} // namespace
} // namespace corvantis
