#include "platform/netext/SystemCapture.h"

#include "platform/Mutex.h"
#include "platform/SystemLog.h"
#include "platform/netext/AuditToken.h"
#include "platform/netext/NflogReader.h"
#include "platform/netext/NftTable.h"
#include "platform/netext/SocketOwner.h"
#include "platform/netext/TcpRedirectSource.h"
#include "platform/netext/UdpTproxySource.h"

#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

#include <map>
#include <tuple>

namespace corvantis {

namespace {

constexpr const char* kProxySection = "proxy";
constexpr const char* kDnsSection = "dns";
constexpr const char* kFilterSection = "filter";
// What the filter's taps remember of the flows they saw, and for how long a silent one is kept.
constexpr std::size_t kMaxTapFlows = 4096;
constexpr auto kTapFlowIdle = std::chrono::seconds(60);

const char* sectionOf(ProviderKind kind)
{
    switch (kind) {
    case ProviderKind::TransparentProxy:
        return kProxySection;
    case ProviderKind::DnsProxy:
        return kDnsSection;
    case ProviderKind::ContentFilter:
        return kFilterSection;
    }
    return kProxySection;
}

bool IsOwnFlow(const FlowMetaData& metaData)
{
    const auto token
        = metaData.sourceAppAuditToken ? AuditToken::FromBytes(*metaData.sourceAppAuditToken) : std::nullopt;
    return token && token->pid == ::getpid();
}

std::optional<FlowError> asFlowError(const Status& status)
{
    if (status.ok())
        return std::nullopt;
    SystemLog(status.message());
    return FlowError { kPosixErrorDomain, status.errnum(), status.message() };
}

// The flows the content filter's taps saw, one per 5-tuple: the filter is shown each new flow and, when it asks
// for the data, the payloads in both directions. Nothing is held back: the packets have passed already.
class TapFlows final {
public:
    explicit TapFlows(NEProviderHost& host)
        : m_host(host)
    {
    }

    void packet(const NflogPacket& packet)
    {
        const auto filter = m_host.runningFilter();
        if (!filter)
            return;
        const Key outbound { packet.protocol, packet.sourceAddress, packet.sourcePort, packet.destinationAddress,
            packet.destinationPort };
        const Key inbound { packet.protocol, packet.destinationAddress, packet.destinationPort, packet.sourceAddress,
            packet.sourcePort };
        MutexLock lock(m_mutex);
        auto it = m_flows.find(outbound);
        bool isOutbound = true;
        if (it == m_flows.end()) {
            it = m_flows.find(inbound);
            isOutbound = it == m_flows.end() && packet.sourcePort != 53;
            if (it == m_flows.end())
                it = addFlow(*filter, isOutbound ? outbound : inbound);
        }
        Tap& tap = it->second;
        tap.lastSeen = std::chrono::steady_clock::now();
        if (!tap.filterData || packet.payload.empty())
            return;
        if (isOutbound) {
            filter->handleOutboundData(tap.flow, tap.outboundOffset, packet.payload);
            tap.outboundOffset += packet.payload.size();
        } else {
            filter->handleInboundData(tap.flow, tap.inboundOffset, packet.payload);
            tap.inboundOffset += packet.payload.size();
        }
    }

private:
    // Protocol, local address and port, remote address and port.
    using Key = std::tuple<int, std::string, uint16_t, std::string, uint16_t>;
    struct Tap {
        std::shared_ptr<NEFilterSocketFlow> flow;
        bool filterData = false;
        uint64_t outboundOffset = 0;
        uint64_t inboundOffset = 0;
        std::chrono::steady_clock::time_point lastSeen;
    };

    std::map<Key, Tap>::iterator addFlow(NEFilterDataProvider& filter, const Key& key) REQUIRES(m_mutex)
    {
        if (m_flows.size() >= kMaxTapFlows) {
            const auto now = std::chrono::steady_clock::now();
            std::erase_if(m_flows, [&](const auto& entry) { return now - entry.second.lastSeen > kTapFlowIdle; });
            if (m_flows.size() >= kMaxTapFlows)
                m_flows.erase(m_flows.begin());
        }
        const auto& [protocol, localAddress, localPort, remoteAddress, remotePort] = key;
        (void)protocol;
        Tap tap;
        tap.flow = std::make_shared<NEFilterSocketFlow>(NWEndpoint::Host(localAddress, std::to_string(localPort)),
            NWEndpoint::Host(remoteAddress, std::to_string(remotePort)));
        tap.filterData = filter.handleNewFlow(tap.flow).filterData;
        return m_flows.emplace(key, std::move(tap)).first;
    }

