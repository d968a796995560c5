#include "platform/sysext/NETransparentProxyManager.h"

#include "platform/DispatchQueue.h"

namespace corvantis {

NETransparentProxyManager::NETransparentProxyManager(PrivateTag, NEConfiguration configuration)
    : m_configuration(std::move(configuration))
{
    m_configuration.kind = NEConfigurationKind::TransparentProxy;
}

NETransparentProxyManagerPtr NETransparentProxyManager::create()
{
    return std::make_shared<NETransparentProxyManager>(PrivateTag {}, NEConfiguration {});
}

void NETransparentProxyManager::loadAllFromPreferences(LoadAllCompletion completion)
{
    auto queue = NEConfigurationLayer::completionQueue();
    auto store = NEConfigurationLayer::store();
    if (!store) {
        queue->async([completion = std::move(completion)] { completion({}, std::string(kNoConfigurationStore)); });
        return;
    }
    store->load(NEConfigurationKind::TransparentProxy,
        [queue, completion = std::move(completion)](
            std::vector<NEConfiguration> configurations, std::optional<std::string> error) {
            queue->async([completion, configurations = std::move(configurations), error = std::move(error)]() {
                std::vector<NETransparentProxyManagerPtr> managers;
                if (!error) {
                    for (const auto& configuration : configurations)
                        managers.push_back(std::make_shared<NETransparentProxyManager>(PrivateTag {}, configuration));
                }
                completion(std::move(managers), error);
            });
        });
}

void NETransparentProxyManager::saveToPreferences(SaveCompletion completion)
{
    auto queue = NEConfigurationLayer::completionQueue();
    auto store = NEConfigurationLayer::store();
    if (!store) {
        queue->async([completion = std::move(completion)] { completion(std::string(kNoConfigurationStore)); });
        return;
    }
    store->save(configuration(),
        [queue, self = shared_from_this(), completion = std::move(completion)](
            std::optional<NEConfiguration> stored, std::optional<std::string> error) {
            if (!error && stored) {
                // Only the identifier is taken back: fields changed since the save was asked for stay as they are.
                MutexLock lock(self->m_mutex);
                self->m_configuration.identifier = stored->identifier;
            } else if (!error) {
                error = "The configuration was not stored.";
            }
            queue->async([completion, error = std::move(error)] { completion(error); });
        });
}

std::string NETransparentProxyManager::localizedDescription() const
{
    MutexLock lock(m_mutex);
    return m_configuration.localizedDescription;
}

void NETransparentProxyManager::setLocalizedDescription(std::string description)
{
    MutexLock lock(m_mutex);
    m_configuration.localizedDescription = std::move(description);
}

std::optional<NETunnelProviderProtocol> NETransparentProxyManager::protocolConfiguration() const
{
    MutexLock lock(m_mutex);
    return m_configuration.tunnelProtocol;
}

void NETransparentProxyManager::setProtocolConfiguration(std::optional<NETunnelProviderProtocol> protocol)
{
    MutexLock lock(m_mutex);
    m_configuration.tunnelProtocol = std::move(protocol);
}

bool NETransparentProxyManager::isEnabled() const
{
    MutexLock lock(m_mutex);
    return m_configuration.enabled;
}

void NETransparentProxyManager::setEnabled(bool enabled)
{
    MutexLock lock(m_mutex);
    m_configuration.enabled = enabled;
}

NETunnelProviderSessionPtr NETransparentProxyManager::connection() const
{
    return std::make_shared<NETunnelProviderSession>(NEConfigurationLayer::store(), configuration().identifier);
}

NEConfiguration NETransparentProxyManager::configuration() const
{
    MutexLock lock(m_mutex);
    return m_configuration;
}

} // namespace corvantis
