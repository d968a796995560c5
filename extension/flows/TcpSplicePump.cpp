#include "extension/flows/TcpSplicePump.h"

#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/ThreadName.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace corvantis {

namespace {

// The epoll key of the wake-up descriptor. A flow's sockets are keyed by its id times two, plus one for the
// remote's.
constexpr uint64_t kWakeKey = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMaxId = kWakeKey / 2 - 1;
// Rounds of one flow per turn, so that one fast flow cannot hold the others up.
constexpr int kRoundsPerTurn = 16;
// Emptied pipes kept for reuse; more are closed.
constexpr std::size_t kPooledPipes = 32;
// How long a flow that found no pipe (the process is out of descriptors) waits before it tries again.
constexpr int kNoPipeRetryMs = 20;
// What every socket's registration asks for; EPOLLOUT joins once a write to it had to wait.
constexpr uint32_t kWatched = EPOLLIN | EPOLLRDHUP | EPOLLET;

ssize_t spliceRetrying(int from, int to, std::size_t length)
{
    ssize_t n;
    do
        n = ::splice(from, nullptr, to, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

Result<std::shared_ptr<TcpSplicePump>> TcpSplicePump::open(MakePipe makePipe)
{
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll)
        return Status::error(errno, "the splice pump cannot wait for sockets");
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake)
        return Status::error(errno, "the splice pump cannot wait for sockets");
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0)
        return Status::error(errno, "the splice pump cannot wait for sockets");
    return std::make_shared<TcpSplicePump>(PrivateTag {}, std::move(epoll), std::move(wake), std::move(makePipe));
}

TcpSplicePump::TcpSplicePump(PrivateTag, UniqueFd epoll, UniqueFd wake, MakePipe makePipe)
    : m_epoll(std::move(epoll))
    , m_wake(std::move(wake))
    , m_makePipe(std::move(makePipe))
{
    m_thread = std::thread([this] { run(); });
}

TcpSplicePump::~TcpSplicePump()
{
    stop();
}

void TcpSplicePump::wake()
{
    const uint64_t one = 1;
    (void)::write(m_wake.get(), &one, sizeof one);
}

void TcpSplicePump::stop()
{
    {
        MutexLock lock(m_mutex);
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    // The flows left let go of their owners here, outside the lock: an owner's end may take other locks.
    std::unordered_map<uint64_t, std::unique_ptr<Flow>> left;
    {
        MutexLock lock(m_mutex);
        left.swap(m_flows);
    }
}

bool TcpSplicePump::add(
    uint64_t id, int appFd, std::shared_ptr<ClientProcessorWrapper> remote, std::shared_ptr<Client> client)
{
    const int remoteFd = remote ? remote->getNativeHandler() : -1;
    if (appFd < 0 || remoteFd < 0 || id > kMaxId)
        return false;
    auto flow = std::make_unique<Flow>();
    flow->id = id;
    flow->appFd = appFd;
    flow->remoteFd = remoteFd;
    flow->remote = std::move(remote);
    flow->client = std::move(client);

    Endings ended;
    MutexLock lock(m_mutex);
    if (m_stopping || m_flows.count(id) != 0)
        return false;
    // The first bytes move here at once (most often the application's request, waiting already), sparing them
    // the hand-over to the pump's thread, whose wake-up would find nothing left to do. The registration comes
    // after: it reports what is ready then, so a flow with more to move wakes the pump.
    Flow& added = *m_flows.emplace(id, std::move(flow)).first->second;
    const Progress progress = serve(added);
    if (progress == Progress::More || progress == Progress::NoPipe) {
        m_retry.push_back(id);
        wake();
    }
    if (!added.done) {
        // Edge-triggered on both sockets, never re-armed; room is asked for where a write had to wait already.
        added.registered = true;
        epoll_event event {};
        event.events = kWatched | (added.remoteWatchedForRoom ? uint32_t { EPOLLOUT } : 0u);
        event.data.u64 = id * 2 + 1;
        if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, remoteFd, &event) != 0) {
            finish(added, PosixFlowError(errno));
        } else {
            event.events = kWatched | (added.appWatchedForRoom ? uint32_t { EPOLLOUT } : 0u);
            event.data.u64 = id * 2;
            if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, appFd, &event) != 0) {
                finish(added, PosixFlowError(errno));
                (void)::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, remoteFd, nullptr);
            }
        }
    }
    // Only this flow can have ended here: the pump's thread tells its own before it lets go of the lock.
    ended.swap(m_ended);
    lock.unlock();
    for (auto& [endedClient, error] : ended)
        endedClient->spliceEnded(std::move(error));
    return true;
}

