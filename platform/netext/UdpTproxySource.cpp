#include "platform/netext/UdpTproxySource.h"

#include "platform/netext/SocketAddress.h"

#include "platform/DispatchSource.h"
#include "platform/Mutex.h"
#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <netinet/in.h>
#include <unordered_map>

namespace corvantis {

namespace {

// Room for the largest UDP payload of either family (65507 over IPv4, 65527 over IPv6 without jumbograms).
constexpr std::size_t kMaxDatagram = 65536;
// Datagrams read in one run of a receive handler before other work of the queue gets its turn.
constexpr int kReadBatch = 64;
// Datagrams of one client kept while its offer is under way; later ones are dropped as a full socket would.
constexpr std::size_t kMaxWaiting = 64;
// Destinations a relayed client sent to, whose answers are passed back to it; beyond them the oldest is forgotten.
constexpr std::size_t kMaxRelayedPeers = 256;
// Reply sockets (distinct endpoints answering) of one client; replies from further endpoints are dropped, so
// a flow code that answers from ever new endpoints cannot use up the process's descriptors.
constexpr std::size_t kMaxReplySockets = 64;
// A port of 0 asks for a free one; its IPv6 twin may be taken, so another is tried this many times.
constexpr int kPortAttempts = 16;

int64_t nowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// `what` failed with `err`: a caller that builds its text reads errno first, since building may change it.
Status failure(const std::string& what, int err)
{
    return Status::error(err, what + ": " + std::strerror(err));
}

// A fixed `what` that failed with the errno of the call just made.
Status failure(const char* what)
{
    return failure(std::string(what), errno);
}

bool setOption(int fd, int level, int name, int value)
{
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

// The immutable part every socket the source makes needs; shared with the flows' sinks.
struct SocketMaker {
    uint32_t ownMark = 0;
    std::function<int(int domain, int type)> makeSocket;

    // A non-blocking datagram socket of `family` carrying the own mark.
    Result<UniqueFd> make(int family) const
    {
        UniqueFd fd(makeSocket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd)
            return failure("socket");
        if (ownMark != 0 && !setOption(fd.get(), SOL_SOCKET, SO_MARK, static_cast<int>(ownMark)))
            return failure("SO_MARK");
        return fd;
    }

    // A socket that sends as `from`, an address of another host, to `to`: transparent, and sharing `from` with
    // the other clients' sockets answering from the same endpoint. It is connected to `to`, so that it takes in
    // nothing but what `to` sends it: bound alone, it would take datagrams meant for a local server on `from`
    // (the daemon's own relayed queries to a local DNS server, say).
    Result<UniqueFd> makeTransparent(const sockaddr_storage& from, const sockaddr_storage& to) const
    {
        auto fd = make(from.ss_family);
        if (!fd)
            return fd;
        const bool v6 = from.ss_family == AF_INET6;
        if (!setOption(fd->get(), v6 ? SOL_IPV6 : SOL_IP, v6 ? IPV6_TRANSPARENT : IP_TRANSPARENT, 1))
            return failure("IP_TRANSPARENT");
        if (!setOption(fd->get(), SOL_SOCKET, SO_REUSEADDR, 1))
            return failure("SO_REUSEADDR");
        if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&from), SocketAddressLength(from)) != 0) {
            const int err = errno;
            return failure("bind " + EndpointOf(from).description(), err);
        }
        if (::connect(fd->get(), reinterpret_cast<const sockaddr*>(&to), SocketAddressLength(to)) != 0) {
            const int err = errno;
            return failure("connect " + EndpointOf(to).description(), err);
        }
        return fd;
    }
};

// The callbacks' gate: stop() closes it and waits for the callbacks under way, so none runs after it returns.
class CallbackGate {
public:
    // True when a callback may run now; it must then be followed by leave().
    bool enter()
    {
        MutexLock lock(m_mutex);
        if (m_closed)
            return false;
        ++m_running;
        return true;
    }
    void leave()
    {
        MutexLock lock(m_mutex);
        if (--m_running == 0)
            m_idle.signalAll();
    }
    void close()
    {
        MutexLock lock(m_mutex);
        m_closed = true;
        m_idle.wait(m_mutex, [&] {
            m_mutex.assertHeld();
            return m_running == 0;
        });
    }

private:
    Mutex m_mutex;
    CondVar m_idle;
    bool m_closed GUARDED_BY(m_mutex) = false;
    int m_running GUARDED_BY(m_mutex) = 0;
};

