#include "core/profile/Proxy.h"

namespace corvantis {

const char* GetProxyTypeName(int type)
{
    static constexpr const char* kNames[] = { "SOCKS5", "SOCKS4", "HTTPS", "HTTP" };
    if (type < 0 || type > 3)
        return nullptr;
    return kNames[type];
}

CProxy::CProxy(const std::string& host, uint16_t port, int type, int32_t id)
    : CHost(host, port, false)
    , m_Id(id)
    , m_Type(type)
{
}

CProxy::~CProxy() = default;

} // namespace corvantis
