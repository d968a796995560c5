#pragma once

#include "platform/Mutex.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/sysext/NETunnelProviderSession.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class NETransparentProxyManager;
using NETransparentProxyManagerPtr = std::shared_ptr<NETransparentProxyManager>;

// One transparent proxy configuration as the programs edit it: an in-memory copy of a stored configuration (or a
// new one, until its first save) with its session. Changes stay in memory until saveToPreferences.
//
// Thread-safety: every member may be called from any thread; the fields are guarded by a lock. Completions run on
// the layer's completion queue (NEConfigurationLayer::completionQueue), never assumed to be the main thread.
class NETransparentProxyManager final : public std::enable_shared_from_this<NETransparentProxyManager> {
    struct PrivateTag { };

public:
    using LoadAllCompletion
        = std::function<void(std::vector<NETransparentProxyManagerPtr> managers, std::optional<std::string> error)>;
    using SaveCompletion = std::function<void(std::optional<std::string> error)>;

    // A new configuration: no description, no protocol, disabled, never saved.
    static NETransparentProxyManagerPtr create();

    // The stored transparent proxy configurations, in the store's order, or (with an empty list) the error's text.
    static void loadAllFromPreferences(LoadAllCompletion completion);

    // Stores this configuration (a new one on its first save, which gives it its identifier), then runs
    // `completion` with none or the error's text. The manager is kept alive until then.
    void saveToPreferences(SaveCompletion completion);

    std::string localizedDescription() const;
    void setLocalizedDescription(std::string description);
    std::optional<NETunnelProviderProtocol> protocolConfiguration() const;
    void setProtocolConfiguration(std::optional<NETunnelProviderProtocol> protocol);
    bool isEnabled() const;
    void setEnabled(bool enabled);

    // The session of this configuration in the process's store. A handle made on each call; a configuration
    // never saved has a session whose status is Invalid and that cannot start.
    NETunnelProviderSessionPtr connection() const;

    // The configuration as it would be stored.
    NEConfiguration configuration() const;

    NETransparentProxyManager(PrivateTag, NEConfiguration configuration);
    NETransparentProxyManager(const NETransparentProxyManager&) = delete;
    NETransparentProxyManager& operator=(const NETransparentProxyManager&) = delete;

private:
    mutable Mutex m_mutex;
    NEConfiguration m_configuration GUARDED_BY(m_mutex);
};

} // namespace corvantis
