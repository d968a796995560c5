#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// The identity of the process behind a flow, as the flow's metadata carries it: 32 bytes (the size the flow code
// checks) holding, in host byte order, the process id, its audit user id (/proc/PID/loginuid; 4294967295 when
// unset), its real user id, its start time (clock ticks since boot, field 22 of /proc/PID/stat) and the inode
// of the socket it opened, then four zero bytes. The start time pins the token to one process: once the process
// has exited and its pid was handed to another, the token no longer finds code.
struct AuditToken {
    static constexpr std::size_t kSize = 32;

    pid_t pid = -1;
    uint32_t auid = 0xFFFFFFFFu;
    uint32_t uid = 0xFFFFFFFFu;
    uint64_t startTime = 0;
    uint64_t socketInode = 0;

    // The token of the running process `pid` with the socket inode `inode`; nothing when the process cannot be
    // read (it has exited, or /proc does not show it).
    static std::optional<AuditToken> ForProcess(pid_t pid, uint64_t socketInode);
    // The 32 bytes.
    std::vector<uint8_t> Bytes() const;
    // The token in `bytes`; nothing unless they are exactly kSize long.
    static std::optional<AuditToken> FromBytes(const std::vector<uint8_t>& bytes);

    // The path of the process's executable (/proc/PID/exe), while the process with this pid is still the one
    // the token was made for (its start time matches); nothing otherwise.
    std::optional<std::string> CodePath() const;
};

// The start time of process `pid` in clock ticks since boot; nothing when it cannot be read.
std::optional<uint64_t> ProcessStartTime(pid_t pid);

} // namespace corvantis
