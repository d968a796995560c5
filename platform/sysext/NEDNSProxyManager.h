#pragma once

#include "platform/sysext/NESingleConfigurationManager.h"

#include <optional>

namespace corvantis {

// The process's copy of the one DNS proxy configuration (see NESingleConfigurationManager).
class NEDNSProxyManager final : public NESingleConfigurationManager {
public:
    // The process's manager. Never destroyed.
    static NEDNSProxyManager& shared();

    std::optional<NEDNSProxyProviderProtocol> providerProtocol() const;
    void setProviderProtocol(std::optional<NEDNSProxyProviderProtocol> protocol);

private:
    NEDNSProxyManager();
};

} // namespace corvantis
