#include "platform/netext/SpliceRelay.h"

#include "platform/netext/SocketAddress.h"

#include "platform/Mutex.h"
#include "platform/ThreadName.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <vector>

namespace corvantis {

namespace {

constexpr std::size_t kPipeChunk = 65536;
// Rounds of one direction per event, so that one fast connection cannot hold the others up.
constexpr int kRoundsPerEvent = 16;

// Closes `fd` so that its peer sees a reset instead of an orderly end.
void resetSocket(UniqueFd& fd)
{
    if (!fd)
        return;
    const linger reset { 1, 0 };
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd.reset();
}

} // namespace

UniqueFd MarkedSocket(int family, int type, uint32_t mark, const SpliceRelay::MakeSocket& makeSocket)
{
    const int flags = type | SOCK_NONBLOCK | SOCK_CLOEXEC;
    UniqueFd fd(makeSocket ? makeSocket(family, flags) : ::socket(family, flags, 0));
    if (fd && mark != 0 && ::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
        const int err = errno;
        fd.reset();
        errno = err;
    }
    return fd;
}

// One direction of a connection: bytes read from `from` wait in the pipe until `to` takes them.
struct Direction {
    int from = -1;
    int to = -1;
    UniqueFd pipeRead;
    UniqueFd pipeWrite;
    std::size_t pending = 0; // bytes in the pipe
    bool ended = false; // `from` sent its end, and it was passed on to `to`

    bool wantsRead() const { return !ended && pending == 0; }
    bool wantsWrite() const { return pending > 0; }
    bool done() const { return ended; }
};

struct Connection {
    UniqueFd client;
    UniqueFd server;
    bool connecting = true;
    // Whether each socket is in the epoll set, and whether it reported that it hung up.
    bool clientWatched = false;
    bool serverWatched = false;
    bool clientHungUp = false;
    bool serverHungUp = false;
    Direction up; // client → server
    Direction down; // server → client
};

struct SpliceRelay::Impl {
    Mutex mutex;
    std::vector<std::pair<UniqueFd, sockaddr_storage>> incoming GUARDED_BY(mutex);
    bool stopping GUARDED_BY(mutex) = false;
    // The thread's own state.
    std::map<int, std::shared_ptr<Connection>> byFd;
};

Result<std::unique_ptr<SpliceRelay>> SpliceRelay::open(uint32_t ownMark, MakeSocket makeSocket)
{
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll)
        return Status::error(errno, "the relay cannot wait for sockets");
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake)
        return Status::error(errno, "the relay cannot wait for sockets");
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = wake.get();
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0)
        return Status::error(errno, "the relay cannot wait for sockets");
    return std::make_unique<SpliceRelay>(
        PrivateTag {}, std::move(epoll), std::move(wake), ownMark, std::move(makeSocket));
}

SpliceRelay::SpliceRelay(PrivateTag, UniqueFd epoll, UniqueFd wake, uint32_t ownMark, MakeSocket makeSocket)
    : m_epoll(std::move(epoll))
    , m_wake(std::move(wake))
    , m_ownMark(ownMark)
    , m_makeSocket(std::move(makeSocket))
    , m_impl(std::make_unique<Impl>())
{
    m_thread = std::thread([this] { run(); });
}

SpliceRelay::~SpliceRelay()
{
    stop();
}

