#include "core/foundation/SafeSocket.h"

#include "platform/UniqueFd.h"
#include "tests/support/NetNamespace.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

std::string errnoText(int err)
{
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

const sockaddr* asAddress(const sockaddr_in& address)
{
    return reinterpret_cast<const sockaddr*>(&address);
}

// A TCP listener on 127.0.0.1 with a port of the system's choosing.
CSafeSocketPtr makeListener(uint16_t& port)
{
    CSafeSocketPtr listener = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    if (!listener)
        return nullptr;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener->Bind(asAddress(address), sizeof address) != 0 || listener->Listen(16) != 0
        || listener->GetSockName(reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return nullptr;
    port = ntohs(address.sin_port);
    return listener;
}

// A port on 127.0.0.1 where nothing listens (bound once, then released).
uint16_t closedPort()
{
    uint16_t port = 0;
    makeListener(port);
    return port;
}

struct SocketPair {
    CSafeSocketPtr a;
    CSafeSocketPtr b;
};

SocketPair makePair(int type = SOCK_STREAM)
{
    int fds[2];
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0)
        return {};
    return { std::make_unique<CSafeSocket>(fds[0]), std::make_unique<CSafeSocket>(fds[1]) };
}

TEST(SafeSocketTest, InvalidDescriptorIsAProgrammingError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CSafeSocket(-1), "CSafeSocket: Assertion failed: \\(sock != INVALID_SOCKET\\)");
}

TEST(SafeSocketTest, CloseTwiceClosesOnceAndNeverTouchesAReusedNumber)
{
    SocketPair pair = makePair();
    ASSERT_TRUE(pair.a);
    const int number = pair.a->GetSocket();
    int fresh[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fresh), 0);

    EXPECT_EQ(pair.a->Close(), 0);
    EXPECT_TRUE(pair.a->IsClosed());
    EXPECT_FALSE(isOpen(number));
    errno = 0;
    EXPECT_EQ(pair.a->Close(), -1);
    EXPECT_EQ(errno, EBADF);

    // The number is free again: give it to another socket and check the closed wrapper leaves it alone.
    int reused = dup3(fresh[0], number, O_CLOEXEC);
    ASSERT_EQ(reused, number);
    close(fresh[0]);

    int error = 0;
    EXPECT_EQ(pair.a->Send("x", 1, 0, error), -1);
    EXPECT_EQ(error, EBADF);
    EXPECT_FALSE(pair.a->SendAll("x", 1, 0));
    EXPECT_EQ(pair.a->SendMsg("x", 1, 0, -1), -1);
    pair.a.reset(); // the destructor must not close the reused number either

    EXPECT_TRUE(isOpen(reused));
    char byte;
    EXPECT_EQ(recv(fresh[1], &byte, 1, MSG_DONTWAIT), -1); // nothing arrived through the reused number
    EXPECT_EQ(errno, EAGAIN);
    close(reused);
    close(fresh[1]);
}

