#include "platform/sysext/NEFilterManager.h"

#include "platform/DispatchQueue.h"
#include "platform/sysext/NETunnelProviderSession.h"

namespace corvantis {

namespace {
constexpr NEConfigurationKind kKind = NEConfigurationKind::ContentFilter;
} // namespace

NEFilterManager& NEFilterManager::shared()
{
    static auto* manager = new NEFilterManager();
    return *manager;
}

void NEFilterManager::loadFromPreferences(Completion completion)
{
    auto queue = NEConfigurationLayer::completionQueue();
    auto store = NEConfigurationLayer::store();
    if (!store) {
        queue->async([completion = std::move(completion)] { completion(std::string(kNoConfigurationStore)); });
        return;
    }
    store->load(kKind,
        [this, queue, completion = std::move(completion)](
            std::vector<NEConfiguration> configurations, std::optional<std::string> error) {
            if (!error) {
                NEConfiguration loaded;
                if (!configurations.empty())
                    loaded = std::move(configurations.front());
                loaded.kind = kKind;
                MutexLock lock(m_mutex);
                m_configuration = std::move(loaded);
            }
            queue->async([completion, error = std::move(error)] { completion(error); });
        });
}

void NEFilterManager::saveToPreferences(Completion completion)
{
    auto queue = NEConfigurationLayer::completionQueue();
    auto store = NEConfigurationLayer::store();
    if (!store) {
        queue->async([completion = std::move(completion)] { completion(std::string(kNoConfigurationStore)); });
        return;
    }
    NEConfiguration configuration;
    {
        MutexLock lock(m_mutex);
        configuration = m_configuration;
    }
    configuration.kind = kKind;
    store->save(configuration,
        [this, queue, completion = std::move(completion)](
            std::optional<NEConfiguration> stored, std::optional<std::string> error) {
            if (!error && stored) {
                MutexLock lock(m_mutex);
                m_configuration.identifier = stored->identifier;
            } else if (!error) {
                error = "The configuration was not stored.";
            }
            queue->async([completion, error = std::move(error)] { completion(error); });
        });
}

std::string NEFilterManager::localizedDescription() const
{
    MutexLock lock(m_mutex);
    return m_configuration.localizedDescription;
}

void NEFilterManager::setLocalizedDescription(std::string description)
{
    MutexLock lock(m_mutex);
    m_configuration.localizedDescription = std::move(description);
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

bool NEFilterManager::isEnabled() const
{
    MutexLock lock(m_mutex);
    return m_configuration.enabled;
}

void NEFilterManager::setEnabled(bool enabled)
{
    MutexLock lock(m_mutex);
    m_configuration.enabled = enabled;
}

} // namespace corvantis