// Holds the gate open for one scope; open() says whether the callbacks may run.
class GatePass {
public:
    explicit GatePass(CallbackGate& gate)
        : m_gate(gate)
        , m_open(gate.enter())
    {
    }
    ~GatePass()
    {
        if (m_open)
            m_gate.leave();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    bool open() const { return m_open; }

private:
    CallbackGate& m_gate;
    const bool m_open;
};

// One client socket (address and port) of an application, and everything the source keeps for it.
struct Conversation {
    enum class Mode { Waiting, Taken, Relayed };

    const std::string key;
    const sockaddr_storage client;
    const sockaddr_storage firstDestination;
    // When a datagram last passed either way (steady clock, ns); replies are sent from the flows' queues.
    std::atomic<int64_t> lastActivity { nowNanos() };

    const int64_t created = nowNanos();

    // The source's queue only.
    Mode mode = Mode::Waiting;
    // The destinations a relayed client sent to, oldest first: only their answers reach it.
    std::deque<std::string> relayedPeers;
    std::vector<std::pair<sockaddr_storage, std::vector<uint8_t>>> waiting;
    NEAppProxyUDPFlowPtr flow;
    UniqueFd relay;
    DispatchSourcePtr relaySource;

    // Watches a new reply socket for what the client sends into it (see ReplySocket); set once, by the source.
    std::function<DispatchSourcePtr(int fd, const sockaddr_storage& from)> watchReplies;

    // A socket that answers the client as one endpoint. It is connected to the client, so that it takes in
    // nothing a local server of that endpoint's address is sent; but then the kernel also hands it, instead of
    // the listener, what the client sends to that endpoint, and that is read from it as from the listener.
    struct ReplySocket {
        UniqueFd fd;
        DispatchSourcePtr source;
    };
    // Reply sockets are used from the flow's queue (its sink) and from the source's queue (relayed answers).
    Mutex mutex;
    bool closed GUARDED_BY(mutex) = false;
    std::map<std::string, ReplySocket> replySockets GUARDED_BY(mutex);

    Conversation(std::string key, const sockaddr_storage& client, const sockaddr_storage& destination)
        : key(std::move(key))
        , client(client)
        , firstDestination(destination)
    {
    }

    void touch() { lastActivity.store(nowNanos(), std::memory_order_relaxed); }

