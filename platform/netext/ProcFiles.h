#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace corvantis {

// "/proc/PID/leaf".
std::string ProcPath(pid_t pid, std::string_view leaf);
// The whole of a small file such as one of /proc (which report a size of zero, so it is read to its end);
// nothing when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path);

} // namespace corvantis
