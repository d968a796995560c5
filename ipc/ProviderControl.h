#pragma once

#include "platform/DispatchQueue.h"
#include "platform/netext/NEAppProxyFlow.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcInterface.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// The extension's control service, beside its service: `<service name>.control` in the runtime folder, admitting
// the same users. Whoever runs the providers (the supervisor, a test's probe) starts and stops a provider of a
// kind (0 transparent proxy, 1 DNS proxy, 2 content filter), sends the transparent proxy a provider message and
// reads a provider's session state (0-5).
inline constexpr const char* kStartProviderSelector = "startProviderOfKind:reply:";
inline constexpr const char* kStopProviderSelector = "stopProviderOfKind:reason:reply:";
inline constexpr const char* kSendProviderMessageSelector = "sendProviderMessage:reply:";
inline constexpr const char* kProviderStatusSelector = "providerStatusOfKind:reply:";
inline constexpr const char* kFollowProviderStatusSelector = "followProviderStatusOfKind:from:reply:";

// The control interface: start (kind → success, error code, error text), stop (kind, reason → done), message
// (bytes → optional reply bytes), status (kind → state), follow (kind, a state the caller knows → the state once
// it differs from that one).
XpcInterfacePtr ProviderControlInterface();
// "<service name>.control".
std::string ProviderControlServiceName(const std::string& serviceName);

// A client of the control service. Replies arrive on the connection's queue; a call whose link breaks first is
// never answered (the caller bounds its wait).
//
// Thread-safety: every member may be called from any thread.
class ProviderControlClient final {
public:
    explicit ProviderControlClient(const std::string& serviceName);
    ~ProviderControlClient();
    ProviderControlClient(const ProviderControlClient&) = delete;
    ProviderControlClient& operator=(const ProviderControlClient&) = delete;

    void start(int kind, std::function<void(std::optional<FlowError>)> reply);
    void stop(int kind, int reason, std::function<void()> reply);
    void sendProviderMessage(
        const std::vector<uint8_t>& message, std::function<void(std::optional<std::vector<uint8_t>>)> reply);
    void status(int kind, std::function<void(int)> reply);
    // Answers once the provider's state is another than `known` (at once when it already is).
    void followStatus(int kind, int known, std::function<void(int)> reply);

private:
    const XpcConnectionPtr m_connection;
};

} // namespace corvantis
