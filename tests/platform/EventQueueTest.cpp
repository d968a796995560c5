#include "platform/EventQueue.h"

#include <arpa/inet.h>
#include <array>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::SocketPair;

EventQueuePtr makeQueue()
{
    auto q = EventQueue::create();
    EXPECT_TRUE(q.ok()) << q.status().message();
    return std::move(q.value());
}

// Everything the queue reports within `timeout` (stops at the first empty wait).
std::vector<KernelEvent> drain(EventQueue& q, std::chrono::milliseconds timeout = 50ms)
{
    std::vector<KernelEvent> all;
    std::array<KernelEvent, 8> buf;
    for (;;) {
        auto n = q.wait(buf, timeout);
        EXPECT_TRUE(n.ok());
        if (!n.ok() || *n == 0)
            return all;
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<long>(*n));
    }
}

void writeBytes(int fd, std::size_t count)
{
    std::string bytes(count, 'x');
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(count));
}

TEST(EventQueueTest, ReadEventCarriesUdataDescriptorAndBytesAvailable)
{
    auto q = makeQueue();
    SocketPair s;
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 0xFEEDFACECAFEBEEFull).ok());
    EXPECT_TRUE(drain(*q, 20ms).empty()) << "nothing to read yet";

    writeBytes(s.b.get(), 37);
    auto events = drain(*q);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EventFilter::Read);
    EXPECT_EQ(events[0].udata, 0xFEEDFACECAFEBEEFull);
    EXPECT_EQ(events[0].ident, static_cast<std::uint64_t>(s.a.get()));
    EXPECT_EQ(events[0].data, 37);
    EXPECT_FALSE(events[0].eof);
}

TEST(EventQueueTest, EdgeTriggeredReadReportsEachChangeOnceAndReadinessAtRegistration)
{
    auto q = makeQueue();
    SocketPair s;
    writeBytes(s.b.get(), 5); // ready before the registration
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 1).ok());
    EXPECT_EQ(drain(*q).size(), 1u);
    EXPECT_TRUE(drain(*q, 20ms).empty()) << "unread data is not reported again";
    writeBytes(s.b.get(), 5);
    auto events = drain(*q);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, 10);
}

TEST(EventQueueTest, EndOfFileIsReportedOnTheReadEvent)
{
    struct Case {
        const char* name;
        int type;
        bool closePeer; // else shutdown(SHUT_WR) of the peer
        std::size_t pending;
    };
    const Case cases[] = {
        { "stream peer closed", SOCK_STREAM, true, 0 },
        { "stream peer half-closed", SOCK_STREAM, false, 0 },
        { "stream peer closed with data left", SOCK_STREAM, true, 3 },
        { "seqpacket peer closed", SOCK_SEQPACKET, true, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto q = makeQueue();
        SocketPair s(c.type);
        ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 9).ok());
        if (c.pending)
            writeBytes(s.b.get(), c.pending);
        if (c.closePeer)
            s.b.reset();
        else
            ::shutdown(s.b.get(), SHUT_WR);
        auto events = drain(*q);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().filter, EventFilter::Read);
        EXPECT_TRUE(events.back().eof);
        EXPECT_EQ(events.back().data, static_cast<std::int64_t>(c.pending));
        EXPECT_EQ(events.back().udata, 9u);
    }
}

TEST(EventQueueTest, WriteFilterIsReportedOnlyWhenAsked)
{
    auto q = makeQueue();
    SocketPair s;
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 1).ok());
    EXPECT_TRUE(drain(*q, 20ms).empty()) << "a writable socket gives no event without the write filter";

    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Write, 2).ok());
    auto events = drain(*q);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EventFilter::Write);
    EXPECT_EQ(events[0].udata, 2u);
    EXPECT_FALSE(events[0].eof);

    ASSERT_TRUE(q->removeFd(s.a.get(), EventFilter::Write).ok());
    writeBytes(s.b.get(), 1);
    events = drain(*q);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EventFilter::Read) << "the read filter survives removing the write filter";
}

TEST(EventQueueTest, ReadAndWriteTogetherAreHandedOutOneWaitAtATime)
{
    auto q = makeQueue();
    SocketPair s;
    writeBytes(s.b.get(), 4);
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 10).ok());
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Write, 20).ok());

    std::array<KernelEvent, 1> one;
    std::vector<EventFilter> seen;
    for (int i = 0; i < 2; ++i) {
        auto n = q->wait(one, 200ms);
        ASSERT_TRUE(n.ok());
        ASSERT_EQ(*n, 1u);
        seen.push_back(one[0].filter);
        EXPECT_EQ(one[0].udata, one[0].filter == EventFilter::Read ? 10u : 20u);
    }
    EXPECT_NE(seen[0], seen[1]);
}

