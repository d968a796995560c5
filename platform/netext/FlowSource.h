#pragma once

#include "platform/netext/NEAppProxyTCPFlow.h"
#include "platform/netext/NEAppProxyUDPFlow.h"

#include <functional>

namespace corvantis {

// Where the flows of other applications come from. A source offers each new flow to its handlers, one flow at
// a time, and learns from the answer whether the flow code took it (false: the flow is left to the system).
class FlowSource {
public:
    struct Handlers {
        std::function<bool(const NEAppProxyTCPFlowPtr& flow)> tcp;
        // `remoteEndpoint`: where the flow's first datagram goes.
        std::function<bool(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& remoteEndpoint)> udp;
    };

    virtual ~FlowSource() = default;
    // Offers flows to `handlers` from now on, until stop().
    virtual void start(Handlers handlers) = 0;
    // Offers no more flows; returns once no offer is under way.
    virtual void stop() = 0;
};

} // namespace corvantis
