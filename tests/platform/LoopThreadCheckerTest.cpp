#include "platform/LoopThreadChecker.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace corvantis {
namespace {

bool onLoopFromAnotherThread(const LoopThreadChecker& checker)
{
    bool result = true;
    std::thread([&] { result = checker.isLoopThread(); }).join();
    return result;
}

TEST(LoopThreadCheckerTest, OnlyTheThreadThatEnteredIsTheLoopsUntilItLeaves)
{
    LoopThreadChecker checker;
    EXPECT_FALSE(checker.isLoopThread());
    checker.enter("test loop");
    EXPECT_TRUE(checker.isLoopThread());
    EXPECT_FALSE(onLoopFromAnotherThread(checker));
    checker.assertOnLoopThread("test entry"); // passes on the loop's thread
    checker.leave();
    EXPECT_FALSE(checker.isLoopThread());

    // Another thread may run the loop once the first one left it.
    bool entered = false;
    std::thread([&] {
        checker.enter("test loop");
        entered = checker.isLoopThread();
        checker.leave();
    }).join();
    EXPECT_TRUE(entered);
}

TEST(LoopThreadCheckerDeathTest, AnEntryPointOffTheLoopStopsTheProgramNamingIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            LoopThreadChecker checker;
            std::thread([&] { checker.enter("test loop"); }).join();
            checker.assertOnLoopThread("Owner::entry");
        },
        testing::KilledBySignal(SIGABRT),
        "Assertion failed: \\(isLoopThread\\(\\)\\): Owner::entry runs on its event loop's thread only");
    EXPECT_EXIT(
        {
            LoopThreadChecker checker;
            checker.assertOnLoopThread("Owner::entry"); // no loop runs at all
        },
        testing::KilledBySignal(SIGABRT), "Owner::entry runs on its event loop's thread only");
}

TEST(LoopThreadCheckerDeathTest, ASecondThreadEnteringARunningLoopStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            LoopThreadChecker checker;
            std::thread([&] { checker.enter("Owner::loop"); }).join();
            checker.enter("Owner::loop");
        },
        testing::KilledBySignal(SIGABRT), "Owner::loop is already running on another thread");
}

} // namespace
} // namespace corvantis