    // Sends `data` to the client as `from`; dropped once the client ended or when no socket can send as `from`.
    void sendFrom(const SocketMaker& maker, const sockaddr_storage& from, const uint8_t* data, std::size_t size)
    {
        MutexLock lock(mutex);
        if (closed)
            return;
        const std::string endpoint = SocketAddressKey(from);
        auto it = replySockets.find(endpoint);
        if (it == replySockets.end()) {
            if (replySockets.size() >= kMaxReplySockets)
                return;
            auto fd = maker.makeTransparent(from, client);
            if (!fd) {
                SystemLog("udp tproxy: cannot answer " + EndpointOf(client).description() + " from "
                    + EndpointOf(from).description() + ": " + fd.status().message());
                return;
            }
            ReplySocket reply;
            reply.source = watchReplies ? watchReplies(fd->get(), from) : nullptr;
            if (!reply.source) {
                // Kept unread, it would swallow what the client sends to the endpoint: this reply goes alone.
                SystemLog("udp tproxy: cannot watch the answers to " + EndpointOf(client).description() + " from "
                    + EndpointOf(from).description());
                touch();
                retryOnEintr([&] { return ::send(fd->get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
                return;
            }
            reply.fd = std::move(*fd);
            it = replySockets.emplace(endpoint, std::move(reply)).first;
        }
        touch();
        // A reply that does not fit the socket's buffer is lost, as it would be on the wire.
        retryOnEintr([&] { return ::send(it->second.fd.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
    }

    // Closes the reply sockets; later replies are dropped.
    void close()
    {
        MutexLock lock(mutex);
        closed = true;
        // Cancelled before the close: a source must never see its descriptor's number once it is free.
        for (auto& [endpoint, reply] : replySockets)
            if (reply.source)
                reply.source->cancel();
        replySockets.clear();
    }
};

using ConversationPtr = std::shared_ptr<Conversation>;

} // namespace

struct UdpTproxySource::State : std::enable_shared_from_this<UdpTproxySource::State> {
    struct Listener {
        UniqueFd fd;
        sockaddr_storage address {};
        std::string key; // SocketAddressKey of `address`
        DispatchSourcePtr source;
    };

    // Immutable after open().
    std::shared_ptr<const SocketMaker> maker;
    std::chrono::milliseconds idleLimit;
    std::chrono::milliseconds checkInterval;
    std::size_t maxClients;
    Identify identify;
    Alive alive;
    Offer offer;
    uint16_t port = 0;
    bool hasIpv6 = false;
    const DispatchQueuePtr queue = DispatchQueue::create("udp tproxy");
    const DispatchQueuePtr checkQueue = DispatchQueue::create("udp tproxy check");

    CallbackGate gate;
    std::atomic<std::size_t> count { 0 };

    // The queue's blocks only (open() sets the listeners up before any block runs).
    std::vector<Listener> listeners;
    std::unordered_map<std::string, ConversationPtr> conversations;
    bool stopped = false;
    bool checking = false;
    std::vector<uint8_t> receiveBuffer = std::vector<uint8_t>(kMaxDatagram); // every receive of the queue
    bool loggedFull = false;

    Status listen(int family, uint16_t wantedPort);
    void receive(Listener& listener);
    void onDatagram(const sockaddr_storage& client, const sockaddr_storage& destination, std::vector<uint8_t> data);
    void startOffer(const ConversationPtr& conversation);
    void settle(const ConversationPtr& conversation, const NEAppProxyUDPFlowPtr& taken);
    void startRelay(Conversation& conversation);
    void relayAnswers(Conversation& conversation);
    void takeFromReplySocket(int fd, const sockaddr_storage& client, const sockaddr_storage& endpoint);
    void end(const ConversationPtr& conversation);
    bool isCurrent(const ConversationPtr& conversation) const;
    void scheduleCheck();
    void check();
    void shutdown();
};

Status UdpTproxySource::State::listen(int family, uint16_t wantedPort)
{
    auto fd = maker->make(family);
    if (!fd)
        return fd.status();
    Listener listener;
    listener.fd = std::move(*fd);
    const int sock = listener.fd.get();
    if (family == AF_INET6) {
        if (!setOption(sock, SOL_IPV6, IPV6_V6ONLY, 1))
            return failure("IPV6_V6ONLY");
        if (!setOption(sock, SOL_IPV6, IPV6_TRANSPARENT, 1))
            return failure("IPV6_TRANSPARENT");
        if (!setOption(sock, SOL_IPV6, IPV6_RECVORIGDSTADDR, 1))
            return failure("IPV6_RECVORIGDSTADDR");
        auto& in6 = reinterpret_cast<sockaddr_in6&>(listener.address);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        in6.sin6_port = htons(wantedPort);
    } else {
        if (!setOption(sock, SOL_IP, IP_TRANSPARENT, 1))
            return failure("IP_TRANSPARENT");
        if (!setOption(sock, SOL_IP, IP_RECVORIGDSTADDR, 1))
            return failure("IP_RECVORIGDSTADDR");
        auto& in = reinterpret_cast<sockaddr_in&>(listener.address);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in.sin_port = htons(wantedPort);
    }
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&listener.address), SocketAddressLength(listener.address))
        != 0) {
        const int err = errno;
        return failure("bind " + EndpointOf(listener.address).description(), err);
    }
    socklen_t length = sizeof listener.address;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&listener.address), &length) != 0)
        return failure("getsockname");
    listener.key = SocketAddressKey(listener.address);
    listeners.push_back(std::move(listener));
    return {};
}

void UdpTproxySource::State::receive(Listener& listener)
{
    std::vector<uint8_t>& buffer = receiveBuffer;
    for (int i = 0; i < kReadBatch && !stopped; ++i) {
        sockaddr_storage client {};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(sockaddr_in6))];
        iovec iov { buffer.data(), buffer.size() };
        msghdr message {};
        message.msg_name = &client;
        message.msg_namelen = sizeof client;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = retryOnEintr([&] { return ::recvmsg(listener.fd.get(), &message, MSG_DONTWAIT); });
        if (n < 0) {
            // EAGAIN: drained. Anything else (an ICMP error queued on the socket) concerns no datagram.
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            continue;
        }
        if ((message.msg_flags & MSG_TRUNC) != 0 || client.ss_family != listener.address.ss_family)
            continue;
        std::optional<sockaddr_storage> destination;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            const bool v4 = c->cmsg_level == SOL_IP && c->cmsg_type == IP_ORIGDSTADDR
                && c->cmsg_len >= CMSG_LEN(sizeof(sockaddr_in));
            const bool v6 = c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_ORIGDSTADDR
                && c->cmsg_len >= CMSG_LEN(sizeof(sockaddr_in6));
            if (v4 || v6) {
                sockaddr_storage address {};
                std::memcpy(&address, CMSG_DATA(c), v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
                destination = address;
            }
        }
        // A datagram sent to the listener itself was not captured: relaying it would send it back here.
        if (!destination || destination->ss_family != client.ss_family
            || SocketAddressKey(*destination) == listener.key)
            continue;
        onDatagram(client, *destination, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
    }
}

