#pragma once

#include "platform/Mutex.h"
#include "platform/netext/NEAppProxyFlow.h"
#include "platform/netext/NEAppProxyUDPFlow.h"
#include "platform/netext/NetworkRules.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace corvantis {

// The base of the providers that take other applications' flows (the transparent proxy and the DNS proxy). The
// provider host makes one per kind, starts and stops it, offers it the flows of its kind and carries the
// application's provider messages to it; the provider answers through the completions and calls back on the
// system with cancelProxyWithError and setTunnelNetworkSettings.
//
// Thread-safety: the host calls the overridden operations from its own threads; the calls on the system side may
// be made from any thread.
class NEAppProxyProvider {
public:
    using Completion = std::function<void(std::optional<FlowError>)>;
    using MessageCompletion = std::function<void(std::optional<std::vector<uint8_t>>)>;

    // What the system does with the provider's calls: apply the network settings (the error when it refuses
    // them), and stop the provider for a cancel. Empty functions: settings are kept and accepted, a cancel is
    // only recorded.
    struct SystemSide {
        std::function<std::optional<FlowError>(const std::optional<NETransparentProxyNetworkSettings>&)> applySettings;
        std::function<void(std::optional<FlowError>)> cancelled;
    };

    NEAppProxyProvider() = default;
    NEAppProxyProvider(const NEAppProxyProvider&) = delete;
    NEAppProxyProvider& operator=(const NEAppProxyProvider&) = delete;
    virtual ~NEAppProxyProvider() = default;

    // The start; `completion` is called once, with the start's error or none.
    virtual void startProxy(Completion completion) = 0;
    // The stop for `reason`; `completion` is called once the provider has done what it does at a stop.
    virtual void stopProxy(int reason, std::function<void()> completion) = 0;
    // A message of the application; the reply (none: no reply) goes to `completion` when one is given.
    virtual void handleAppMessage(const std::vector<uint8_t>& message, MessageCompletion completion);
    virtual void sleep(std::function<void()> completion);
    virtual void wake();
    // A TCP flow (any other flow the provider answers false); true: the provider carries it.
    virtual bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) = 0;
    virtual bool handleNewUDPFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint) = 0;

    // ---- Calls on the system ----

    // Asks the system to stop the provider.
    void cancelProxyWithError(std::optional<FlowError> error);
    // Applies (or, with none, removes) the provider's network settings; `completion` gets the system's error.
    void setTunnelNetworkSettings(std::optional<NETransparentProxyNetworkSettings> settings, Completion completion);

    // ---- The host's side ----

    void setSystemSide(SystemSide side);
    // The settings last applied without error.
    std::optional<NETransparentProxyNetworkSettings> appliedSettings() const;
    // Whether the provider cancelled itself, and with which error.
    bool wasCancelled() const;
    std::optional<FlowError> cancelError() const;

private:
    mutable Mutex m_mutex;
    SystemSide m_side GUARDED_BY(m_mutex);
    std::optional<NETransparentProxyNetworkSettings> m_applied GUARDED_BY(m_mutex);
    bool m_cancelled GUARDED_BY(m_mutex) = false;
    std::optional<FlowError> m_cancelError GUARDED_BY(m_mutex);
};

// The transparent proxy's base: it applies network settings that select the traffic it wants.
class NETransparentProxyProvider : public NEAppProxyProvider { };

// The DNS proxy's base: the system's DNS proxy configuration decides which flows arrive.
class NEDNSProxyProvider : public NEAppProxyProvider { };

} // namespace corvantis
