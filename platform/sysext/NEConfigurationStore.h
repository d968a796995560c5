#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// The network configurations of the system (transparent proxies, the one DNS proxy, the one content filter) and
// the sessions of the transparent proxies, kept by whoever plays the system: the supervisor, or a fake in tests.
// Starting an enabled configuration's provider (and so the redirect rules) is the store's business: a saved,
// enabled DNS proxy or filter runs its provider, a disabled one stops it; a transparent proxy runs while its
// session is started.

enum class NEConfigurationKind : int { TransparentProxy = 0, DnsProxy = 1, ContentFilter = 2 };

// A session's state; the numbers are the ones the programs log and compare.
enum class NEVPNStatus : int {
    Invalid = 0,
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Reasserting = 4,
    Disconnecting = 5,
};

struct NETunnelProviderProtocol {
    std::string username;
    std::string serverAddress;
    std::string providerBundleIdentifier;
    std::map<std::string, std::string> providerConfiguration;
    bool excludeLocalNetworks = false;
    bool includeAllNetworks = false;
    bool disconnectOnSleep = false;

    bool operator==(const NETunnelProviderProtocol&) const = default;
};

struct NEDNSProxyProviderProtocol {
    std::string providerBundleIdentifier;

    bool operator==(const NEDNSProxyProviderProtocol&) const = default;
};

struct NEFilterProviderConfiguration {
    bool filterSockets = false;
    bool filterPackets = false;

    bool operator==(const NEFilterProviderConfiguration&) const = default;
};

// One stored configuration. `identifier` is given by the store when a new configuration (empty identifier) is
// first saved; a transparent proxy's identifier also names its session. Only the protocol of the kind is used.
struct NEConfiguration {
    std::string identifier;
    NEConfigurationKind kind = NEConfigurationKind::TransparentProxy;
    std::string localizedDescription;
    bool enabled = false;
    std::optional<NETunnelProviderProtocol> tunnelProtocol;
    std::optional<NEDNSProxyProviderProtocol> dnsProtocol;
    std::optional<NEFilterProviderConfiguration> filterConfiguration;

    bool operator==(const NEConfiguration&) const = default;
};

// Completions run on a serial queue of the store, never assumed to be the main thread.
class NEConfigurationStore {
public:
    // The configurations of a kind, in a stable order (transparent proxies in the order first saved), or the
    // error's text.
    using LoadCompletion = std::function<void(std::vector<NEConfiguration>, std::optional<std::string> error)>;
    // The configuration as stored (with its identifier), or the error's text.
    using SaveCompletion = std::function<void(std::optional<NEConfiguration>, std::optional<std::string> error)>;
    using ResponseHandler = std::function<void(std::optional<std::vector<uint8_t>> response)>;
    using StatusObserver = std::function<void(const std::string& identifier, NEVPNStatus status)>;

    virtual ~NEConfigurationStore() = default;

    virtual void load(NEConfigurationKind kind, LoadCompletion completion) = 0;
    // Stores `configuration` (a new one when its identifier is empty or unknown); DNS proxy and filter replace
    // the one of their kind.
    virtual void save(const NEConfiguration& configuration, SaveCompletion completion) = 0;

    // The session of the transparent proxy `identifier`: its state as last reported (Invalid for an unknown one).
    virtual NEVPNStatus status(const std::string& identifier) = 0;
    // Starts its provider (the extension is started when needed): Connecting, then Connected or Disconnected.
    // Returns the error's text when the start cannot even be asked for (unknown or disabled configuration, no
    // extension installed).
    virtual std::optional<std::string> startTunnel(const std::string& identifier) = 0;
    // Disconnecting, then Disconnected.
    virtual void stopTunnel(const std::string& identifier) = 0;
    // A provider message to the transparent proxy of session `identifier`. False when it cannot be sent; else
    // `response` runs once, with no data when the provider gave none or the extension ended first.
    virtual bool sendProviderMessage(
        const std::string& identifier, const std::vector<uint8_t>& message, ResponseHandler response)
        = 0;
    // Follows every session's state changes, on the store's queue.
    virtual void addStatusObserver(StatusObserver observer) = 0;

    // The process's store: the one a program (or a test) installed, else the supervisor's client.
    static std::shared_ptr<NEConfigurationStore> shared();
    static void setShared(std::shared_ptr<NEConfigurationStore> store);
};

} // namespace corvantis