void UdpTproxySource::State::onDatagram(
    const sockaddr_storage& client, const sockaddr_storage& destination, std::vector<uint8_t> data)
{
    std::string key = SocketAddressKey(client);
    auto it = conversations.find(key);
    if (it == conversations.end()) {
        if (conversations.size() >= maxClients) {
            if (!loggedFull)
                SystemLog("udp tproxy: " + std::to_string(maxClients) + " clients served already, dropping "
                    + EndpointOf(client).description() + " -> " + EndpointOf(destination).description());
            loggedFull = true;
            return;
        }
        auto conversation = std::make_shared<Conversation>(std::move(key), client, destination);
        conversation->watchReplies
            = [weak = weak_from_this(), client](int fd, const sockaddr_storage& from) -> DispatchSourcePtr {
            const auto self = weak.lock();
            if (!self)
                return nullptr;
            auto source = DispatchSource::create(DispatchSource::Kind::Read, fd, self->queue, [weak, fd, client, from] {
                if (const auto self = weak.lock(); self && !self->stopped)
                    self->takeFromReplySocket(fd, client, from);
            });
            if (!source->resume().ok())
                return nullptr;
            return source;
        };
        conversation->waiting.emplace_back(destination, std::move(data));
        conversations.emplace(conversation->key, conversation);
        count.store(conversations.size());
        startOffer(conversation);
        return;
    }
    Conversation& conversation = *it->second;
    conversation.touch();
    switch (conversation.mode) {
    case Conversation::Mode::Waiting:
        if (conversation.waiting.size() < kMaxWaiting)
            conversation.waiting.emplace_back(destination, std::move(data));
        break;
    case Conversation::Mode::Taken:
        conversation.flow->deliver({ std::move(data), EndpointOf(destination) });
        break;
    case Conversation::Mode::Relayed:
        if (conversation.relay) {
            std::string peer = SocketAddressKey(destination);
            if (std::find(conversation.relayedPeers.begin(), conversation.relayedPeers.end(), peer)
                == conversation.relayedPeers.end()) {
                if (conversation.relayedPeers.size() >= kMaxRelayedPeers)
                    conversation.relayedPeers.pop_front();
                conversation.relayedPeers.push_back(std::move(peer));
            }
            retryOnEintr([&] {
                return ::sendto(conversation.relay.get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&destination), SocketAddressLength(destination));
            });
        }
        break;
    }
}

void UdpTproxySource::State::startOffer(const ConversationPtr& conversation)
{
    // A queue of the client's own: identify may wait on the system, and must hold up no other client.
    DispatchQueue::create("udp tproxy offer")->async([self = shared_from_this(), conversation] {
        GatePass pass(self->gate);
        if (!pass.open())
            return;
        FlowMetaData metaData;
        NEAppProxyUDPFlowPtr taken;
        try {
            if (self->identify)
                metaData = self->identify(conversation->client, conversation->firstDestination);
            std::weak_ptr<Conversation> weak = conversation;
            auto flow = NEAppProxyUDPFlow::create(
                std::nullopt, std::move(metaData), [weak, maker = self->maker](const FlowDatagram& reply) {
                    auto conversation = weak.lock();
                    if (!conversation)
                        return;
                    const auto from = SocketAddressOf(reply.endpoint, conversation->client.ss_family);
                    if (from)
                        conversation->sendFrom(*maker, *from, reply.data.data(), reply.data.size());
                });
            if (self->offer && self->offer(flow, EndpointOf(conversation->firstDestination)))
                taken = flow;
        } catch (const std::exception& error) {
            SystemLog(
                "udp tproxy: offering " + EndpointOf(conversation->client).description() + " failed: " + error.what());
        } catch (...) {
            SystemLog("udp tproxy: offering " + EndpointOf(conversation->client).description() + " failed");
        }
        // Posted before the gate lets stop() go on, so that stop() finds the flow and ends it.
        self->queue->async([self, conversation, taken] { self->settle(conversation, taken); });
    });
}

