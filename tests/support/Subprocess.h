#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace corvantis::test {

// What a finished command left: its exit code (128 + signal number when a signal ended it) and its output.
struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `argv` (the program looked up in PATH), feeds it `input` on standard input and waits for it to end.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = {});

// A program running in the background for the length of a test, such as a server. Its standard output can be read
// line by line; its standard error is discarded. Destruction stops it by its pid (SIGTERM, then SIGKILL) and reaps it.
class ChildProcess final {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // The next line of standard output without its newline; empty when none comes before `timeout` or output ends.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    void stop();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

} // namespace corvantis::test
