#include "core/foundation/SafeSocket.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace corvantis {
namespace {

using Clock = std::chrono::steady_clock;

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// True once the thread `tid` of this process sleeps in the kernel (a blocked call), or false at the deadline.
bool waitUntilBlocked(pid_t tid)
{
    return test::waitUntil([&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t end = line.rfind(')');
        return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
    });
}

CSafeSocketPtr makeListener()
{
    CSafeSocketPtr listener = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!listener || listener->Bind(reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listener->Listen(4) != 0)
        return nullptr;
    return listener;
}

// A call blocked in the wrapper is woken by Close from another thread, and the descriptor is closed only after
// that call has left.
TEST(SafeSocketMtTest, CloseFromAnotherThreadWakesABlockedCall)
{
    struct Case {
        const char* name;
        std::function<CSafeSocketPtr(CSafeSocketPtr& peer)> make;
        std::function<bool(CSafeSocket&)> blockingCall; // true when it ended as a woken call should
    };
    const Case cases[] = {
        { "Recv",
            [](CSafeSocketPtr& peer) -> CSafeSocketPtr {
                int fds[2];
                if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
                    return nullptr;
                peer = std::make_unique<CSafeSocket>(fds[1]);
                return std::make_unique<CSafeSocket>(fds[0]);
            },
            [](CSafeSocket& s) {
                char buffer[16];
                int error = 0;
                ssize_t n = s.Recv(buffer, sizeof buffer, 0, error);
                return n == 0 || (n == -1 && error == EBADF);
            } },
        { "Accept without time-out", [](CSafeSocketPtr&) { return makeListener(); },
            [](CSafeSocket& s) {
                std::string text;
                return s.Accept(nullptr, nullptr, -1, text) == nullptr && !text.empty();
            } },
        { "Accept with a long time-out", [](CSafeSocketPtr&) { return makeListener(); },
            [](CSafeSocket& s) {
                std::string text;
                return s.Accept(nullptr, nullptr, 600000, text) == nullptr && !text.empty();
            } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSafeSocketPtr peer;
        CSafeSocketPtr socket = c.make(peer);
        ASSERT_TRUE(socket);
        const int number = socket->GetSocket();

        std::atomic<pid_t> tid { 0 };
        std::atomic<bool> woken { false };
        std::atomic<bool> endedWell { false };
        const auto start = Clock::now();
        std::thread blocked([&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            endedWell = c.blockingCall(*socket);
            woken = true;
        });
        EXPECT_TRUE(test::waitUntil([&] { return tid.load() != 0; }));
        EXPECT_TRUE(waitUntilBlocked(tid));

        socket->Close();
        blocked.join();
        EXPECT_TRUE(woken);
        EXPECT_TRUE(endedWell);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
        EXPECT_FALSE(isOpen(number)); // the last call out closed it
        EXPECT_TRUE(socket->IsClosed());
    }
}

// While one thread sends in a loop and another closes the wrapper and opens new sockets, no byte may go to a
// new socket that happens to get the closed one's number.
TEST(SafeSocketMtTest, SendsRacingACloseNeverReachAReusedNumber)
{
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        CSafeSocket sender(fds[0]);
        std::thread drain([peer = fds[1]] {
            char buffer[4096];
            while (read(peer, buffer, sizeof buffer) > 0) { }
            close(peer);
        });

        std::atomic<bool> started { false };
        std::thread writer([&] {
            int error = 0;
            started = true;
            while (sender.Send("payload", 7, 0, error) > 0) { }
        });
        EXPECT_TRUE(test::waitUntil([&] { return started.load(); }));
        sender.Close();

        // Take new socket pairs until the old number is handed out again (or a bound is reached).
        std::vector<int> opened;
        int reusedPeer = -1;
        for (int i = 0; i < 64 && reusedPeer == -1; ++i) {
            int fresh[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fresh), 0);
            opened.push_back(fresh[0]);
            opened.push_back(fresh[1]);
            if (fresh[0] == fds[0])
                reusedPeer = fresh[1];
            else if (fresh[1] == fds[0])
                reusedPeer = fresh[0];
        }
        writer.join();
        drain.join();
        if (reusedPeer != -1) {
            char byte;
            EXPECT_EQ(recv(reusedPeer, &byte, 1, MSG_DONTWAIT), -1);
            EXPECT_EQ(errno, EAGAIN);
        }
        for (int fd : opened)
            close(fd);
    }
}

} // namespace
} // namespace corvantis
