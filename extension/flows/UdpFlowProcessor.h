#pragma once

#include "extension/engine/SimpleSocket.h"
#include "extension/flows/FlowProcessor.h"
#include "extension/flows/UdpFlowsManager.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace corvantis {

class ClientProcessorWrapper;

// What a UDP flow's carriage may be tuned with.
struct UdpFlowSettings {
    // The engine's facade for a flow's DNS and its decision. Empty: ClientProcessorWrapper::create() over the
    // extension's object.
    std::function<std::shared_ptr<ClientProcessorWrapper>()> makeConnection;
    // A DNS flow is left to the system when this many UDP flows are registered.
    std::size_t globalLimit = 501;
    // ... or when this many registered flows of its process to its server are still unanswered and fresh.
    std::size_t perProcessLimit = 50;
    std::chrono::steady_clock::duration freshness = std::chrono::seconds(3);
};

// Carries one UDP flow of another application: a DNS flow (to port 53), whose requests the engine may answer
// itself (placeholder addresses, names resolved through the proxy) or which are relayed to the server asked, or
// a flow the engine refuses, whose datagrams are dropped. Relayed datagrams go out through a SimpleSocket; the
// replies are written back to the application as sent by the address it asked. Only replies from an address
// and port the flow sent to are taken, and only DNS answers to a query this flow relayed (same id and name) are
// shown to the engine, so that nobody else can plant names that host rules trust.
//
// Lifetime: held by the registry from registration until removal, and by every scheduled step.
// Thread-safety: all UDP flows share one serial queue for their pumps and closing, and the api queue for calls
// on the flow objects; what the registry reads from other threads is atomic or immutable.
class UdpFlowProcessor final : public FlowProcessor,
                               public UdpFlowHandler,
                               public std::enable_shared_from_this<UdpFlowProcessor> {
    struct PrivateTag { };

public:
    static std::shared_ptr<UdpFlowProcessor> create(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint,
        const std::shared_ptr<UdpFlowsManager>& manager, const UdpFlowQueues& queues, const std::string& dnsFakeIp,
        const UdpFlowSettings& settings);
    UdpFlowProcessor(PrivateTag, const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint,
        const std::shared_ptr<UdpFlowsManager>& manager, const UdpFlowQueues& queues, const std::string& dnsFakeIp,
        const UdpFlowSettings& settings);
    ~UdpFlowProcessor() override;

    // The processor factory of a UDP registry, with `settings`.
    static UdpFlowHandlerFactory factory(UdpFlowSettings settings = {});

    bool prepare(bool fromDnsProxy, const NWEndpoint& endpoint, const std::optional<std::string>& hostname) override;
    void start() override;
    void close(std::optional<FlowError> error) override;
    void setFlowId(uint64_t id) override { m_flowId.store(id); }

    int32_t requestPid() const override { return m_pid; }
    std::chrono::steady_clock::time_point createdAt() const override { return m_creationTime; }
    bool answered() const override { return m_downstreamDataSeen.load(); }
    const SimpleSocket* relaySocket() const override { return m_externalUdpSession.get(); }

    bool isDnsFlow() const { return m_isDnsFlow; }
    bool isBlockedConnection() const { return m_isBlockedConnection; }

private:
    // On the UDP queue, once the relay's default host was resolved (or not): opens the flow, starts both pumps.
    void hostResolved(bool resolved);
    void processUpstream();
    void handleDatagram(const FlowDatagram& datagram);
    void relay(const FlowDatagram& datagram);
    void dnsAnswer(
        const NWEndpoint& server, const std::string& name, const std::optional<std::vector<uint8_t>>& answer);
    void processDownstream();
    void closeFlow(std::optional<FlowError> error);
    SocketEventCallback socketEventHandler();

    const NEAppProxyUDPFlowPtr m_udpFlowNeedSync;
    const DispatchQueuePtr m_apiSyncQueue;
    const DispatchQueuePtr m_udpQueue; // upstream, downstream and closing
    const SocketEventsManagerPtr m_socketEventsManager;
    const std::shared_ptr<UdpFlowsManager> m_flowManager;
    const std::shared_ptr<ClientProcessorWrapper> m_dnsProcessor;
    const std::string m_dnsFakeIp;
    const UdpFlowSettings m_settings;
    const bool m_isDnsFlow;
    SimpleSocketPtr m_externalUdpSession;

    std::atomic<uint64_t> m_flowId { 0 };
    std::atomic<bool> m_downstreamDataSeen { false };
    bool m_isBlockedConnection = false; // set before registration, read-only after

    // UDP queue only.
    bool m_downstreamInProgress = false;
    std::set<std::pair<std::string, uint16_t>> m_peers; // where datagrams were relayed to
    std::set<std::pair<uint16_t, std::string>> m_outstandingQueries; // id and lower-case name of relayed queries
};

} // namespace corvantis
