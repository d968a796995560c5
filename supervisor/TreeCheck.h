#pragma once

#include "platform/Result.h"

#include <filesystem>
#include <sys/types.h>

namespace corvantis {

// Whether root may run (or trust the contents of) a file: nobody but root and the supervisor itself may have
// been able to put it there. Stateless; safe from any thread.
class TreeCheck final {
public:
    TreeCheck() = delete;

    // Succeeds when `path` and every folder above it up to "/" are owned by root or by `trustedUid` (the
    // supervisor's own uid) and writable by neither group nor others. A relative `path` is taken from the
    // current folder. Symbolic links are followed: each link met on the way must itself be owned by root or
    // `trustedUid` (its own mode bits mean nothing), and the real path it leads to is checked as a whole, so a
    // link cannot lead into a folder someone else may write. The sticky bit is no excuse: a sticky folder that
    // others may write (such as /tmp) is refused like any other.
    //
    // A refusal names the first offending path and why: "<path> is writable by others", "<path> is writable by
    // its group", "<path> is owned by uid <n>", or the errno text of a path that cannot be examined
    // ("<path>: No such file or directory"); the errno is EPERM for ownership and mode faults.
    [[nodiscard]] static Status check(const std::filesystem::path& path, uid_t trustedUid);
};

} // namespace corvantis
