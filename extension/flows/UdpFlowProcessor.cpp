#include "extension/flows/UdpFlowProcessor.h"

#include "core/foundation/LogEventWrap.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "extension/engine/DnsCodec.h"
#include "extension/engine/DnsResolveProcessor.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace corvantis {

namespace {

// An address in one canonical text form ("::1" and "[::1]" alike); a name in lower case.
std::string canonicalHost(std::string host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char binary[sizeof(in6_addr)];
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_pton(AF_INET, host.c_str(), binary) == 1 && ::inet_ntop(AF_INET, binary, text, sizeof text))
        return text;
    if (::inet_pton(AF_INET6, host.c_str(), binary) == 1 && ::inet_ntop(AF_INET6, binary, text, sizeof text))
        return text;
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    return host;
}

uint16_t portNumber(const std::string& text)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0' && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

std::optional<SimpleSocketEndpoint> socketEndpoint(const NWEndpoint& endpoint)
{
    if (!endpoint.isHost)
        return std::nullopt;
    return SimpleSocketEndpoint { endpoint.hostname, endpoint.port };
}

// What one flow remembers of where it relayed to and what it asked is bounded, so that an application that
// sends without end cannot grow it without end; the oldest entries are not kept apart from the others, any goes.
constexpr std::size_t kMaxRemembered = 256;

template <typename Set, typename Value> void remember(Set& set, Value&& value)
{
    if (set.size() >= kMaxRemembered && set.count(value) == 0)
        set.erase(set.begin());
    set.emplace(std::forward<Value>(value));
}

} // namespace

std::shared_ptr<UdpFlowProcessor> UdpFlowProcessor::create(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint,
    const std::shared_ptr<UdpFlowsManager>& manager, const UdpFlowQueues& queues, const std::string& dnsFakeIp,
    const UdpFlowSettings& settings)
{
    return std::make_shared<UdpFlowProcessor>(PrivateTag {}, flow, endpoint, manager, queues, dnsFakeIp, settings);
}

UdpFlowHandlerFactory UdpFlowProcessor::factory(UdpFlowSettings settings)
{
    return [settings = std::move(settings)](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint,
               const std::shared_ptr<UdpFlowsManager>& manager, const UdpFlowQueues& queues,
               const std::string& dnsFakeIp) -> std::shared_ptr<UdpFlowHandler> {
        return create(flow, endpoint, manager, queues, dnsFakeIp, settings);
    };
}

UdpFlowProcessor::UdpFlowProcessor(PrivateTag, const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint,
    const std::shared_ptr<UdpFlowsManager>& manager, const UdpFlowQueues& queues, const std::string& dnsFakeIp,
    const UdpFlowSettings& settings)
    : FlowProcessor(flow->metaData())
    , m_udpFlowNeedSync(flow)
    , m_apiSyncQueue(queues.api)
    , m_udpQueue(queues.processing)
    , m_socketEventsManager(queues.socketEvents)
    , m_flowManager(manager)
    , m_dnsProcessor(settings.makeConnection ? settings.makeConnection() : ClientProcessorWrapper::create())
    , m_dnsFakeIp(dnsFakeIp)
    , m_settings(settings)
    , m_isDnsFlow(endpoint.isHost && endpoint.port == "53")
{
    m_externalUdpSession = SimpleSocket::createAndSetDefaultHostname(socketEndpoint(endpoint), m_socketEventsManager,
        m_appNameWrapper, true, DnsResolveProcessor::hostResolver(m_socketEventsManager, m_appNameWrapper, {}));
}

UdpFlowProcessor::~UdpFlowProcessor() = default;

// ---- Preparing ----

