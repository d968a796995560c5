#include "extension/engine/SocketEventsManager.h"
#include "platform/UniqueFd.h"
#include "tests/engine/EventLoopHarness.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::EventRecorder;
using test::isSweepEvent;
using test::RunningEventLoop;
using Clock = std::chrono::steady_clock;

struct SocketPair {
    SocketPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            mine = UniqueFd(fds[0]);
            peer = UniqueFd(fds[1]);
        }
    }
    bool send(const char* text) const { return write(peer.get(), text, strlen(text)) > 0; }
    UniqueFd mine;
    UniqueFd peer;
};

auto countIf(const std::vector<eventDescription>& events, bool (*predicate)(const eventDescription&))
{
    return std::count_if(events.begin(), events.end(), predicate);
}

TEST(SocketEventsManagerTest, IdsStartAtOneAndGrowAcrossFailuresAndRemovals)
{
    SocketEventsManager manager;
    ASSERT_TRUE(manager.InitInstance());
    SocketPair pair;
    std::uint64_t id = 0;
    ASSERT_TRUE(manager.AddSocket(pair.mine.get(), false, 0, id, [](eventDescription) {}));
    EXPECT_EQ(id, 1u);
    EXPECT_FALSE(manager.AddSocket(-1, false, 0, id, [](eventDescription) {}));
    EXPECT_EQ(id, 2u);
    manager.RemoveSocketId(1);
    manager.RemoveSocketId(99); // unknown: ignored
    SocketPair other;
    ASSERT_TRUE(manager.AddSocket(other.mine.get(), true, 50, id, [](eventDescription) {}));
    EXPECT_EQ(id, 3u);
}

TEST(SocketEventsManagerTest, LoopWithoutQueueReportsFailure)
{
    SocketEventsManager manager;
    std::uint64_t id = 0;
    SocketPair pair;
    EXPECT_FALSE(manager.AddSocket(pair.mine.get(), false, 0, id, [](eventDescription) {}));
    EXPECT_FALSE(manager.EventsProcessingThread());
}

