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
    // A socket made inside the namespace, like ::socket(domain, type, 0): -1 with errno when it cannot be made.
    int socket(int domain, int type) const;
    // Joins this namespace to `peer` by a veth pair: here 10.0.0.1/24 and fd00::1/64 on "d0", which carries the
    // default routes; there 10.0.0.2/24 and fd00::2/64 on "d1". True when every step worked.
    bool linkTo(const NetNamespace& peer) const;

private:
    // The command line that runs the shell command `command` inside the namespace.
    std::vector<std::string> inside(const std::string& command) const;

    std::string m_name;
    bool m_valid = false;
};

} // namespace corvantis::test
