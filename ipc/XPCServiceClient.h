#pragma once

#include "ipc/IPCBaseProtcol.h"
#include "platform/xpc/XpcConnection.h"

#include <functional>
#include <memory>
#include <string>

namespace corvantis {

// A client of the privileged helper program (not part of this system), of which only the hello is fixed. Its
// connection is made at construction; a broken link only writes "interruption" or "invalidation" to the system
// log. Nothing in the programs creates one.
// Thread-safety: immutable after construction; runHelperWithReply may be called from any thread.
class XPCServiceClient final {
public:
    static constexpr const char* kHelperServiceName = "com.velmar.corvantis.v3.macos.privilegedHelper";

    XPCServiceClient();
    XPCServiceClient(const XPCServiceClient&) = delete;
    XPCServiceClient& operator=(const XPCServiceClient&) = delete;

    // Sends one hello with the version "11" and writes the helper's answer to the system log. `reply` is
    // released without being called.
    void runHelperWithReply(std::function<void(std::string)> reply);

private:
    const std::string m_bundleId;
    const XpcConnectionPtr m_connection;
    std::shared_ptr<IPCBaseProtcol> m_proxy;
};

} // namespace corvantis
