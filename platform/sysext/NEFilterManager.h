#pragma once

#include "platform/sysext/NESingleConfigurationManager.h"

#include <optional>

namespace corvantis {

// The process's copy of the one content filter configuration (see NESingleConfigurationManager).
class NEFilterManager final : public NESingleConfigurationManager {
public:
    // The process's manager. Never destroyed.
    static NEFilterManager& shared();

    std::optional<NEFilterProviderConfiguration> providerConfiguration() const;
    void setProviderConfiguration(std::optional<NEFilterProviderConfiguration> configuration);

private:
    NEFilterManager();
};

} // namespace corvantis
