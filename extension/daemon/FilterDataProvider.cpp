#include "extension/daemon/FilterDataProvider.h"

#include "extension/daemon/LocalServicePorts.h"

#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/DnsCodec.h"
#include "platform/SystemLog.h"

#include <unistd.h>

namespace corvantis {

namespace {

using Protocol = NENetworkRule::Protocol;
using Direction = NENetworkRule::Direction;
using Action = NEFilterRule::Action;

void add(NEFilterSettings& settings, std::optional<NENetworkRule> rule, Action action)
{
    if (rule)
        settings.rules.push_back({ std::move(*rule), action });
}

constexpr std::size_t kMaxQueriesPerFlow = 256;

const NEFilterSocketFlow* dnsCapable(const std::shared_ptr<NEFilterFlow>& flow)
{
    const auto* socket = dynamic_cast<const NEFilterSocketFlow*>(flow.get());
    return socket && socket->remoteEndpoint().isHost ? socket : nullptr;
}

} // namespace

NEFilterSettings FilterDataProvider::makeSettings()
{
    NEFilterSettings settings;
    settings.defaultAction = Action::Allow;
    add(settings, NENetworkRule::remoteNetwork(std::nullopt, 0, std::nullopt, 0, Protocol::UDP, Direction::Outbound),
        Action::FilterData);
    add(settings,
        NENetworkRule::remoteNetwork(
            NWEndpoint::Host("127.0.0.1", "0"), 8, std::nullopt, 0, Protocol::UDP, Direction::Any),
        Action::FilterData);
    add(settings,
        NENetworkRule::remoteNetwork(NWEndpoint::Host("::1", "0"), 64, std::nullopt, 0, Protocol::UDP, Direction::Any),
        Action::FilterData);
    for (const char* host : { "0.0.0.0", "::" })
        for (int port : kLocalServiceUdpPorts)
            add(settings,
                NENetworkRule::remoteNetwork(NWEndpoint::Host(host, std::to_string(port)), 0, std::nullopt, 0,
                    Protocol::UDP, Direction::Outbound),
                Action::Allow);
    return settings;
}

void FilterDataProvider::startFilter(Completion completion)
{
    SystemLog("Corvantis filter start - pid " + std::to_string(::getpid()) + ", fun startFilter(completionHandler:)");
    applySettings(makeSettings(), [completion](std::optional<FlowError> error) {
        if (error)
            SystemLog("Corvantis filter failed to apply filter settings: " + error->description);
        if (completion)
            completion(error);
    });
}

void FilterDataProvider::stopFilter(int reason, std::function<void()> completion)
{
    SystemLog("Corvantis filter stop - pid " + std::to_string(::getpid())
        + ", fun stopFilter(with:completionHandler:), reason " + std::to_string(reason));
    if (completion)
        completion();
}

NEFilterNewFlowVerdict FilterDataProvider::handleNewFlow(const std::shared_ptr<NEFilterFlow>& flow)
{
    SystemLog("Corvantis filter flow UUID " + flow->identifier());
    const auto* socket = dynamic_cast<const NEFilterSocketFlow*>(flow.get());
    if (!socket || !socket->remoteEndpoint().isHost || !socket->localEndpoint().isHost)
        return NEFilterNewFlowVerdict::allowVerdict();
    const std::string line = "Corvantis filter flow from " + socket->localEndpoint().description() + " to "
        + socket->remoteEndpoint().description();
    if (socket->remoteEndpoint().port != "53") {
        SystemLog(line + " allowed");
        return NEFilterNewFlowVerdict::allowVerdict();
    }
    SystemLog(line);
    return NEFilterNewFlowVerdict::filterDataVerdict(true, kFilterPeekUnlimited, true, kFilterPeekUnlimited);
}

NEFilterDataVerdict FilterDataProvider::handleInboundData(
    const std::shared_ptr<NEFilterFlow>& flow, uint64_t, const std::vector<uint8_t>& bytes)
{
    const NEFilterSocketFlow* socket = dnsCapable(flow);
    if (!socket)
        return NEFilterDataVerdict::allowVerdict();
    if (socket->remoteEndpoint().port == "53") {
        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers;
        std::string warning;
        bool asked = false;
        if (ParseDnsMessage(bytes.data(), bytes.size(), DnsMessageKind::Response, info, answers, warning)
            == DnsParseResult::Accepted) {
            MutexLock lock(m_mutex);
            const auto it = m_queries.find(flow->identifier());
            asked = it != m_queries.end() && it->second.erase({ info.id, info.nameLow }) > 0;
        }
        if (asked)
            ClientProcessorWrapper::processDnsAnswer(bytes, nullptr);
    }
    SystemLog("Corvantis filter data in " + std::to_string(bytes.size()) + " flow UUID " + flow->identifier());
    return NEFilterDataVerdict::dataVerdict(bytes.size(), kFilterPeekUnlimited);
}

NEFilterDataVerdict FilterDataProvider::handleOutboundData(
    const std::shared_ptr<NEFilterFlow>& flow, uint64_t, const std::vector<uint8_t>& bytes)
{
    if (const NEFilterSocketFlow* socket = dnsCapable(flow); socket && socket->remoteEndpoint().port == "53") {
        DnsMessageInfo info;
        std::string warning;
        if (ParseDnsRequest(bytes.data(), bytes.size(), info, warning) == DnsParseResult::Accepted) {
            MutexLock lock(m_mutex);
            auto& queries = m_queries[flow->identifier()];
            // Bounded: a flow that only asks cannot grow the table without end.
            if (queries.size() >= kMaxQueriesPerFlow)
                queries.erase(queries.begin());
            queries.emplace(info.id, info.nameLow);
        }
    }
    SystemLog("Corvantis filter data out " + std::to_string(bytes.size()) + " flow UUID " + flow->identifier());
    return NEFilterDataVerdict::dataVerdict(bytes.size(), kFilterPeekUnlimited);
}

NEFilterDataVerdict FilterDataProvider::handleInboundDataComplete(const std::shared_ptr<NEFilterFlow>& flow)
{
    SystemLog("Corvantis filter data in complete flow UUID " + flow->identifier());
    {
        MutexLock lock(m_mutex);
        m_queries.erase(flow->identifier());
    }
    return NEFilterDataVerdict::dataVerdict(0, kFilterPeekUnlimited);
}

NEFilterDataVerdict FilterDataProvider::handleOutboundDataComplete(const std::shared_ptr<NEFilterFlow>& flow)
{
    SystemLog("Corvantis filter data out complete flow UUID " + flow->identifier());
    return NEFilterDataVerdict::dataVerdict(0, kFilterPeekUnlimited);
}

} // namespace corvantis
