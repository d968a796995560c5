#include "platform/netext/FlowInjector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace corvantis {

std::optional<std::pair<UniqueFd, UniqueFd>> LoopbackTcpPair()
{
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener)
        return std::nullopt;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener.get(), 1) != 0
        || ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return std::nullopt;
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client || ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted)
        return std::nullopt;
    return std::make_pair(std::move(client), std::move(accepted));
}

void FlowInjector::start(Handlers handlers)
{
    MutexLock lock(m_offerMutex);
    m_handlers = std::move(handlers);
    m_started = true;
}

void FlowInjector::stop()
{
    MutexLock lock(m_offerMutex);
    m_started = false;
    m_handlers = {};
}

bool FlowInjector::offerTcp(
    UniqueFd flowSide, NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData)
{
    const NEAppProxyTCPFlowPtr flow = NEAppProxyTCPFlow::create(
        std::move(flowSide), std::move(remoteEndpoint), std::move(remoteHostname), std::move(metaData));
    MutexLock lock(m_offerMutex);
    return m_started && m_handlers.tcp && m_handlers.tcp(flow);
}

FlowInjector::OfferedTcp FlowInjector::offerTcpOverLoopback(
    NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData)
{
    auto pair = LoopbackTcpPair();
    if (!pair)
        return {};
    OfferedTcp offered;
    offered.application = std::move(pair->first);
    offered.taken
        = offerTcp(std::move(pair->second), std::move(remoteEndpoint), std::move(remoteHostname), std::move(metaData));
    return offered;
}

FlowInjector::OfferedUdp FlowInjector::offerUdp(NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname,
    FlowMetaData metaData, NEAppProxyUDPFlow::ReplySink sink)
{
    OfferedUdp offered;
    offered.flow = NEAppProxyUDPFlow::create(std::move(remoteHostname), std::move(metaData), std::move(sink));
    MutexLock lock(m_offerMutex);
    offered.taken = m_started && m_handlers.udp && m_handlers.udp(offered.flow, remoteEndpoint);
    return offered;
}

} // namespace corvantis
