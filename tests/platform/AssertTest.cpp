// A release build defines NDEBUG; the assert must stop the program there too.
#ifndef NDEBUG
#define NDEBUG
#endif

#include "platform/Assert.h"

#include <csignal>
#include <gtest/gtest.h>

namespace corvantis {
namespace {

int evaluations = 0;

int counted(int value)
{
    ++evaluations;
    return value;
}

void checkPositive(int value)
{
    CORVANTIS_ASSERT(value > 0, "value ", value, " of ", "checkPositive");
}

TEST(AssertDeathTest, AFailedConditionWritesOneLineAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(checkPositive(-3), testing::KilledBySignal(SIGABRT),
        "AssertTest.cpp:[0-9]+: checkPositive: Assertion failed: \\(value > 0\\): value -3 of checkPositive\n");
}

TEST(AssertTest, AHoldingConditionIsEvaluatedOnceAndTheMessageNever)
{
    evaluations = 0;
    CORVANTIS_ASSERT(counted(1) == 1, "never built ", counted(2));
    EXPECT_EQ(evaluations, 1);
}

} // namespace
} // namespace corvantis
