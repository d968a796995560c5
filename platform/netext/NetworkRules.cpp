#include "platform/netext/NetworkRules.h"

#include <arpa/inet.h>

namespace corvantis {

bool IsRuleHost(const std::string& host)
{
    if (host.empty())
        return true;
    unsigned char binary[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), binary) == 1 || ::inet_pton(AF_INET6, host.c_str(), binary) == 1;
}

bool IsRulePort(const std::string& port)
{
    if (port.empty() || port.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535;
}

namespace {

bool acceptable(const std::optional<NWEndpoint>& endpoint)
{
    return !endpoint || (endpoint->isHost && IsRuleHost(endpoint->hostname) && IsRulePort(endpoint->port));
}

} // namespace

std::optional<NENetworkRule> NENetworkRule::remoteNetwork(const std::optional<NWEndpoint>& remote,
    unsigned remotePrefix, const std::optional<NWEndpoint>& local, unsigned localPrefix, Protocol protocol,
    Direction direction)
{
    if (!acceptable(remote) || !acceptable(local) || remotePrefix > 128 || localPrefix > 128)
        return std::nullopt;
    NENetworkRule rule;
    rule.m_remote = remote;
    rule.m_remotePrefix = remotePrefix;
    rule.m_local = local;
    rule.m_localPrefix = localPrefix;
    rule.m_protocol = protocol;
    rule.m_direction = direction;
    return rule;
}

std::optional<NENetworkRule> NENetworkRule::destinationHost(const NWEndpoint& destination, Protocol protocol)
{
    if (!acceptable(destination))
        return std::nullopt;
    NENetworkRule rule;
    rule.m_remote = destination;
    rule.m_protocol = protocol;
    rule.m_direction = Direction::Outbound;
    rule.m_destination = true;
    return rule;
}

} // namespace corvantis
