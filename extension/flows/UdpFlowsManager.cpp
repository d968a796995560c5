#include "extension/flows/UdpFlowsManager.h"

#include "platform/SystemLog.h"

namespace corvantis {

UdpFlowsManager::UdpFlowsManager(UdpFlowHandlerFactory makeProcessor)
    : FlowsManager<UdpFlowHandler>("UdpFlowProcessor")
    , m_makeProcessor(std::move(makeProcessor))
{
}

bool UdpFlowsManager::handleNewFlow(
    const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint, const UdpFlowQueues& queues, bool fromDnsProxy)
{
    const std::string& identifier = flow->metaData().sourceAppSigningIdentifier;
    if (!endpoint.isHost) {
        SystemLog("Corvantis flow - UDP " + identifier + " nil host endpoint");
        return false;
    }
    SystemLog("Corvantis flow - UDP " + identifier + " " + endpoint.hostname + ":" + endpoint.port);
    if (endpoint.port != "443" && endpoint.port != "53" && !fromDnsProxy)
        return false;
    if (!m_makeProcessor)
        return false;
    const std::shared_ptr<UdpFlowHandler> processor
        = m_makeProcessor(flow, endpoint, shared_from_this(), queues, dnsFakeIp());
    if (!processor || !processor->prepare(fromDnsProxy, endpoint, flow->remoteHostname()))
        return false;
    processor->setFlowId(addFlow(processor));
    processor->start();
    return true;
}

} // namespace corvantis
