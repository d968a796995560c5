#pragma once

#include "core/profile/Host.h"

#include <cstdint>
#include <string>

namespace corvantis {

// Protocol of a proxy server; the values are stored in profile files.
enum ProxyType : int {
    kProxySocks5 = 0,
    kProxySocks4 = 1,
    kProxyHttps = 2,
    kProxyHttp = 3,
};

// "SOCKS5", "SOCKS4", "HTTPS" or "HTTP"; nullptr for a number outside 0-3.
const char* GetProxyTypeName(int type);

// One proxy server of a profile: its address plus id, protocol, credentials and option bits (which the
// protocol clients interpret). A plain value like CHost.
class CProxy : public CHost {
public:
    CProxy() = default;
    // Authentication off, empty credentials, options 0; the host part as CHost(host, port, false).
    CProxy(const std::string& host, uint16_t port, int type, int32_t id);
    CProxy(const CProxy&) = default;
    CProxy& operator=(const CProxy&) = default;
    ~CProxy() override;

    int32_t GetId() const { return m_Id; }

    int32_t m_Id = 0; // unique among the profile's proxies, > 0 for a stored proxy
    int m_Type = kProxySocks5;
    bool m_AuthEnabled = false;
    std::string m_UserName;
    std::string m_Password;
    uint32_t m_Options = 0;
};

} // namespace corvantis