// A plain close acts on this descriptor only: a copy handed elsewhere (another process, a passed descriptor)
// keeps its connection.
TEST(SafeSocketTest, CloseLeavesOtherCopiesOfTheDescriptorWorking)
{
    SocketPair pair = makePair();
    ASSERT_TRUE(pair.a && pair.b);
    int copy = fcntl(pair.a->GetSocket(), F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(copy, 0);
    EXPECT_EQ(pair.a->Close(), 0);

    ASSERT_EQ(send(copy, "alive", 5, MSG_NOSIGNAL), 5);
    char buffer[5];
    int error = 0;
    EXPECT_EQ(pair.b->Recv(buffer, sizeof buffer, MSG_WAITALL, error), 5);
    EXPECT_EQ(std::string(buffer, 5), "alive");
    close(copy);
}

TEST(SafeSocketTest, EveryOperationOnAClosedWrapperFailsWithEbadf)
{
    uint16_t port = 0;
    CSafeSocketPtr socket = makeListener(port);
    ASSERT_TRUE(socket);
    ASSERT_EQ(socket->Close(), 0);

    sockaddr_in address = loopback(port);
    socklen_t length = sizeof address;
    char buffer[4];
    int value = 1;
    socklen_t valueLength = sizeof value;
    int error = 0;
    short revents = 0;
    CSafeSocketPtr received;
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK), 0);
    const UniqueFd pipeRead(pipeEnds[0]);
    const UniqueFd pipeWrite(pipeEnds[1]);
    struct Case {
        const char* name;
        std::function<long()> call;
    };
    const Case cases[] = {
        { "Shutdown", [&] { return socket->Shutdown(); } },
        { "ShutdownSend", [&] { return socket->ShutdownSend(); } },
        { "ShutdownReceive", [&] { return socket->ShutdownReceive(); } },
        { "SetSockOpt", [&] { return socket->SetSockOpt(SOL_SOCKET, SO_REUSEADDR, &value, sizeof value); } },
        { "GetSockOpt", [&] { return socket->GetSockOpt(SOL_SOCKET, SO_TYPE, &value, &valueLength); } },
        { "Bind", [&] { return socket->Bind(asAddress(address), sizeof address); } },
        { "Listen", [&] { return socket->Listen(1); } },
        { "GetSockName", [&] { return socket->GetSockName(reinterpret_cast<sockaddr*>(&address), &length); } },
        { "GetPeerName", [&] { return socket->GetPeerName(reinterpret_cast<sockaddr*>(&address), &length); } },
        { "Ioctl", [&] { return socket->Ioctl(FIONREAD, &value); } },
        { "SetCloseOnExec", [&] { return socket->SetCloseOnExec(); } },
        { "Connect", [&] { return socket->Connect(asAddress(address), sizeof address, 5); } },
        { "Recv", [&] { return socket->Recv(buffer, sizeof buffer, 0, error); } },
        { "RecvFrom", [&] { return socket->RecvFrom(buffer, sizeof buffer, 0, nullptr, nullptr); } },
        { "RecvMsg", [&] { return socket->RecvMsg(buffer, sizeof buffer, 0, received); } },
        { "Send", [&] { return socket->Send(buffer, 1, 0, error); } },
        { "SendTo", [&] { return socket->SendTo(buffer, 1, 0, asAddress(address), sizeof address, error); } },
        { "SendMsg", [&] { return socket->SendMsg(buffer, 1, 0, -1); } },
        { "Poll", [&] { return socket->Poll(POLLIN, 0, revents); } },
        { "SpliceToPipe", [&] { return socket->SpliceToPipe(pipeEnds[1], 1, error); } },
        { "SpliceFromPipe", [&] { return socket->SpliceFromPipe(pipeEnds[0], 1, error); } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(errno, EBADF);
    }
    EXPECT_FALSE(socket->SetNonBlocking());
    EXPECT_FALSE(socket->IsNonBlocking());
    std::string text;
    EXPECT_EQ(socket->Accept(nullptr, nullptr, 100, text), nullptr);
    EXPECT_EQ(text,
        "accept() failed with error " + std::to_string(EBADF) + " (" + errnoText(EBADF) + ") on socket "
            + std::to_string(socket->GetSocket()));
    EXPECT_EQ(socket->GetBytesSent(), 0u);
    EXPECT_EQ(socket->GetBytesReceived(), 0u);
}

TEST(SafeSocketTest, CountersAddOnlySuccessfulTransfers)
{
    SocketPair pair = makePair();
    ASSERT_TRUE(pair.a && pair.b);
    int error = 0;
    EXPECT_EQ(pair.a->Send("hello", 5, 0, error), 5);
    EXPECT_TRUE(pair.a->SendAll("world!!", 7, 0));
    EXPECT_EQ(pair.a->SendMsg("abc", 3, 0, -1), 3);
    EXPECT_EQ(pair.a->GetBytesSent(), 15u);

    char buffer[64];
    ssize_t total = 0;
    while (total < 15) {
        ssize_t n = pair.b->Recv(buffer, sizeof buffer, 0, error);
        ASSERT_GT(n, 0);
        total += n;
    }
    EXPECT_EQ(pair.b->GetBytesReceived(), 15u);

    // A failed receive (nothing waiting) and a failed send (peer gone) change nothing.
    EXPECT_EQ(pair.b->Recv(buffer, sizeof buffer, MSG_DONTWAIT, error), -1);
    EXPECT_EQ(error, EAGAIN);
    EXPECT_EQ(pair.b->GetBytesReceived(), 15u);
    pair.b.reset();
    EXPECT_EQ(pair.a->Send("x", 1, 0, error), -1);
    EXPECT_EQ(pair.a->GetBytesSent(), 15u);
}

