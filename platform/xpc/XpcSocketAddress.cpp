#include "platform/xpc/XpcSocketAddress.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>

namespace corvantis {

std::string XpcSocketAddress::runtimeDir()
{
    const char* dir = std::getenv("CORVANTIS_RUNTIME_DIR");
    return dir && *dir ? std::string(dir) : std::string("/run/corvantis");
}

Result<XpcSocketAddress> XpcSocketAddress::forService(const std::string& serviceName)
{
    if (serviceName.empty() || serviceName == "." || serviceName == ".."
        || serviceName.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return Status::error(EINVAL, "\"" + serviceName + "\" is not a valid service name");
    return forPath(runtimeDir() + "/" + serviceName);
}

Result<XpcSocketAddress> XpcSocketAddress::forPath(const std::string& path)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return Status::error(EINVAL, "\"" + path + "\" is not a valid socket path");
    if (path.size() > kMaxPath)
        return Status::error(ENAMETOOLONG,
            "the socket path \"" + path + "\" has " + std::to_string(path.size()) + " bytes, more than the "
                + std::to_string(kMaxPath) + " a Unix socket address holds");
    XpcSocketAddress a;
    a.m_address.sun_family = AF_UNIX;
    std::memcpy(a.m_address.sun_path, path.data(), path.size());
    a.m_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    a.m_name = path;
    return a;
}

Result<XpcSocketAddress> XpcSocketAddress::forAbstractName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxPath)
        return Status::error(EINVAL,
            "an abstract socket name must have 1 to " + std::to_string(kMaxPath) + " bytes, not "
                + std::to_string(name.size()));
    XpcSocketAddress a;
    a.m_address.sun_family = AF_UNIX;
    std::memcpy(a.m_address.sun_path + 1, name.data(), name.size());
    a.m_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    a.m_abstract = true;
    a.m_name = name;
    return a;
}

std::string XpcSocketAddress::randomAbstractName()
{
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            std::abort(); // the kernel's random source is gone: no name could be trusted to be unguessable
    }
    static const char kHex[] = "0123456789abcdef";
    std::string name = "corvantis-xpc-";
    for (unsigned char b : bytes) {
        name += kHex[b >> 4];
        name += kHex[b & 15];
    }
    return name;
}

} // namespace corvantis
