#pragma once

#include "extension/flows/FlowsManager.h"
#include "extension/flows/TcpFlowProcessor.h"

#include <memory>

namespace corvantis {

// The registry of the TCP flows the extension carries (FlowsManager), and the acceptance of a new TCP flow.
//
// Thread-safety: handleNewFlow runs on the caller's thread (the worker's main queue: one flow at a time); the
// registry's own members as FlowsManager says.
class TcpFlowsManager final : public FlowsManager<TcpFlowProcessor>,
                              public std::enable_shared_from_this<TcpFlowsManager> {
public:
    explicit TcpFlowsManager(TcpFlowSettings settings = {});

    // Whether the extension carries `flow`: the engine decides. Not taken: false, the system carries it.
    // Refused (a Block rule): the flow is reset, nothing is registered, true. Taken: registered, its connect
    // started, true.
    bool handleNewFlow(const NEAppProxyTCPFlowPtr& flow, const TcpFlowQueues& queues);

private:
    const TcpFlowSettings m_settings;
};

} // namespace corvantis
