#pragma once

#include "platform/netext/NEAppProxyFlow.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/socket.h>

namespace corvantis {

// The IPv4 and IPv6 socket addresses the flow sources meet, as the flow code sees them.

// The length of `address` for the system calls that take one.
socklen_t SocketAddressLength(const sockaddr_storage& address);
uint16_t SocketPort(const sockaddr_storage& address);
// The bytes that tell two addresses apart (family, port, address): a map key.
std::string SocketAddressKey(const sockaddr_storage& address);
// The address as text, an IPv4-mapped IPv6 address as plain IPv4.
std::string SocketAddressText(const sockaddr_storage& address);
// "address" text and port of `address`, as a flow's endpoint.
NWEndpoint EndpointOf(const sockaddr_storage& address);
// The socket address an endpoint names, in `family`; nothing for a name, a port that is not 1-65535 or an
// address of the other family. An IPv6 address may stand in brackets.
std::optional<sockaddr_storage> SocketAddressOf(const NWEndpoint& endpoint, sa_family_t family);

} // namespace corvantis
