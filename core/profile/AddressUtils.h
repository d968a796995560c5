#pragma once

#include <array>
#include <cstdint>
#include <string>

struct sockaddr;

namespace corvantis {

// An IPv6 address as its 16 bytes in network order. Comparing two of them with < or > compares them as
// big-endian numbers.
using IPv6Addr = std::array<uint8_t, 16>;

// IPv4 addresses are 32-bit values in network byte order throughout this layer.

// The C library's inet_addr reading (short forms such as "10.1" give 10.0.0.1; octal and hex parts are
// accepted). 255.255.255.255 counts as an address only when typed exactly so, since inet_addr also returns
// it for every text it refuses.
bool ParseIPv4(const std::string& text, uint32_t& address);

// inet_pton for IPv6 after leading "[" and trailing "]" characters are removed.
bool ParseIPv6(const std::string& text, IPv6Addr& address);

// Dotted and standard compressed texts (inet_ntop); empty on failure.
std::string IPv4ToString(uint32_t address);
std::string IPv6ToString(const IPv6Addr& address);

// The address text of an IPv4 or IPv6 socket address; empty for other families.
std::string SockAddrToString(const sockaddr& address);
// The port (host order) of an IPv4 or IPv6 socket address; 0 for other families.
uint16_t GetSockAddrPort(const sockaddr& address);
// Stores `port` (host order) in an IPv4 or IPv6 socket address; false for other families.
bool SetSockAddrPort(sockaddr& address, uint16_t port);

bool IsIPv4Equal(uint32_t a, uint32_t b);
bool IsIPv6Equal(const IPv6Addr& a, const IPv6Addr& b);
// a > b as unsigned numbers in host order.
bool IsIPv4Greater(uint32_t a, uint32_t b);
// a > b as 128-bit big-endian numbers.
bool IsIPv6Greater(const IPv6Addr& a, const IPv6Addr& b);
// first <= address <= last, comparing as above.
bool IsIPv4InRange(uint32_t address, uint32_t first, uint32_t last);
bool IsIPv6InRange(const IPv6Addr& address, const IPv6Addr& first, const IPv6Addr& last);

// The IPv4 address (network order) carried by an IPv4-mapped (::ffff:a.b.c.d) or IPv4-compatible
// (::a.b.c.d, other than :: and ::1) IPv6 address; false for every other address.
bool GetEmbeddedIPv4(const IPv6Addr& address, uint32_t& ipv4);

} // namespace corvantis
