#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvantis {
namespace {

// A main thread that is never the caller and runs its tasks only when the test says so.
class ManualExecutor final : public MainThreadExecutor {
public:
    bool isMainThread() const override { return m_inside; }
    void post(std::function<void()> task) override { m_tasks.push_back(std::move(task)); }
    void runAll()
    {
        m_inside = true;
        while (!m_tasks.empty()) {
            auto task = std::move(m_tasks.front());
            m_tasks.erase(m_tasks.begin());
            task();
        }
        m_inside = false;
    }
    void dropAll() { m_tasks.clear(); }
    size_t pending() const { return m_tasks.size(); }

private:
    std::vector<std::function<void()>> m_tasks;
    bool m_inside = false;
};

// Destroys every task unrun, like an executor that is shutting down.
class DroppingExecutor final : public MainThreadExecutor {
public:
    bool isMainThread() const override { return false; }
    void post(std::function<void()>) override { }
};

struct Recorder {
    std::vector<std::string> seen;
    NotificationCenter::Observer observer(const std::string& tag)
    {
        return [this, tag](const Notification& n) {
            std::string payload = n.userInfo.has_value() ? std::any_cast<std::string>(n.userInfo) : "";
            seen.push_back(tag + ":" + n.name + (payload.empty() ? "" : "=" + payload));
        };
    }
};

TEST(NotificationCenterTest, ObserversGetTheirNameInOrderUntilRemoved)
{
    NotificationCenter center;
    Recorder r;
    auto a = center.addObserver("ProfileUpdated", r.observer("a"));
    center.addObserver("ProfileUpdated", r.observer("b"));
    center.addObserver("GlobalUpdated", r.observer("c"));
    EXPECT_NE(a, 0u);

    center.post({ "ProfileUpdated", nullptr, std::string("x") });
    center.removeObserver(a);
    center.post({ "ProfileUpdated", nullptr, {} });
    center.post({ "Unobserved", nullptr, {} });
    EXPECT_EQ(r.seen, (std::vector<std::string> { "a:ProfileUpdated=x", "b:ProfileUpdated=x", "b:ProfileUpdated" }));
}

TEST(NotificationCenterTest, AnObserverMayPostAndRemoveItselfWhileDelivered)
{
    NotificationCenter center;
    std::vector<std::string> seen;
    NotificationCenter::ObserverId self = 0;
    self = center.addObserver("First", [&](const Notification&) {
        seen.push_back("first");
        center.removeObserver(self);
        center.post({ "Second", nullptr, {} });
    });
    center.addObserver("Second", [&](const Notification&) { seen.push_back("second"); });
    center.post({ "First", nullptr, {} });
    center.post({ "First", nullptr, {} });
    EXPECT_EQ(seen, (std::vector<std::string> { "first", "second" }));
}

TEST(NotificationCenterTest, WithoutARegisteredMainThreadEveryCallerIsTheMainThread)
{
    NotificationCenter center;
    Recorder r;
    center.addObserver("ShowAbout", r.observer("o"));
    EXPECT_TRUE(center.isMainThread());
    center.postNotificationOnMainThread({ "ShowAbout", nullptr, {} }, true);
    EXPECT_EQ(r.seen.size(), 1u);
    center.enqueueNotificationOnMainThread({ "ShowAbout", nullptr, {} }, PostingStyle::Asap);
    EXPECT_EQ(r.seen.size(), 2u);
}

TEST(NotificationCenterTest, PostingWithoutWaitRunsOnTheMainThreadLater)
{
    NotificationCenter center;
    auto main = std::make_shared<ManualExecutor>();
    center.setMainThreadExecutor(main);
    Recorder r;
    center.addObserver("GlobalUpdated", r.observer("o"));
    center.postNotificationOnMainThread({ "GlobalUpdated", nullptr, {} }, false);
    EXPECT_TRUE(r.seen.empty());
    main->runAll();
    EXPECT_EQ(r.seen.size(), 1u);
}

TEST(NotificationCenterTest, AWaiterIsReleasedWhenTheMainThreadDropsTheTask)
{
    NotificationCenter center;
    center.setMainThreadExecutor(std::make_shared<DroppingExecutor>());
    Recorder r;
    center.addObserver("MessageBox", r.observer("o"));
    center.postNotificationOnMainThread({ "MessageBox", nullptr, {} }, true); // returns instead of hanging
    EXPECT_TRUE(r.seen.empty());
}

TEST(NotificationCenterTest, QueuedNotificationsCoalesceByNameAndSender)
{
    NotificationCenter center;
    auto main = std::make_shared<ManualExecutor>();
    center.setMainThreadExecutor(main);
    Recorder r;
    center.addObserver("A", r.observer("o"));
    center.addObserver("B", r.observer("o"));
    int senderOne = 0, senderTwo = 0;
    struct Step {
        const char* name;
        const void* sender;
        const char* payload;
        unsigned mask;
    } steps[] = {
        { "A", &senderOne, "1", kCoalesceOnName | kCoalesceOnSender },
        { "A", &senderOne, "2", kCoalesceOnName | kCoalesceOnSender }, // takes the place of "1"
        { "A", &senderTwo, "3", kCoalesceOnName | kCoalesceOnSender }, // another sender: its own delivery
        { "B", &senderOne, "4", kCoalesceOnName | kCoalesceOnSender },
        { "B", &senderTwo, "5", kCoalesceOnName }, // any sender of "B"
        { "A", &senderOne, "6", 0 }, // no coalescing
    };
    for (const auto& s : steps)
        center.enqueueNotificationOnMainThread(
            { s.name, s.sender, std::string(s.payload) }, PostingStyle::Asap, s.mask);
    EXPECT_EQ(main->pending(), 1u);
    main->runAll();
    EXPECT_EQ(r.seen, (std::vector<std::string> { "o:A=2", "o:A=3", "o:B=5", "o:A=6" }));

    // Once delivered, the same notification queues again.
    center.enqueueNotificationOnMainThread({ "A", &senderOne, std::string("7") }, PostingStyle::WhenIdle);
    main->runAll();
    EXPECT_EQ(r.seen.back(), "o:A=7");
}

TEST(NotificationCenterTest, PostNowOnTheMainThreadReplacesQueuedMatches)
{
    NotificationCenter center;
    auto main = std::make_shared<ManualExecutor>();
    center.setMainThreadExecutor(main);
    Recorder r;
    center.addObserver("A", r.observer("o"));
    auto postNow = [&] {
        center.enqueueNotificationOnMainThread({ "A", nullptr, std::string("now") }, PostingStyle::Now);
        r.seen.push_back("returned");
    };

    // The "now" task runs on the main thread while "queued" still waits: "queued" is dropped, the one from
    // another sender is kept.
    main->post(postNow);
    center.enqueueNotificationOnMainThread({ "A", nullptr, std::string("queued") }, PostingStyle::Asap);
    center.enqueueNotificationOnMainThread({ "A", &r, std::string("other sender") }, PostingStyle::Asap);
    main->runAll();
    EXPECT_EQ(r.seen, (std::vector<std::string> { "o:A=now", "returned", "o:A=other sender" }));

    // From another thread "now" queues like any other.
    r.seen.clear();
    center.enqueueNotificationOnMainThread({ "A", nullptr, std::string("queued") }, PostingStyle::Asap);
    center.enqueueNotificationOnMainThread({ "A", nullptr, std::string("now") }, PostingStyle::Now);
    EXPECT_TRUE(r.seen.empty());
    main->runAll();
    EXPECT_EQ(r.seen, (std::vector<std::string> { "o:A=now" }));
}

TEST(NotificationCenterTest, ADroppedDrainTaskDoesNotStallTheQueue)
{
    NotificationCenter center;
    auto main = std::make_shared<ManualExecutor>();
    center.setMainThreadExecutor(main);
    Recorder r;
    center.addObserver("A", r.observer("o"));
    center.enqueueNotificationOnMainThread({ "A", nullptr, std::string("1") }, PostingStyle::Asap);
    main->dropAll();
    center.enqueueNotificationOnMainThread({ "A", &r, std::string("2") }, PostingStyle::Asap);
    main->runAll();
    EXPECT_EQ(r.seen, (std::vector<std::string> { "o:A=1", "o:A=2" }));
}

} // namespace
} // namespace corvantis
