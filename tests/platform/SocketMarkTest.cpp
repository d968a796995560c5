#include "platform/SocketMark.h"

#include "platform/UniqueFd.h"
#include "tests/support/SocketMarks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

using test::kTestMark;
using test::socketMark;

UniqueFd newSocket(int domain, int type)
{
    return UniqueFd(::socket(domain, type | SOCK_CLOEXEC, 0));
}

TEST(SocketMark, WithoutAMarkNothingIsTouched)
{
    ASSERT_EQ(OwnSocketMark(), 0u);
    UniqueFd sock = newSocket(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(sock);
    EXPECT_TRUE(ApplyOwnSocketMark(sock.get()));
    EXPECT_EQ(socketMark(sock.get()), 0);
    // No call reaches the system at all, so not even a bad descriptor fails.
    EXPECT_TRUE(ApplyOwnSocketMark(-1));
}

TEST(SocketMark, TheMarkSetIsTheOneGivenUntilCleared)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    {
        test::OwnMarkScope scope(kTestMark);
        EXPECT_EQ(OwnSocketMark(), kTestMark);
        for (const int domain : { AF_INET, AF_INET6 }) {
            for (const int type : { SOCK_STREAM, SOCK_DGRAM }) {
                SCOPED_TRACE(std::to_string(domain) + "/" + std::to_string(type));
                UniqueFd sock = newSocket(domain, type);
                ASSERT_TRUE(sock);
                EXPECT_TRUE(ApplyOwnSocketMark(sock.get()));
                EXPECT_EQ(socketMark(sock.get()), kTestMark);
            }
        }
    }
    EXPECT_EQ(OwnSocketMark(), 0u);
    UniqueFd later = newSocket(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(later);
    EXPECT_TRUE(ApplyOwnSocketMark(later.get()));
    EXPECT_EQ(socketMark(later.get()), 0);
}

TEST(SocketMark, ARefusalIsReportedWithItsErrno)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    test::OwnMarkScope scope(kTestMark);

    EXPECT_FALSE(ApplyOwnSocketMark(-1));
    EXPECT_EQ(errno, EBADF);

    // A thread without the privilege stands for a daemon started without it.
    std::thread([] {
        ASSERT_TRUE(test::dropMarkingPrivilegeOfThisThread());
        UniqueFd sock = newSocket(AF_INET, SOCK_STREAM);
        ASSERT_TRUE(sock);
        errno = 0;
        EXPECT_FALSE(ApplyOwnSocketMark(sock.get()));
        EXPECT_EQ(errno, EPERM);
        EXPECT_EQ(socketMark(sock.get()), 0);
    }).join();
}

} // namespace
} // namespace corvantis
