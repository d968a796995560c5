#include "platform/ProcessInfo.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace corvantis {

namespace {

std::string procPath(pid_t pid, const char* entry)
{
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// A missing /proc entry means the process is gone.
Status procError(int err, const std::string& what)
{
    if (err == ENOENT)
        err = ESRCH;
    return Status::error(err, what + ": " + std::strerror(err));
}

// The whole content of a /proc file (these files report size 0, so read until the end).
Result<std::string> readProcFile(pid_t pid, const char* entry)
{
    if (pid < 1)
        return Status::error(EINVAL, "invalid process id " + std::to_string(pid));
    const std::string path = procPath(pid, entry);
    UniqueFd fd(retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd)
        return procError(errno, "cannot open " + path);
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0)
            return procError(errno, "cannot read " + path);
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

} // namespace

Result<std::string> readProcessName(pid_t pid)
{
    Result<std::string> text = readProcFile(pid, "comm");
    if (text && !text->empty() && text->back() == '\n')
        text->pop_back();
    return text;
}

Result<std::string> readProcessExePath(pid_t pid)
{
    if (pid < 1)
        return Status::error(EINVAL, "invalid process id " + std::to_string(pid));
    const std::string path = procPath(pid, "exe");
    std::string target(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            return procError(errno, "cannot read " + path);
        // A result that fills the buffer may have been cut: try again with more room.
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

Result<std::vector<std::string>> readProcessCmdline(pid_t pid)
{
    Result<std::string> text = readProcFile(pid, "cmdline");
    if (!text)
        return text.status();
    // Each argument ends with a NUL; a process that rewrote its arguments may leave the last one unterminated.
    std::vector<std::string> args;
    size_t start = 0;
    while (start < text->size()) {
        size_t end = text->find('\0', start);
        if (end == std::string::npos)
            end = text->size();
        args.emplace_back(*text, start, end - start);
        start = end + 1;
    }
    return args;
}

} // namespace corvantis
