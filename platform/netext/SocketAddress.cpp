#include "platform/netext/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace corvantis {

socklen_t SocketAddressLength(const sockaddr_storage& address)
{
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t SocketPort(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

std::string SocketAddressKey(const sockaddr_storage& address)
{
    std::string key(1, static_cast<char>(address.ss_family));
    const uint16_t port = SocketPort(address);
    key.append(reinterpret_cast<const char*>(&port), sizeof port);
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        key.append(reinterpret_cast<const char*>(&in6.sin6_addr), sizeof in6.sin6_addr);
    } else {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        key.append(reinterpret_cast<const char*>(&in.sin_addr), sizeof in.sin_addr);
    }
    return key;
}

std::string SocketAddressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const in6_addr& in6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&in6))
            ::inet_ntop(AF_INET, &in6.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &in6, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    }
    return text;
}

NWEndpoint EndpointOf(const sockaddr_storage& address)
{
    return NWEndpoint::Host(SocketAddressText(address), std::to_string(SocketPort(address)));
}

std::optional<sockaddr_storage> SocketAddressOf(const NWEndpoint& endpoint, sa_family_t family)
{
    if (!endpoint.isHost || endpoint.port.empty() || endpoint.port.size() > 5)
        return std::nullopt;
    unsigned port = 0;
    for (char c : endpoint.port) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535)
        return std::nullopt;
    sockaddr_storage address {};
    if (family == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        if (::inet_pton(AF_INET, endpoint.hostname.c_str(), &in.sin_addr) != 1)
            return std::nullopt;
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }
    std::string host = endpoint.hostname;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    if (::inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) != 1)
        return std::nullopt;
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    return address;
}

} // namespace corvantis
