#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// Small process-level helpers: a file's owner and mode, root-owned set-user-ID executables, owner and mode of a
// whole tree, and running a command whose output is collected. Nothing in the program calls them today. All are
// plain functions over system calls; each is safe to call from any thread (RunCommand forks, so the usual care
// with locks held by other threads applies to the child, which only execs).

// Bits of GetFileSecurityFlags.
inline constexpr int32_t kFileOwnerRoot = 1;
inline constexpr int32_t kFileOwnerCaller = 2;
inline constexpr int32_t kFileGroupRoot = 4;
inline constexpr int32_t kFileModeRootSetuid = 8; // every bit of 04755 set
inline constexpr int32_t kFileOwnerExecute = 16;
inline constexpr int32_t kFileSetuid = 32;

// The flags above for the file at `path` (links followed), or -1 when it cannot be examined.
int32_t GetFileSecurityFlags(const char* path);

// Makes the regular file at `path` owned by user and group 0 with mode 04755. A symbolic link is refused, and
// the file is changed through one open descriptor, so no other file can be swapped in between. Returns 0, or -1
// with errno set by the failing call (EINVAL for something other than a regular file).
int MakeRootSetuid(const char* path);

// chmod 0755 of `path`; returns chmod's result.
int MakeExecutable(const char* path);

// Walks the tree at `path` without following symbolic links and gives every entry owner and group 0 and every
// entry but the links the permission bits `mode` (mode & 0777), changing only what differs. Links themselves
// change owner only, never what they point to. Returns -1 when the walk cannot start, 1 when a change failed,
// else 0.
int FixTreeOwnerAndMode(const char* path, mode_t mode);

// What a RunCommand callback receives.
inline constexpr int kRunCommandOutput = 0; // bytes the child wrote
inline constexpr int kRunCommandIdle = 1; // nothing arrived for the idle wait (no bytes)
inline constexpr int kRunCommandStatus = 2; // a status text, always beginning with "RunCommand"

// Called on RunCommand's thread with a kind and a byte range (valid during the call). Answering 1 stops: after
// output it ends the command, after an idle tick it kills the child.
using RunCommandCallback = std::function<int(int kind, const char* data, size_t size)>;

struct RunCommandTimings {
    // How long no output may arrive before the callback is asked (kRunCommandIdle).
    std::chrono::milliseconds idleWait { std::chrono::seconds(5) };
    // After the child's output has ended: how often, and how far apart, its end is looked for before it is
    // killed.
    int exitChecks = 101;
    std::chrono::milliseconds exitCheckInterval { 10 };
};

// Runs `arguments` (the first is the program, searched in PATH) as a child whose standard input, output and
// error are one end of a local socket pair, and passes what it writes to `callback` in pieces of up to 500
// bytes. Failures arrive as status texts; those where the child could not run end in an "Exit_Code: " line
// (1 or 2) for ExtractExitCode. The child is always waited for, and a child already waited for is never
// signalled. Returns 1 only when the child exited normally with status 0. Blocks until the child has ended.
int RunCommand(const std::vector<std::string>& arguments, const RunCommandCallback& callback,
    const RunCommandTimings& timings = {});

// Takes the first "Exit_Code: " and the number after it (up to the next line feed) out of `text` and returns
// that number, -1 when there is none. Then every "\n\n" becomes "\n" and the leading and trailing line feeds go.
int ExtractExitCode(std::string& text);

// Replaces every occurrence of `search` in `text` by `replacement`, scanning on after each replacement (an empty
// `search` changes nothing).
void StrReplaceAll(std::string& text, const std::string& search, const std::string& replacement);

} // namespace corvantis