bool UdpTproxySource::State::isCurrent(const ConversationPtr& conversation) const
{
    auto it = conversations.find(conversation->key);
    return !stopped && it != conversations.end() && it->second == conversation;
}

void UdpTproxySource::State::settle(const ConversationPtr& conversation, const NEAppProxyUDPFlowPtr& taken)
{
    if (!isCurrent(conversation)) {
        if (taken)
            taken->deliverEnd();
        return;
    }
    if (taken) {
        conversation->mode = Conversation::Mode::Taken;
        conversation->flow = taken;
        for (auto& [destination, data] : conversation->waiting)
            taken->deliver({ std::move(data), EndpointOf(destination) });
    } else {
        conversation->mode = Conversation::Mode::Relayed;
        startRelay(*conversation);
        for (auto& [destination, data] : conversation->waiting)
            onDatagram(conversation->client, destination, std::move(data));
    }
    conversation->waiting.clear();
}

void UdpTproxySource::State::startRelay(Conversation& conversation)
{
    auto fd = maker->make(conversation.client.ss_family);
    if (!fd) {
        // The client stays known without a relay, so its datagrams are dropped until it goes idle instead of
        // each one being offered again.
        SystemLog(
            "udp tproxy: cannot relay " + EndpointOf(conversation.client).description() + ": " + fd.status().message());
        return;
    }
    conversation.relay = std::move(*fd);
    // The source is cancelled in end() before the conversation can go, so the plain pointers stay valid.
    conversation.relaySource = DispatchSource::create(
        DispatchSource::Kind::Read, conversation.relay.get(), queue, [this, c = &conversation] { relayAnswers(*c); });
    const Status started = conversation.relaySource->resume();
    if (!started.ok()) {
        SystemLog("udp tproxy: cannot watch the relay of " + EndpointOf(conversation.client).description() + ": "
            + started.message());
        conversation.relaySource.reset();
        conversation.relay.reset();
    }
}

void UdpTproxySource::State::relayAnswers(Conversation& conversation)
{
    std::vector<uint8_t>& buffer = receiveBuffer;
    for (int i = 0; i < kReadBatch && conversation.relay; ++i) {
        sockaddr_storage from {};
        socklen_t length = sizeof from;
        const ssize_t n = retryOnEintr([&] {
            return ::recvfrom(conversation.relay.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                reinterpret_cast<sockaddr*>(&from), &length);
        });
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            continue; // an ICMP error for an earlier datagram
        }
        // Only the destinations the client sent to may answer it: anyone else could pose as any of them.
        if (from.ss_family != conversation.client.ss_family
            || std::find(conversation.relayedPeers.begin(), conversation.relayedPeers.end(), SocketAddressKey(from))
                == conversation.relayedPeers.end())
            continue;
        conversation.sendFrom(*maker, from, buffer.data(), static_cast<std::size_t>(n));
    }
}

void UdpTproxySource::State::takeFromReplySocket(
    int fd, const sockaddr_storage& client, const sockaddr_storage& endpoint)
{
    std::vector<uint8_t>& buffer = receiveBuffer;
    for (int i = 0; i < kReadBatch && !stopped; ++i) {
        const ssize_t n = retryOnEintr([&] { return ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT); });
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            continue; // an ICMP error for an earlier reply
        }
        onDatagram(client, endpoint, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
    }
}

void UdpTproxySource::State::end(const ConversationPtr& conversation)
{
    conversations.erase(conversation->key);
    count.store(conversations.size());
    if (conversation->flow)
        conversation->flow->deliverEnd();
    if (conversation->relaySource)
        conversation->relaySource->cancel();
    conversation->relaySource.reset();
    conversation->relay.reset();
    conversation->waiting.clear();
    conversation->close();
    loggedFull = false;
}

void UdpTproxySource::State::scheduleCheck()
{
    queue->after(checkInterval, [self = shared_from_this()] { self->check(); });
}

