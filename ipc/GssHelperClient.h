#pragma once

#include "ipc/GssIPCProtcol.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/Mutex.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcEndpoint.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace corvantis {

// The extension's client of the application's GSS token service, and the synchronous token entry that the
// proxy code reaches through the core's hooks.
//
// The client: one request outstanding at a time; requests are queued on "XPC client to GSS" and answered by the
// service, or by the client itself when it cannot send: (NO, "IPC error (1)") not connected, "(2)" busy, "(3)"
// protocol error, delivered on the global queue; a hello it cannot send answers "<nil>". Its connection's
// interruption and invalidation close it (signalling the semaphore) only while it is still the client's
// current connection: a late handler of an earlier connection leaves a newer one alone.
//
// Thread-safety: every member may be called from any thread except from a block of the client's own queue
// (connect and closeConnection wait for it). Replies run on the connection's queue or the global queue.
class GssHelperClient final : public GssIPCProtcol, public std::enable_shared_from_this<GssHelperClient> {
    struct PrivateTag { };

public:
    // The wait of the token entry for the application's answer.
    static constexpr std::chrono::milliseconds kTokenTimeout { 3000 };
    // The typed view of the connection's remote object; a test replaces it to reach the protocol-error branch.
    using ProxyCast = std::function<std::shared_ptr<GssIPCProtcol>(const XpcConnectionPtr&)>;

    // A client of `endpoint` (not connected); `semaphore` is signalled whenever its connection is closed.
    static std::shared_ptr<GssHelperClient> create(XpcEndpoint endpoint, DispatchSemaphorePtr semaphore);

    // Creates the connection to the endpoint, unless one exists. A request left unanswered on an earlier
    // connection no longer blocks new ones.
    void connect();
    // Invalidates the connection, if any, and signals the semaphore in every case.
    void closeConnection();
    bool isConnected() const;

    void helloWithVersion(const std::string& version, StringReply reply) override;
    void retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply) override;

    void setProxyCastForTesting(ProxyCast cast);

    // The token entry (the contract of GssGetTokenForProxyHost): asks the application, through the endpoint in
    // GssEndpointSlot, for a Negotiate token for `host` and waits at most `limit` for the answer. On entry
    // *errorLength and *tokenLength are the capacities of the two buffers; on return they are the bytes
    // written: the answer's text and token cut to the capacities, or "internal timeout" (cut to the text
    // capacity) and no token when no answer came in time or the link broke first. With no endpoint, false
    // and both lengths 0. Returns the application's success flag. Blocks the calling thread; must not be
    // called on a client's queue or a "GSS client" queue. A late answer never touches the buffers.
    static bool getTokenForProxyHost(const char* host, size_t* errorLength, char* errorBuffer, size_t* tokenLength,
        unsigned char* tokenBuffer, std::chrono::milliseconds limit);
    // The same with kTokenTimeout: what the extension registers as its core hook.
    static bool gssGetTokenForProxyHost(
        const char* host, size_t* errorLength, char* errorBuffer, size_t* tokenLength, unsigned char* tokenBuffer);

    GssHelperClient(PrivateTag, XpcEndpoint endpoint, DispatchSemaphorePtr semaphore);

private:
    // Closes the connection when it is `expected` (any connection when null); signals only when it acted or
    // when `expected` is null.
    void closeIf(const XpcConnectionPtr& expected);
    void connectionEnded(const std::weak_ptr<XpcConnection>& which);

    const DispatchQueuePtr m_requestQueue;
    mutable Mutex m_mutex;
    XpcConnectionPtr m_connection GUARDED_BY(m_mutex);
    ProxyCast m_proxyCast GUARDED_BY(m_mutex);
    // Only blocks of m_requestQueue touch it.
    bool m_isInProgress = false;
    const DispatchSemaphorePtr m_dispatchSemaphore;
    const XpcEndpoint m_endpoint;
};

} // namespace corvantis
