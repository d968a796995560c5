#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvantis::test {

// A network namespace of the test's own, with its loopback up; deleted on destruction. The name carries the
// process id and a counter, so parallel runs never share one. Needs root and iproute2: check valid() and skip
// the test when it is false.
class NetNamespace final {
public:
    explicit NetNamespace(const std::string& tag);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool valid() const { return m_valid; }
    const std::string& name() const { return m_name; }

    // Runs a shell command inside the namespace; true when it exits with status 0.
    bool run(const std::string& command) const;
    // Runs a shell command inside the namespace and returns what it writes to standard output.
    std::string output(const std::string& command) const;
    // Runs `body` on a new thread that has entered the namespace (sockets it opens live there) and waits for
    // it. False, without running `body`, when the thread cannot enter.
    bool runInside(const std::function<void()>& body) const;

private:
    // The command line that runs the shell command `command` inside the namespace.
    std::vector<std::string> inside(const std::string& command) const;

    std::string m_name;
    bool m_valid = false;
};

} // namespace corvantis::test
