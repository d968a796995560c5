#pragma once

#include "ipc/IPCBaseProtcol.h"
#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcInterface.h"
#include "platform/xpc/XpcListener.h"

#include <memory>
#include <string>

namespace corvantis {

// Serves the hello on the service `bundleId` to exactly one client: the first connection it ever admits. Every
// later one is refused for the life of the server, also after the first has gone away. The listener admits
// root and this process's own user. Nothing in the programs creates one.
// Thread-safety: every member may be called from any thread.
class XPCServer final : public IPCBaseProtcol, public std::enable_shared_from_this<XPCServer> {
    struct PrivateTag { };

public:
    // Listens on `bundleId` in the runtime folder; fails when the socket cannot be made.
    static Result<std::shared_ptr<XPCServer>> create(const std::string& bundleId);
    // Stops listening.
    ~XPCServer() override;

    // The listener's delegate: keeps the first connection, refuses the rest.
    bool listenerShouldAcceptNewConnection(const XpcConnectionPtr& connection);
    // Replies with the program's full version; the received version is not looked at.
    void helloWithVersion(const std::string& version, StringReply reply) override;

    XPCServer(PrivateTag, std::string bundleId, XpcListenerPtr listener);

private:
    const std::string m_bundleId;
    const XpcListenerPtr m_listener;
    const XpcInterfacePtr m_interface;
    Mutex m_mutex;
    XpcConnectionPtr listenerConnection GUARDED_BY(m_mutex);
};

} // namespace corvantis
