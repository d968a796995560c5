#include "platform/sysext/NESingleConfigurationManager.h"

#include "platform/DispatchQueue.h"
#include "platform/sysext/NETunnelProviderSession.h"

namespace corvantis {

void NESingleConfigurationManager::loadFromPreferences(Completion completion)
{
    auto queue = NEConfigurationLayer::completionQueue();
    auto store = NEConfigurationLayer::store();
    if (!store) {
        queue->async([completion = std::move(completion)] { completion(std::string(kNoConfigurationStore)); });
        return;
    }
    store->load(m_kind,
        [this, queue, completion = std::move(completion)](
            std::vector<NEConfiguration> configurations, std::optional<std::string> error) {
            if (!error) {
                NEConfiguration loaded;
                if (!configurations.empty())
                    loaded = std::move(configurations.front());
                loaded.kind = m_kind;
                MutexLock lock(m_mutex);
                m_configuration = std::move(loaded);
            }
            queue->async([completion, error = std::move(error)] { completion(error); });
        });
}

void NESingleConfigurationManager::saveToPreferences(Completion completion)
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
    configuration.kind = m_kind;
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

std::string NESingleConfigurationManager::localizedDescription() const
{
    MutexLock lock(m_mutex);
    return m_configuration.localizedDescription;
}

void NESingleConfigurationManager::setLocalizedDescription(std::string description)
{
    MutexLock lock(m_mutex);
    m_configuration.localizedDescription = std::move(description);
}

bool NESingleConfigurationManager::isEnabled() const
{
    MutexLock lock(m_mutex);
    return m_configuration.enabled;
}

void NESingleConfigurationManager::setEnabled(bool enabled)
{
    MutexLock lock(m_mutex);
    m_configuration.enabled = enabled;
}

} // namespace corvantis