TEST(SocketEventsManagerTest, ReadinessEventsCarryTheDescriptorAndTheFilters)
{
    struct Case {
        const char* name;
        bool readWrite;
        bool closePeer; // else the peer writes 5 bytes
    };
    const Case cases[] = {
        { "read only, data", false, false },
        { "read and write, data", true, false },
        { "read only, peer closes", false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        EventRecorder recorder;
        RunningEventLoop loop; // declared last: stopped before the recorder goes
        ASSERT_TRUE(loop.ready());
        std::uint64_t id = 0;
        ASSERT_TRUE(loop.manager().AddSocket(pair.mine.get(), c.readWrite, 0, id, recorder.processor()));
        if (c.readWrite) {
            // A writable socket is reported at once on registration.
            ASSERT_TRUE(recorder.waitForEvents([](const auto& events) {
                return std::any_of(events.begin(), events.end(), [](const auto& e) { return e.write; });
            }));
        }
        if (c.closePeer) {
            pair.peer.reset();
        } else {
            ASSERT_TRUE(pair.send("hello"));
        }
        ASSERT_TRUE(recorder.waitForEvents([](const auto& events) {
            return std::any_of(events.begin(), events.end(), [](const auto& e) { return e.read; });
        }));
        for (const eventDescription& e : recorder.events()) {
            EXPECT_EQ(e.socketId, id);
            EXPECT_EQ(e.ident, static_cast<std::uint64_t>(pair.mine.get()));
            EXPECT_FALSE(e.timeout);
            if (!c.readWrite) {
                EXPECT_FALSE(e.write);
            }
            if (e.read) {
                EXPECT_EQ(e.eof, c.closePeer);
                if (!c.closePeer) {
                    EXPECT_EQ(e.data, 5);
                }
            }
        }
        EXPECT_TRUE(loop.stop());
    }
}

TEST(SocketEventsManagerTest, TimerEventsCarryTheIdAndRepeat)
{
    SocketPair pair;
    EventRecorder recorder;
    RunningEventLoop loop;
    ASSERT_TRUE(loop.ready());
    std::uint64_t id = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(loop.manager().AddSocket(pair.mine.get(), false, 20, id, recorder.processor()));
    ASSERT_TRUE(recorder.waitForEvents([](const auto& events) { return events.size() >= 3; }));
    EXPECT_GE(Clock::now() - start, 60ms);
    for (const eventDescription& e : recorder.events()) {
        EXPECT_TRUE(e.timeout);
        EXPECT_FALSE(e.read || e.write || e.eof);
        EXPECT_EQ(e.socketId, id);
        EXPECT_EQ(e.ident, id);
        EXPECT_GE(e.data, 1);
    }
}

// Once ten timer periods have passed, every sweep adds a time-out event naming the descriptor; sockets without a
// time-out never take part. Sweeps come from quiet spells or from a count of events.
TEST(SocketEventsManagerTest, SweepsReportPassedExtendedTimeouts)
{
    struct Case {
        const char* name;
        SocketEventsManager::Params params;
        std::uint64_t timeoutMs;
    };
    const Case cases[] = {
        { "after a quiet spell", { 20ms, 1001 }, 100 },
        { "after a number of events", { std::chrono::hours(1), 5 }, 10 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair timed;
        SocketPair untimed;
        EventRecorder timedEvents;
        EventRecorder untimedEvents;
        RunningEventLoop loop(c.params);
        ASSERT_TRUE(loop.ready());
        std::uint64_t untimedId = 0;
        std::uint64_t timedId = 0;
        ASSERT_TRUE(loop.manager().AddSocket(untimed.mine.get(), false, 0, untimedId, untimedEvents.processor()));
        const auto start = Clock::now();
        ASSERT_TRUE(loop.manager().AddSocket(timed.mine.get(), false, c.timeoutMs, timedId, timedEvents.processor()));
        ASSERT_TRUE(timedEvents.waitForEvents([](const auto& events) { return countIf(events, isSweepEvent) >= 2; }));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.timeoutMs * 10));
        for (const eventDescription& e : timedEvents.events()) {
            EXPECT_EQ(e.socketId, timedId);
            EXPECT_EQ(e.ident, isSweepEvent(e) ? static_cast<std::uint64_t>(timed.mine.get()) : timedId);
        }
        EXPECT_TRUE(untimedEvents.events().empty());
    }
}

// The timer of a removed socket is deleted when it fires, and a sweep follows at once.
TEST(SocketEventsManagerTest, StaleTimerIsDeletedAndTriggersOneSweep)
{
    SocketPair watched;
    SocketPair removed;
    EventRecorder watchedEvents;
    EventRecorder removedEvents;
    RunningEventLoop loop({ std::chrono::hours(1), 1001 });
    ASSERT_TRUE(loop.ready());
    std::uint64_t watchedId = 0;
    std::uint64_t removedId = 0;
    ASSERT_TRUE(loop.manager().AddSocket(watched.mine.get(), false, 20, watchedId, watchedEvents.processor()));
    const auto start = Clock::now();
    ASSERT_TRUE(loop.manager().AddSocket(removed.mine.get(), false, 400, removedId, removedEvents.processor()));
    loop.manager().RemoveSocketId(removedId);

    ASSERT_TRUE(watchedEvents.waitForEvents([](const auto& events) { return countIf(events, isSweepEvent) >= 1; }));
    EXPECT_GE(Clock::now() - start, 400ms);
    // Had the timer survived, it would fire again within 400 ms and feed another sweep; wait well beyond that.
    const auto timerEventsNow = watchedEvents.events().size();
    ASSERT_TRUE(watchedEvents.waitForEvents([&](const auto& events) { return events.size() >= timerEventsNow + 50; }));
    EXPECT_EQ(countIf(watchedEvents.events(), isSweepEvent), 1);
    EXPECT_TRUE(removedEvents.events().empty());
}

