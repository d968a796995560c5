#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace corvantis::test {

// A child process that blocks reading its standard input, for tests that look at a running process. It runs
// the program at `path` (no PATH search) with the arguments `argv`, argv[0] included, as given; its output
// goes to /dev/null. The constructor returns once the program runs (its arguments are readable in /proc), or
// after a generous deadline. Destruction closes the child's input, which ends it, and reaps it.
class WaitingChild final {
public:
    WaitingChild(const std::string& path, const std::vector<std::string>& argv);
    ~WaitingChild();
    WaitingChild(const WaitingChild&) = delete;
    WaitingChild& operator=(const WaitingChild&) = delete;

    // The child's pid, or -1 when it could not be started.
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_input = -1;
};

} // namespace corvantis::test