    NEProviderHost& m_host;
    Mutex m_mutex;
    std::map<Key, Tap> m_flows GUARDED_BY(m_mutex);
};

// The flow source the host is given: the listeners' flows go to the host's handlers while it is started.
class ListenerFlowSource final : public FlowSource {
public:
    void start(Handlers handlers) override
    {
        MutexLock lock(m_mutex);
        m_handlers = std::move(handlers);
        m_started = true;
    }
    void stop() override
    {
        MutexLock lock(m_mutex);
        m_started = false;
        m_handlers = {};
    }
    bool offerTcp(const NEAppProxyTCPFlowPtr& flow)
    {
        MutexLock lock(m_mutex);
        return m_started && m_handlers.tcp && m_handlers.tcp(flow);
    }
    bool offerUdp(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint)
    {
        MutexLock lock(m_mutex);
        return m_started && m_handlers.udp && m_handlers.udp(flow, endpoint);
    }

private:
    // Held while a handler runs, so that stop() returns only once no offer is under way.
    Mutex m_mutex;
    Handlers m_handlers GUARDED_BY(m_mutex);
    bool m_started GUARDED_BY(m_mutex) = false;
};

} // namespace

struct SystemCapture::Impl {
    explicit Impl(const SystemCaptureOptions& options, NEProviderHost& host)
        : options(options)
        , host(host)
        , taps(host)
    {
    }

    Status setSection(ProviderKind kind, std::string chains)
    {
        if (!table)
            return Status();
        if (!chains.empty() && kind != ProviderKind::ContentFilter) {
            const uint8_t subnet = options.placeholderSubnet ? options.placeholderSubnet() : 0;
            const Status routes = InstallPlaceholderRoutes(options.routes, subnet);
            if (!routes.ok())
                SystemLog("Corvantis placeholder routes: " + routes.message());
        }
        return table->setSection(sectionOf(kind), std::move(chains));
    }

    NftCapture capture() const
    {
        NftCapture capture = options.capture;
        capture.tcpPort = tcp ? tcp->port() : 0;
        capture.udpPort = udp ? udp->port() : 0;
        return capture;
    }

