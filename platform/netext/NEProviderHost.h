#pragma once

#include "platform/Mutex.h"
#include "platform/netext/FlowSource.h"
#include "platform/netext/NEAppProxyProvider.h"
#include "platform/netext/NEFilterDataProvider.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace corvantis {

// The kinds of provider the extension has.
enum class ProviderKind { TransparentProxy = 0, DnsProxy = 1, ContentFilter = 2 };

// A provider's session state, as the programs see it.
enum class SessionStatus : int {
    Invalid = 0,
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Reasserting = 4,
    Disconnecting = 5,
};

// Keeps the extension's providers: makes a provider of a kind on demand (from the factories the daemon
// registers), starts and stops it, carries provider messages to the transparent proxy (made, not started, when
// it does not exist yet, as for the wake message), offers each running proxy the flows of its kind from a flow
// source, and keeps each provider's state, which observers follow.
//
// Thread-safety: every member may be called from any thread; a provider's start, stop and observers run on the
// caller's thread without the host's lock held.
class NEProviderHost final {
public:
    using ProxyFactory = std::function<std::shared_ptr<NEAppProxyProvider>(ProviderKind kind)>;
    using FilterFactory = std::function<std::shared_ptr<NEFilterDataProvider>()>;
    using StatusObserver = std::function<void(ProviderKind kind, SessionStatus status)>;
    // What the system does with a proxy's or the filter's network settings (none: remove them); the error when
    // it refuses them.
    using ProxySettingsSink = std::function<std::optional<FlowError>(
        ProviderKind kind, const std::optional<NETransparentProxyNetworkSettings>& settings)>;
    using FilterSettingsSink = std::function<std::optional<FlowError>(const std::optional<NEFilterSettings>&)>;

    NEProviderHost() = default;
    NEProviderHost(const NEProviderHost&) = delete;
    NEProviderHost& operator=(const NEProviderHost&) = delete;

    // The process's host.
    static NEProviderHost& shared();

    void setFactories(ProxyFactory proxies, FilterFactory filter);
    void addStatusObserver(StatusObserver observer);
    // Where the providers' settings go; set before the first provider is made (without: kept and accepted).
    void setSettingsSinks(ProxySettingsSink proxy, FilterSettingsSink filter);

    // Starts the provider of `kind` (made when needed): Connecting, then Connected, or Disconnected with the
    // start's error, which `completion` gets. A running provider answers at once without an error.
    void start(ProviderKind kind, std::function<void(std::optional<FlowError>)> completion);
    // Stops it: Disconnecting, the provider's stop, Disconnected. Nothing runs for a provider that is not running.
    void stop(ProviderKind kind, int reason, std::function<void()> completion);
    // A provider message for the transparent proxy; `completion` gets its reply (none when it has none or no
    // provider can be made).
    void sendProviderMessage(const std::vector<uint8_t>& message, NEAppProxyProvider::MessageCompletion completion);
    SessionStatus status(ProviderKind kind) const;
    // The content filter while it runs; none otherwise.
    std::shared_ptr<NEFilterDataProvider> runningFilter() const;

    // Offers the flows of `source` from now on: TCP flows to the running transparent proxy, flows to port 53 to
    // the running DNS proxy when the transparent proxy did not take them; none while neither runs.
    void attachFlowSource(FlowSource& source);

private:
    struct Entry {
        std::shared_ptr<NEAppProxyProvider> proxy;
        std::shared_ptr<NEFilterDataProvider> filter;
        SessionStatus status = SessionStatus::Disconnected;
    };
    void setStatus(ProviderKind kind, SessionStatus status);
    std::shared_ptr<NEAppProxyProvider> proxyOf(ProviderKind kind, bool make);
    std::shared_ptr<NEAppProxyProvider> runningProxy(ProviderKind kind) const;

    mutable Mutex m_mutex;
    ProxyFactory m_proxies GUARDED_BY(m_mutex);
    FilterFactory m_filter GUARDED_BY(m_mutex);
    std::map<ProviderKind, Entry> m_entries GUARDED_BY(m_mutex);
    std::vector<StatusObserver> m_observers GUARDED_BY(m_mutex);
    ProxySettingsSink m_proxySettings GUARDED_BY(m_mutex);
    FilterSettingsSink m_filterSettings GUARDED_BY(m_mutex);
};

} // namespace corvantis
