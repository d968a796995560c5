#include "platform/EventQueue.h"
#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

#include <array>
#include <atomic>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <pthread.h>
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

// The way the engine uses the queue: one loop thread, a table from udata to handlers that is looked up under a
// mutex, handlers called with no lock held, registrations changed from any thread.
class MiniLoop {
public:
    MiniLoop()
    {
        auto q = EventQueue::create();
        EXPECT_TRUE(q.ok());
        queue = std::move(q.value());
    }
    ~MiniLoop() { stop(); }

    void start()
    {
        thread = std::thread([this] {
            tid = pthread_self();
            started = true;
            std::array<KernelEvent, 1> one;
            while (!stopping) {
                auto n = queue->wait(one, 10s);
                if (!n.ok()) {
                    ++errors;
                    continue;
                }
                if (*n == 0 || one[0].filter == EventFilter::Wake)
                    continue;
                std::function<void(const KernelEvent&)> handler;
                {
                    std::lock_guard lock(mutex);
                    auto it = handlers.find(one[0].udata);
                    if (it == handlers.end())
                        continue;
                    handler = it->second;
                }
                handler(one[0]);
            }
        });
        ASSERT_TRUE(waitUntil([&] { return started.load(); }));
    }

    void stop()
    {
        if (!thread.joinable())
            return;
        stopping = true;
        queue->wake();
        thread.join();
    }

    void add(int fd, std::uint64_t id, std::function<void(const KernelEvent&)> handler)
    {
        std::lock_guard lock(mutex);
        handlers[id] = std::move(handler);
        EXPECT_TRUE(queue->addFd(fd, EventFilter::Read, id).ok());
    }

    void remove(int fd, std::uint64_t id)
    {
        std::lock_guard lock(mutex);
        handlers.erase(id);
        (void)queue->removeFd(fd, EventFilter::Read);
    }

    EventQueuePtr queue;
    std::mutex mutex;
    std::map<std::uint64_t, std::function<void(const KernelEvent&)>> handlers;
    std::thread thread;
    std::atomic<bool> started { false }, stopping { false };
    std::atomic<int> errors { 0 };
    pthread_t tid {};
};

void noOpHandler(int)
{
}

TEST(EventQueueMtTest, SignalsDuringTheWaitNeitherEndNorShortenIt)
{
    struct sigaction sa { };
    sa.sa_handler = noOpHandler; // no SA_RESTART: every signal interrupts epoll_wait
    struct sigaction old { };
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    // A wait with a time-out keeps its full length while signals arrive.
    {
        auto q = EventQueue::create();
        ASSERT_TRUE(q.ok());
        std::atomic<bool> waiting { false }, done { false };
        pthread_t waiter {};
        Result<std::size_t> result { std::size_t { 99 } };
        Clock::duration took {};
        std::thread t([&] {
            waiter = pthread_self();
            waiting = true;
            std::array<KernelEvent, 1> one;
            const auto start = Clock::now();
            result = (*q)->wait(one, 300ms);
            took = Clock::now() - start;
            done = true;
        });
        ASSERT_TRUE(waitUntil([&] { return waiting.load(); }));
        while (!done) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
        t.join();
        ASSERT_TRUE(result.ok()) << result.status().message();
        EXPECT_EQ(*result, 0u);
        EXPECT_GE(took, 300ms);
        EXPECT_LT(took, 10s);
    }

    // An event loop that is signalled over and over still delivers events afterwards.
    MiniLoop loop;
    SocketPair s;
    std::atomic<int> reads { 0 };
    loop.add(s.a.get(), 1, [&](const KernelEvent&) {
        char buf[64];
        while (::read(s.a.get(), buf, sizeof buf) > 0) { }
        ++reads;
    });
    loop.start();
    for (int i = 0; i < 50; ++i) {
        pthread_kill(loop.tid, SIGUSR1);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(::write(s.b.get(), "x", 1), 1);
    EXPECT_TRUE(waitUntil([&] { return reads.load() == 1; }));
    loop.stop();
    EXPECT_EQ(loop.errors.load(), 0);
    ::sigaction(SIGUSR1, &old, nullptr);
}

TEST(EventQueueMtTest, HandlerMayRemoveItselfAndAddAnotherRegistration)
{
    MiniLoop loop;
    SocketPair first, second;
    std::atomic<int> firstCalls { 0 }, secondCalls { 0 };
    loop.add(first.a.get(), 1, [&](const KernelEvent&) {
        ++firstCalls;
        loop.remove(first.a.get(), 1);
        loop.add(second.a.get(), 2, [&](const KernelEvent& ev) {
            EXPECT_EQ(ev.udata, 2u);
            ++secondCalls;
        });
    });
    loop.start();

    ASSERT_EQ(::write(first.b.get(), "x", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return firstCalls.load() == 1; }));
    ASSERT_EQ(::write(second.b.get(), "y", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return secondCalls.load() == 1; }));
    ASSERT_EQ(::write(first.b.get(), "x", 1), 1); // removed: no second call
    ASSERT_EQ(::write(second.b.get(), "y", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return secondCalls.load() == 2; }));
    EXPECT_EQ(firstCalls.load(), 1);
}

TEST(EventQueueMtTest, RegistrationsChangeFromOtherThreadsWhileTheLoopWaits)
{
    MiniLoop loop;
    loop.start();
    constexpr int kThreads = 4, kRounds = 200;
    std::atomic<int> delivered { 0 };
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                SocketPair s;
                const std::uint64_t id = static_cast<std::uint64_t>(t) * 1000000 + static_cast<std::uint64_t>(i) + 1;
                std::atomic<bool> got { false };
                loop.add(s.a.get(), id, [&got, &delivered](const KernelEvent&) {
                    if (!got.exchange(true))
                        ++delivered;
                });
                ASSERT_EQ(::write(s.b.get(), "z", 1), 1);
                EXPECT_TRUE(waitUntil([&] { return got.load(); }));
                loop.remove(s.a.get(), id); // then the socket closes: no event may reach the stale handler
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(delivered.load(), kThreads * kRounds);
    loop.stop();
    EXPECT_EQ(loop.errors.load(), 0);
}

TEST(EventQueueMtTest, WakeInterruptsAWaitWithoutTimeLimit)
{
    auto q = EventQueue::create();
    ASSERT_TRUE(q.ok());
    std::atomic<bool> woke { false };
    std::thread t([&] {
        std::array<KernelEvent, 1> one;
        auto n = (*q)->wait(one, std::nullopt);
        EXPECT_TRUE(n.ok() && *n == 1u && one[0].filter == EventFilter::Wake);
        woke = true;
    });
    std::this_thread::sleep_for(20ms); // let it block (not needed for correctness: a wake is never lost)
    (*q)->wake();
    EXPECT_TRUE(waitUntil([&] { return woke.load(); }));
    t.join();
}

} // namespace
} // namespace corvantis