TEST(SafeSocketTest, SpliceMovesBytesThroughAPipeAndCountsThem)
{
    SocketPair pair = makePair();
    ASSERT_TRUE(pair.a && pair.b);
    ASSERT_TRUE(pair.a->SetNonBlocking());
    ASSERT_TRUE(pair.b->SetNonBlocking());
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    const UniqueFd pipeRead(ends[0]);
    const UniqueFd pipeWrite(ends[1]);
    int error = 0;

    // Nothing waiting: the call says so at once and counts nothing.
    EXPECT_EQ(pair.b->SpliceToPipe(pipeWrite.get(), 4096, error), -1);
    EXPECT_EQ(error, EAGAIN);
    EXPECT_EQ(pair.b->GetBytesReceived(), 0u);

    ASSERT_TRUE(pair.a->SendAll("spliced bytes", 13, 0));
    EXPECT_EQ(pair.b->SpliceToPipe(pipeWrite.get(), 4096, error), 13);
    EXPECT_EQ(pair.b->GetBytesReceived(), 13u);
    EXPECT_EQ(pair.b->SpliceFromPipe(pipeRead.get(), 13, error), 13);
    EXPECT_EQ(pair.b->GetBytesSent(), 13u);
    char buffer[32] = {};
    EXPECT_EQ(pair.a->Recv(buffer, sizeof buffer, 0, error), 13);
    EXPECT_STREQ(buffer, "spliced bytes");

    // The peer's end reads as 0 bytes moved.
    pair.a->ShutdownSend();
    EXPECT_EQ(pair.b->SpliceToPipe(pipeWrite.get(), 4096, error), 0);
    EXPECT_EQ(pair.b->GetBytesReceived(), 13u);
}

TEST(SafeSocketTest, DatagramsAreCountedAndCarryTheSendersAddress)
{
    CSafeSocketPtr receiver = CSafeSocket::Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    CSafeSocketPtr sender = CSafeSocket::Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_TRUE(receiver && sender);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(receiver->Bind(asAddress(address), sizeof address), 0);
    ASSERT_EQ(receiver->GetSockName(reinterpret_cast<sockaddr*>(&address), &length), 0);

    int error = 0;
    EXPECT_EQ(sender->SendTo("datagram", 8, 0, asAddress(address), sizeof address, error), 8);
    EXPECT_EQ(sender->GetBytesSent(), 8u);
    char buffer[16];
    sockaddr_in from {};
    socklen_t fromLength = sizeof from;
    EXPECT_EQ(receiver->RecvFrom(buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength), 8);
    EXPECT_EQ(std::string(buffer, 8), "datagram");
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(receiver->GetBytesReceived(), 8u);

    // Nothing waiting: a failed receive counts nothing.
    EXPECT_EQ(receiver->RecvFrom(buffer, sizeof buffer, MSG_DONTWAIT, nullptr, nullptr), -1);
    EXPECT_EQ(receiver->GetBytesReceived(), 8u);
}

TEST(SafeSocketTest, SendAllOfNothingSendsOnceAndSucceeds)
{
    SocketPair pair = makePair(SOCK_DGRAM);
    ASSERT_TRUE(pair.a && pair.b);
    EXPECT_TRUE(pair.a->SendAll("", 0, 0));
    char byte;
    int error = 0;
    EXPECT_EQ(pair.b->Recv(&byte, 1, MSG_DONTWAIT, error), 0); // the empty datagram arrived
    EXPECT_EQ(pair.a->GetBytesSent(), 0u);
}

