#pragma once

#include <functional>
#include <optional>
#include <string>

namespace corvantis {

// Switches the system's DNS proxy configuration ("Corvantis DNS"), whose provider is the extension, on and off.
//
// Thread-safety: immutable after construction. Handlers run on the configuration layer's completion queue, not on
// the main thread; the object may be destroyed while an operation runs.
class DnsProxyManager final {
public:
    // (success, the failure's text).
    using Handler = std::function<void(bool ok, std::optional<std::string> error)>;

    explicit DnsProxyManager(std::string appVersion);
    DnsProxyManager(const DnsProxyManager&) = delete;
    DnsProxyManager& operator=(const DnsProxyManager&) = delete;

    // Writes and stores the enabled configuration, every time (also when it is enabled already).
    void runDnsProxySessionWithHandler(Handler handler);
    // Stores the configuration disabled when it is enabled; reports success at once when it is not.
    void stopDnsProxyVpnWithHandler(Handler handler);
    // Whether the configuration is enabled as last loaded or changed in this process; reads no preferences.
    bool isStarted() const;

    const std::string appVersion;
    const std::string extensionId;
};

} // namespace corvantis
