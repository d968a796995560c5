#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/UniqueFd.h"

namespace corvantis::test {

// A program kept running for a test that looks at a running process. It runs the file at `path` (no PATH
// search) with the arguments `argv`, argv[0] included, as given; its standard input is a pipe the object
// holds open (so a reader such as cat waits), its output goes to /dev/null. The constructor returns once the
// program runs (its arguments are readable in /proc), or after a generous deadline. Destruction ends it by its
// pid and reaps it.
class WaitingChild final {
public:
    WaitingChild(const std::string& path, const std::vector<std::string>& argv);
    ~WaitingChild();
    WaitingChild(const WaitingChild&) = delete;
    WaitingChild& operator=(const WaitingChild&) = delete;

    // The child's pid, or -1 when it could not be started.
    pid_t pid() const { return m_pid; }

private:
    UniqueFd m_input;
    pid_t m_pid = -1;
};

} // namespace corvantis::test
