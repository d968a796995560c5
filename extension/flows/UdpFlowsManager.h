#pragma once

#include "extension/engine/SimpleSocket.h"
#include "extension/engine/SocketEventsManager.h"
#include "extension/flows/FlowsManager.h"
#include "platform/DispatchQueue.h"
#include "platform/netext/NEAppProxyUDPFlow.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvantis {

// What the UDP registry needs of a UDP flow's processor.
class UdpFlowHandler {
public:
    virtual ~UdpFlowHandler() = default;
    // Whether the processor carries the flow (it logs its own reasons when not).
    virtual bool prepare(bool fromDnsProxy, const NWEndpoint& endpoint, const std::optional<std::string>& hostname) = 0;
    // Opens the flow and starts carrying it; called once the flow is registered.
    virtual void start() = 0;
    // Ends the flow (only schedules).
    virtual void close(std::optional<FlowError> error) = 0;
    virtual void setFlowId(uint64_t id) = 0;

    // What the per-process limit reads of the registered flows, on the registry's queue: the process, when the
    // processor was made, whether a reply came, and the relay socket (null: none).
    virtual int32_t requestPid() const { return -1; }
    virtual std::chrono::steady_clock::time_point createdAt() const { return {}; }
    virtual bool answered() const { return true; }
    virtual const SimpleSocket* relaySocket() const { return nullptr; }
};

class UdpFlowsManager;

// The worker's shared queues that every UDP flow uses.
struct UdpFlowQueues {
    SocketEventsManagerPtr socketEvents;
    DispatchQueuePtr processing; // the UDP processing queue
    DispatchQueuePtr api; // every call on a flow object
};

// Builds the processor of a new UDP flow: the flow, its first endpoint, the registry, the queues and the
// placeholder DNS server's address.
using UdpFlowHandlerFactory
    = std::function<std::shared_ptr<UdpFlowHandler>(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint,
        const std::shared_ptr<UdpFlowsManager>& manager, const UdpFlowQueues& queues, const std::string& dnsFakeIp)>;

// The registry of the UDP flows the extension carries (FlowsManager), and the acceptance of a new UDP flow.
//
// Thread-safety: handleNewFlow runs on the caller's thread (the worker's main queue: one flow at a time); the
// registry's own members as FlowsManager says.
class UdpFlowsManager final : public FlowsManager<UdpFlowHandler>,
                              public std::enable_shared_from_this<UdpFlowsManager> {
public:
    explicit UdpFlowsManager(UdpFlowHandlerFactory makeProcessor);

    // Whether the extension carries `flow`, whose first datagram goes to `endpoint`. Without a host endpoint,
    // or to a port other than 53 and 443 from the transparent proxy, it is left to the system before any
    // processor is made; otherwise the processor decides.
    bool handleNewFlow(
        const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint, const UdpFlowQueues& queues, bool fromDnsProxy);

private:
    const UdpFlowHandlerFactory m_makeProcessor;
};

} // namespace corvantis
