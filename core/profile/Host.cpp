#include "core/profile/Host.h"

#include "core/foundation/FakeAddressRange.h"
#include "core/profile/ProfileText.h"

#include <arpa/inet.h>

#include <cstring>

namespace corvantis {

namespace {

// Built by appending: g++ 12 at -O3 warns wrongly (-Wrestrict) about "[" + text + "]".
std::string Bracketed(const std::string& address)
{
    std::string text;
    text.reserve(address.size() + 2);
    text += '[';
    text += address;
    text += ']';
    return text;
}

} // namespace

CHost::CHost(const std::string& hostText, uint16_t port, bool udp)
{
    SetHostName(hostText);
    SetAddress(hostText, port, udp);
}

CHost::CHost(const std::optional<std::string>& dnsName, const std::string& addressText, uint16_t port, bool udp)
{
    uint32_t ipv4;
    IPv6Addr ipv6;
    const bool nameIsAddress = dnsName && (ParseIPv4(*dnsName, ipv4) || ParseIPv6(*dnsName, ipv6));
    if (dnsName && !nameIsAddress) {
        SetHostName(*dnsName);
        SetAddress(addressText, port, udp);
        m_HasDnsName = true;
    } else {
        SetHostName(addressText);
        SetAddress(addressText, port, udp);
    }
}

CHost::CHost(const sockaddr_in& address, bool udp)
{
    m_isUdp = udp;
    m_Port = ntohs(address.sin_port);
    StoreIPv4(address.sin_addr.s_addr);
    SetHostName(IPv4ToString(GetIPv4()));
    m_HasDnsName = false;
}

CHost::CHost(const sockaddr_in6& address, bool udp)
{
    m_isUdp = udp;
    m_Port = ntohs(address.sin6_port);
    IPv6Addr bytes;
    std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
    StoreIPv6(bytes);
    // Keep the whole socket address (flow label and scope id included), not only its address bytes.
    m_Addr.v6 = address;
    SetHostName(Bracketed(IPv6ToString(bytes)));
    m_HasDnsName = false;
}

CHost::~CHost() = default;

void CHost::SetHostName(const std::string& name)
{
    m_Name = name;
    if (!m_Name.empty() && m_Name.back() == '.')
        m_Name.pop_back();
    m_NameLow = profile_text::ToLower(m_Name);
}

void CHost::SetDnsName(const std::string& name)
{
    SetHostName(name);
    m_HasDnsName = true;
}

void CHost::ClearAddress()
{
    m_Resolved = false;
    m_FakeIp = false;
    m_AddressFamily = 0;
    m_Ip = {};
    m_Addr = {};
}

void CHost::StoreIPv4(uint32_t address)
{
    ClearAddress();
    m_AddressFamily = AF_INET;
    std::memcpy(m_Ip.data(), &address, sizeof address);
    m_Addr.v4.sin_family = AF_INET;
    m_Addr.v4.sin_addr.s_addr = address;
    m_Addr.v4.sin_port = htons(m_Port);
    m_Resolved = true;
    m_HasDnsName = false;
    m_FakeIp = IsIPv4InFakeRange(address);
}

void CHost::StoreIPv6(const IPv6Addr& address)
{
    ClearAddress();
    m_AddressFamily = AF_INET6;
    m_Ip = address;
    m_Addr.v6.sin6_family = AF_INET6;
    std::memcpy(&m_Addr.v6.sin6_addr, address.data(), address.size());
    m_Addr.v6.sin6_port = htons(m_Port);
    m_Resolved = true;
    m_HasDnsName = false;
    in6_addr bytes;
    std::memcpy(&bytes, address.data(), sizeof bytes);
    m_FakeIp = IsIPv6InFakeRange(bytes);
}

void CHost::SetAddress(const std::string& text, uint16_t port, bool udp)
{
    ClearAddress();
    m_Port = port;
    m_isUdp = udp;
    uint32_t ipv4;
    IPv6Addr ipv6;
    if (ParseIPv4(text, ipv4)) {
        StoreIPv4(ipv4);
    } else if (ParseIPv6(text, ipv6)) {
        if (GetEmbeddedIPv4(ipv6, ipv4))
            StoreIPv4(ipv4);
        else
            StoreIPv6(ipv6);
    } else {
        m_HasDnsName = true;
    }
}

void CHost::SetResolvedAddress(const sockaddr_in& address)
{
    const bool hasDnsName = m_HasDnsName;
    StoreIPv4(address.sin_addr.s_addr);
    m_HasDnsName = hasDnsName;
}

void CHost::SetResolvedAddress(const sockaddr_in6& address)
{
    const bool hasDnsName = m_HasDnsName;
    IPv6Addr bytes;
    std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
    StoreIPv6(bytes);
    m_HasDnsName = hasDnsName;
}

void CHost::SetResolvedAddress(const sockaddr& address)
{
    if (address.sa_family == AF_INET)
        SetResolvedAddress(reinterpret_cast<const sockaddr_in&>(address));
    else if (address.sa_family == AF_INET6)
        SetResolvedAddress(reinterpret_cast<const sockaddr_in6&>(address));
}

uint32_t CHost::GetIPv4() const
{
    uint32_t address;
    std::memcpy(&address, m_Ip.data(), sizeof address);
    return address;
}

socklen_t CHost::GetSockAddrLen() const
{
    if (m_AddressFamily == AF_INET)
        return sizeof(sockaddr_in);
    if (m_AddressFamily == AF_INET6)
        return sizeof(sockaddr_in6);
    return 0;
}

std::string CHost::ToString(bool withAddress) const
{
    std::string address;
    if (m_Resolved && (!m_HasDnsName || withAddress)) {
        if (m_AddressFamily == AF_INET)
            address = IPv4ToString(GetIPv4());
        else if (m_AddressFamily == AF_INET6)
            address = Bracketed(IPv6ToString(m_Ip));
    }
    std::string text;
    if (m_HasDnsName) {
        text = m_Name;
        if (!address.empty()) {
            text += '(';
            text += address;
            text += ')';
        }
    } else {
        text = address;
    }
    if (m_Port != 0) {
        text += ':';
        text += std::to_string(m_Port);
    }
    if (m_isUdp)
        text += " (UDP)";
    return text;
}

} // namespace corvantis
