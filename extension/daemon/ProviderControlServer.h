#pragma once

#include "platform/Result.h"
#include "platform/netext/NEProviderHost.h"
#include "platform/xpc/XpcListener.h"

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace corvantis {

// The daemon's control service (ipc/ProviderControl.h) over its provider host: listens on
// "<service name>.control" for root and the allowed user, socket 0600 owned by that user (root without one).
//
// Thread-safety: calls arrive on each connection's queue; the provider host guards itself.
class ProviderControlServer final {
public:
    static Result<std::unique_ptr<ProviderControlServer>> start(
        const std::string& serviceName, std::optional<uid_t> allowedUid, NEProviderHost& host);
    ~ProviderControlServer();
    ProviderControlServer(const ProviderControlServer&) = delete;
    ProviderControlServer& operator=(const ProviderControlServer&) = delete;

private:
    explicit ProviderControlServer(XpcListenerPtr listener);
    const XpcListenerPtr m_listener;
};

} // namespace corvantis