TEST(SafeSocketTest, SendToAClosedPeerFailsWithEpipeAndNoSignal)
{
    // With the default disposition a SIGPIPE would end this test program.
    struct sigaction previous { };
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &standard, &previous), 0);

    struct Case {
        const char* name;
        std::function<bool(CSafeSocket&, int&)> send; // true while the send succeeds
    };
    const Case cases[] = {
        { "Send", [](CSafeSocket& s, int& error) { return s.Send("data", 4, 0, error) == 4; } },
        { "SendAll",
            [](CSafeSocket& s, int& error) {
                bool ok = s.SendAll("data", 4, 0);
                error = errno;
                return ok;
            } },
        { "SendTo", [](CSafeSocket& s, int& error) { return s.SendTo("data", 4, 0, nullptr, 0, error) == 4; } },
        { "SendMsg",
            [](CSafeSocket& s, int& error) {
                bool ok = s.SendMsg("data", 4, 0, -1) == 4;
                error = errno;
                return ok;
            } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A TCP peer that has gone: the first send may still be taken before the reset comes back.
        uint16_t port = 0;
        CSafeSocketPtr listener = makeListener(port);
        ASSERT_TRUE(listener);
        CSafeSocketPtr client = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(port);
        ASSERT_EQ(client->Connect(asAddress(address), sizeof address, 0), 0);
        std::string text;
        CSafeSocketPtr server = listener->Accept(nullptr, nullptr, 5000, text);
        ASSERT_TRUE(server) << text;
        server.reset();

        int error = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (c.send(*client, error) && Clock::now() < deadline) { }
        EXPECT_EQ(error, EPIPE) << errnoText(error);
    }
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(SafeSocketTest, AcceptTimesOutWithItsTextNotBeforeTheTimeOut)
{
    uint16_t port = 0;
    CSafeSocketPtr listener = makeListener(port);
    ASSERT_TRUE(listener);
    std::string text = "old text";
    const auto start = Clock::now();
    errno = 0;
    CSafeSocketPtr accepted = listener->Accept(nullptr, nullptr, 1500, text);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(text, "select() finished with timout on socket " + std::to_string(listener->GetSocket()));
    EXPECT_GE(elapsed, milliseconds(1500));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
}

TEST(SafeSocketTest, AcceptFailureNamesTheErrorAndTheSocket)
{
    CSafeSocketPtr notListening = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(notListening);
    for (int timeoutMs : { -1, 1000 }) {
        SCOPED_TRACE(timeoutMs);
        std::string text;
        // With a time-out the wait ends at once: an unconnected socket reports a hang-up, and accept says why.
        EXPECT_EQ(notListening->Accept(nullptr, nullptr, timeoutMs, text), nullptr);
        EXPECT_EQ(text,
            "accept() failed with error " + std::to_string(EINVAL) + " (" + errnoText(EINVAL) + ") on socket "
                + std::to_string(notListening->GetSocket()));
    }
}

// Descriptors above 1023 are normal in these programs; waiting on them must not overrun anything.
TEST(SafeSocketTest, AcceptWorksOnAListenerAboveTwoThousand)
{
    rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_cur < 4096) {
        if (limit.rlim_max < 4096)
            GTEST_SKIP() << "the open-file limit cannot reach 4096";
        limit.rlim_cur = 4096;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }

    for (int timeoutMs : { 5000, -1 }) {
        SCOPED_TRACE(timeoutMs);
        uint16_t port = 0;
        CSafeSocketPtr low = makeListener(port);
        ASSERT_TRUE(low);
        int high = fcntl(low->GetSocket(), F_DUPFD_CLOEXEC, 2100);
        ASSERT_GE(high, 2100);
        low.reset();
        CSafeSocket listener(high);

        CSafeSocketPtr client = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(port);
        ASSERT_EQ(client->Connect(asAddress(address), sizeof address, 5), 0);

        sockaddr_in peer {};
        socklen_t peerLength = sizeof peer;
        std::string text;
        CSafeSocketPtr accepted = listener.Accept(reinterpret_cast<sockaddr*>(&peer), &peerLength, timeoutMs, text);
        ASSERT_TRUE(accepted) << text;
        EXPECT_EQ(peer.sin_family, AF_INET);
        EXPECT_NE(fcntl(accepted->GetSocket(), F_GETFD) & FD_CLOEXEC, 0);

        int error = 0;
        ASSERT_TRUE(client->SendAll("ping", 4, 0));
        char buffer[4];
        EXPECT_EQ(accepted->Recv(buffer, sizeof buffer, MSG_WAITALL, error), 4);
        EXPECT_EQ(std::string(buffer, 4), "ping");
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(SafeSocketTest, ConnectOutcomeAndBlockingModeByTimeout)
{
    uint16_t open = 0;
    CSafeSocketPtr listener = makeListener(open);
    ASSERT_TRUE(listener);
    const uint16_t refused = closedPort();

    struct Case {
        const char* name;
        uint16_t port;
        int timeoutSeconds;
        int result;
        int err;
    };
    const Case cases[] = {
        { "open port, system limit", open, 0, 0, 0 },
        { "open port, own time-out", open, 2, 0, 0 },
        { "refused, system limit", refused, 1, -1, ECONNREFUSED },
        { "refused, own time-out", refused, 2, -1, ECONNREFUSED },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSafeSocketPtr client = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
        ASSERT_TRUE(client);
        sockaddr_in address = loopback(c.port);
        errno = 0;
        EXPECT_EQ(client->Connect(asAddress(address), sizeof address, c.timeoutSeconds), c.result);
        if (c.result == -1) {
            EXPECT_EQ(errno, c.err);
        }
        EXPECT_FALSE(client->IsNonBlocking());
    }

    // A socket the caller made non-blocking connects as the system call does.
    CSafeSocketPtr client = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(client->SetNonBlocking());
    sockaddr_in address = loopback(open);
    int result = client->Connect(asAddress(address), sizeof address, 5);
    EXPECT_TRUE(result == 0 || errno == EINPROGRESS);
    EXPECT_TRUE(client->IsNonBlocking());
}

// SYNs to the port vanish inside a namespace of the test's own: only the time-out can end the connect.
TEST(SafeSocketTest, ConnectToASilentPortEndsWithEtimedoutAfterItsTimeOut)
{
    test::NetNamespace ns("sock");
    if (!ns.valid())
        GTEST_SKIP() << "needs root and network namespaces";
    const int port = 4999;
    ASSERT_TRUE(ns.run("nft add table inet corvtest"
                       " && nft 'add chain inet corvtest in { type filter hook input priority 0; }'"
                       " && nft add rule inet corvtest in tcp dport "
        + std::to_string(port) + " drop"));

    int result = 0;
    int err = 0;
    bool stillBlocking = false;
    Clock::duration elapsed {};
    ASSERT_TRUE(ns.runInside([&] {
        CSafeSocketPtr client = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
        if (!client)
            return;
        sockaddr_in address = loopback(port);
        const auto start = Clock::now();
        result = client->Connect(asAddress(address), sizeof address, 2);
        err = errno;
        elapsed = Clock::now() - start;
        stillBlocking = !client->IsNonBlocking();
    }));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, ETIMEDOUT) << errnoText(err);
    EXPECT_GE(elapsed, std::chrono::seconds(2));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_TRUE(stillBlocking);
}

// Under a deadline a blocking receive or send waits no longer than until it, however the peer behaves, and then
// fails with ETIMEDOUT; what is there already is still taken, and a shutdown still wakes the wait at once.
TEST(SafeSocketTest, DeadlineEndsWaitingReceivesAndSends)
{
    const auto bound = std::chrono::milliseconds(200);
    char byte = 0;
    int error = 0;
    {
        SCOPED_TRACE("receive from a silent peer");
        SocketPair pair = makePair();
        const auto start = Clock::now();
        pair.a->SetDeadline(start + bound);
        EXPECT_EQ(pair.a->Recv(&byte, 1, 0, error), -1);
        EXPECT_EQ(error, ETIMEDOUT);
        EXPECT_GE(Clock::now() - start, bound);
        EXPECT_TRUE(pair.a->DeadlinePassed());
        // Bytes that are there already are taken even after the deadline.
        ASSERT_EQ(pair.b->Send("x", 1, 0, error), 1);
        EXPECT_EQ(pair.a->Recv(&byte, 1, 0, error), 1);
        EXPECT_EQ(byte, 'x');
    }
    {
        SCOPED_TRACE("send to a peer that never reads");
        SocketPair pair = makePair();
        const std::vector<char> block(64 * 1024, 'y');
        const auto start = Clock::now();
        pair.a->SetDeadline(start + bound);
        ssize_t sent = 0;
        while ((sent = pair.a->Send(block.data(), block.size(), 0, error)) > 0)
            ASSERT_LT(Clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(sent, -1);
        EXPECT_EQ(error, ETIMEDOUT);
        EXPECT_GE(Clock::now() - start, bound);
    }
    {
        SCOPED_TRACE("non-blocking calls and MSG_DONTWAIT do not wait");
        SocketPair pair = makePair();
        pair.a->SetDeadline(Clock::now() + std::chrono::seconds(30));
        EXPECT_EQ(pair.a->Recv(&byte, 1, MSG_DONTWAIT, error), -1);
        EXPECT_EQ(error, EAGAIN);
        ASSERT_TRUE(pair.a->SetNonBlocking());
        EXPECT_EQ(pair.a->Recv(&byte, 1, 0, error), -1);
        EXPECT_EQ(error, EAGAIN);
        EXPECT_FALSE(pair.a->DeadlinePassed());
    }
    {
        SCOPED_TRACE("a shutdown wakes the wait; a cleared deadline waits for the data");
        SocketPair pair = makePair();
        pair.a->SetDeadline(Clock::now() + std::chrono::seconds(30));
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pair.a->Shutdown();
        });
        const auto start = Clock::now();
        EXPECT_EQ(pair.a->Recv(&byte, 1, 0, error), 0);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
        EXPECT_FALSE(pair.a->DeadlinePassed());
        stopper.join();

        SocketPair late = makePair();
        late.a->SetDeadline(Clock::now() + std::chrono::milliseconds(50));
        late.a->ClearDeadline();
        std::thread sender([&] {
            std::this_thread::sleep_for(bound);
            int sendError = 0;
            EXPECT_EQ(late.b->Send("z", 1, 0, sendError), 1);
        });
        EXPECT_EQ(late.a->Recv(&byte, 1, 0, error), 1);
        EXPECT_EQ(byte, 'z');
        sender.join();
    }
}

