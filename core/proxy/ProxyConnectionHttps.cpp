#include "ProxyConnection.h"

#include "StringUtils.h"

namespace corvantis {

// The HTTPS CONNECT client lives in this file; until it is in, such a proxy fails its handshake plainly.
bool CProxyConnection::Https()
{
    StrAppendCStr(m_ErrorText, "Unsupported proxy protocol");
    return false;
}

} // namespace corvantis