TEST(EventQueueTest, HeldBackEventOfARemovedFilterIsDropped)
{
    auto q = makeQueue();
    SocketPair s;
    writeBytes(s.b.get(), 4);
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 10).ok());
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Write, 20).ok());
    std::array<KernelEvent, 1> one;
    auto n = q->wait(one, 200ms);
    ASSERT_TRUE(n.ok() && *n == 1u);
    // The other half is held back; its filter goes away before the next wait.
    const EventFilter removed = one[0].filter == EventFilter::Read ? EventFilter::Write : EventFilter::Read;
    ASSERT_TRUE(q->removeFd(s.a.get(), removed).ok());
    for (const KernelEvent& ev : drain(*q, 20ms))
        EXPECT_NE(ev.filter, removed); // the kept filter may be reported again: removal re-arms it
}

TEST(EventQueueTest, AddingAgainUpdatesUdataAndReArms)
{
    auto q = makeQueue();
    SocketPair s;
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 1).ok());
    writeBytes(s.b.get(), 2);
    ASSERT_EQ(drain(*q).size(), 1u);

    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 2).ok());
    auto events = drain(*q);
    ASSERT_EQ(events.size(), 1u) << "unread data is reported again after the update";
    EXPECT_EQ(events[0].udata, 2u);
}

TEST(EventQueueTest, ClosedAndReusedDescriptorNumberStartsAFreshRegistration)
{
    auto q = makeQueue();
    SocketPair first;
    ASSERT_TRUE(q->addFd(first.a.get(), EventFilter::Read, 1).ok());
    ASSERT_TRUE(q->addFd(first.a.get(), EventFilter::Write, 2).ok());
    drain(*q);
    const int number = first.a.get();
    first.a.reset(); // closed without removing: the kernel drops the registration

    SocketPair second; // a new socket under the old number
    UniqueFd reused;
    if (second.a.get() == number) {
        reused = std::move(second.a);
    } else {
        ASSERT_EQ(::dup2(second.a.get(), number), number);
        reused.reset(number);
    }
    ASSERT_TRUE(q->addFd(reused.get(), EventFilter::Read, 3).ok());
    writeBytes(second.b.get(), 1);
    auto events = drain(*q);
    ASSERT_EQ(events.size(), 1u) << "no write event inherited from the closed socket";
    EXPECT_EQ(events[0].filter, EventFilter::Read);
    EXPECT_EQ(events[0].udata, 3u);

    // Removing the old socket's leftover write filter must not touch the new registration.
    EXPECT_EQ(q->removeFd(number, EventFilter::Write).errnum(), ENOENT);
    writeBytes(second.b.get(), 1);
    EXPECT_EQ(drain(*q).size(), 1u);
}

TEST(EventQueueTest, SocketErrorIsAPlainReadEventSoTheOwnersRecvSeesIt)
{
    auto q = makeQueue();
    auto udp = [] {
        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    };
    UniqueFd client = udp();
    sockaddr_in closedPort {};
    {
        UniqueFd gone = udp(); // a port that was just in use and is now closed
        socklen_t len = sizeof closedPort;
        ASSERT_EQ(::getsockname(gone.get(), reinterpret_cast<sockaddr*>(&closedPort), &len), 0);
    }
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&closedPort), sizeof closedPort), 0);
    ASSERT_TRUE(q->addFd(client.get(), EventFilter::Read, 5).ok());
    ASSERT_EQ(::send(client.get(), "q", 1, MSG_NOSIGNAL), 1); // answered by ICMP port unreachable

    auto events = drain(*q, 200ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EventFilter::Read);
    EXPECT_FALSE(events[0].eof) << "an error is not an end of file";
    char buf[8];
    EXPECT_EQ(::recv(client.get(), buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}

std::map<int, int> openDescriptorFlags()
{
    std::map<int, int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags != -1)
            fds[fd] = flags;
    }
    return fds;
}

TEST(EventQueueTest, OwnDescriptorsAreCloseOnExecAndClosedWithTheQueue)
{
    const auto before = openDescriptorFlags();
    {
        auto q = makeQueue();
        ASSERT_TRUE(q->addTimer(1, 1s, 1).ok());
        ASSERT_TRUE(q->addTimer(2, 1s, 2).ok());
        const auto during = openDescriptorFlags();
        int added = 0;
        for (const auto& [fd, flags] : during) {
            if (before.count(fd))
                continue;
            ++added;
            EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
        }
        EXPECT_GE(added, 4) << "epoll, eventfd and two timerfds";
    }
    const auto after = openDescriptorFlags();
    for (const auto& [fd, flags] : after)
        EXPECT_TRUE(before.count(fd)) << "descriptor " << fd << " left open";
}