TEST(SafeSocketTest, NonBlockingModeFollowsSetAndClear)
{
    SocketPair pair = makePair();
    ASSERT_TRUE(pair.a);
    EXPECT_FALSE(pair.a->IsNonBlocking());
    EXPECT_TRUE(pair.a->SetNonBlocking());
    EXPECT_TRUE(pair.a->IsNonBlocking());
    EXPECT_TRUE(pair.a->ClearNonBlocking());
    EXPECT_FALSE(pair.a->IsNonBlocking());
}

TEST(SafeSocketTest, ADescriptorCrossesASocketPair)
{
    SocketPair link = makePair();
    SocketPair carried = makePair();
    ASSERT_TRUE(link.a && carried.a);

    EXPECT_EQ(link.a->SendMsg("fd", 2, 0, carried.a->GetSocket()), 2);
    carried.a.reset(); // the receiver's copy must be enough from here on

    char buffer[8];
    CSafeSocketPtr received;
    ASSERT_EQ(link.b->RecvMsg(buffer, sizeof buffer, 0, received), 2);
    EXPECT_EQ(std::string(buffer, 2), "fd");
    EXPECT_EQ(link.b->GetBytesReceived(), 2u);
    EXPECT_EQ(link.a->GetBytesSent(), 2u);
    ASSERT_TRUE(received);
    EXPECT_NE(fcntl(received->GetSocket(), F_GETFD) & FD_CLOEXEC, 0);

    int error = 0;
    ASSERT_TRUE(received->SendAll("through", 7, 0));
    EXPECT_EQ(carried.b->Recv(buffer, 7, MSG_WAITALL, error), 7);
    EXPECT_EQ(std::string(buffer, 7), "through");

    // A message without a descriptor leaves the out-parameter alone.
    CSafeSocketPtr none;
    ASSERT_EQ(link.a->SendMsg("x", 1, 0, -1), 1);
    EXPECT_EQ(link.b->RecvMsg(buffer, sizeof buffer, 0, none), 1);
    EXPECT_EQ(none, nullptr);
}

