#pragma once

#include "ipc/GssIPCProtcol.h"
#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcEndpoint.h"
#include "platform/xpc/XpcListener.h"

#include <memory>
#include <optional>

namespace corvantis {

// The application's Kerberos token service: an anonymous listener serving GssIPCProtcol, whose endpoint goes
// to the extension with the settings. Tokens are made with the credentials of the application's user, which
// the extension (root) does not hold.
//
// One instance per process, made on first use and kept for the life of the process. The listener admits only
// root and the application's own user. Accepted connections are kept by their open links, not by the server.
// Thread-safety: every member may be called from any thread; calls run on the connections' queues.
class GssHelperServer final : public GssIPCProtcol, public std::enable_shared_from_this<GssHelperServer> {
    struct PrivateTag { };

public:
    // Capacities of the token request: both buffers hold kGssBufferCapacity bytes; the text gets one byte
    // less, so it always stays NUL-terminated.
    static std::shared_ptr<GssHelperServer> shared();

    // Starts (or, called again, replaces) the anonymous listener. Fails when no socket can be made; the
    // listener then stays as it was.
    static Status startListener();
    // The endpoint of the listener, or none before startListener().
    static std::optional<XpcEndpoint> listenerEndpoint();

    // The listener's delegate: serves GssIPCProtcol on every admitted connection.
    bool listenerShouldAcceptNewConnection(const XpcConnectionPtr& connection);

    // Writes "Hello message processed in extension " + version to the log (debug level, no application) and
    // replies with the program's full version.
    void helloWithVersion(const std::string& version, StringReply reply) override;
    // Builds the Negotiate token for "HTTP@" + host with this process's credentials and replies (ok, "" or the
    // reason, the token bytes). Blocks the connection's queue while the token is made.
    void retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply) override;

    explicit GssHelperServer(PrivateTag) { }

private:
    Mutex m_mutex;
    XpcListenerPtr m_listener GUARDED_BY(m_mutex);
};

} // namespace corvantis
