#include "core/proxy/ProxyConnection.h"

#include "core/profile/AddressUtils.h"
#include "core/profile/Proxy.h"
#include "core/proxy/HttpsConnect.h"

namespace corvantis {

bool CProxyConnection::Https()
{
    bool useHostName = false;
    if (!ChooseTargetForm(useHostName))
        return false;
    std::string targetText;
    if (useHostName)
        targetText = m_Target.m_Name;
    else if (m_Target.m_AddressFamily == AF_INET6)
        targetText = "[" + IPv6ToString(m_Target.GetIPv6()) + "]";
    else
        targetText = IPv4ToString(m_Target.GetIPv4());
    TimingLine("Https", __LINE__, (" target=" + targetText).c_str());
    const bool connected = HttpsConnect(m_Proxy, targetText, m_Target.m_Port, *m_Socket, m_ErrorText);
    if (connected)
        TimingLine("Https", __LINE__, " connected");
    return connected;
}

} // namespace corvantis
