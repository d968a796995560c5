#pragma once

#include "platform/Mutex.h"
#include "platform/sysext/NEConfigurationStore.h"

#include <functional>
#include <optional>
#include <string>

namespace corvantis {

// The process's copy of the one configuration of a kind the system keeps once (the DNS proxy, the content
// filter). Changes stay in memory until saveToPreferences; a saved, enabled configuration runs its provider.
//
// Thread-safety: every member may be called from any thread; the fields are guarded by a lock. Completions run on
// the layer's completion queue (NEConfigurationLayer::completionQueue), never assumed to be the main thread.
class NESingleConfigurationManager {
public:
    using Completion = std::function<void(std::optional<std::string> error)>;

    // Replaces the in-memory copy with the stored configuration (an empty, disabled one when none is stored),
    // then runs `completion` with none, or with the error's text and the copy unchanged.
    void loadFromPreferences(Completion completion);
    // Stores the in-memory copy, then runs `completion` with none or the error's text.
    void saveToPreferences(Completion completion);

    std::string localizedDescription() const;
    void setLocalizedDescription(std::string description);
    // As it stands in memory.
    bool isEnabled() const;
    void setEnabled(bool enabled);

    NESingleConfigurationManager(const NESingleConfigurationManager&) = delete;
    NESingleConfigurationManager& operator=(const NESingleConfigurationManager&) = delete;

protected:
    explicit NESingleConfigurationManager(NEConfigurationKind kind)
        : m_kind(kind)
    {
    }
    ~NESingleConfigurationManager() = default;

    const NEConfigurationKind m_kind;
    mutable Mutex m_mutex;
    NEConfiguration m_configuration GUARDED_BY(m_mutex);
};

} // namespace corvantis
