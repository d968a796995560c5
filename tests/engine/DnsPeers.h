#pragma once

// Peers of the DNS tests: dnsmasq on a free loopback port (tests/peers/Dnsmasq.h), a UDP socket on 127.0.0.1
// (tests/support/Loopback.h), and dig, an independent reader of what DNS servers write.

#include "tests/peers/Dnsmasq.h"
#include "tests/support/Loopback.h"
#include "tests/support/Subprocess.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis::test {

// The command that has dig ask 127.0.0.1:port once, with `options` (names, types, +flags) after the others.
inline std::vector<std::string> digCommand(uint16_t port, const std::vector<std::string>& options)
{
    std::vector<std::string> argv { "dig", "@127.0.0.1", "-p", std::to_string(port), "+tries=1", "+time=5" };
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

// Runs dig against 127.0.0.1:port and returns what it prints.
inline std::string runDig(uint16_t port, const std::vector<std::string>& options)
{
    return runCommand(digCommand(port, options)).out;
}

} // namespace corvantis::test
