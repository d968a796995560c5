// The Qt GUI thread as the main executor: order, thread, and the waiting posts of the notification center.

#include "app/QtMainThreadExecutor.h"
#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

// Runs the GUI thread's events until `done()` holds; false after `limit`.
bool runEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    QTimer tick; // wakes the wait below so that the deadline is checked
    tick.start(5);
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

class QtMainThreadExecutorTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_saved = NotificationCenter::defaultCenter().mainThreadExecutor();
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_executor);
    }
    void TearDown() override
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_saved);
        QCoreApplication::processEvents();
    }

    std::shared_ptr<QtMainThreadExecutor> m_executor = std::make_shared<QtMainThreadExecutor>();
    std::shared_ptr<MainThreadExecutor> m_saved;
    const std::thread::id m_main = std::this_thread::get_id();
};

TEST_F(QtMainThreadExecutorTest, IsMainThreadOnlyOnTheGuiThread)
{
    EXPECT_TRUE(m_executor->isMainThread());
    bool elsewhere = true;
    std::thread([&] { elsewhere = m_executor->isMainThread(); }).join();
    EXPECT_FALSE(elsewhere);
}

TEST_F(QtMainThreadExecutorTest, PostsFromOtherThreadsRunOnTheGuiThreadInOrder)
{
    constexpr int kThreads = 4;
    constexpr int kTasks = 200;
    std::vector<std::vector<int>> seen(kThreads); // touched by the GUI thread only
    std::atomic<int> run { 0 };
    std::atomic<int> offThread { 0 };
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i) {
                m_executor->post([&, t, i] {
                    if (std::this_thread::get_id() != m_main)
                        ++offThread;
                    seen[t].push_back(i);
                    ++run;
                });
            }
        });
    }
    ASSERT_TRUE(runEventsUntil([&] { return run == kThreads * kTasks; }));
    for (auto& thread : posters)
        thread.join();
    EXPECT_EQ(offThread, 0);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasks));
        for (int i = 0; i < kTasks; ++i)
            ASSERT_EQ(seen[t][i], i) << "thread " << t;
    }
}

TEST_F(QtMainThreadExecutorTest, PostOnTheGuiThreadIsQueuedNotInline)
{
    std::vector<int> order;
    m_executor->post([&] { order.push_back(1); });
    order.push_back(0);
    ASSERT_TRUE(runEventsUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int> { 0, 1 }));
}

TEST_F(QtMainThreadExecutorTest, AThrowingTaskDoesNotStopTheQueue)
{
    bool after = false;
    m_executor->post([] { throw std::runtime_error("boom"); });
    m_executor->post([&] { after = true; });
    EXPECT_TRUE(runEventsUntil([&] { return after; }));
}

TEST_F(QtMainThreadExecutorTest, WaitingPostOnTheGuiThreadRunsInline)
{
    auto& center = NotificationCenter::defaultCenter();
    bool ran = false;
    auto id = center.addObserver("QtExecutorInline", [&](const Notification&) { ran = true; });
    // No event is processed in between: a queued delivery would leave `ran` false or block for ever.
    center.postNotificationOnMainThread({ "QtExecutorInline", nullptr, {} }, true);
    EXPECT_TRUE(ran);
    center.removeObserver(id);
}

TEST_F(QtMainThreadExecutorTest, WaitingPostFromAnotherThreadReturnsAfterTheGuiThreadRanIt)
{
    auto& center = NotificationCenter::defaultCenter();
    std::atomic<bool> observed { false };
    std::atomic<bool> onMain { false };
    auto id = center.addObserver("QtExecutorWait", [&](const Notification&) {
        onMain = std::this_thread::get_id() == m_main;
        observed = true;
    });
    std::atomic<bool> returned { false };
    std::atomic<bool> observedAtReturn { false };
    std::thread poster([&] {
        center.postNotificationOnMainThread({ "QtExecutorWait", nullptr, {} }, true);
        observedAtReturn = observed.load();
        returned = true;
    });
    // The poster cannot return before the GUI thread processes its task.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    EXPECT_TRUE(runEventsUntil([&] { return returned.load(); }));
    poster.join();
    EXPECT_TRUE(observedAtReturn);
    EXPECT_TRUE(onMain);
    center.removeObserver(id);
}

} // namespace
} // namespace corvantis
