#pragma once

#include "platform/DispatchQueue.h"
#include "platform/DispatchSource.h"
#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// What identifies a file's contents without reading them: a file copied over, rebuilt or replaced by a rename
// differs in at least one of these.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec mtime { };

    bool operator==(const FileIdentity& other) const;

    // The identity of `path` now (following links), or the errno text naming it.
    [[nodiscard]] static Result<FileIdentity> of(const std::filesystem::path& path);
};

// One child process at a time, run as the supervisor's user (root): the extension daemon, or its cleanup run.
//
// The child keeps the supervisor's standard input, output and error, so its log lines appear in the
// supervisor's; every other descriptor is closed at exec. Its signal dispositions and mask are reset, and it gets
// a process group of its own, so a Ctrl-C meant for the supervisor does not reach it behind the supervisor's
// back: the supervisor stops it itself.
//
// The child is held by a pidfd, and signals go through it, so a reaped pid (which the kernel may give to another
// process) is never signalled. Exactly one place reaps each child (waitid on the pidfd, under the object's
// lock): nothing else in the process may wait for this child (no waitpid(-1), no SIGCHLD set to SIG_IGN).
//
// Exit observer: runs once per child, on the queue given at construction, with the child's pid and its wait
// status (as waitpid reports it: WIFEXITED/WEXITSTATUS, WIFSIGNALED/WTERMSIG), whoever noticed the end first
// (the watch on the pidfd, stop(), waitForExit()). It runs after the child has been reaped, so pid() no longer
// names it; it may call any member, start() included.
//
// Thread-safety: every member may be called from any thread. stop(), waitForExit() and waitUntilAccepting()
// block the caller, so they must not run on the observer's queue while that queue's blocks are needed.
// The destructor kills a child still running (SIGKILL) and reaps it; the observer does not run for it then.
class ExtensionProcess final {
public:
    using ExitObserver = std::function<void(pid_t pid, int waitStatus)>;

    // `observerQueue` runs the exit observer; the object holds it.
    explicit ExtensionProcess(DispatchQueuePtr observerQueue);
    ~ExtensionProcess();
    ExtensionProcess(const ExtensionProcess&) = delete;
    ExtensionProcess& operator=(const ExtensionProcess&) = delete;

    // Sets the exit observer for the children started from now on (none: no observer).
    void setExitObserver(ExitObserver observer);

    // Runs `binary` with `arguments` (argv[0] is the binary's path) in the supervisor's environment plus
    // `extraEnvironment` ("NAME=value", replacing a variable of the same name). Records the binary's identity,
    // and the "CFBundleShortVersionString" of `manifest` when one is given (empty when it cannot be read). The
    // identity is taken before the child runs, so a binary changed after start() counts as changed.
    // Fails with EBUSY while a child runs, and with the errno of exec when the binary cannot be run (the child
    // then never counts as started and no observer runs): "Cannot run <binary>: <reason>".
    [[nodiscard]] Status start(const std::filesystem::path& binary, const std::vector<std::string>& arguments,
        const std::vector<std::string>& extraEnvironment, const std::filesystem::path& manifest = {});

    // The running child's pid; 0 when none runs (never started, or reaped).
    pid_t pid() const;
    bool running() const { return pid() != 0; }

    // The binary, identity and manifest version recorded by the last successful start() (kept after the child
    // ends, until the next start).
    std::filesystem::path binary() const;
    std::optional<FileIdentity> startedIdentity() const;
    std::string startedVersion() const;

    // Whether the binary of the last start now differs from the identity recorded then (also when it is gone).
    // False when nothing was started.
    bool identityChanged() const;

    // Stops the child: SIGTERM, then SIGKILL once `termBound` has passed, then waits for its end. Returns the
    // wait status, or nothing when no child was running.
    std::optional<int> stop(std::chrono::milliseconds termBound);

    // Waits up to `timeout` for the child of the last start to end by itself; returns its wait status (at once
    // when it has ended already), or nothing when it still runs or nothing was ever started.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

    // Waits until the Unix stream socket at `socketPath` accepts a connection (the connection is closed at
    // once). Fails early with ECHILD when the child of the last start ends first, also before this call
    // ("<binary> ended (exit status 1) before <path> accepted connections"); with ETIMEDOUT when `timeout`
    // passes; with ENAMETOOLONG, naming the path, for a path too long for a socket address. `pollInterval` is
    // the pause between attempts.
    [[nodiscard]] Status waitUntilAccepting(const std::filesystem::path& socketPath, std::chrono::milliseconds timeout,
        std::chrono::milliseconds pollInterval = std::chrono::milliseconds(20));

    // Runs `binary --cleanup` (with `extraEnvironment`) and waits for its end; past `bound` it is killed.
    // Fails when it cannot be run, does not exit with status 0, or had to be killed; the error names the binary.
    [[nodiscard]] static Status runCleanup(const std::filesystem::path& binary, std::chrono::milliseconds bound,
        const std::vector<std::string>& extraEnvironment = {});

    // A wait status in words, for log lines and errors: "exit status 3", "signal 9 (Killed)".
    static std::string describeExit(int waitStatus);

private:
    // Reaps the current child if it has ended (never blocks); queues its observer. True when it was reaped now.
    bool reapIfEnded() REQUIRES(m_mutex);
    // Waits up to `timeout` (negative: without bound) for the end of the child of start number `generation`;
    // its wait status, or nothing when it still runs.
    std::optional<int> waitFor(uint64_t generation, std::chrono::milliseconds timeout);
    // The watch's handler for the child of start number `generation`.
    void watchFired(uint64_t generation);
    // Stops watching and closes the pidfd once the current child has been reaped. Called without the lock.
    void retireWatch();

    const DispatchQueuePtr m_observerQueue;
    // Runs the pidfd watch's handler.
    const DispatchQueuePtr m_watchQueue;
    mutable Mutex m_mutex;
    ExitObserver m_observer GUARDED_BY(m_mutex);
    ExitObserver m_childObserver GUARDED_BY(m_mutex);
    pid_t m_pid GUARDED_BY(m_mutex) = 0;
    UniqueFd m_pidfd GUARDED_BY(m_mutex);
    DispatchSourcePtr m_watch GUARDED_BY(m_mutex);
    std::filesystem::path m_binary GUARDED_BY(m_mutex);
    std::optional<FileIdentity> m_identity GUARDED_BY(m_mutex);
    std::string m_version GUARDED_BY(m_mutex);
    // Counts successful starts; the last reaped child's start number and wait status.
    uint64_t m_generation GUARDED_BY(m_mutex) = 0;
    uint64_t m_reapedGeneration GUARDED_BY(m_mutex) = 0;
    int m_reapedStatus GUARDED_BY(m_mutex) = 0;
};

} // namespace corvantis
