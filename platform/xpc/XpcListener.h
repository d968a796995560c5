#pragma once

#include "platform/DispatchQueue.h"
#include "platform/DispatchSource.h"
#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/UniqueFd.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcEndpoint.h"
#include "platform/xpc/XpcFrameCodec.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace corvantis {

class XpcListener;
using XpcListenerPtr = std::shared_ptr<XpcListener>;

// Accepts connections on a service socket in the runtime folder or on an anonymous (abstract) socket, and
// hands each one, already checked, to its delegate.
//
// Admission: every accepted socket's peer credentials (SO_PEERCRED) are checked against the uids the listener
// admits; anyone else is closed at once with a log line, before the delegate hears of it. The delegate then
// decides: to keep a connection it sets the connection's interfaces, exported object and handlers, calls
// resume() and returns true; the listener keeps no reference, and the connection lives until its link breaks.
// A connection the delegate refuses is closed.
//
// A service listener binds at creation, replacing a stale socket file that nobody listens on (a live one is
// an error), sets the file's mode (and owner, when given) and removes the file when it is invalidated or
// destroyed, if the file is still its own. Dropping the last reference stops the listener too, but a delegate
// call already running then finishes first: an owner whose delegate refers to it calls invalidate() before
// it goes.
//
// Thread-safety: every member may be called from any thread. The delegate runs on the listener's queue, one
// connection at a time.
class XpcListener final : public std::enable_shared_from_this<XpcListener> {
    struct PrivateTag { };

public:
    struct Options {
        // The uids whose connections are admitted. Empty admits nobody.
        std::set<uid_t> allowedUids;
        // Service sockets: the file's mode, and its owner when set.
        mode_t socketMode = 0600;
        std::optional<uid_t> socketOwner;
        XpcLimits limits;
    };
    // Returns true to keep the connection (after configuring and resuming it).
    using Delegate = std::function<bool(const XpcConnectionPtr& connection)>;

    // A listener on the socket of `serviceName` in the runtime folder. Fails with the reason (a path too long
    // for a socket address, a name in use, no permission, ...).
    static Result<XpcListenerPtr> createForService(const std::string& serviceName, Options options);
    // A listener on a fresh abstract socket with a random name.
    static Result<XpcListenerPtr> createAnonymous(Options options);

    ~XpcListener();
    XpcListener(const XpcListener&) = delete;
    XpcListener& operator=(const XpcListener&) = delete;

    void setDelegate(Delegate delegate);
    // Starts accepting. A second call, or a call after invalidate(), does nothing.
    [[nodiscard]] Status resume();
    // Stops accepting for good and closes the socket (removing a service socket's file). Connections accepted
    // earlier go on. Waits for a delegate call running on another thread to finish; once it returns, the
    // delegate is never called again.
    void invalidate();

    // Anonymous listeners: the endpoint to hand over, owned by this process's effective uid. Service
    // listeners: nothing.
    std::optional<XpcEndpoint> endpoint() const;
    // The socket path, or "@" and the abstract name.
    const std::string& description() const { return m_description; }

    XpcListener(PrivateTag, UniqueFd fd, std::string description, Options options);

private:
    void onAcceptable();

    const std::string m_description;
    const Options m_options;
    const DispatchQueuePtr m_queue;
    std::optional<std::string> m_abstractName;
    // Service sockets: the file this listener made, recognised by its device and inode.
    std::string m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;

    Mutex m_mutex;
    UniqueFd m_fd GUARDED_BY(m_mutex);
    DispatchSourcePtr m_source GUARDED_BY(m_mutex);
    Delegate m_delegate GUARDED_BY(m_mutex);
    bool m_invalidated GUARDED_BY(m_mutex) = false;
};

} // namespace corvantis
