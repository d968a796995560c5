#include "platform/sysext/NEDNSProxyManager.h"

namespace corvantis {

NEDNSProxyManager& NEDNSProxyManager::shared()
{
    static auto* manager = new NEDNSProxyManager();
    return *manager;
}

NEDNSProxyManager::NEDNSProxyManager()
    : NESingleConfigurationManager(NEConfigurationKind::DnsProxy)
{
}

std::optional<NEDNSProxyProviderProtocol> NEDNSProxyManager::providerProtocol() const
{
    MutexLock lock(m_mutex);
    return m_configuration.dnsProtocol;
}

void NEDNSProxyManager::setProviderProtocol(std::optional<NEDNSProxyProviderProtocol> protocol)
{
    MutexLock lock(m_mutex);
    m_configuration.dnsProtocol = std::move(protocol);
}

} // namespace corvantis
