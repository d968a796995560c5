#pragma once

#include "platform/Result.h"

#include <string>
#include <vector>

#include <sys/types.h>

namespace corvantis {

// What the kernel tells about a running process through /proc. The answers describe the process at the time of
// the call; a pid may be reused as soon as its process has been reaped, so callers that hold a pid for longer
// must expect a different process behind it.
//
// Errors carry the errno of the failed call; a pid with no process behind it (never started, or ended and
// reaped) fails with ESRCH, a pid below 1 with EINVAL. Processes of other users may refuse some answers
// (EACCES). All functions are thread-safe.

// The short command name the kernel keeps (`comm`): at most 15 bytes, taken from the executable's file name or
// set by the process itself, so it may hold any byte but NUL. The kernel's closing line break is removed.
[[nodiscard]] Result<std::string> readProcessName(pid_t pid);

// The full path of the executable the process runs, as the kernel names it (a file replaced or deleted since
// the start carries the kernel's " (deleted)" mark).
[[nodiscard]] Result<std::string> readProcessExePath(pid_t pid);

// The process's argument list, argv[0] first, as it stands in its memory now (a process may have rewritten
// it). Empty for kernel threads and for processes that have ended but are not yet reaped.
[[nodiscard]] Result<std::vector<std::string>> readProcessCmdline(pid_t pid);

} // namespace corvantis
