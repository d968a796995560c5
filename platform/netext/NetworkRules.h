#pragma once

#include "platform/netext/NEAppProxyFlow.h"

#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// Which traffic a provider asks for (included rules) or leaves alone (excluded rules).
class NENetworkRule final {
public:
    enum class Protocol { Any, TCP, UDP };
    enum class Direction { Any, Inbound, Outbound };

    // A rule over a remote network (its host and port, prefix bits of the host) and a local one; none of either
    // matches every address. Nothing when the system declines the rule: a port text that is not a decimal number
    // 0-65535, or a host that is neither empty nor a numeric address.
    static std::optional<NENetworkRule> remoteNetwork(const std::optional<NWEndpoint>& remote, unsigned remotePrefix,
        const std::optional<NWEndpoint>& local, unsigned localPrefix, Protocol protocol, Direction direction);
    // A rule for one destination (an empty host: any host with that port), outbound; declined as above.
    static std::optional<NENetworkRule> destinationHost(const NWEndpoint& destination, Protocol protocol);

    const std::optional<NWEndpoint>& remote() const { return m_remote; }
    unsigned remotePrefix() const { return m_remotePrefix; }
    const std::optional<NWEndpoint>& local() const { return m_local; }
    unsigned localPrefix() const { return m_localPrefix; }
    Protocol protocol() const { return m_protocol; }
    Direction direction() const { return m_direction; }
    // Made by destinationHost.
    bool isDestinationRule() const { return m_destination; }

    bool operator==(const NENetworkRule&) const = default;

private:
    NENetworkRule() = default;

    std::optional<NWEndpoint> m_remote;
    unsigned m_remotePrefix = 0;
    std::optional<NWEndpoint> m_local;
    unsigned m_localPrefix = 0;
    Protocol m_protocol = Protocol::Any;
    Direction m_direction = Direction::Outbound;
    bool m_destination = false;
};

// Whether a host text is one the rules accept: empty or a numeric IPv4 or IPv6 address.
bool IsRuleHost(const std::string& host);
// Whether a port text is a decimal number 0-65535 (digits only).
bool IsRulePort(const std::string& port);

// The network settings of a transparent proxy: the address its tunnel stands for and its rules.
struct NETransparentProxyNetworkSettings {
    std::string tunnelRemoteAddress;
    std::vector<NENetworkRule> includedNetworkRules;
    std::vector<NENetworkRule> excludedNetworkRules;
};

} // namespace corvantis
