#pragma once

#include <string>
#include <string_view>

namespace corvantis {

// Host names of targets go into proxy requests (SOCKS domain fields, SOCKS4A, CONNECT lines and Host
// headers) and may come from DNS queries of any application, so they are checked first: at most 255 bytes,
// and only letters, digits, "-", "." and "_", or an IPv6 literal in brackets. Anything else could end a
// field early, add header lines or name another host than the one the rules matched.
//
// Returns an empty text for an acceptable name, else the reason for the connection's error text:
// "Target host name is too long.", "Target host name is empty." or "Target host name contains characters that
// are not allowed.".
std::string CheckTargetHostName(std::string_view name);

} // namespace corvantis
