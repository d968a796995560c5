#pragma once

#include "core/profile/AddressUtils.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

namespace corvantis {

// One network endpoint: a connection's target or a proxy server's address. It holds a DNS name, a numeric
// address, or both, with a port, and knows whether its address is a placeholder handed out for resolution
// through the proxy. A plain value: copied freely, never changed while another thread reads it.
class CHost {
public:
    CHost() = default;
    // The name is `hostText`; a numeric text also gives the address (and no DNS name), any other text a DNS
    // name and no address.
    CHost(const std::string& hostText, uint16_t port, bool udp);
    // A host known by both name and address: when `dnsName` is present and not itself a numeric address,
    // it becomes the host's DNS name and `addressText` its address; otherwise `addressText` serves as both.
    CHost(const std::optional<std::string>& dnsName, const std::string& addressText, uint16_t port, bool udp);
    // A resolved host named by its address text ("[addr]" for IPv6), with the socket address's port.
    CHost(const sockaddr_in& address, bool udp);
    CHost(const sockaddr_in6& address, bool udp);
    CHost(const CHost&) = default;
    CHost& operator=(const CHost&) = default;
    virtual ~CHost();

    // Stores the name without one trailing "." and its lower-case copy.
    void SetHostName(const std::string& name);
    // Drops the address, stores port and UDP flag, then takes the address from `text`: IPv4, or IPv6
    // (where an IPv4-mapped or IPv4-compatible address is stored as the IPv4 address it carries). A text
    // that is no address leaves the host unresolved with a DNS name.
    void SetAddress(const std::string& text, uint16_t port, bool udp);
    // Stores a resolved address (the name is kept; the host's port goes into the socket address).
    void SetResolvedAddress(const sockaddr_in& address);
    void SetResolvedAddress(const sockaddr_in6& address);
    // By family; families other than IPv4 and IPv6 change nothing.
    void SetResolvedAddress(const sockaddr& address);
    // SetHostName and marks the host as given by a DNS name.
    void SetDnsName(const std::string& name);

    std::string GetHostName() const { return m_Name; }
    std::string GetHostNameLower() const { return m_NameLow; }
    // The IPv4 address (network order) when the family is AF_INET.
    uint32_t GetIPv4() const;
    const IPv6Addr& GetIPv6() const { return m_Ip; }
    const sockaddr& GetSockAddr() const { return m_Addr.any; }
    socklen_t GetSockAddrLen() const;

    // The text form for logs, lists and the editor: the DNS name, or the address ("[...]" for IPv6) when
    // there is no DNS name, or name(address) when both exist and `withAddress` is set; then ":port" unless
    // the port is 0, then " (UDP)" for a UDP endpoint.
    std::string ToString(bool withAddress) const;

    bool m_isUdp = false;
    uint16_t m_Port = 0; // host order; 0 = not known
    bool m_HasDnsName = false;
    bool m_Resolved = false;
    bool m_FakeIp = false; // the address is a placeholder (fake) address
    int m_AddressFamily = 0; // 0, AF_INET or AF_INET6
    IPv6Addr m_Ip {}; // IPv4 in the first 4 bytes, or the IPv6 address; network order
    union SockAddr {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } m_Addr {};
    std::string m_Name; // as given, without one trailing "."
    std::string m_NameLow; // every comparison of names uses this copy

private:
    void StoreIPv4(uint32_t address);
    void StoreIPv6(const IPv6Addr& address);
    void ClearAddress();
};

} // namespace corvantis