void UdpTproxySource::State::check()
{
    if (stopped)
        return;
    scheduleCheck();
    const int64_t now = nowNanos();
    const int64_t limit = std::chrono::duration_cast<std::chrono::nanoseconds>(idleLimit).count();
    std::vector<ConversationPtr> idle;
    std::vector<ConversationPtr> served;
    for (const auto& [key, conversation] : conversations) {
        // A client waiting for its offer is not idle: identify may take its time, but not for ever, or a hung
        // lookup would hold one of the clients' places for good.
        if (conversation->mode == Conversation::Mode::Waiting) {
            if (now - conversation->created >= limit)
                idle.push_back(conversation);
            continue;
        }
        if (now - conversation->lastActivity.load(std::memory_order_relaxed) >= limit)
            idle.push_back(conversation);
        else
            served.push_back(conversation);
    }
    for (const ConversationPtr& conversation : idle)
        end(conversation);
    if (checking || served.empty())
        return;
    // Asking the system whether a socket is alive, and each flow for its state, may take a while: done off
    // the receiving queue, one round at a time.
    checking = true;
    checkQueue->async([self = shared_from_this(), served = std::move(served)] {
        GatePass pass(self->gate);
        if (!pass.open())
            return;
        std::vector<ConversationPtr> over;
        for (const ConversationPtr& conversation : served) {
            if (conversation->flow) {
                const auto state = conversation->flow->closeState();
                if (state.readClosed && state.writeClosed) {
                    over.push_back(conversation);
                    continue;
                }
            }
            try {
                if (self->alive && !self->alive(conversation->client, conversation->firstDestination))
                    over.push_back(conversation);
            } catch (...) {
                SystemLog(
                    "udp tproxy: the liveness check of " + EndpointOf(conversation->client).description() + " failed");
            }
        }
        self->queue->async([self, over = std::move(over)] {
            self->checking = false;
            for (const ConversationPtr& conversation : over) {
                if (self->isCurrent(conversation))
                    self->end(conversation);
            }
        });
    });
}

void UdpTproxySource::State::shutdown()
{
    if (stopped)
        return;
    for (Listener& listener : listeners) {
        if (listener.source)
            listener.source->cancel();
    }
    listeners.clear();
    std::vector<ConversationPtr> all;
    for (const auto& [key, conversation] : conversations)
        all.push_back(conversation);
    for (const ConversationPtr& conversation : all)
        end(conversation);
    stopped = true;
}

Result<std::unique_ptr<UdpTproxySource>> UdpTproxySource::open(
    UdpTproxyOptions options, Identify identify, Alive alive, Offer offer)
{
    auto state = std::make_shared<State>();
    auto maker = std::make_shared<SocketMaker>();
    maker->ownMark = options.ownMark;
    maker->makeSocket = options.makeSocket ? std::move(options.makeSocket)
                                           : [](int domain, int type) { return ::socket(domain, type, 0); };
    state->maker = std::move(maker);
    state->idleLimit = options.idleLimit;
    state->checkInterval = std::max(options.checkInterval, std::chrono::milliseconds(1));
    state->maxClients = options.maxClients;
    state->identify = std::move(identify);
    state->alive = std::move(alive);
    state->offer = std::move(offer);

    // Nothing runs on the queue yet: the listeners are set up from this thread.
    Status status;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        state->listeners.clear();
        status = state->listen(AF_INET, options.port);
        if (!status.ok())
            return status;
        const uint16_t port = SocketPort(state->listeners.front().address);
        status = state->listen(AF_INET6, port);
        if (status.ok() || status.errnum() == EAFNOSUPPORT || status.errnum() == EADDRNOTAVAIL) {
            state->port = port;
            state->hasIpv6 = status.ok();
            status = {};
            break;
        }
        if (status.errnum() != EADDRINUSE || options.port != 0)
            return status;
    }
    if (!status.ok())
        return status;

    for (State::Listener& listener : state->listeners) {
        listener.source = DispatchSource::create(DispatchSource::Kind::Read, listener.fd.get(), state->queue,
            [raw = state.get(), listener = &listener] { raw->receive(*listener); });
    }
    for (State::Listener& listener : state->listeners) {
        Status started = listener.source->resume();
        if (!started.ok()) {
            state->queue->sync([&] { state->shutdown(); });
            return started;
        }
    }
    state->queue->async([state] { state->scheduleCheck(); });
    return std::unique_ptr<UdpTproxySource>(new UdpTproxySource(std::move(state)));
}

UdpTproxySource::UdpTproxySource(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

UdpTproxySource::~UdpTproxySource()
{
    stop();
}

uint16_t UdpTproxySource::port() const
{
    return m_state->port;
}

bool UdpTproxySource::hasIpv6() const
{
    return m_state->hasIpv6;
}

void UdpTproxySource::stop()
{
    m_state->gate.close();
    m_state->queue->sync([state = m_state.get()] { state->shutdown(); });
}

std::size_t UdpTproxySource::flowCount() const
{
    return m_state->count.load();
}

} // namespace corvantis
