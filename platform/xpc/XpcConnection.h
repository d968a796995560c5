#pragma once

#include "platform/DispatchQueue.h"
#include "platform/DispatchSource.h"
#include "platform/Mutex.h"
#include "platform/UniqueFd.h"
#include "platform/xpc/XpcEndpoint.h"
#include "platform/xpc/XpcExportedObject.h"
#include "platform/xpc/XpcFrameCodec.h"
#include "platform/xpc/XpcInterface.h"
#include "platform/xpc/XpcObject.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace corvantis {

class XpcConnection;
using XpcConnectionPtr = std::shared_ptr<XpcConnection>;

// One end of an IPC link over a Unix stream socket: calls by selector name with replies matched by id, in both
// directions (docs/xpc_format.md).
//
// Kinds. A client connection names a service (a socket in the runtime folder) or an endpoint (an anonymous
// listener's abstract socket); it connects on its first send after resume(). A connection accepted by an
// XpcListener is already linked.
//
// Life. A failed connect invalidates a client connection. A broken link interrupts a client connection (its
// next send connects again) and invalidates an accepted one. invalidate() ends the connection for good. The
// interruption and invalidation handlers run asynchronously on the connection's queue, never inside a call of
// this class (so a handler may wait for a queue that calls invalidate()); the invalidation handler runs once,
// after which the connection lets go of its handlers and exported object. While its socket is open the
// connection keeps itself alive, so an accepted connection lives until its link breaks although nobody holds
// it; the caller's last reference never cuts an open link.
//
// Delivery. Calls from the peer reach the exported object one at a time, in order, on the connection's queue,
// and replies to our calls are delivered there as well. A reply is delivered at most once and never after the
// link it was sent on broke or the connection was invalidated; such a call is simply never answered. A peer
// that breaks the format or the interfaces (bad bytes, an oversize frame, deep nesting, an unknown selector,
// wrong types, a reply nobody asked for) loses the link, with a log line; nothing throws or asserts.
//
// Thread-safety: every member may be called from any thread, also from the handlers and reply blocks.
class XpcConnection final : public std::enable_shared_from_this<XpcConnection> {
    struct PrivateTag { };

public:
    // Connect only to a server running as root.
    static constexpr uint64_t kPrivileged = 4096;
    // How long a connect may wait for a listener whose backlog is full.
    static constexpr std::chrono::seconds kConnectTimeout { 5 };

    using Handler = std::function<void()>;
    using ReplyHandler = std::function<void(XpcArray values)>;

    // A client of service `serviceName` (not connected yet). `options` may hold kPrivileged.
    static XpcConnectionPtr createForService(
        const std::string& serviceName, uint64_t options = 0, XpcLimits limits = {});
    // A client of the anonymous listener `endpoint` (not connected yet). When the endpoint has an owner, a
    // listener of another uid is refused.
    static XpcConnectionPtr createWithEndpoint(const XpcEndpoint& endpoint, XpcLimits limits = {});

    ~XpcConnection();
    XpcConnection(const XpcConnection&) = delete;
    XpcConnection& operator=(const XpcConnection&) = delete;

    // The interface of the peer's exported object: what sendMessage may call and how its replies look.
    void setRemoteObjectInterface(XpcInterfacePtr interface);
    XpcInterfacePtr remoteObjectInterface() const;
    // What the peer may call on us, and who answers. A call that arrives while either is missing ends the link.
    void setExportedInterface(XpcInterfacePtr interface);
    void setExportedObject(XpcExportedObjectPtr object);
    void setInterruptionHandler(Handler handler);
    void setInvalidationHandler(Handler handler);

    // Starts the connection: an accepted one begins to read, a client one sends what was queued before and
    // connects on its first send. A second call does nothing.
    void resume();
    // Ends the connection for good: the socket is shut down, outstanding replies are dropped, later sends are
    // ignored and the invalidation handler runs (asynchronously). Never waits for a handler or a reply block.
    void invalidate();

