#pragma once

#include "extension/daemon/CorvantisWorker.h"
#include "ipc/IPCExtension.h"
#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcListener.h"

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace corvantis {

// The extension's service towards the application: the hello, the settings with the active profile (which
// bring the engine up), the periodic tick data and the GSS listener's endpoint. It listens on the service
// socket named in the extension's manifest and admits root and, when the daemon was started with one, the
// allowed user; the socket file belongs to that user (root when there is none) and is 0600.
//
// Thread-safety: every member may be called from any thread; calls of one connection arrive one at a time.
class XPCServerInExtension final : public IPCExtension, public std::enable_shared_from_this<XPCServerInExtension> {
    struct PrivateTag { };

public:
    // Listens on `serviceName` for root and `allowedUid`. Fails with the reason when the socket cannot be made.
    static Result<std::shared_ptr<XPCServerInExtension>> start(
        const std::string& serviceName, std::optional<uid_t> allowedUid, std::shared_ptr<CorvantisWorker> worker);
    XPCServerInExtension(PrivateTag, std::shared_ptr<CorvantisWorker> worker);
    // Stops listening.
    ~XPCServerInExtension() override;

    bool listenerShouldAcceptNewConnection(const XpcConnectionPtr& connection);
    // The connection accepted last; none once it broke.
    XpcConnectionPtr currentConnection() const;

    void helloWithVersion(const std::string& version, StringReply reply) override;
    void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply) override;
    void retriveTickDataWithReply(TickDataReply reply) override;
    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override;

private:
    const std::shared_ptr<CorvantisWorker> m_worker;
    XpcListenerPtr m_listener; // set once by start()
    mutable Mutex m_mutex;
    XpcConnectionPtr m_currentConnection GUARDED_BY(m_mutex);
};

} // namespace corvantis
