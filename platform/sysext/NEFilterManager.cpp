#include "platform/sysext/NEFilterManager.h"

namespace corvantis {

NEFilterManager& NEFilterManager::shared()
{
    static auto* manager = new NEFilterManager();
    return *manager;
}

NEFilterManager::NEFilterManager()
    : NESingleConfigurationManager(NEConfigurationKind::ContentFilter)
{
}

std::optional<NEFilterProviderConfiguration> NEFilterManager::providerConfiguration() const
{
    MutexLock lock(m_mutex);
    return m_configuration.filterConfiguration;
}

void NEFilterManager::setProviderConfiguration(std::optional<NEFilterProviderConfiguration> configuration)
{
    MutexLock lock(m_mutex);
    m_configuration.filterConfiguration = std::move(configuration);
}

} // namespace corvantis