    SystemCaptureOptions options;
    NEProviderHost& host;
    SocketProcessFinder finder;
    ListenerFlowSource source;
    TapFlows taps;
    std::unique_ptr<TcpRedirectSource> tcp;
    std::unique_ptr<UdpTproxySource> udp;
    std::unique_ptr<NftTable> table;
    std::unique_ptr<NflogReader> nflog;
};

SystemCapture::SystemCapture(std::shared_ptr<Impl> impl)
    : m_impl(std::move(impl))
{
}

Status SystemCapture::cleanup(const SystemCaptureOptions& options)
{
    const Status routes = RemoveOwnRoutes(options.routes);
    const Status table = NftTable::removeLeftover(options.capture.table);
    return routes.ok() ? table : routes;
}

Result<std::unique_ptr<SystemCapture>> SystemCapture::open(const SystemCaptureOptions& options, NEProviderHost& host)
{
    auto impl = std::make_shared<Impl>(options, host);
    Impl* const self = impl.get();
    if (!options.external) {
        const Status left = cleanup(options);
        if (!left.ok())
            SystemLog("Corvantis capture: what an earlier run left stays: " + left.message());
    }

    TcpRedirectOptions tcpOptions;
    tcpOptions.port = options.listenPort;
    tcpOptions.ownMark = options.capture.ownMark;
    auto tcp = TcpRedirectSource::open(
        tcpOptions,
        [self](const sockaddr_storage& client, const sockaddr_storage& destination) {
            return IdentifyFlowOwner(self->finder, IPPROTO_TCP, client, destination);
        },
        [self](const NEAppProxyTCPFlowPtr& flow) { return self->source.offerTcp(flow); });
    if (!tcp.ok())
        return tcp.status();
    impl->tcp = std::move(tcp.value());

    UdpTproxyOptions udpOptions;
    udpOptions.ownMark = options.capture.ownMark;
    udpOptions.idleLimit = options.udpIdleLimit;
    udpOptions.checkInterval = options.udpCheckInterval;
    auto udp = UdpTproxySource::open(
        udpOptions,
        [self](const sockaddr_storage& client, const sockaddr_storage& destination) {
            return IdentifyFlowOwner(self->finder, IPPROTO_UDP, client, destination);
        },
        [](const sockaddr_storage& client, const sockaddr_storage& destination) {
            return SocketExists(IPPROTO_UDP, client, destination);
        },
        [self](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint) {
            // The daemon's own datagrams are never given to the flow code, which would only send them back here.
            return !IsOwnFlow(flow->metaData()) && self->source.offerUdp(flow, endpoint);
        });
    if (udp.ok())
        impl->udp = std::move(udp.value());
    else if (!options.external)
        return udp.status();

    if (!options.external) {
        auto table = NftTable::open(impl->capture());
        if (!table.ok())
            return table.status();
        impl->table = std::move(table.value());
        const Status routing = InstallPolicyRouting(options.routes);
        if (!routing.ok())
            return routing;
        auto nflog
            = NflogReader::open(options.nflogGroup, [self](const NflogPacket& packet) { self->taps.packet(packet); });
        if (nflog.ok())
            impl->nflog = std::move(nflog.value());
        else
            SystemLog("Corvantis content filter taps cannot be read: " + nflog.status().message());

        // The host outlives the capture: what it keeps holds the capture weakly.
        const std::weak_ptr<Impl> weak = impl;
        host.setSettingsSinks(
            [weak](ProviderKind kind, const std::optional<NETransparentProxyNetworkSettings>& settings) {
                const auto self = weak.lock();
                if (!self)
                    return std::optional<FlowError>(FlowError { kPosixErrorDomain, ESHUTDOWN, "no capture" });
                return asFlowError(self->setSection(
                    kind, settings ? CompileTransparentProxyChains(*settings, self->capture()) : std::string()));
            },
            [weak](const std::optional<NEFilterSettings>& settings) {
                const auto self = weak.lock();
                if (!self)
                    return std::optional<FlowError>(FlowError { kPosixErrorDomain, ESHUTDOWN, "no capture" });
                return asFlowError(self->setSection(ProviderKind::ContentFilter,
                    settings ? CompileFilterChains(*settings, self->capture(), self->options.nflogGroup)
                             : std::string()));
            });
        // The DNS proxy selects its traffic without settings of its own; a provider's stop takes its rules out.
        host.addStatusObserver([weak](ProviderKind kind, SessionStatus status) {
            const auto self = weak.lock();
            if (!self)
                return;
            if (kind == ProviderKind::DnsProxy && status == SessionStatus::Connected)
                (void)asFlowError(self->setSection(kind, CompileDnsProxyChains(self->capture())));
            if (status == SessionStatus::Disconnected)
                (void)asFlowError(self->setSection(kind, std::string()));
        });
    }
    host.attachFlowSource(impl->source);
    return std::make_unique<SystemCapture>(std::move(impl));
}

SystemCapture::~SystemCapture()
{
    m_impl->source.stop();
    if (m_impl->nflog)
        m_impl->nflog->stop();
    if (m_impl->tcp)
        m_impl->tcp->stop();
    if (m_impl->udp)
        m_impl->udp->stop();
    if (m_impl->table) {
        (void)m_impl->table->removeAll();
        (void)RemoveOwnRoutes(m_impl->options.routes);
    }
}

uint16_t SystemCapture::tcpPort() const
{
    return m_impl->tcp ? m_impl->tcp->port() : 0;
}
uint16_t SystemCapture::udpPort() const
{
    return m_impl->udp ? m_impl->udp->port() : 0;
}

} // namespace corvantis
