#pragma once

#include <cstdint>

namespace corvantis {

// Bits of CProxy::m_Options that the protocol clients act on (the profile model only stores them).
enum ProxyOption : uint32_t {
    ProxyOptionNtlm = 0x1, // HTTPS: NTLM instead of Basic
    ProxyOptionAsIE = 0x2, // HTTPS: add the fixed browser User-Agent line to the CONNECT request
    ProxyOptionSocks4A = 0x4, // SOCKS4: placeholder targets may go by host name
    ProxyOptionNtlmNoCredentials = 0x8, // HTTPS with NTLM: the exchange is given no user name and password
    ProxyOptionNegotiate = 0x10, // HTTPS: Negotiate (Kerberos)
    ProxyOptionUseHostname = 0x100, // every protocol: send the target's host name whenever it has one
};

} // namespace corvantis
