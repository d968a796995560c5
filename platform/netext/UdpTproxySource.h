#pragma once

#include "platform/Result.h"
#include "platform/netext/NEAppProxyUDPFlow.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

struct sockaddr_storage;

namespace corvantis {

struct UdpTproxyOptions {
    // The listening port on 127.0.0.1 and [::1]; 0 picks a free one, the same number for both families.
    uint16_t port = 0;
    // Carried (SO_MARK) by every socket of the source, so that its replies and relayed datagrams are never
    // captured again; 0: no mark.
    uint32_t ownMark = 0;
    // A flow through which no datagram passed, either way, for this long ends.
    std::chrono::milliseconds idleLimit { 30000 };
    // How often idle flows, closed flows and `alive` are checked.
    std::chrono::milliseconds checkInterval { 1000 };
    // How many clients the source serves at once. The datagrams of a further client are dropped (logged once
    // until a client leaves): relaying them instead would let an unbounded number of clients bypass the flow
    // code, and each served client costs descriptors.
    std::size_t maxClients = 4096;
    // Makes each socket of the source: returns a descriptor or -1 with errno, like ::socket (the default).
    // A socket belongs to the network namespace of the thread that makes it; the source makes reply and relay
    // sockets later on pool threads, so a source serving another namespace passes a maker that creates them
    // there. Called from any thread, never after stop() returned.
    std::function<int(int domain, int type)> makeSocket;
};

// The UDP side of the transparent flow source: listens where the firewall's TPROXY rules send this machine's
// captured outbound datagrams (127.0.0.1:port, [::1]:port) and turns each client socket (address and port)
// into one flow. The first datagram of a client asks `identify` who sent it, makes a flow and offers it; a
// taken flow gets every datagram of that client with the destination it was sent to, and the flow code's
// replies reach the client as sent by the endpoint they name. A declined client is relayed by the source
// itself: its datagrams go to their original destinations and the answers come back from those destinations.
// A client ends when nothing passed either way for idleLimit, when `alive` says its socket is gone, or when
// the flow code closed both directions of its flow; its next datagram starts a new flow.
//
// Callbacks run on pool threads, never on the receiving one: `identify` then `offer` on a queue of the new
// client's own (its datagrams wait meanwhile, so a slow identify holds up no other client), `alive` on a
// checking queue. They must not call stop().
//
// Thread-safety: every member may be called from any thread except from inside a callback.
class UdpTproxySource final {
public:
    // The flow code's answer for a new flow whose first datagram goes to `remoteEndpoint`: true when taken.
    using Offer = std::function<bool(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& remoteEndpoint)>;
    // Who owns the socket at `client` that sent to `originalDestination`.
    using Identify
        = std::function<FlowMetaData(const sockaddr_storage& client, const sockaddr_storage& originalDestination)>;
    // False once the application's socket at `client` (which first sent to `originalDestination`) is closed.
    using Alive = std::function<bool(const sockaddr_storage& client, const sockaddr_storage& originalDestination)>;

    // Opens the listeners and starts serving. IPv6 is left out when the system has none. `identify` and
    // `alive` may be empty (no metadata; always alive); an empty `offer` declines every flow. Fails with the
    // errno of the socket call that failed (EPERM without CAP_NET_ADMIN, EADDRINUSE for a taken port).
    [[nodiscard]] static Result<std::unique_ptr<UdpTproxySource>> open(
        UdpTproxyOptions options, Identify identify, Alive alive, Offer offer);

    // Stops (see stop()).
    ~UdpTproxySource();
    UdpTproxySource(const UdpTproxySource&) = delete;
    UdpTproxySource& operator=(const UdpTproxySource&) = delete;

    // The listening port of both families.
    uint16_t port() const;
    // True when the [::1] listener is open.
    bool hasIpv6() const;

    // Closes the listeners and ends every client: taken flows get deliverEnd(), sockets close. Once it
    // returns no callback runs, no flow gets a datagram and no reply is sent any more. Further calls do nothing.
    void stop();

    // The clients served now: taken, relayed, or waiting for their offer.
    std::size_t flowCount() const;

    struct State;

private:
    explicit UdpTproxySource(std::shared_ptr<State> state);
    const std::shared_ptr<State> m_state;
};

using UdpTproxySourcePtr = std::unique_ptr<UdpTproxySource>;

} // namespace corvantis
