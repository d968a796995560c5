#include "extension/engine/Tunnel.h"

#include "core/foundation/SafeSocket.h"
#include "core/foundation/StringUtils.h"
#include "core/profile/AddressUtils.h"
#include "core/profile/Chain.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "core/proxy/ProxyConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corvantis {

namespace {

// The hop the tunnel connects to directly is named with its family; hops reached through a proxy are not.
std::string DirectHopText(const CHost& host)
{
    std::string text = host.ToString(false);
    if (host.m_AddressFamily == AF_INET6)
        text += " (IPv6)";
    return text;
}

std::string HopText(const CHost& host)
{
    return host.ToString(false);
}

} // namespace

CTunnel::CTunnel(const CHost& target, const CProfileData& profile, const CRule& rule)
    : m_Profile(profile)
    , m_Rule(rule)
    , m_Target(target)
{
}

CTunnel::~CTunnel() = default;

std::vector<const CProxy*> CTunnel::CalculateConnectionChain(std::string& error) const
{
    error.clear();
    std::vector<const CProxy*> chain;
    if (m_Rule.m_Action == kActionProxy) {
        // Ids come from profile files and other processes: one that does not exist fails this connection only.
        const int proxyIndex = GetProxyIndexById(m_Profile.m_Proxies, m_Rule.m_ProxyId);
        if (proxyIndex == -1) {
            error = "Rule \"" + m_Rule.m_Name
                + "\" refers to nonexistent proxy (id = " + std::to_string(m_Rule.m_ProxyId) + ")";
            return {};
        }
        chain.push_back(&m_Profile.m_Proxies[static_cast<size_t>(proxyIndex)]);
    } else if (m_Rule.m_Action == kActionChain) {
        const int chainIndex = GetChainIndexById(m_Profile.m_Chains, m_Rule.m_ProxyId);
        if (chainIndex == -1) {
            error = "Rule \"" + m_Rule.m_Name
                + "\" refers to nonexistent proxy chain (id = " + std::to_string(m_Rule.m_ProxyId) + ")";
            return {};
        }
        const CChain& found = m_Profile.m_Chains[static_cast<size_t>(chainIndex)];
        for (const CChainEntry& entry : found.m_Entries) {
            if (!entry.m_Enabled)
                continue;
            const int proxyIndex = GetProxyIndexById(m_Profile.m_Proxies, entry.m_ProxyId);
            if (proxyIndex == -1) {
                error = "Chain \"" + found.m_Name + "\": incorrect proxy server ID found.";
                return {};
            }
            chain.push_back(&m_Profile.m_Proxies[static_cast<size_t>(proxyIndex)]);
        }
    }
    return chain;
}

const CHost& CTunnel::GetFirstHop() const
{
    if (m_Chain.empty())
        return m_Target;
    return *m_Chain.front();
}

CTunnel::SConnectPrepare CTunnel::ConnectPrepare()
{
    SConnectPrepare result;
    if (m_Rule.m_Action == kActionBlock) {
        result.kind = kBlocked;
        return result;
    }
    m_Chain = CalculateConnectionChain(m_ChainError);
    if (!m_ChainError.empty())
        return result; // ConnectEstablish reports it
    const CHost& first = GetFirstHop();
    if (!first.m_Resolved || first.m_FakeIp) {
        result.kind = kResolveFirst;
        result.host = first;
    }
    return result;
}

std::shared_ptr<CSafeSocket> CTunnel::ConnectEstablish(const std::optional<CHost>& resolved)
{
    if (!m_ChainError.empty()) {
        m_ErrorText = m_ChainError + m_ErrorText;
        return nullptr;
    }
    auto fail = [this](std::string words) {
        m_ErrorText = std::move(words) + TakeErrorText();
        EndHop();
        m_Socket.reset();
        return nullptr;
    };
    auto handOver = [this] {
        EndHop();
        return std::move(m_Socket);
    };

    StartHop();
    if (m_Chain.empty()) {
        const CHost& host = resolved ? *resolved : m_Target;
        if (!DirectConnect(host))
            return fail("Could not connect to " + DirectHopText(host) + " - ");
        return handOver();
    }

    // The first hop's TCP connect and its proxy's handshake share one hop's time.
    const CHost& first = resolved ? *resolved : static_cast<const CHost&>(*m_Chain.front());
    if (!DirectConnect(first))
        return fail("Could not connect to proxy " + DirectHopText(first) + " - ");
    for (size_t i = 0; i + 1 < m_Chain.size(); ++i) {
        if (i > 0)
            StartHop();
        if (!ProxyConnect(*m_Chain[i], *m_Chain[i + 1])) {
            return fail("Could not connect through proxy " + HopText(*m_Chain[i]) + " to the next proxy in the chain "
                + HopText(*m_Chain[i + 1]) + " - ");
        }
    }
    if (m_Chain.size() > 1)
        StartHop();
    const CProxy& last = *m_Chain.back();
    if (!ProxyConnect(last, m_Target))
        return fail("Could not connect through proxy " + HopText(last) + " - ");
    if (last.m_Type == kProxyHttp) {
        m_Http = true;
        m_HttpProxy = std::make_unique<CProxy>(last);
    }
    return handOver();
}

