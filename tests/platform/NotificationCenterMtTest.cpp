#include "platform/NotificationCenter.h"

#include "tests/support/FakeMainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <set>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

TEST(NotificationCenterMtTest, WorkersWaitUntilTheMainThreadHasDelivered)
{
    NotificationCenter center;
    auto main = std::make_shared<test::FakeMainThread>();
    center.setMainThreadExecutor(main);
    std::mutex m;
    std::vector<std::thread::id> deliveredOn;
    center.addObserver("Ask", [&](const Notification& n) {
        auto* answer = std::any_cast<int*>(n.userInfo);
        std::lock_guard lock(m);
        deliveredOn.push_back(std::this_thread::get_id());
        *answer = 32;
    });
    constexpr int kWorkers = 8;
    std::vector<int> answers(kWorkers, 0);
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.emplace_back([&, i] {
            EXPECT_FALSE(center.isMainThread());
            center.postNotificationOnMainThread({ "Ask", nullptr, &answers[i] }, true);
            EXPECT_EQ(answers[i], 32); // written by the main thread before the wait ended
        });
    }
    for (auto& t : workers)
        t.join();
    ASSERT_EQ(deliveredOn.size(), static_cast<size_t>(kWorkers));
    for (auto id : deliveredOn)
        EXPECT_EQ(id, main->id());
}

TEST(NotificationCenterMtTest, ThePosterOnTheMainThreadIsServedInPlace)
{
    NotificationCenter center;
    auto main = std::make_shared<test::FakeMainThread>();
    center.setMainThreadExecutor(main);
    int delivered = 0;
    center.addObserver("About", [&](const Notification&) { ++delivered; });
    // Waiting for itself would never end; the main thread delivers directly.
    main->runAndWait([&] {
        EXPECT_TRUE(center.isMainThread());
        center.postNotificationOnMainThread({ "About", nullptr, {} }, true);
        EXPECT_EQ(delivered, 1);
    });
}

TEST(NotificationCenterMtTest, ConcurrentQueueingDeliversEverySendersLatest)
{
    NotificationCenter center;
    auto main = std::make_shared<test::FakeMainThread>();
    center.setMainThreadExecutor(main);
    constexpr int kSenders = 6;
    constexpr int kRounds = 200;
    std::vector<int> senders(kSenders);
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> latest(kSenders, -1);
    std::atomic<int> deliveries { 0 };
    center.addObserver("Tick", [&](const Notification& n) {
        EXPECT_TRUE(main->isMainThread());
        int index = static_cast<int>(static_cast<const int*>(n.object) - senders.data());
        int round = std::any_cast<int>(n.userInfo);
        std::lock_guard lock(m);
        EXPECT_GT(round, latest[index]); // never an older one after a newer one
        latest[index] = round;
        ++deliveries;
        cv.notify_all();
    });
    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s) {
        threads.emplace_back([&, s] {
            for (int round = 0; round < kRounds; ++round)
                center.enqueueNotificationOnMainThread({ "Tick", &senders[s], round }, PostingStyle::Asap);
        });
    }
    for (auto& t : threads)
        t.join();
    std::unique_lock lock(m);
    bool all = cv.wait_for(lock, std::chrono::seconds(60), [&] {
        for (int v : latest)
            if (v != kRounds - 1)
                return false;
        return true;
    });
    EXPECT_TRUE(all);
    EXPECT_LE(deliveries.load(), kSenders * kRounds);
}

} // namespace
} // namespace corvantis
