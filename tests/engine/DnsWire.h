#pragma once

// Builds DNS messages byte by byte for the codec tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace corvantis::test {

class DnsWire {
public:
    DnsWire& header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar)
    {
        return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    // Labels followed by the root byte.
    DnsWire& name(std::initializer_list<std::string> labels)
    {
        for (const std::string& text : labels) {
            label(text);
        }
        return u8(0);
    }
    DnsWire& label(const std::string& text)
    {
        u8(static_cast<uint8_t>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    DnsWire& pointer(uint16_t offset) { return u16(static_cast<uint16_t>(0xC000 | offset)); }
    DnsWire& u8(uint8_t v)
    {
        bytes.push_back(v);
        return *this;
    }
    DnsWire& u16(uint16_t v) { return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v)); }
    DnsWire& u32(uint32_t v) { return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v)); }
    DnsWire& raw(std::initializer_list<uint8_t> data)
    {
        bytes.insert(bytes.end(), data);
        return *this;
    }
    // An EDNS option record (root name, type OPT, 4096-byte payload, no options).
    DnsWire& opt() { return u8(0).u16(41).u16(4096).u32(0).u16(0); }
    size_t size() const { return bytes.size(); }

    std::vector<uint8_t> bytes;
};

// A query for the A record of `labels` with `id`.
inline std::vector<uint8_t> DnsQueryA(uint16_t id, std::initializer_list<std::string> labels)
{
    DnsWire wire;
    wire.header(id, 0x0100, 1, 0, 0, 0).name(labels).u16(1).u16(1);
    return wire.bytes;
}

// The answer to `query` with one A record of `address` (network order).
inline std::vector<uint8_t> DnsAnswerA(std::vector<uint8_t> query, uint32_t address)
{
    query[2] |= 0x80; // QR
    query[7] = 1; // ANCOUNT
    DnsWire record;
    record.pointer(12).u16(1).u16(1).u32(60).u16(4).u32(ntohl(address));
    query.insert(query.end(), record.bytes.begin(), record.bytes.end());
    return query;
}

// The numeric text of an IPv4 or IPv6 socket address; empty for other families.
inline std::string addressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        sockaddr_in in4 {};
        std::memcpy(&in4, &address, sizeof in4);
        inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        sockaddr_in6 in6 {};
        std::memcpy(&in6, &address, sizeof in6);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text;
}

} // namespace corvantis::test
