#include "extension/flows/TcpFlowsManager.h"

#include "extension/engine/ClientProcessorWrapper.h"

namespace corvantis {

TcpFlowsManager::TcpFlowsManager(TcpFlowSettings settings)
    : FlowsManager<TcpFlowProcessor>("TcpFlowProcessor")
    , m_settings(std::move(settings))
{
}

bool TcpFlowsManager::handleNewFlow(const NEAppProxyTCPFlowPtr& flow, const TcpFlowQueues& queues)
{
    const NWEndpoint endpoint = flow->remoteEndpoint().isHost ? flow->remoteEndpoint() : NWEndpoint::Other();
    auto processor = TcpFlowProcessor::create(flow, shared_from_this(), queues, m_settings);
    switch (processor->matchFlow(endpoint, flow->remoteHostname())) {
    case ClientProcessorWrapper::kRefused:
        flow->closeWriteWithError(NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset));
        return true;
    case ClientProcessorWrapper::kTaken:
        // Registered before the connect is started, so that its result, on whatever thread, finds the id.
        processor->setFlowId(addFlow(processor));
        processor->connectRemote();
        return true;
    default:
        return false;
    }
}

} // namespace corvantis
