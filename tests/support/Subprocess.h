#pragma once

// Child processes of tests: the one place that starts them (spawnChild), ends them by their process id
// (stopChild), and runs a command to its end (runCommand). Servers are started through PeerProcess
// (tests/peers/PeerProcess.h), a program a test looks at while it runs through WaitingChild; both build on this.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvantis::test {

// Variables set for a child, in place of any of the same name in the test's own environment.
using Environment = std::vector<std::pair<std::string, std::string>>;

// How to start one child process.
struct SpawnOptions {
    // argv[0] names the program: a path, or a name looked up in PATH.
    std::vector<std::string> argv {};
    // When not empty, the file run instead of argv[0], so that argv[0] may be any text.
    std::string path {};
    Environment env {};
    // The child's standard input, output and error: descriptors of the caller, which stay the caller's
    // (the child gets copies). -1 stands for /dev/null; `err` may be the same descriptor as `out`.
    int in = -1;
    int out = -1;
    int err = -1;
    // Starts the child as the leader of a process group of its own, so stopChild ends whatever it started too.
    bool ownGroup = false;
};

// Starts the child with default signal handling and no blocked signals, whatever the test process set.
// Returns its pid; throws std::runtime_error when it cannot be started (no such program, say).
pid_t spawnChild(const SpawnOptions& options);

// True once the child `pid` has ended. It is not reaped, so its pid (and the group id it leads) cannot go to
// another process while the caller may still signal it.
bool hasExited(pid_t pid);

// Ends the child `pid` (with its process group when it leads one, as `ownGroup` makes it): SIGTERM, then
// SIGKILL when it has not ended after `grace`. Reaps it and returns its exit code (128 + the signal's number
// when a signal ended it). A pid of -1 or less is ignored (returns -1).
int stopChild(pid_t pid, bool group, std::chrono::milliseconds grace = std::chrono::seconds(5));

// What a finished command left: its exit code (128 + signal number when a signal ended it) and its output.
struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `argv` (the program looked up in PATH) with `env` added, feeds it `input` on standard input and waits
// for it to end. Throws std::runtime_error when it cannot be started.
CommandResult runCommand(
    const std::vector<std::string>& argv, const std::string& input = {}, const Environment& env = {});

// Runs `body` in a forked copy of the test process and returns what it returned, as its exit code (128 + the
// signal's number when a signal ended it; 125 when it threw). The copy may change what the whole process is
// allowed to do (user, resource limits) without touching the test runner; it must not use other threads.
int runInChild(const std::function<int()>& body);

// A child whose standard output the test reads line by line (a helper program that reports what it did); its
// standard error goes to /dev/null. Destruction stops it as stop() does.
class LineReadingChild final {
public:
    // Starts `argv` (argv[0] a path or a name looked up in PATH); throws std::runtime_error when it cannot.
    explicit LineReadingChild(const std::vector<std::string>& argv);
    ~LineReadingChild();
    LineReadingChild(const LineReadingChild&) = delete;
    LineReadingChild& operator=(const LineReadingChild&) = delete;

    pid_t pid() const { return m_pid; }
    // The next line of output without its newline; nothing when none comes within `timeout` or output ends.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Ends the child by its pid (stopChild) and reaps it; safe to call twice.
    void stop();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

} // namespace corvantis::test