// A processor may remove its own registration and register another socket while it runs.
TEST(SocketEventsManagerTest, ProcessorRemovesItselfAndRegistersAnother)
{
    SocketPair first;
    SocketPair second;
    EventRecorder firstEvents;
    EventRecorder secondEvents;
    std::atomic<std::uint64_t> secondId { 0 };
    RunningEventLoop loop;
    ASSERT_TRUE(loop.ready());
    std::uint64_t firstId = 0;
    SocketEventsManager& manager = loop.manager();
    ASSERT_TRUE(manager.AddSocket(first.mine.get(), false, 0, firstId, [&](eventDescription e) {
        manager.RemoveSocketId(e.socketId);
        std::uint64_t id = 0;
        if (manager.AddSocket(second.mine.get(), false, 0, id, secondEvents.processor())) {
            secondId = id;
        }
        firstEvents.add(e);
    }));
    ASSERT_TRUE(first.send("a"));
    ASSERT_TRUE(firstEvents.waitForEvents([](const auto& events) { return !events.empty(); }));
    ASSERT_GT(secondId.load(), firstId);
    // The removed socket's new data is dropped; the new socket keeps being served.
    ASSERT_TRUE(first.send("c"));
    ASSERT_TRUE(second.send("d"));
    ASSERT_TRUE(secondEvents.waitForEvents([](const auto& events) {
        return std::any_of(events.begin(), events.end(), [](const auto& e) { return e.read && e.data >= 1; });
    }));
    EXPECT_EQ(firstEvents.events().size(), 1u);
}

std::atomic<int> g_signalsSeen { 0 };

void countSignal(int)
{
    g_signalsSeen.fetch_add(1);
}

// A handled signal interrupts the wait; the loop goes on serving.
TEST(SocketEventsManagerTest, SignalDuringTheWaitDoesNotEndTheLoop)
{
    struct sigaction action { };
    struct sigaction previous { };
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the wait really fails with EINTR
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    SocketPair pair;
    EventRecorder recorder;
    RunningEventLoop loop({ 30ms, 1001 });
    ASSERT_TRUE(loop.ready());
    std::uint64_t id = 0;
    ASSERT_TRUE(loop.manager().AddSocket(pair.mine.get(), false, 0, id, recorder.processor()));
    const int before = g_signalsSeen.load();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(pthread_kill(loop.thread().native_handle(), SIGUSR2), 0);
    }
    test::waitUntil([&] { return g_signalsSeen.load() != before; });
    EXPECT_GT(g_signalsSeen.load(), before);
    ASSERT_TRUE(pair.send("after the signal"));
    EXPECT_TRUE(recorder.waitForEvents([](const auto& events) { return !events.empty(); }));
    EXPECT_TRUE(loop.stop());
    sigaction(SIGUSR2, &previous, nullptr);
}

TEST(SocketEventsManagerTest, AProcessorMayRunTheSweepOnTheLoopThread)
{
    SocketPair pair;
    RunningEventLoop loop;
    ASSERT_TRUE(loop.ready());
    EventRecorder recorder;
    SocketEventsManager& manager = loop.manager();
    std::uint64_t id = 0;
    ASSERT_TRUE(manager.AddSocket(pair.mine.get(), false, 0, id, [&](eventDescription event) {
        manager.checkExtendedTimeout();
        recorder.add(event);
    }));
    ASSERT_TRUE(pair.send("x"));
    EXPECT_TRUE(recorder.waitForEvents([](const auto& events) { return !events.empty(); }));
    EXPECT_TRUE(loop.stop());
}

TEST(SocketEventsManagerDeathTest, LoopEntryPointsOffTheLoopThreadStopTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RunningEventLoop loop;
            loop.manager().checkExtendedTimeout();
        },
        testing::KilledBySignal(SIGABRT),
        "SocketEventsManager::checkExtendedTimeout runs on its event loop's thread only");
    // Whichever of the two threads comes second stops the program.
    EXPECT_EXIT(
        {
            RunningEventLoop loop;
            loop.manager().EventsProcessingThread();
        },
        testing::KilledBySignal(SIGABRT),
        "SocketEventsManager::EventsProcessingThread is already running on another thread");
}

} // namespace
} // namespace corvantis
