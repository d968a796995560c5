#pragma once

#include <cstdint>
#include <netinet/in.h>

struct sockaddr;

// The process-wide range of placeholder ("fake") addresses handed out when host names are resolved through the
// proxy: one IPv4 subnet and the 32-bit IPv6 prefix whose addresses carry an IPv4 address of that subnet in their
// last four bytes.
//
// Thread-safety: the range is published as one immutable value. SetAddressRange may run on any thread while
// others test addresses; every reader sees either the old or the new range as a whole, never a mix.

namespace corvantis {

struct FakeAddressRange {
    uint32_t base = 0; // network byte order: the subnet's address as the caller wrote it
    uint32_t hostMask = 0x00FFFFFFu; // host byte order: the bits of the host part
    uint32_t networkMask = 0x000000FFu; // network byte order: the complement of hostMask (255.0.0.0 initially)
    uint32_t ipv6Prefix = 0; // the first four bytes of an IPv6 placeholder address, in memory order

    bool operator==(const FakeAddressRange&) const = default;
};

// Replaces the range: base = inet_addr(text), or 0 when `text` is null or not a valid dotted address; host mask =
// all ones for prefix length 0, none for 32, else the low 32 - prefixLength bits (a length outside 0..32 is taken
// as the nearer bound); the IPv6 prefix as given. The base is not masked: the caller passes the subnet's network
// address. Returns the inet_addr result (INADDR_NONE for an invalid text).
uint32_t SetAddressRange(const char* text, int prefixLength, uint32_t ipv6Prefix);
// The current range as one consistent value. Until SetAddressRange is called: 0.0.0.0/8, IPv6 prefix 0.
FakeAddressRange GetFakeAddressRange();

// Whether the IPv4 address (network byte order) is a placeholder: never for 0.0.0.0 and 0.0.0.1, otherwise when
// (address AND network mask) equals the base.
bool IsIPv4InFakeRange(uint32_t address);
// Whether the IPv6 address carries a placeholder: the IPv4 test of its last four bytes when it is IPv4-compatible
// (::a.b.c.d), IPv4-mapped (::ffff:a.b.c.d), or begins with the IPv6 prefix (its middle eight bytes are not
// examined); false otherwise.
bool IsIPv6InFakeRange(const in6_addr& address);
// The test that fits the socket address's family (AF_INET or AF_INET6); false for other families and for null.
// `address` must point at a whole sockaddr_in or sockaddr_in6 as its family says.
bool IsAddressInRange(const sockaddr* address);

// The IPv6 address prefix|00 00 00 00|00 00 FF FF|IPv4 when `usePrefix` is true, else the IPv4-mapped address
// ::ffff:a.b.c.d. `ipv4` is in network byte order.
in6_addr MapIPv4ToIPv6(uint32_t ipv4, bool usePrefix);
// The IPv4 address (network byte order) embedded in an IPv4-mapped address, or in an IPv4-compatible address whose
// last four bytes are neither 0.0.0.0 nor 0.0.0.1; 0 for every other address, the prefixed placeholder form
// included.
uint32_t GetIPv4FromIPv6(const in6_addr& address);

} // namespace corvantis
