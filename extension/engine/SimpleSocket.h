#pragma once

#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/Host.h"
#include "extension/engine/SocketEventsManager.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// A destination as the flow code hands it over; a missing value counts as "".
struct SimpleSocketEndpoint {
    std::optional<std::string> hostname;
    std::optional<std::string> port;
};

// One received datagram with its sender (numeric address text, IPv6 without brackets; port in host order).
struct SimpleSocketReadResult {
    std::vector<std::uint8_t> data;
    std::string host;
    std::uint16_t port = 0;
};

// Called once with the outcome of a resolution: the resolved host, or on failure the host that was tried.
using HostResultProcessor = std::function<void(bool success, const CHost& host)>;
// Resolves a host that has no address yet and calls the processor exactly once, at once or later on another
// thread. The engine passes one built over its DNS resolver and address table.
using HostResolver = std::function<void(const CHost& host, HostResultProcessor resultProcessor)>;
// Called on the event loop thread whenever one of the socket's descriptors has an event.
using SocketEventCallback = std::function<void()>;
// Called once with nothing on success, else an error text.
using SendResultProcessor = std::function<void(const std::optional<std::string>& error)>;

// The engine's datagram socket towards the real targets of one UDP flow. It owns at most one unconnected,
// non-blocking UDP socket per address family, created on first use and registered with the event loop for read
// events, and remembers every name it resolved (for the life of the object), answering later datagrams to that
// name with their own port without resolving again.
//
// Thread-safety: the owner calls it from one serial queue, but resolutions complete on other threads (the event
// loop's), so the hosts and sockets are guarded by one mutex; callbacks are never called under it.
class SimpleSocket final : public std::enable_shared_from_this<SimpleSocket> {
public:
    // A socket for `endpoint`'s host and port as the default host, using `eventsManager` for its sockets and
    // `resolver` for names; `appName` may be null.
    static std::shared_ptr<SimpleSocket> createAndSetDefaultHostname(
        const std::optional<SimpleSocketEndpoint>& endpoint, SocketEventsManagerPtr eventsManager,
        std::shared_ptr<const AppNameSource> appName, bool isUdp, HostResolver resolver);

    ~SimpleSocket();
    SimpleSocket(const SimpleSocket&) = delete;
    SimpleSocket& operator=(const SimpleSocket&) = delete;

    // Makes `host`:`port` the default host and enters it under its name; clears the closed mark.
    void setDefaultHost(const std::string& host, const std::string& port, bool isUdp);
    void setEventsManager(SocketEventsManagerPtr eventsManager);
    void setM_appName(std::shared_ptr<const AppNameSource> appName);
    std::shared_ptr<const AppNameSource> m_appName() const;

    // True when a name known to `other` is known here too.
    bool isSameHostContained(const SimpleSocket& other) const;

    // A host with an address is reported at once; otherwise the resolver is asked.
    void resolveHost(const CHost& host, HostResultProcessor resultProcessor);

    // Resolves the default host and opens the socket of its family; `status` receives whether both worked.
    void resolveDefaultHostname(std::function<void(bool)> status, SocketEventCallback socketEventProcessor);

    // The socket of `family` (AF_INET or AF_INET6), created and registered on first use; null on failure or for
    // another family. `socketEventProcessor` is used only when the socket is created.
    std::shared_ptr<CSafeSocket> getSocketForFamily(int family, SocketEventCallback socketEventProcessor);

    // Calls `resultProcessor` exactly once with the destination `name` with `port`: a numeric name at once, a
    // name resolved before from memory, any other after resolution. No name gives the default host.
    void getResolvedHostForName(
        const std::optional<std::string>& name, const std::string& port, HostResultProcessor resultProcessor);

    // Sends `data` as one datagram to `destination`; `resultProcessor` is called exactly once, possibly after
    // this returns (when the name must be resolved).
    void writeDatagram(const std::vector<std::uint8_t>& data, const std::optional<SimpleSocketEndpoint>& destination,
        SendResultProcessor resultProcessor, SocketEventCallback socketEventProcessor);

    // One datagram from the IPv4 socket, else from the IPv6 one; empty data when neither has one; nothing on a
    // receive error, which ends the socket for its owner. A datagram is always returned whole.
    std::optional<SimpleSocketReadResult> readDatagram();

    // Once: shuts every socket down and removes it from the event loop. The descriptors close on destruction.
    void close();
    void shutdownWrite();
    void shutdownRead();

private:
    struct SockInfo {
        std::shared_ptr<CSafeSocket> socket;
        std::uint64_t socketId = 0;
    };

    explicit SimpleSocket(HostResolver resolver);

    const HostResolver m_resolver;
    mutable Mutex m_mutex;
    std::string mPort GUARDED_BY(m_mutex);
    std::shared_ptr<CHost> m_hostPtr GUARDED_BY(m_mutex);
    std::map<std::string, std::shared_ptr<CHost>> m_hosts GUARDED_BY(m_mutex);
    std::map<int, SockInfo> m_sockets GUARDED_BY(m_mutex);
    SocketEventsManagerPtr m_eventsManager GUARDED_BY(m_mutex);
    bool closed GUARDED_BY(m_mutex) = false;
    std::shared_ptr<const AppNameSource> m_appNamePtr GUARDED_BY(m_mutex);
};

using SimpleSocketPtr = std::shared_ptr<SimpleSocket>;

} // namespace corvantis
