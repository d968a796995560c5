#pragma once

#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/UniqueFd.h"
#include "platform/netext/NEAppProxyTCPFlow.h"
#include "platform/netext/SpliceRelay.h"

#include <deque>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace corvantis {

struct TcpRedirectOptions {
    uint16_t port = 0; // the listeners' port, the same for IPv4 and IPv6; 0: a free one
    uint32_t ownMark = 0; // the mark of the relay's own connections (0: none)
    std::size_t identityThreads = 4; // threads that find who opened a connection
    // Makes the relay's sockets to the destinations (empty: ::socket); see SpliceRelay::open.
    SpliceRelay::MakeSocket makeSocket;
};

// The TCP side of the machine's flow source: the listeners the capture rules redirect connections to
// (127.0.0.1 and ::1 on one port). Each accepted connection's original destination (kept by the kernel's
// connection tracking) becomes its flow's remote endpoint; who opened it is found on the source's own threads, so
// a slow lookup never holds up another connection's accept; then the flow is offered. A connection the flow code
// does not take, or one the daemon itself made, is relayed straight to its destination.
//
// Thread-safety: every member may be called from any thread; stop() (and the destructor) from one at a time.
class TcpRedirectSource final {
    struct PrivateTag { };

public:
    // Who opened the connection from `client` to `originalDestination`.
    using Identify
        = std::function<FlowMetaData(const sockaddr_storage& client, const sockaddr_storage& originalDestination)>;
    // True: the flow code took the flow.
    using Offer = std::function<bool(const NEAppProxyTCPFlowPtr& flow)>;

    static Result<std::unique_ptr<TcpRedirectSource>> open(
        const TcpRedirectOptions& options, Identify identify, Offer offer);
    TcpRedirectSource(PrivateTag, std::vector<UniqueFd> listeners, uint16_t port, UniqueFd wake,
        std::unique_ptr<SpliceRelay> relay, const TcpRedirectOptions& options, Identify identify, Offer offer);
    ~TcpRedirectSource();
    TcpRedirectSource(const TcpRedirectSource&) = delete;
    TcpRedirectSource& operator=(const TcpRedirectSource&) = delete;

    uint16_t port() const { return m_port; }
    // Connections relayed without the flow code.
    std::size_t relayedCount() const { return m_relay->count(); }
    // Accepts and offers nothing more, and closes the relayed connections; returns once no offer is under way.
    void stop();

private:
    struct Accepted {
        UniqueFd socket;
        sockaddr_storage client;
        sockaddr_storage destination;
    };
    void acceptLoop();
    void identityLoop();
    void handle(Accepted accepted);

    const std::vector<UniqueFd> m_listeners;
    const uint16_t m_port;
    const UniqueFd m_wake;
    const std::unique_ptr<SpliceRelay> m_relay;
    const Identify m_identify;
    const Offer m_offer;

    Mutex m_mutex;
    CondVar m_ready;
    std::deque<Accepted> m_queue GUARDED_BY(m_mutex);
    bool m_stopping GUARDED_BY(m_mutex) = false;
    std::thread m_acceptThread;
    std::vector<std::thread> m_identityThreads;
};

// The destination a redirected connection had before the redirect; nothing when `socket` was not redirected.
// `local` is the socket's own address (getsockname), which tells the family to ask for.
std::optional<sockaddr_storage> OriginalDestination(int socket, const sockaddr_storage& local);

} // namespace corvantis
