#include "platform/netext/TcpRedirectSource.h"

#include "platform/SystemLog.h"
#include "platform/ThreadName.h"
#include "platform/netext/AuditToken.h"
#include "platform/netext/SocketAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace corvantis {

namespace {

// The socket options of connection tracking that give a redirected connection's original destination
// (<linux/netfilter_ipv4.h> and <linux/netfilter_ipv6/ip6_tables.h>, whose headers clash with the C library's).
constexpr int kSoOriginalDst = 80;
constexpr int kIp6tSoOriginalDst = 80;

UniqueFd listenOn(int family, uint16_t port, int& err)
{
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        err = errno;
        return fd;
    }
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address {};
    socklen_t length;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else {
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0
        || ::listen(fd.get(), SOMAXCONN) != 0) {
        err = errno;
        fd.reset();
    }
    return fd;
}

// How long the listener waits for descriptors to come free when the process has none left.
constexpr auto kDescriptorWait = std::chrono::milliseconds(50);

sockaddr_storage LocalOf(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

bool SameEndpoint(const sockaddr_storage& a, const sockaddr_storage& b)
{
    return EndpointOf(a) == EndpointOf(b);
}

uint16_t boundPort(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port)
                                         : ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

} // namespace

std::optional<sockaddr_storage> OriginalDestination(int socket, const sockaddr_storage& local)
{
    if (local.ss_family != AF_INET && local.ss_family != AF_INET6)
        return std::nullopt; // its own address could not be read
    sockaddr_storage original {};
    socklen_t length = sizeof original;
    const bool found = local.ss_family == AF_INET6
        ? ::getsockopt(socket, IPPROTO_IPV6, kIp6tSoOriginalDst, &original, &length) == 0
        : ::getsockopt(socket, IPPROTO_IP, kSoOriginalDst, &original, &length) == 0;
    if (!found)
        return std::nullopt;
    return original;
}

Result<std::unique_ptr<TcpRedirectSource>> TcpRedirectSource::open(
    const TcpRedirectOptions& options, Identify identify, Offer offer)
{
    int err = 0;
    std::vector<UniqueFd> listeners;
    UniqueFd v4 = listenOn(AF_INET, options.port, err);
    if (!v4)
        return Status::error(err, "the TCP flow listener cannot listen on port " + std::to_string(options.port));
    const uint16_t port = boundPort(v4.get());
    listeners.push_back(std::move(v4));
    // A machine without IPv6 captures IPv4 alone.
    if (UniqueFd v6 = listenOn(AF_INET6, port, err))
        listeners.push_back(std::move(v6));
    else if (err != EAFNOSUPPORT && err != EADDRNOTAVAIL)
        return Status::error(err, "the TCP flow listener cannot listen on [::1]:" + std::to_string(port));
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake)
        return Status::error(errno, "the TCP flow listener cannot wait");
    auto relay = SpliceRelay::open(options.ownMark, options.makeSocket);
    if (!relay.ok())
        return relay.status();
    return std::make_unique<TcpRedirectSource>(PrivateTag {}, std::move(listeners), port, std::move(wake),
        std::move(relay.value()), options, std::move(identify), std::move(offer));
}

TcpRedirectSource::TcpRedirectSource(PrivateTag, std::vector<UniqueFd> listeners, uint16_t port, UniqueFd wake,
    std::unique_ptr<SpliceRelay> relay, const TcpRedirectOptions& options, Identify identify, Offer offer)
    : m_listeners(std::move(listeners))
    , m_port(port)
    , m_wake(std::move(wake))
    , m_relay(std::move(relay))
    , m_identify(std::move(identify))
    , m_offer(std::move(offer))
{
    for (std::size_t i = 0; i < std::max<std::size_t>(1, options.identityThreads); ++i)
        m_identityThreads.emplace_back([this] { identityLoop(); });
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

TcpRedirectSource::~TcpRedirectSource()
{
    stop();
}

void TcpRedirectSource::stop()
{
    {
        MutexLock lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_ready.signalAll();
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread& thread : m_identityThreads)
        if (thread.joinable())
            thread.join();
    m_relay->stop();
}

void TcpRedirectSource::acceptLoop()
{
    bool outOfDescriptors = false;
    setCurrentThreadName("Corvantis accept");
    std::vector<pollfd> watched;
    for (const UniqueFd& listener : m_listeners)
        watched.push_back({ listener.get(), POLLIN, 0 });
    watched.push_back({ m_wake.get(), POLLIN, 0 });
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
            return;
        if (watched.back().revents)
            return;
        for (std::size_t i = 0; i + 1 < watched.size(); ++i) {
            if (!watched[i].revents)
                continue;
            // Everything waiting, so that a burst of connections costs one wake-up.
            for (;;) {
                Accepted accepted {};
                socklen_t length = sizeof accepted.client;
                accepted.socket.reset(
                    ::accept4(watched[i].fd, reinterpret_cast<sockaddr*>(&accepted.client), &length, SOCK_CLOEXEC));
                if (!accepted.socket) {
                    if (errno == EMFILE || errno == ENFILE) {
                        // The connection stays queued: wait for descriptors to come free instead of spinning.
                        if (!outOfDescriptors)
                            SystemLog("Corvantis flow listener: no descriptor left for a new connection");
                        outOfDescriptors = true;
                        std::this_thread::sleep_for(kDescriptorWait);
                    }
                    break;
                }
                outOfDescriptors = false;
                const sockaddr_storage local = LocalOf(accepted.socket.get());
                const auto destination = OriginalDestination(accepted.socket.get(), local);
                // A connection made to the listener itself (its original destination is where it arrived)
                // carries no destination to go to.
                if (!destination || SameEndpoint(*destination, local))
                    continue;
                accepted.destination = *destination;
                {
                    MutexLock lock(m_mutex);
                    m_queue.push_back(std::move(accepted));
                }
                // Once the lock is free, so that the woken identity thread does not wake only to wait for it;
                // stop() joins this thread before the condition goes.
                m_ready.signal();
            }
        }
    }
}

void TcpRedirectSource::identityLoop()
{
    setCurrentThreadName("Corvantis identity");
    for (;;) {
        Accepted accepted;
        {
            MutexLock lock(m_mutex);
            while (!m_stopping && m_queue.empty())
                m_ready.wait(m_mutex);
            if (m_stopping)
                return;
            accepted = std::move(m_queue.front());
            m_queue.pop_front();
        }
        handle(std::move(accepted));
    }
}

void TcpRedirectSource::handle(Accepted accepted)
{
    FlowMetaData metaData = m_identify ? m_identify(accepted.client, accepted.destination) : FlowMetaData {};
    const auto token
        = metaData.sourceAppAuditToken ? AuditToken::FromBytes(*metaData.sourceAppAuditToken) : std::nullopt;
    // The daemon's own connections are never given to the flow code, which would only send them back here.
    if (token && token->pid == ::getpid()) {
        m_relay->add(std::move(accepted.socket), accepted.destination);
        return;
    }
    const auto flow = NEAppProxyTCPFlow::create(
        std::move(accepted.socket), EndpointOf(accepted.destination), std::nullopt, std::move(metaData));
    {
        MutexLock lock(m_mutex);
        if (m_stopping)
            return;
    }
    if (m_offer && m_offer(flow))
        return;
    // Declined: the kernel has diverted the connection already, so the source carries it where it was going.
    if (UniqueFd socket = flow->takeUnusedSocket())
        m_relay->add(std::move(socket), accepted.destination);
}

} // namespace corvantis