std::vector<uint8_t> TcpSplicePump::remove(uint64_t id)
{
    std::vector<uint8_t> unsent;
    std::unique_ptr<Flow> removed; // let go of after the lock: its owner's end may take other locks
    MutexLock lock(m_mutex);
    const auto it = m_flows.find(id);
    if (it == m_flows.end())
        return unsent;
    Flow& flow = *it->second;
    // The application's socket stays open until the caller closes the flow, so its registration goes now. The
    // remote's goes with its descriptor, which the engine closes next: its number may be closed under us
    // already, and a number reused by another socket must not lose that socket's registration.
    (void)::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, flow.appFd, nullptr);
    if (flow.down.pipe && flow.down.pending > 0) {
        unsent.resize(flow.down.pending);
        std::size_t got = 0;
        while (got < unsent.size()) {
            const ssize_t n = ::read(flow.down.pipe->read.get(), unsent.data() + got, unsent.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        unsent.resize(got);
    }
    // Pipes with bytes left are closed with them, never pooled.
    removed = std::move(it->second);
    m_flows.erase(it);
    lock.unlock();
    return unsent;
}

std::size_t TcpSplicePump::count() const
{
    MutexLock lock(m_mutex);
    return m_flows.size();
}

bool TcpSplicePump::takePipe(Direction& direction)
{
    if (direction.pipe)
        return true;
    if (!m_pipes.empty()) {
        direction.pipe = std::move(m_pipes.back());
        m_pipes.pop_back();
        return true;
    }
    int ends[2];
    if ((m_makePipe ? m_makePipe(ends) : ::pipe2(ends, O_NONBLOCK | O_CLOEXEC)) != 0)
        return false;
    direction.pipe = Pipe { UniqueFd(ends[0]), UniqueFd(ends[1]) };
    (void)::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(kChunk));
    return true;
}

void TcpSplicePump::releasePipe(Direction& direction)
{
    if (!direction.pipe || direction.pending != 0)
        return;
    if (m_pipes.size() < kPooledPipes)
        m_pipes.push_back(std::move(*direction.pipe));
    direction.pipe.reset();
}

void TcpSplicePump::finish(Flow& flow, std::optional<FlowError> error)
{
    flow.done = true;
    m_ended.emplace_back(flow.client, std::move(error));
}

bool TcpSplicePump::waitForRoom(Flow& flow, bool remote)
{
    bool& writable = remote ? flow.remoteWritable : flow.appWritable;
    bool& watched = remote ? flow.remoteWatchedForRoom : flow.appWatchedForRoom;
    writable = false;
    if (watched)
        return true;
    watched = true;
    // Before add() registers the flow, the registration is yet to come and will ask for room itself.
    if (!flow.registered)
        return true;
    // A changed registration reports the room there is already, so room made since the write is not missed.
    epoll_event event {};
    event.events = kWatched | EPOLLOUT;
    event.data.u64 = flow.id * 2 + (remote ? 1 : 0);
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, remote ? flow.remoteFd : flow.appFd, &event) != 0)
        return false;
    return true;
}

