#include "core/foundation/MessageBox.h"

#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeMessageBoxes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace corvantis {
namespace {

using test::FakeMessageBoxes;

TEST(MessageBoxMtTest, WorkersQuestionsAreAnsweredOnTheMainThread)
{
    // The answer is the number in the caption, so each worker can tell its own answer from the others'.
    FakeMessageBoxes boxes([](const test::ShownBox& b) { return std::stol(b.caption); });
    auto main = std::make_shared<test::FakeMainThread>();
    NotificationCenter::defaultCenter().setMainThreadExecutor(main);
    boxes.observeAs(true);
    constexpr int kWorkers = 8;
    std::vector<std::thread> workers;
    std::vector<long> answers(kWorkers, -1);
    for (int i = 0; i < kWorkers; ++i)
        workers.emplace_back([&, i] { answers[i] = MessageBox("question", std::to_string(100 + i), kMbYesNo); });
    for (auto& t : workers)
        t.join();
    for (int i = 0; i < kWorkers; ++i)
        EXPECT_EQ(answers[i], 100 + i);
    auto shown = boxes.shown();
    ASSERT_EQ(shown.size(), static_cast<size_t>(kWorkers));
    for (const auto& box : shown)
        EXPECT_EQ(box.thread, main->id());
}

TEST(MessageBoxMtTest, TheExtensionAnswersZeroAtOnceWithoutAMainLoop)
{
    // No executor registered: the extension's main thread only parks, so the question is answered in place.
    FakeMessageBoxes boxes([](const test::ShownBox&) { return kMbAnswerYes; });
    boxes.observeAs(false);
    constexpr int kWorkers = 8;
    std::atomic<int> zeros { 0 };
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i)
        workers.emplace_back([&] {
            if (MessageBox("m", "c", kMbYesNo) == 0)
                ++zeros;
        });
    for (auto& t : workers)
        t.join();
    EXPECT_EQ(zeros.load(), kWorkers);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST(MessageBoxMtTest, AboutWaitsAndProfileUpdatedDoesNot)
{
    FakeMessageBoxes boxes;
    auto main = std::make_shared<test::FakeMainThread>();
    auto& center = NotificationCenter::defaultCenter();
    center.setMainThreadExecutor(main);

    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    bool aboutHandled = false;
    auto updated = center.addObserver(kProfileUpdatedNotification, [&](const Notification&) {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
    });
    auto about = center.addObserver(kShowAboutNotification, [&](const Notification&) {
        std::lock_guard lock(m);
        aboutHandled = true;
    });

    // The observer of "ProfileUpdated" blocks until released: posting must not wait for it.
    EXPECT_TRUE(PostProfileUpdated());
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    EXPECT_TRUE(PostShowAbout());
    {
        std::lock_guard lock(m);
        EXPECT_TRUE(aboutHandled);
    }
    center.removeObserver(updated);
    center.removeObserver(about);
}

} // namespace
} // namespace corvantis
