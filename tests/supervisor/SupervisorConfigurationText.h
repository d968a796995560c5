#pragma once

// Every field of a configuration as one text, so that tests compare (and print) configurations whole.

#include "platform/sysext/NEConfigurationStore.h"

#include <sstream>
#include <string>

namespace corvantis::test {

inline std::string ConfigurationText(const NEConfiguration& c)
{
    std::ostringstream text;
    text << "id=" << c.identifier << " kind=" << static_cast<int>(c.kind) << " description=" << c.localizedDescription
         << " enabled=" << c.enabled;
    if (const auto& t = c.tunnelProtocol) {
        text << " tunnel{user=" << t->username << " server=" << t->serverAddress
             << " provider=" << t->providerBundleIdentifier << " excludeLocal=" << t->excludeLocalNetworks
             << " includeAll=" << t->includeAllNetworks << " disconnectOnSleep=" << t->disconnectOnSleep << " config{";
        for (const auto& [key, value] : t->providerConfiguration)
            text << "[" << key << "]=[" << value << "]";
        text << "}}";
    }
    if (const auto& d = c.dnsProtocol)
        text << " dns{provider=" << d->providerBundleIdentifier << "}";
    if (const auto& f = c.filterConfiguration)
        text << " filter{sockets=" << f->filterSockets << " packets=" << f->filterPackets << "}";
    return text.str();
}

} // namespace corvantis::test