TEST(EventQueueTest, ErrorsAreReturnedWithTheirErrno)
{
    auto q = makeQueue();
    test::TempDir dir;
    UniqueFd file(::open((dir / "f").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid());
    SocketPair s;
    const int closedNumber = [] {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::close(fds[0]);
        ::close(fds[1]);
        return fds[0];
    }();

    struct Case {
        const char* name;
        Status status;
        int err;
    };
    const Case cases[] = {
        { "closed descriptor", q->addFd(closedNumber, EventFilter::Read, 1), EBADF },
        { "negative descriptor", q->addFd(-1, EventFilter::Read, 1), EBADF },
        { "regular file", q->addFd(file.get(), EventFilter::Read, 1), EPERM },
        { "timer filter on a descriptor", q->addFd(s.a.get(), EventFilter::Timer, 1), EINVAL },
        { "remove unknown descriptor", q->removeFd(s.a.get(), EventFilter::Read), ENOENT },
        { "remove unknown timer", q->removeTimer(77), ENOENT },
        { "zero timer period", q->addTimer(1, 0ms, 1), EINVAL },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.status.ok());
        EXPECT_EQ(c.status.errnum(), c.err) << c.status.message();
    }
    std::array<KernelEvent, 0> none;
    EXPECT_EQ(q->wait(none, 0ms).status().errnum(), EINVAL);
}

TEST(EventQueueTest, PeriodicTimerReportsIdentUdataAndExpirations)
{
    auto q = makeQueue();
    // The clock is read before arming: read after it, the first period may already have begun.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(q->addTimer(42, 20ms, 4242).ok());
    std::array<KernelEvent, 1> one;
    int fired = 0;
    std::int64_t expirations = 0;
    while (fired < 3) {
        auto n = q->wait(one, 5s);
        ASSERT_TRUE(n.ok());
        ASSERT_EQ(*n, 1u) << "the timer keeps firing";
        EXPECT_EQ(one[0].filter, EventFilter::Timer);
        EXPECT_EQ(one[0].ident, 42u);
        EXPECT_EQ(one[0].udata, 4242u);
        EXPECT_GE(one[0].data, 1);
        expirations += one[0].data;
        ++fired;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms * expirations);

    // Slept-through periods are counted in one event.
    std::this_thread::sleep_for(70ms);
    auto n = q->wait(one, 5s);
    ASSERT_TRUE(n.ok() && *n == 1u);
    EXPECT_GE(one[0].data, 3);
}

TEST(EventQueueTest, TimerUpdateAndRemoval)
{
    auto q = makeQueue();
    ASSERT_TRUE(q->addTimer(7, 10s, 1).ok());
    ASSERT_TRUE(q->addTimer(7, 10ms, 2).ok()); // same ident: new period and udata
    std::array<KernelEvent, 1> one;
    auto n = q->wait(one, 5s);
    ASSERT_TRUE(n.ok() && *n == 1u);
    EXPECT_EQ(one[0].udata, 2u);

    ASSERT_TRUE(q->removeTimer(7).ok());
    std::this_thread::sleep_for(30ms); // expirations pile up in the (now closed) timer
    EXPECT_TRUE(drain(*q, 50ms).empty());
    EXPECT_EQ(q->removeTimer(7).errnum(), ENOENT);
}

TEST(EventQueueTest, TimerIdentsAndDescriptorsAreSeparateNamespaces)
{
    auto q = makeQueue();
    SocketPair s;
    const auto ident = static_cast<std::uint64_t>(s.a.get());
    ASSERT_TRUE(q->addFd(s.a.get(), EventFilter::Read, 100).ok());
    ASSERT_TRUE(q->addTimer(ident, 10ms, 200).ok());
    writeBytes(s.b.get(), 1);
    bool sawRead = false, sawTimer = false;
    while (!(sawRead && sawTimer)) {
        std::array<KernelEvent, 4> buf;
        auto n = q->wait(buf, 5s);
        ASSERT_TRUE(n.ok() && *n > 0);
        for (std::size_t i = 0; i < *n; ++i) {
            EXPECT_EQ(buf[i].ident, ident);
            if (buf[i].filter == EventFilter::Read) {
                sawRead = true;
                EXPECT_EQ(buf[i].udata, 100u);
            } else {
                sawTimer = true;
                EXPECT_EQ(buf[i].udata, 200u);
            }
        }
    }
    ASSERT_TRUE(q->removeTimer(ident).ok());
    writeBytes(s.b.get(), 1);
    auto events = drain(*q);
    ASSERT_EQ(events.size(), 1u) << "removing the timer leaves the descriptor registered";
    EXPECT_EQ(events[0].filter, EventFilter::Read);
}

TEST(EventQueueTest, TimeOutIsNotShortAndZeroMeansPoll)
{
    auto q = makeQueue();
    std::array<KernelEvent, 1> one;
    const auto start = std::chrono::steady_clock::now();
    auto n = q->wait(one, 60ms);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 0u);
    EXPECT_GE(took, 60ms);
    EXPECT_LT(took, 5s);

    n = q->wait(one, 0ms);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 0u);
}

TEST(EventQueueTest, WakeGivesOneWakeEventForSeveralCalls)
{
    auto q = makeQueue();
    q->wake();
    q->wake();
    auto events = drain(*q, 20ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EventFilter::Wake);
}

} // namespace
} // namespace corvantis
