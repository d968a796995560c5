#include "platform/netext/NEAppProxyFlow.h"

#include <atomic>
#include <cstring>

namespace corvantis {

namespace {

std::atomic<uint64_t> g_nextHash { 1 };

const char* flowErrorName(int64_t code)
{
    switch (code) {
    case kNEAppProxyFlowErrorPeerReset:
        return "the connection was reset";
    case kNEAppProxyFlowErrorHostUnreachable:
        return "the host is unreachable";
    case kNEAppProxyFlowErrorAborted:
        return "the flow was aborted";
    default:
        return "flow error";
    }
}

} // namespace

FlowError NEAppProxyFlowError(int64_t code)
{
    return { kNEAppProxyFlowErrorDomain, code, flowErrorName(code) };
}

FlowError PosixFlowError(int err)
{
    return { kPosixErrorDomain, err, std::strerror(err) };
}

std::string FlowErrorText(const std::optional<FlowError>& error)
{
    if (!error)
        return "nil";
    return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" + error->description + "\"";
}

std::string NWEndpoint::description() const
{
    if (!isHost)
        return {};
    const bool ipv6 = hostname.find(':') != std::string::npos;
    return (ipv6 ? "[" + hostname + "]" : hostname) + ":" + port;
}

NEAppProxyFlow::NEAppProxyFlow(
    NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData)
    : m_remoteEndpoint(std::move(remoteEndpoint))
    , m_remoteHostname(std::move(remoteHostname))
    , m_metaData(std::move(metaData))
    , m_hash(g_nextHash.fetch_add(1, std::memory_order_relaxed))
{
}

} // namespace corvantis
