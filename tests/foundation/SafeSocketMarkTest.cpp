#include "core/foundation/SafeSocket.h"

#include "tests/support/SocketMarks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

using test::kTestMark;
using test::socketMark;

struct Kind {
    const char* name;
    int domain;
    int type;
    int protocol;
    bool marked; // whether the kind is one the daemon's filter could capture
};
const Kind kKinds[] = {
    { "IPv4 TCP", AF_INET, SOCK_STREAM, IPPROTO_TCP, true },
    { "IPv6 UDP", AF_INET6, SOCK_DGRAM, IPPROTO_UDP, true },
    { "local stream", AF_UNIX, SOCK_STREAM, 0, false },
};

size_t openDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(SafeSocketMark, WithoutAMarkSocketsCarryNone)
{
    ASSERT_EQ(OwnSocketMark(), 0u);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        CSafeSocketPtr sock = CSafeSocket::Create(kind.domain, kind.type, kind.protocol);
        ASSERT_TRUE(sock);
        EXPECT_EQ(socketMark(sock->GetSocket()), 0);
    }
}

TEST(SafeSocketMark, NetworkSocketsCarryTheOwnMark)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    test::OwnMarkScope scope(kTestMark);
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        CSafeSocketPtr sock = CSafeSocket::Create(kind.domain, kind.type, kind.protocol);
        ASSERT_TRUE(sock);
        EXPECT_EQ(socketMark(sock->GetSocket()), kind.marked ? kTestMark : 0);
    }
}

// A daemon that cannot mark its sockets must not go on with unmarked ones: creation fails, nothing is left open.
// Local sockets never need the mark, so they are still made.
TEST(SafeSocketMark, ANetworkSocketThatCannotBeMarkedIsNotCreated)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    test::OwnMarkScope scope(kTestMark);
    std::thread([] {
        ASSERT_TRUE(test::dropMarkingPrivilegeOfThisThread());
        for (const Kind& kind : kKinds) {
            SCOPED_TRACE(kind.name);
            const size_t before = openDescriptors();
            errno = 0;
            CSafeSocketPtr sock = CSafeSocket::Create(kind.domain, kind.type, kind.protocol);
            if (kind.marked) {
                EXPECT_FALSE(sock);
                EXPECT_EQ(errno, EPERM);
                EXPECT_EQ(openDescriptors(), before);
            } else {
                ASSERT_TRUE(sock);
                EXPECT_EQ(socketMark(sock->GetSocket()), 0);
            }
        }
    }).join();
}

} // namespace
} // namespace corvantis
