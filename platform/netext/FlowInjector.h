#pragma once

#include "platform/Mutex.h"
#include "platform/UniqueFd.h"
#include "platform/netext/FlowSource.h"

#include <optional>
#include <string>

namespace corvantis {

// A flow source inside the process, for tests and benchmarks: it offers flows the caller makes up, with the
// remote endpoint, host name and metadata the caller gives, and says whether they were taken. A TCP flow runs
// over one end of a loopback TCP connection whose other end the caller keeps as the application's socket; a
// UDP flow gets its datagrams from the caller and hands the replies to the caller's sink.
//
// Thread-safety: every member may be called from any thread; offers run the handlers on the caller's thread,
// one at a time.
class FlowInjector final : public FlowSource {
public:
    FlowInjector() = default;
    FlowInjector(const FlowInjector&) = delete;
    FlowInjector& operator=(const FlowInjector&) = delete;

    void start(Handlers handlers) override;
    void stop() override;

    // Offers a TCP flow over `flowSide` (a connected stream socket); true when the handler took it. An offer
    // while the source is stopped is not taken.
    bool offerTcp(
        UniqueFd flowSide, NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData);

    struct OfferedTcp {
        bool taken = false;
        UniqueFd application; // the application's socket; invalid when the loopback connection failed
    };
    // Makes a loopback TCP connection and offers its one end as a flow; the other end is the application's.
    OfferedTcp offerTcpOverLoopback(
        NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData);

    struct OfferedUdp {
        bool taken = false;
        NEAppProxyUDPFlowPtr flow; // deliver() datagrams to it; its replies go to the sink
    };
    // Offers a UDP flow whose first datagram goes to `remoteEndpoint`.
    OfferedUdp offerUdp(NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData,
        NEAppProxyUDPFlow::ReplySink sink);

private:
    // Held while a handler runs, so that stop() returns only once no offer is under way.
    Mutex m_offerMutex;
    Handlers m_handlers GUARDED_BY(m_offerMutex);
    bool m_started GUARDED_BY(m_offerMutex) = false;
};

// A connected pair of loopback TCP sockets (client, accepted); nothing when the system refuses one.
std::optional<std::pair<UniqueFd, UniqueFd>> LoopbackTcpPair();

} // namespace corvantis
