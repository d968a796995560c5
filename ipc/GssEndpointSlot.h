#pragma once

#include "platform/xpc/XpcEndpoint.h"

#include <memory>

namespace corvantis {

// The extension's one process-wide GSS endpoint slot: the application's GSS listener endpoint last handed over
// (setGssServerEndpointWithGssServerEndpoint), or none. The service writes it, each token request reads it.
// It holds a shared pointer that is replaced whole: a reader keeps the endpoint it loaded even when it is
// replaced meanwhile.
// Thread-safe.
class GssEndpointSlot final {
public:
    GssEndpointSlot() = delete;

    static std::shared_ptr<const XpcEndpoint> load();
    // Replaces the endpoint (null empties the slot).
    static void store(std::shared_ptr<const XpcEndpoint> endpoint);
};

} // namespace corvantis