bool UdpFlowProcessor::prepare(
    bool fromDnsProxy, const NWEndpoint& endpoint, const std::optional<std::string>& hostname)
{
    if (!m_isDnsFlow) {
        // Only a flow the engine refuses is taken, to drop its datagrams; anything else stays with the system.
        const auto temporary
            = m_settings.makeConnection ? m_settings.makeConnection() : ClientProcessorWrapper::create();
        const auto decision = temporary->createNewConnection(m_appNameWrapper.get(),
            hostname ? hostname->c_str() : nullptr, endpoint.isHost ? endpoint.hostname.c_str() : nullptr,
            endpoint.isHost ? endpoint.port.c_str() : nullptr, true);
        if (decision != ClientProcessorWrapper::kRefused)
            return false;
        m_isBlockedConnection = true;
        return true;
    }
    if (!fromDnsProxy && !m_dnsProcessor->processDnsConnection(*m_appNameWrapper))
        return false;
    if (m_flowManager->flowCount() >= m_settings.globalLimit) {
        LogEventWrap::putLogErrorFromApp(m_appNameWrapper.get(), "DNS request bypassed - too many DNS requests");
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    const std::size_t pending = m_flowManager->countFlows([&](const UdpFlowHandler& other) {
        const SimpleSocket* otherSocket = other.relaySocket();
        return !other.answered() && now - other.createdAt() <= m_settings.freshness && other.requestPid() == m_pid
            && otherSocket && m_externalUdpSession && m_externalUdpSession->isSameHostContained(*otherSocket);
    });
    if (pending >= m_settings.perProcessLimit) {
        LogEventWrap::putLogErrorFromApp(
            m_appNameWrapper.get(), "DNS request bypassed  - too many DNS requests from the same process");
        return false;
    }
    return true;
}

SocketEventCallback UdpFlowProcessor::socketEventHandler()
{
    std::weak_ptr<UdpFlowProcessor> weak = weak_from_this();
    return [weak] {
        if (const auto self = weak.lock())
            self->m_udpQueue->async([self] { self->processDownstream(); });
    };
}

void UdpFlowProcessor::start()
{
    m_udpQueue->async([self = shared_from_this()] {
        self->m_externalUdpSession->resolveDefaultHostname(
            [self](bool resolved) { self->m_udpQueue->async([self, resolved] { self->hostResolved(resolved); }); },
            self->socketEventHandler());
    });
}

void UdpFlowProcessor::hostResolved(bool resolved)
{
    if (!resolved) {
        closeFlow(NEAppProxyFlowError(kNEAppProxyFlowErrorHostUnreachable));
        return;
    }
    m_apiSyncQueue->async([self = shared_from_this()] {
        self->m_udpFlowNeedSync->openWithLocalEndpoint([self](std::optional<FlowError> error) {
            if (error)
                self->close(error);
            else
                self->m_udpQueue->async([self] { self->processUpstream(); });
        });
    });
    processDownstream();
}

// ---- Upstream ----

void UdpFlowProcessor::processUpstream()
{
    m_apiSyncQueue->async([self = shared_from_this()] {
        self->m_udpFlowNeedSync->readDatagramsWithCompletionHandler(
            [self](std::optional<std::vector<FlowDatagram>> datagrams, std::optional<FlowError> error) {
                if (error) {
                    self->close(error);
                    return;
                }
                // No datagrams (an empty batch, or none at all): the application closed the flow.
                if (!datagrams || datagrams->empty()) {
                    self->close(std::nullopt);
                    return;
                }
                self->m_udpQueue->async([self, datagrams = std::move(*datagrams)] {
                    for (const FlowDatagram& datagram : datagrams)
                        self->handleDatagram(datagram);
                    self->processUpstream();
                });
            });
    });
}

void UdpFlowProcessor::handleDatagram(const FlowDatagram& datagram)
{
    const bool toPlaceholder = datagram.endpoint.isHost && datagram.endpoint.hostname == m_dnsFakeIp;
    if (m_isBlockedConnection)
        return;
    if (m_isDnsFlow) {
        const std::string serverHost = datagram.endpoint.isHost ? datagram.endpoint.hostname : std::string();
        const uint16_t serverPort = datagram.endpoint.isHost ? portNumber(datagram.endpoint.port) : 0;
        std::weak_ptr<UdpFlowProcessor> weak = weak_from_this();
        const NWEndpoint server = datagram.endpoint;
        const bool taken = m_dnsProcessor->processDnsRequest(datagram.data, *m_appNameWrapper, serverHost, serverPort,
            toPlaceholder, m_socketEventsManager,
            [weak, server](const std::string& name, std::optional<std::vector<uint8_t>> answer) {
                if (const auto self = weak.lock())
                    self->dnsAnswer(server, name, answer);
            });
        if (taken || toPlaceholder)
            return;
        DnsMessageInfo info;
        std::string warning;
        if (ParseDnsRequest(datagram.data.data(), datagram.data.size(), info, warning) == DnsParseResult::Accepted)
            remember(m_outstandingQueries, std::make_pair(info.id, info.nameLow));
        relay(datagram);
        return;
    }
    if (!toPlaceholder)
        relay(datagram);
}

void UdpFlowProcessor::relay(const FlowDatagram& datagram)
{
    if (datagram.endpoint.isHost)
        remember(
            m_peers, std::make_pair(canonicalHost(datagram.endpoint.hostname), portNumber(datagram.endpoint.port)));
    m_externalUdpSession->writeDatagram(
        datagram.data, socketEndpoint(datagram.endpoint),
        [](const std::optional<std::string>& error) {
            if (error)
                LogEventWrap::putLogErrorFromApp(nullptr, "WriteDatagram failed: " + *error);
        },
        socketEventHandler());
}

void UdpFlowProcessor::dnsAnswer(
    const NWEndpoint& server, const std::string& name, const std::optional<std::vector<uint8_t>>& answer)
{
    if (!answer) {
        CorvantisCoreWrapper::putLog(true, false, "DNS resolve of " + name + " for " + appIdentifier() + " failed");
        return;
    }
    if (answer->empty())
        return;
    m_apiSyncQueue->async([self = shared_from_this(), server, answer = *answer] {
        self->m_udpFlowNeedSync->writeDatagrams({ { answer, server } }, [self](std::optional<FlowError> error) {
            LogEventWrap::putLogDebugFromApp(self->m_appNameWrapper.get(),
                error ? self->appIdentifier() + " - DNS answer injection failed: " + error->description
                      : self->appIdentifier() + " - DNS answer injected");
        });
    });
}

// ---- Downstream ----

void UdpFlowProcessor::processDownstream()
{
    while (!m_downstreamInProgress) {
        const std::optional<SimpleSocketReadResult> result = m_externalUdpSession->readDatagram();
        if (!result) {
            close(NEAppProxyFlowError(kNEAppProxyFlowErrorAborted));
            return;
        }
        if (result->data.empty())
            return; // nothing waiting; the next socket event calls again
        if (m_peers.count({ canonicalHost(result->host), result->port }) == 0)
            continue; // not from an address this flow sent to: neither written nor shown to the engine
        if (result->port == 53) {
            DnsMessageInfo info;
            std::vector<DnsAnswerAddress> answers;
            std::string warning;
            if (ParseDnsMessage(
                    result->data.data(), result->data.size(), DnsMessageKind::Response, info, answers, warning)
                    == DnsParseResult::Accepted
                && m_outstandingQueries.erase({ info.id, info.nameLow }) > 0)
                ClientProcessorWrapper::processDnsAnswer(result->data, m_appNameWrapper.get());
        }
        m_downstreamInProgress = true;
        m_downstreamDataSeen = true;
        const NWEndpoint sender = NWEndpoint::Host(result->host, std::to_string(result->port));
        m_apiSyncQueue->async([self = shared_from_this(), data = result->data, sender] {
            self->m_udpFlowNeedSync->writeDatagrams({ { data, sender } }, [self](std::optional<FlowError> error) {
                if (error) {
                    self->close(error);
                    return;
                }
                self->m_udpQueue->async([self] {
                    self->m_downstreamInProgress = false;
                    self->processDownstream();
                });
            });
        });
    }
}

// ---- Closing ----

void UdpFlowProcessor::close(std::optional<FlowError> error)
{
    m_udpQueue->async([self = shared_from_this(), error = std::move(error)] {
        self->closeFlow(error);
        self->m_externalUdpSession->close();
    });
}

void UdpFlowProcessor::closeFlow(std::optional<FlowError> error)
{
    if (!m_flowManager->removeFlow(m_flowId.load()))
        return;
    m_apiSyncQueue->async([self = shared_from_this(), error = std::move(error)] {
        self->m_udpFlowNeedSync->closeReadWithError(error);
        self->m_udpFlowNeedSync->closeWriteWithError(error);
    });
}

} // namespace corvantis
