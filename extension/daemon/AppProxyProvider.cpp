#include "extension/daemon/AppProxyProvider.h"

#include "extension/daemon/LocalServicePorts.h"

#include "core/foundation/LogEventWrap.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <unistd.h>

namespace corvantis {

namespace {

using Rule = NENetworkRule;
using Protocol = NENetworkRule::Protocol;
using Direction = NENetworkRule::Direction;

constexpr int kDefaultTcpPorts[] = { 67, 68, 69 };

std::string pidText()
{
    return std::to_string(::getpid());
}

FlowError startError(const std::string& text)
{
    return { "", 0, text };
}

void add(std::vector<Rule>& rules, std::optional<Rule> rule)
{
    // A rule the system declines is left out; the others keep their order.
    if (rule)
        rules.push_back(std::move(*rule));
}

std::optional<Rule> remote(const std::string& host, const std::string& port, unsigned prefix, Protocol protocol)
{
    return Rule::remoteNetwork(NWEndpoint::Host(host, port), prefix, std::nullopt, 0, protocol, Direction::Outbound);
}

std::string normalised(std::string text)
{
    for (char separator : { '\n', ',', ';' })
        std::replace(text.begin(), text.end(), separator, ' ');
    return text;
}

std::vector<std::string> pieces(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find(' ', start);
        const std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!piece.empty())
            result.push_back(piece);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return result;
}

} // namespace

AppProxyProvider::AppProxyProvider(std::shared_ptr<CorvantisWorker> worker, std::function<bool()> helloRequested)
    : m_worker(std::move(worker))
    , m_helloRequested(
          helloRequested ? std::move(helloRequested) : [] { return CorvantisCoreWrapper::isHelloRequested(); })
{
}

NETransparentProxyNetworkSettings AppProxyProvider::makeSettings(
    const std::string& udpPorts, const std::string& tcpPorts, bool blockUdp443, std::string& countLine)
{
    NETransparentProxyNetworkSettings settings;
    settings.tunnelRemoteAddress = "127.0.0.1";
    auto& included = settings.includedNetworkRules;
    add(included, Rule::remoteNetwork(std::nullopt, 0, std::nullopt, 0, Protocol::TCP, Direction::Outbound));
    add(included, remote("::1", "0", 128, Protocol::TCP));
    add(included, remote("127.0.0.1", "0", 8, Protocol::TCP));
    add(included, remote("fd00:5a17::", "0", 32, Protocol::TCP));
    if (blockUdp443) {
        add(included, remote("", "443", 0, Protocol::UDP));
        add(included, remote("::1", "443", 8, Protocol::UDP));
        add(included, remote("127.0.0.1", "443", 8, Protocol::UDP));
    }
    auto& excluded = settings.excludedNetworkRules;
    add(excluded,
        Rule::remoteNetwork(NWEndpoint::Host("fc00::", "0"), 8, std::nullopt, 0, Protocol::Any, Direction::Outbound));
    add(excluded,
        Rule::remoteNetwork(NWEndpoint::Host("fe00::", "0"), 7, std::nullopt, 0, Protocol::Any, Direction::Outbound));

    countLine.clear();
    if (udpPorts.empty() && tcpPorts.empty()) {
        for (const char* host : { "0.0.0.0", "::" })
            for (int port : kLocalServiceUdpPorts)
                add(excluded, remote(host, std::to_string(port), 0, Protocol::UDP));
        for (const char* host : { "0.0.0.0", "::" })
            for (int port : kDefaultTcpPorts)
                add(excluded, remote(host, std::to_string(port), 0, Protocol::TCP));
        return settings;
    }
    const std::string udp = normalised(udpPorts);
    const std::string tcp = normalised(tcpPorts);
    const std::vector<std::string> tcpPieces = pieces(tcp);
    const std::vector<std::string> udpPieces = pieces(udp);
    for (const char* host : { "0.0.0.0", "::" })
        for (const std::string& port : tcpPieces)
            add(excluded, remote(host, port, 0, Protocol::TCP));
    for (const std::string& port : tcpPieces)
        add(excluded, Rule::destinationHost(NWEndpoint::Host("", port), Protocol::TCP));
    for (const char* host : { "0.0.0.0", "::" })
        for (const std::string& port : udpPieces)
            add(excluded, remote(host, port, 0, Protocol::UDP));
    countLine = "Current settings count " + std::to_string(excluded.size()) + " udp: " + udp + " tcp: " + tcp;
    return settings;
}

void AppProxyProvider::startProxy(Completion completion)
{
    SystemLog("Corvantis AppProxy - pid " + pidText() + ", fun startProxy(options:completionHandler:)");
    if (!m_helloRequested()) {
        SystemLog("Corvantis AppProxy - not initialized");
        completion(startError("Corvantis Transparent Proxy cannot be initialized before hello message"));
        return;
    }
    bool up = false;
    m_worker->mainQueue()->sync([&] { up = m_worker->initializeEngine(); });
    if (!up) {
        SystemLog("Corvantis AppProxy - failed");
        completion(startError("Corvantis core cannot be initialized"));
        return;
    }
    CorvantisCoreWrapper& facade = m_worker->coreWrapper();
    std::string countLine;
    NETransparentProxyNetworkSettings settings
        = makeSettings(facade.getExcludedUdpPorts(), facade.getExcludedTcpPorts(), facade.getBlockUdp443(), countLine);
    if (!countLine.empty())
        LogEventWrap::putLogDebugFromApp(nullptr, countLine);
    setTunnelNetworkSettings(std::move(settings), [completion](std::optional<FlowError> error) {
        if (error) {
            SystemLog("Corvantis set settings fail - pid " + pidText() + ", err " + error->description);
            CorvantisCoreWrapper::putLog(
                true, false, "Corvantis set settings fail - pid " + pidText() + ", err " + error->description);
        }
        completion(error);
    });
}

void AppProxyProvider::stopProxy(int, std::function<void()> completion)
{
    m_worker->stopAppProxy();
    if (completion)
        completion();
}

void AppProxyProvider::handleAppMessage(const std::vector<uint8_t>& message, MessageCompletion completion)
{
    if (!completion) {
        m_worker->processAppMessage(message, nullptr);
        return;
    }
    m_worker->processAppMessage(message, [completion](const std::vector<uint8_t>& reply) { completion(reply); });
}

void AppProxyProvider::sleep(std::function<void()> completion)
{
    SystemLog("Corvantis NE - pid " + pidText() + ", fun sleep(completionHandler:)");
    if (completion)
        completion();
}

void AppProxyProvider::wake()
{
    SystemLog("Corvantis NE - pid " + pidText() + ", fun wake()");
}

bool AppProxyProvider::handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow)
{
    return m_worker->takeTcpFlow(flow);
}

bool AppProxyProvider::handleNewUDPFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint)
{
    return m_worker->takeUdpFlow(flow, initialRemoteEndpoint, false);
}

} // namespace corvantis