TcpSplicePump::Progress TcpSplicePump::serve(Flow& flow)
{
    if (flow.done)
        return Progress::Idle;
    for (int round = 0; round < kRoundsPerTurn; ++round) {
        bool moved = false;

        // Application → remote. A new read only into an empty pipe: the remote's pace holds the application's.
        Direction& up = flow.up;
        if (up.pending > 0 && flow.remoteWritable) {
            int64_t sent = 0;
            int32_t err = 0;
            bool full = false;
            if (flow.remote->spliceToRemote(up.pipe->read.get(), up.pending, sent, err)) {
                up.pending -= static_cast<std::size_t>(sent);
                moved = sent > 0;
                // A part taken means the socket's buffer is full, and the kernel reports when it has room.
                full = up.pending > 0;
            } else if (err == EAGAIN || err == EWOULDBLOCK) {
                full = true;
            } else {
                finish(flow, NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset));
                return Progress::Done;
            }
            if (full && !waitForRoom(flow, true)) {
                finish(flow, PosixFlowError(errno));
                return Progress::Done;
            }
        }
        if (up.pending == 0 && !up.ended && flow.appReadable) {
            if (!takePipe(up))
                return Progress::NoPipe;
            const ssize_t n = spliceRetrying(flow.appFd, up.pipe->write.get(), kChunk);
            if (n > 0) {
                up.pending = static_cast<std::size_t>(n);
                moved = true;
            } else if (n == 0) {
                // Every byte before the end has reached the remote: it sees the end now, and may still answer.
                up.ended = true;
                (void)flow.remote->shutdownRemoteSend();
                flow.client->spliceApplicationEnded();
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                flow.appReadable = false;
            } else {
                finish(flow, PosixFlowError(errno));
                return Progress::Done;
            }
        }
        releasePipe(up);

        // Remote → application.
        Direction& down = flow.down;
        if (down.pending > 0 && flow.appWritable) {
            const ssize_t n = spliceRetrying(down.pipe->read.get(), flow.appFd, down.pending);
            bool full = false;
            if (n > 0) {
                down.pending -= static_cast<std::size_t>(n);
                moved = true;
                full = down.pending > 0;
                CorvantisCoreWrapper::incTestWriteCounter(static_cast<uint64_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                full = true;
            } else {
                finish(flow, PosixFlowError(n < 0 ? errno : EPIPE));
                return Progress::Done;
            }
            if (full && !waitForRoom(flow, false)) {
                finish(flow, PosixFlowError(errno));
                return Progress::Done;
            }
        }
        if (down.pending == 0 && !down.ended && flow.remoteReadable) {
            if (!takePipe(down))
                return Progress::NoPipe;
            int32_t err = 0;
            const int64_t n = flow.remote->spliceFromRemote(down.pipe->write.get(), kChunk, err);
            if (n > 0) {
                down.pending = static_cast<std::size_t>(n);
                moved = true;
                flow.client->spliceRemoteData();
            } else if (n == 0) {
                // The pipe was empty: everything the remote sent has reached the application.
                down.ended = true;
                releasePipe(down);
                finish(flow, std::nullopt);
                return Progress::Done;
            } else if (err == EAGAIN || err == EWOULDBLOCK) {
                flow.remoteReadable = false;
            } else {
                finish(flow, NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset));
                return Progress::Done;
            }
        }
        releasePipe(down);

        if (!moved)
            return Progress::Idle;
    }
    return Progress::More;
}

void TcpSplicePump::run()
{
    setCurrentThreadName("Corvantis splice");
    // A signal never lands here: a write it cut short would look like a full socket, and the flow would wait
    // for room that is there already.
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::vector<epoll_event> events(64);
    std::vector<uint64_t> turn;
    std::vector<uint64_t> again; // flows that used up their rounds and still had bytes to move
    std::vector<uint64_t> starved; // flows that found no pipe; nothing was read for them
    uint64_t turnNumber = 0;
    for (;;) {
        const int timeout = !again.empty() ? 0 : !starved.empty() ? kNoPipeRetryMs : -1;
        const int n = ::epoll_wait(m_epoll.get(), events.data(), static_cast<int>(events.size()), timeout);
        Endings ended;
        MutexLock lock(m_mutex);
        if (m_stopping)
            return;
        turn.swap(again);
        again.clear();
        turn.insert(turn.end(), starved.begin(), starved.end());
        starved.clear();
        turn.insert(turn.end(), m_retry.begin(), m_retry.end());
        m_retry.clear();
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeKey) {
                uint64_t value;
                (void)::read(m_wake.get(), &value, sizeof value);
                continue;
            }
            const uint64_t id = events[i].data.u64 / 2;
            const auto it = m_flows.find(id);
            if (it == m_flows.end())
                continue;
            // A hang-up or an error makes both calls fail at once, which ends the flow.
            const uint32_t what = events[i].events;
            const bool in = (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
            const bool out = (what & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0;
            Flow& flow = *it->second;
            if (events[i].data.u64 % 2 == 0) {
                flow.appReadable |= in;
                flow.appWritable |= out;
            } else {
                flow.remoteReadable |= in;
                flow.remoteWritable |= out;
            }
            turn.push_back(id);
        }
        ++turnNumber;
        for (const uint64_t id : turn) {
            const auto it = m_flows.find(id);
            // Both sockets of a flow may have reported: one service per turn covers both.
            if (it == m_flows.end() || it->second->lastTurn == turnNumber)
                continue;
            it->second->lastTurn = turnNumber;
            const Progress progress = serve(*it->second);
            if (progress == Progress::More)
                again.push_back(id);
            else if (progress == Progress::NoPipe)
                starved.push_back(id);
        }
        turn.clear();
        if (m_ended.empty())
            continue;
        // Told outside the lock, so that an owner may take its flow out (and end it) right here.
        ended.swap(m_ended);
        lock.unlock();
        for (auto& [client, error] : ended)
            client->spliceEnded(std::move(error));
    }
}

} // namespace corvantis
