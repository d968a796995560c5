#include "extension/engine/SimpleSocket.h"

#include "core/foundation/LogMessage.h"
#include "core/profile/AddressUtils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>

namespace corvantis {

namespace {

// The largest UDP payload plus one, so that a datagram never arrives cut.
constexpr size_t kDatagramBuffer = 65536;

std::uint16_t portFromText(const std::string& text)
{
    // The leading integer of the text, as the flow code's endpoints give it; anything else counts as 0.
    return static_cast<std::uint16_t>(std::strtoll(text.c_str(), nullptr, 10));
}

std::string destinationText(const CHost& host)
{
    const std::string address = SockAddrToString(host.GetSockAddr());
    const std::string port = std::to_string(GetSockAddrPort(host.GetSockAddr()));
    return host.m_AddressFamily == AF_INET6 ? "[" + address + "]:" + port : address + ":" + port;
}

std::string formatText(const char* format, auto... values)
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

} // namespace

SimpleSocket::SimpleSocket(HostResolver resolver)
    : m_resolver(std::move(resolver))
{
}

SimpleSocket::~SimpleSocket() = default;

std::shared_ptr<SimpleSocket> SimpleSocket::createAndSetDefaultHostname(
    const std::optional<SimpleSocketEndpoint>& endpoint, SocketEventsManagerPtr eventsManager,
    std::shared_ptr<const AppNameSource> appName, bool isUdp, HostResolver resolver)
{
    std::shared_ptr<SimpleSocket> socket(new SimpleSocket(std::move(resolver)));
    const std::string host = endpoint && endpoint->hostname ? *endpoint->hostname : "";
    const std::string port = endpoint && endpoint->port ? *endpoint->port : "";
    socket->setDefaultHost(host, port, isUdp);
    socket->setEventsManager(std::move(eventsManager));
    socket->setM_appName(std::move(appName));
    return socket;
}

void SimpleSocket::setDefaultHost(const std::string& host, const std::string& port, bool isUdp)
{
    auto defaultHost = std::make_shared<CHost>(host, portFromText(port), isUdp);
    MutexLock lock(m_mutex);
    closed = false;
    mPort = port;
    m_hostPtr = defaultHost;
    m_hosts[host] = defaultHost;
}

void SimpleSocket::setEventsManager(SocketEventsManagerPtr eventsManager)
{
    MutexLock lock(m_mutex);
    closed = false;
    m_eventsManager = std::move(eventsManager);
}

void SimpleSocket::setM_appName(std::shared_ptr<const AppNameSource> appName)
{
    MutexLock lock(m_mutex);
    m_appNamePtr = std::move(appName);
}

std::shared_ptr<const AppNameSource> SimpleSocket::m_appName() const
{
    MutexLock lock(m_mutex);
    return m_appNamePtr;
}

bool SimpleSocket::isSameHostContained(const SimpleSocket& other) const
{
    if (&other == this) {
        MutexLock lock(m_mutex);
        return !m_hosts.empty();
    }
    std::vector<std::string> names;
    {
        MutexLock lock(other.m_mutex);
        for (const auto& [name, host] : other.m_hosts) {
            names.push_back(name);
        }
    }
    MutexLock lock(m_mutex);
    for (const std::string& name : names) {
        if (m_hosts.count(name) != 0) {
            return true;
        }
    }
    return false;
}

void SimpleSocket::resolveHost(const CHost& host, HostResultProcessor resultProcessor)
{
    if (host.m_AddressFamily != 0) {
        resultProcessor(true, host);
        return;
    }
    if (!m_resolver) {
        resultProcessor(false, host);
        return;
    }
    m_resolver(host, std::move(resultProcessor));
}

void SimpleSocket::resolveDefaultHostname(std::function<void(bool)> status, SocketEventCallback socketEventProcessor)
{
    std::shared_ptr<CHost> defaultHost;
    {
        MutexLock lock(m_mutex);
        defaultHost = m_hostPtr;
    }
    if (!defaultHost) {
        status(false);
        return;
    }
    auto self = shared_from_this();
    resolveHost(*defaultHost, [self, status, socketEventProcessor](bool success, const CHost& resolved) {
        if (!success) {
            status(false);
            return;
        }
        auto resolvedPtr = std::make_shared<CHost>(resolved);
        {
            MutexLock lock(self->m_mutex);
            // The default host's own name answers later datagrams from memory too.
            const CHost* const previous = self->m_hostPtr.get();
            const auto known = std::find_if(self->m_hosts.begin(), self->m_hosts.end(),
                [&](const auto& entry) { return entry.second.get() == previous; });
            if (known != self->m_hosts.end()) {
                known->second = resolvedPtr;
            }
            self->m_hostPtr = resolvedPtr;
        }
        status(self->getSocketForFamily(resolvedPtr->m_AddressFamily, socketEventProcessor) != nullptr);
    });
}

std::shared_ptr<CSafeSocket> SimpleSocket::getSocketForFamily(int family, SocketEventCallback socketEventProcessor)
{
    MutexLock lock(m_mutex);
    const auto found = m_sockets.find(family);
    if (found != m_sockets.end()) {
        return found->second.socket;
    }
    if ((family != AF_INET && family != AF_INET6) || !m_eventsManager) {
        return nullptr;
    }
    std::shared_ptr<CSafeSocket> socket = CSafeSocket::Create(family, SOCK_DGRAM, IPPROTO_UDP);
    if (!socket || !socket->SetNonBlocking()) {
        return nullptr;
    }
    std::uint64_t socketId = 0;
    auto callback = std::move(socketEventProcessor);
    if (!m_eventsManager->AddSocket(socket->GetSocket(), false, 0, socketId, [callback](eventDescription) {
            if (callback) {
                callback();
            }
        })) {
        return nullptr;
    }
    m_sockets[family] = SockInfo { socket, socketId };
    return socket;
}

void SimpleSocket::getResolvedHostForName(
    const std::optional<std::string>& name, const std::string& port, HostResultProcessor resultProcessor)
{
    std::shared_ptr<CHost> known;
    std::shared_ptr<CHost> defaultHost;
    {
        MutexLock lock(m_mutex);
        defaultHost = m_hostPtr;
        if (name) {
            const auto found = m_hosts.find(*name);
            if (found != m_hosts.end()) {
                known = found->second;
            }
        }
    }
    if (!name) {
        resultProcessor(true, defaultHost ? *defaultHost : CHost());
        return;
    }
    const bool isUdp = defaultHost ? defaultHost->m_isUdp : false;
    const std::uint16_t portNumber = portFromText(port);
    const CHost wanted(*name, portNumber, isUdp);
    if (wanted.m_AddressFamily != 0) {
        resultProcessor(true, wanted);
        return;
    }
    if (!known || known->m_AddressFamily == 0) {
        // Not seen yet, or entered (as the default host) before it was resolved: resolve it now.
        auto self = shared_from_this();
        const std::string key = *name;
        resolveHost(wanted, [self, key, resultProcessor](bool success, const CHost& resolved) {
            if (success) {
                MutexLock lock(self->m_mutex);
                self->m_hosts[key] = std::make_shared<CHost>(resolved);
            }
            resultProcessor(success, resolved);
        });
        return;
    }
    if (known->m_AddressFamily == AF_INET6) {
        sockaddr_in6 address = known->m_Addr.v6;
        address.sin6_port = htons(portNumber);
        resultProcessor(true, CHost(address, isUdp));
    } else {
        sockaddr_in address = known->m_Addr.v4;
        address.sin_port = htons(portNumber);
        resultProcessor(true, CHost(address, isUdp));
    }
}

void SimpleSocket::writeDatagram(const std::vector<std::uint8_t>& data,
    const std::optional<SimpleSocketEndpoint>& destination, SendResultProcessor resultProcessor,
    SocketEventCallback socketEventProcessor)
{
    const std::string host = destination && destination->hostname ? *destination->hostname : "";
    const std::string port = destination && destination->port ? *destination->port : "";
    auto self = shared_from_this();
    getResolvedHostForName(
        host, port, [self, data, resultProcessor, socketEventProcessor](bool success, const CHost& resolved) {
            if (!success) {
                resultProcessor(std::string("hostname cannot be resolved"));
                return;
            }
            const auto socket = self->getSocketForFamily(resolved.m_AddressFamily, socketEventProcessor);
            if (!socket) {
                resultProcessor(std::string("socket cannot be created"));
                return;
            }
            const socklen_t length = resolved.m_AddressFamily == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            int error = 0;
            const ssize_t sent = socket->SendTo(data.data(), data.size(), 0, &resolved.GetSockAddr(), length, error);
            if (sent >= 0 && static_cast<size_t>(sent) == data.size()) {
                resultProcessor(std::nullopt);
                return;
            }
            const std::string target = destinationText(resolved);
            if (sent < 0) {
                resultProcessor(formatText("cannot send data to %s with error %d", target.c_str(), error));
            } else {
                resultProcessor(formatText("data size mismatch %ld/%lu with error %d on send to %s",
                    static_cast<long>(sent), static_cast<unsigned long>(data.size()), 0, target.c_str()));
            }
        });
}

std::optional<SimpleSocketReadResult> SimpleSocket::readDatagram()
{
    std::vector<std::shared_ptr<CSafeSocket>> sockets;
    {
        MutexLock lock(m_mutex);
        for (const auto& [family, info] : m_sockets) {
            sockets.push_back(info.socket);
        }
    }
    std::vector<std::uint8_t> buffer(kDatagramBuffer);
    for (const auto& socket : sockets) {
        sockaddr_storage sender {};
        socklen_t senderLength = sizeof sender;
        // MSG_TRUNC makes the kernel report the datagram's real length, so a cut one is seen and never passed
        // on as if it were whole.
        const ssize_t received = socket->RecvFrom(buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
            reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (received == 0) {
            continue;
        }
        if (static_cast<size_t>(received) > buffer.size()) {
            CLogMessage(kLogError) << "SimpleSocket: dropped a datagram of " << received << " bytes, larger than "
                                   << buffer.size();
            continue;
        }
        SimpleSocketReadResult result;
        result.data.assign(buffer.begin(), buffer.begin() + received);
        const sockaddr& from = *reinterpret_cast<const sockaddr*>(&sender);
        result.host = SockAddrToString(from);
        result.port = GetSockAddrPort(from);
        return result;
    }
    return SimpleSocketReadResult {};
}

void SimpleSocket::close()
{
    std::vector<SockInfo> sockets;
    SocketEventsManagerPtr manager;
    {
        MutexLock lock(m_mutex);
        if (closed) {
            return;
        }
        closed = true;
        for (const auto& [family, info] : m_sockets) {
            sockets.push_back(info);
        }
        manager = m_eventsManager;
    }
    for (const SockInfo& info : sockets) {
        (void)info.socket->Shutdown();
        if (manager) {
            manager->RemoveSocketId(info.socketId);
        }
    }
}

void SimpleSocket::shutdownWrite()
{
    MutexLock lock(m_mutex);
    for (const auto& [family, info] : m_sockets) {
        (void)info.socket->ShutdownSend();
    }
}

void SimpleSocket::shutdownRead()
{
    MutexLock lock(m_mutex);
    for (const auto& [family, info] : m_sockets) {
        (void)info.socket->ShutdownReceive();
    }
}

} // namespace corvantis
