#pragma once

#include "platform/Result.h"

#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace corvantis {

// A Unix socket address for the IPC layer: a path in the file system (a service) or an abstract name (an
// anonymous listener). Plain value; the helpers are stateless and safe from any thread.
class XpcSocketAddress final {
public:
    // The longest path a sockaddr_un holds with its terminating NUL.
    static constexpr size_t kMaxPath = sizeof(sockaddr_un::sun_path) - 1;

    // The runtime folder: $CORVANTIS_RUNTIME_DIR when set and not empty, else "/run/corvantis".
    static std::string runtimeDir();

    // The socket of service `serviceName` in the runtime folder. Fails for an empty name, a name holding "/"
    // or NUL, "." and "..", and for a path longer than kMaxPath, with an error naming the path (never cut).
    static Result<XpcSocketAddress> forService(const std::string& serviceName);
    // The socket at `path`, refused as above when it does not fit.
    static Result<XpcSocketAddress> forPath(const std::string& path);
    // The abstract socket `name` (without the leading NUL): 1 to kMaxPath bytes.
    static Result<XpcSocketAddress> forAbstractName(const std::string& name);

    // A fresh abstract name: "corvantis-xpc-" and 32 hexadecimal digits from getrandom.
    static std::string randomAbstractName();

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&m_address); }
    socklen_t length() const { return m_length; }
    bool isAbstract() const { return m_abstract; }
    // The path, or the abstract name.
    const std::string& name() const { return m_name; }
    // For log lines: the path, or "@" and the abstract name.
    std::string description() const { return m_abstract ? "@" + m_name : m_name; }

private:
    XpcSocketAddress() = default;
    sockaddr_un m_address {};
    socklen_t m_length = 0;
    bool m_abstract = false;
    std::string m_name;
};

} // namespace corvantis
