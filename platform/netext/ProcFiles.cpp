#include "platform/netext/ProcFiles.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace corvantis {

std::string ProcPath(pid_t pid, std::string_view leaf)
{
    std::string path = "/proc/" + std::to_string(pid);
    path += '/';
    path += leaf;
    return path;
}

std::optional<std::string> ReadSmallFile(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace corvantis