    // Sends a call of `selector`, which must be in the remote interface with arguments of its types (otherwise
    // the call is dropped with a log line). `reply` receives the reply's values on the connection's queue, at
    // most once; it is never called when the link breaks first, when the connection is invalidated, or when
    // the selector has no reply block. Before resume() calls are queued. Returns at once after the bytes are
    // handed to the socket (or queued behind earlier ones); the first send of a client connects (blocking up to
    // kConnectTimeout when the listener's backlog is full).
    void sendMessage(const std::string& selector, XpcArray arguments, ReplyHandler reply);

    // True until the connection is invalidated.
    bool isValid() const;
    // The credentials of the process at the other end, once linked.
    std::optional<ucred> peerCredentials() const;
    // The queue that runs this connection's handlers, calls and replies.
    const DispatchQueuePtr& queue() const { return m_queue; }
    // For log lines: the service, the endpoint or the accepted peer.
    const std::string& description() const { return m_description; }

    enum class Kind { Service, Endpoint, Accepted };
    XpcConnection(PrivateTag, Kind kind, std::string description, XpcLimits limits);

private:
    friend class XpcListener;
    enum class State { Idle, Connected, Invalidated };
    struct Pending {
        const XpcSelector* selector;
        XpcInterfacePtr interface; // keeps `selector` alive
        ReplyHandler handler;
    };
    struct Queued {
        const XpcSelector* selector;
        XpcInterfacePtr interface; // keeps `selector` alive
        XpcArray arguments;
        ReplyHandler reply;
    };

    // An accepted connection on `fd` from `peer`; it starts reading on resume().
    static XpcConnectionPtr createAccepted(UniqueFd fd, const ucred& peer, XpcLimits limits);

    using DeadList = std::vector<std::function<void()>>;
    void sendLocked(const XpcSelector* selector, XpcInterfacePtr interface, XpcArray arguments, ReplyHandler reply,
        DeadList& dead) REQUIRES(m_mutex);
    bool connectLocked(DeadList& dead) REQUIRES(m_mutex);
    bool startReadingLocked() REQUIRES(m_mutex);
    void writeLocked(std::vector<uint8_t> frame) REQUIRES(m_mutex);
    void onWritable();
    void onReadable(int fd, XpcFrameDecoder& decoder);
    // Ends the current link (on the queue, from the read handler). `reason` goes to the log when not empty.
    void breakLink(const std::string& reason);
    // Handles one message; returns an error text when the peer broke the rules.
    std::string handleMessage(XpcDict message);
    void sendReply(uint64_t link, int64_t id, const XpcSelector* selector, XpcArray values);
    void invalidateLocked(DeadList& dead) REQUIRES(m_mutex);
    void postHandler(Handler handler);

    const Kind m_kind;
    const std::string m_description;
    const XpcLimits m_limits;
    const DispatchQueuePtr m_queue;
    // Client connections: the target and the checks made on connecting.
    std::string m_serviceName;
    std::optional<XpcEndpoint> m_endpoint;
    uint64_t m_options = 0;

    mutable Mutex m_mutex;
    State m_state GUARDED_BY(m_mutex) = State::Idle;
    bool m_resumed GUARDED_BY(m_mutex) = false;
    UniqueFd m_fd GUARDED_BY(m_mutex);
    // Counts the links this connection has had, so a reply never goes out on a later link than its call's.
    uint64_t m_link GUARDED_BY(m_mutex) = 0;
    std::optional<ucred> m_peer GUARDED_BY(m_mutex);
    DispatchSourcePtr m_readSource GUARDED_BY(m_mutex);
    DispatchSourcePtr m_writeSource GUARDED_BY(m_mutex);
    std::vector<uint8_t> m_outbuf GUARDED_BY(m_mutex);
    size_t m_outStart GUARDED_BY(m_mutex) = 0;
    std::map<int64_t, Pending> m_pending GUARDED_BY(m_mutex);
    int64_t m_nextId GUARDED_BY(m_mutex) = 1;
    std::vector<Queued> m_queued GUARDED_BY(m_mutex);
    XpcInterfacePtr m_remoteInterface GUARDED_BY(m_mutex);
    XpcInterfacePtr m_exportedInterface GUARDED_BY(m_mutex);
    XpcExportedObjectPtr m_exportedObject GUARDED_BY(m_mutex);
    Handler m_interruptionHandler GUARDED_BY(m_mutex);
    Handler m_invalidationHandler GUARDED_BY(m_mutex);
};

} // namespace corvantis
