#pragma once

#include <string>
#include <vector>

namespace corvantis {

// The IPv4 and IPv6 addresses of every interface of the calling thread's network namespace, as texts
// (dotted IPv4, the usual IPv6 form without a zone), in the order the kernel lists them. Interfaces that are
// down are included when they still hold addresses. Empty when the list cannot be read.
std::vector<std::string> localAddressTexts();

} // namespace corvantis