void CTunnel::StartHop()
{
    m_HopDeadline = std::chrono::steady_clock::now() + m_ConnectTimeout;
    if (m_Socket)
        m_Socket->SetDeadline(*m_HopDeadline);
}

void CTunnel::EndHop()
{
    m_HopDeadline.reset();
    if (m_Socket)
        m_Socket->ClearDeadline();
}

std::string CTunnel::ConnectAttemptText(const CHost& host, int error)
{
    std::string address;
    if (!host.m_Resolved)
        address = host.GetHostName(); // a proxy further down a chain may be known by name only
    else if (host.m_AddressFamily == AF_INET6)
        address = IPv6ToString(host.m_Ip);
    else
        address = IPv4ToString(host.GetIPv4());
    return "connection attempt to " + address + ":" + std::to_string(host.m_Port) + " failed with error "
        + std::to_string(error);
}

bool CTunnel::DirectConnect(const CHost& host)
{
    if (!host.m_Resolved || host.m_FakeIp)
        return false;
    if (DirectConnectNoWait(host))
        return true;
    if (m_FailedHop)
        m_FailedHop(host, m_Chain.empty());
    return false;
}

bool CTunnel::DirectConnectNoWait(const CHost& host)
{
    if (!host.m_Resolved || host.m_FakeIp)
        return false;
    const int family = host.m_AddressFamily;
    if (family != AF_INET && family != AF_INET6)
        return false;
    if (family == AF_INET6)
        m_IPv6 = true;

    CSafeSocketPtr created = CSafeSocket::Create(family, SOCK_STREAM, IPPROTO_TCP);
    if (!created) {
        m_ErrorText += "Socket() failed with error " + GetErrnoText();
        return false;
    }
    m_Socket = std::move(created);
    // Called on its own (not from ConnectEstablish), the connect is a hop of its own.
    const bool ownHop = !m_HopDeadline;
    if (ownHop)
        StartHop();
    m_Socket->SetDeadline(*m_HopDeadline);
    if (m_SocketCreated)
        m_SocketCreated(m_Socket);

    CHost::SockAddr address {};
    socklen_t length = 0;
    if (family == AF_INET6) {
        address.v6 = host.m_Addr.v6; // keeps the flow information and the scope id
        address.v6.sin6_family = AF_INET6;
        std::memcpy(&address.v6.sin6_addr, host.m_Ip.data(), sizeof address.v6.sin6_addr);
        address.v6.sin6_port = htons(host.m_Port);
        length = sizeof address.v6;
    } else {
        address.v4.sin_family = AF_INET;
        address.v4.sin_port = htons(host.m_Port);
        address.v4.sin_addr.s_addr = host.GetIPv4();
        length = sizeof address.v4;
    }
    // The socket's deadline bounds the connect.
    const bool connected = m_Socket->Connect(&address.any, length, 0) == 0;
    if (!connected)
        m_ErrorText += ConnectAttemptText(host, errno);
    if (ownHop)
        EndHop();
    return connected;
}

bool CTunnel::ProxyConnect(const CProxy& proxy, const CHost& next)
{
    if (!m_Socket)
        return false;
    const bool ownHop = !m_HopDeadline;
    if (ownHop)
        StartHop();
    CProxyConnection connection(proxy, next, m_Socket.get());
    const bool connected = connection.Connect();
    if (!connected) {
        std::string protocolText = connection.TakeErrorText();
        // Whatever the protocol was waiting for when the time ran out, the hop timed out as a connect would.
        if (m_Socket->DeadlinePassed())
            m_ErrorText += ConnectAttemptText(proxy, ETIMEDOUT);
        else
            m_ErrorText += protocolText;
    }
    if (ownHop)
        EndHop();
    return connected;
}

std::string CTunnel::TakeErrorText()
{
    return std::exchange(m_ErrorText, std::string());
}

std::unique_ptr<CProxy> CTunnel::TakeHttpProxy()
{
    return std::move(m_HttpProxy);
}

} // namespace corvantis
