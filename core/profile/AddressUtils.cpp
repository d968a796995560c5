#include "core/profile/AddressUtils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace corvantis {

bool ParseIPv4(const std::string& text, uint32_t& address)
{
    const in_addr_t value = inet_addr(text.c_str());
    if (value == INADDR_NONE && text != "255.255.255.255")
        return false;
    address = value;
    return true;
}

bool ParseIPv6(const std::string& text, IPv6Addr& address)
{
    const size_t begin = text.find_first_not_of('[');
    if (begin == std::string::npos)
        return false;
    const size_t end = text.find_last_not_of(']');
    const std::string bare = text.substr(begin, end + 1 - begin);
    in6_addr parsed {};
    if (inet_pton(AF_INET6, bare.c_str(), &parsed) != 1)
        return false;
    std::memcpy(address.data(), &parsed, address.size());
    return true;
}

std::string IPv4ToString(uint32_t address)
{
    char buffer[INET_ADDRSTRLEN];
    in_addr value {};
    value.s_addr = address;
    if (inet_ntop(AF_INET, &value, buffer, sizeof buffer) == nullptr)
        return {};
    return buffer;
}

std::string IPv6ToString(const IPv6Addr& address)
{
    char buffer[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, address.data(), buffer, sizeof buffer) == nullptr)
        return {};
    return buffer;
}

std::string SockAddrToString(const sockaddr& address)
{
    char buffer[INET6_ADDRSTRLEN];
    const void* bytes = nullptr;
    if (address.sa_family == AF_INET)
        bytes = &reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    else if (address.sa_family == AF_INET6)
        bytes = &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    else
        return {};
    if (inet_ntop(address.sa_family, bytes, buffer, sizeof buffer) == nullptr)
        return {};
    return buffer;
}

uint16_t GetSockAddrPort(const sockaddr& address)
{
    if (address.sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

bool SetSockAddrPort(sockaddr& address, uint16_t port)
{
    if (address.sa_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    else if (address.sa_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    else
        return false;
    return true;
}

bool IsIPv4Equal(uint32_t a, uint32_t b)
{
    return a == b;
}

bool IsIPv6Equal(const IPv6Addr& a, const IPv6Addr& b)
{
    return a == b;
}

bool IsIPv4Greater(uint32_t a, uint32_t b)
{
    return ntohl(a) > ntohl(b);
}

bool IsIPv6Greater(const IPv6Addr& a, const IPv6Addr& b)
{
    return a > b;
}

bool IsIPv4InRange(uint32_t address, uint32_t first, uint32_t last)
{
    const uint32_t value = ntohl(address);
    return value >= ntohl(first) && value <= ntohl(last);
}

bool IsIPv6InRange(const IPv6Addr& address, const IPv6Addr& first, const IPv6Addr& last)
{
    return address >= first && address <= last;
}

bool GetEmbeddedIPv4(const IPv6Addr& address, uint32_t& ipv4)
{
    static constexpr uint8_t kMapped[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
    static constexpr uint8_t kZero[12] = {};
    uint32_t last;
    std::memcpy(&last, address.data() + 12, sizeof last);
    const bool mapped = std::memcmp(address.data(), kMapped, 12) == 0;
    const bool compatible = std::memcmp(address.data(), kZero, 12) == 0 && ntohl(last) > 1;
    if (!mapped && !compatible)
        return false;
    ipv4 = last;
    return true;
}

} // namespace corvantis