void SpliceRelay::add(UniqueFd client, const sockaddr_storage& destination)
{
    {
        MutexLock lock(m_impl->mutex);
        if (m_impl->stopping) {
            resetSocket(client);
            return;
        }
        m_impl->incoming.emplace_back(std::move(client), destination);
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
}

void SpliceRelay::stop()
{
    {
        MutexLock lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
    if (m_thread.joinable())
        m_thread.join();
}

namespace {

// Moves what `direction` can move now. False when the connection failed.
bool pump(Direction& direction)
{
    for (int round = 0; round < kRoundsPerEvent; ++round) {
        if (direction.pending > 0) {
            const ssize_t moved = ::splice(direction.pipeRead.get(), nullptr, direction.to, nullptr, direction.pending,
                SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (moved < 0)
                return errno == EAGAIN || errno == EINTR;
            direction.pending -= static_cast<std::size_t>(moved);
            if (direction.pending > 0)
                continue;
        }
        if (direction.ended)
            return true;
        const ssize_t taken = ::splice(
            direction.from, nullptr, direction.pipeWrite.get(), nullptr, kPipeChunk, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (taken == 0) {
            // The pipe is empty, so the end goes on at once: read in the last round and left for later, it would
            // wait for an event that never comes.
            ::shutdown(direction.to, SHUT_WR);
            direction.ended = true;
            return true;
        }
        if (taken < 0)
            return errno == EAGAIN || errno == EINTR;
        direction.pending = static_cast<std::size_t>(taken);
    }
    return true;
}

uint32_t interest(const Direction& out, const Direction& in)
{
    uint32_t events = 0;
    if (out.wantsRead())
        events |= EPOLLIN | EPOLLRDHUP;
    if (in.wantsWrite())
        events |= EPOLLOUT;
    return events;
}

bool makePipe(Direction& direction)
{
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    direction.pipeRead.reset(ends[0]);
    direction.pipeWrite.reset(ends[1]);
    return true;
}

} // namespace

void SpliceRelay::run()
{
    setCurrentThreadName("Corvantis relay");
    Impl& impl = *m_impl;
    // A socket whose peer has ended while the relay has ended its own sending is reported as hung up at every
    // wait, whatever it is watched for, although the data before the peer's end may still wait to be read (or
    // the other side may still be taking what was read). So such a socket leaves the set while the connection
    // wants nothing from it, instead of waking the thread again and again; any other socket stays in, so that
    // an error of an idle side still ends the connection.
    auto watch = [this](int fd, bool& watched, bool hungUp, uint32_t events) {
        if (events == 0 && hungUp) {
            if (watched)
                ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
            watched = false;
            return;
        }
        epoll_event event {};
        event.events = events;
        event.data.fd = fd;
        ::epoll_ctl(m_epoll.get(), watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event);
        watched = true;
    };
    // By value: the connection is dropped from byFd here, and the caller's pointer may be the one held there.
    auto forget = [&](std::shared_ptr<Connection> connection, bool reset) {
        for (int fd : { connection->client.get(), connection->server.get() }) {
            if (fd >= 0) {
                ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
                impl.byFd.erase(fd);
            }
        }
        // After an error both sides see a reset: an orderly end would pass what arrived as the whole.
        if (reset) {
            resetSocket(connection->client);
            resetSocket(connection->server);
        }
        connection->client.reset();
        connection->server.reset();
        --m_count;
    };
    auto rearm = [&](const std::shared_ptr<Connection>& connection) {
        // The application's side is watched once the connection to the destination is up.
        if (!connection->connecting)
            watch(connection->client.get(), connection->clientWatched, connection->clientHungUp,
                interest(connection->up, connection->down));
        watch(connection->server.get(), connection->serverWatched, connection->serverHungUp,
            connection->connecting ? EPOLLOUT : interest(connection->down, connection->up));
    };
    auto admit = [&](UniqueFd client, const sockaddr_storage& destination) {
        auto connection = std::make_shared<Connection>();
        connection->client = std::move(client);
        connection->server = MarkedSocket(destination.ss_family, SOCK_STREAM, m_ownMark, m_makeSocket);
        if (!connection->server || !makePipe(connection->up) || !makePipe(connection->down)) {
            resetSocket(connection->client);
            return;
        }
        const int flags = ::fcntl(connection->client.get(), F_GETFL);
        ::fcntl(connection->client.get(), F_SETFL, flags | O_NONBLOCK);
        if (::connect(connection->server.get(), reinterpret_cast<const sockaddr*>(&destination),
                SocketAddressLength(destination))
                != 0
            && errno != EINPROGRESS) {
            resetSocket(connection->client);
            return;
        }
        connection->up.from = connection->client.get();
        connection->up.to = connection->server.get();
        connection->down.from = connection->server.get();
        connection->down.to = connection->client.get();
        ++m_count;
        impl.byFd[connection->client.get()] = connection;
        impl.byFd[connection->server.get()] = connection;
        rearm(connection);
    };

    epoll_event events[64];
    for (;;) {
        const int ready = ::epoll_wait(m_epoll.get(), events, 64, -1);
        if (ready < 0 && errno != EINTR)
            break;
        // New connections are admitted once the whole batch is handled: a descriptor number a connection of
        // this batch freed may come back for a new one, and must not meet the old one's events.
        bool woken = false;
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_wake.get()) {
                woken = true;
                continue;
            }
            const auto found = impl.byFd.find(fd);
            if (found == impl.byFd.end())
                continue;
            const std::shared_ptr<Connection> connection = found->second;
            if (connection->connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(connection->server.get(), SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || (events[i].events & (EPOLLERR | EPOLLHUP))) {
                    forget(connection, true);
                    continue;
                }
                connection->connecting = false;
            } else if (events[i].events & EPOLLERR) {
                forget(connection, true);
                continue;
            }
            if (events[i].events & EPOLLHUP)
                (fd == connection->client.get() ? connection->clientHungUp : connection->serverHungUp) = true;
            if (!pump(connection->up) || !pump(connection->down)) {
                forget(connection, true);
                continue;
            }
            if (connection->up.done() && connection->down.done()) {
                forget(connection, false);
                continue;
            }
            rearm(connection);
        }
        if (!woken)
            continue;
        uint64_t count;
        [[maybe_unused]] const auto taken = ::read(m_wake.get(), &count, sizeof count);
        std::vector<std::pair<UniqueFd, sockaddr_storage>> incoming;
        bool stopping;
        {
            MutexLock lock(impl.mutex);
            incoming.swap(impl.incoming);
            stopping = impl.stopping;
        }
        for (auto& [client, destination] : incoming)
            admit(std::move(client), destination);
        if (stopping) {
            while (!impl.byFd.empty())
                forget(impl.byFd.begin()->second, true);
            return;
        }
    }
}

} // namespace corvantis
