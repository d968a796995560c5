#include "platform/Poll.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace corvantis {
namespace {

using Clock = std::chrono::steady_clock;

TEST(PollTest, ReportsReadinessOrWaitsOutTheTimeOut)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    short revents = -1;

    const auto start = Clock::now();
    EXPECT_EQ(pollFd(fds[0], POLLIN, 300, revents), 0);
    EXPECT_EQ(revents, 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));

    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(pollFd(fds[0], POLLIN, -1, revents), 1);
    EXPECT_TRUE(revents & POLLIN);

    close(fds[1]);
    char byte;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);
    EXPECT_EQ(pollFd(fds[0], POLLIN, 1000, revents), 1);
    EXPECT_TRUE(revents & POLLHUP);
    close(fds[0]);
}

// Signals that interrupt the wait neither end it early nor stretch it beyond its deadline by much.
TEST(PollTest, SignalsDoNotShortenTheWait)
{
    struct sigaction action { };
    struct sigaction previous { };
    action.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0); // no SA_RESTART: poll returns EINTR

    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // A timer signal every 50 ms interrupts the poll several times.
    itimerval timer {};
    timer.it_interval.tv_usec = 50000;
    timer.it_value.tv_usec = 50000;
    struct sigaction alarmPrevious { };
    ASSERT_EQ(sigaction(SIGALRM, &action, &alarmPrevious), 0);
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    short revents = 0;
    const auto start = Clock::now();
    EXPECT_EQ(pollFd(fds[0], POLLIN, 400, revents), 0);
    const auto elapsed = Clock::now() - start;
    itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &alarmPrevious, nullptr);
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    close(fds[0]);
    close(fds[1]);
}

TEST(PollTest, WorksAboveTheSelectLimit)
{
    rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 3000)
        GTEST_SKIP() << "open-file limit below 3000";
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int high = fcntl(fds[0], F_DUPFD_CLOEXEC, 2500);
    ASSERT_GE(high, 2500);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    short revents = 0;
    EXPECT_EQ(pollFd(high, POLLIN, 1000, revents), 1);
    EXPECT_TRUE(revents & POLLIN);
    close(high);
    close(fds[0]);
    close(fds[1]);
}

} // namespace
} // namespace corvantis
