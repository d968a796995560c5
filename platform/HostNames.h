#pragma once

#include <string>

namespace corvantis {

// The kernel's host name of the calling thread's UTS namespace (gethostname); empty when it cannot be read.
std::string kernelHostName();

// The first label of a host name ("box" of "box.example.org"); the name itself when it has no dot.
std::string shortHostName(const std::string& hostName);

// The user-chosen "pretty" name of the machine: the PRETTY_HOSTNAME value of a machine-info file (shell-style
// quoting removed). Empty when the file or the value is missing.
std::string prettyHostName(const std::string& machineInfoPath = "/etc/machine-info");

} // namespace corvantis
