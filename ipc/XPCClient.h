#pragma once

#include "platform/Mutex.h"
#include "platform/xpc/XpcConnection.h"

#include <string>

namespace corvantis {

// A client of a privileged service named by the caller: each run() makes a new connection that accepts only a
// server running as root, and says hello with the program's version; the answer and any broken link go to the
// system log. A connection made by an earlier run() is dropped without being invalidated (its open link keeps
// it until the server closes it). Nothing in the programs creates one.
// Thread-safety: every member may be called from any thread.
class XPCClient final {
public:
    explicit XPCClient(std::string bundleId);
    XPCClient(const XPCClient&) = delete;
    XPCClient& operator=(const XPCClient&) = delete;

    void run();

private:
    const std::string m_bundleId;
    Mutex m_mutex;
    XpcConnectionPtr m_connection GUARDED_BY(m_mutex);
};

} // namespace corvantis