// A peer that sends several descriptors at once must not leave any of them open in the receiver.
TEST(SafeSocketTest, RecvMsgKeepsTheFirstDescriptorAndClosesTheRest)
{
    SocketPair link = makePair();
    ASSERT_TRUE(link.a);
    int kept[2];
    int extra[2];
    ASSERT_EQ(pipe2(kept, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(extra, O_CLOEXEC), 0);

    const int passed[3] = { kept[1], extra[1], extra[1] };
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof passed)] = {};
    char data = 'm';
    iovec part { &data, 1 };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof passed);
    std::memcpy(CMSG_DATA(header), passed, sizeof passed);
    ASSERT_EQ(sendmsg(link.a->GetSocket(), &message, 0), 1);
    close(kept[1]);
    close(extra[1]);

    char buffer[4];
    CSafeSocketPtr received;
    ASSERT_EQ(link.b->RecvMsg(buffer, sizeof buffer, 0, received), 1);
    ASSERT_TRUE(received);

    // A pipe reads as ended once every copy of its write end is closed.
    auto ended = [](int readFd) {
        pollfd p { readFd, POLLIN, 0 };
        return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    };
    EXPECT_TRUE(ended(extra[0]));
    EXPECT_FALSE(ended(kept[0]));
    received.reset();
    EXPECT_TRUE(ended(kept[0]));
    close(kept[0]);
    close(extra[0]);
}

} // namespace
} // namespace corvantis
