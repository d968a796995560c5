#include "core/proxy/ProxyConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/StringUtils.h"
#include "core/profile/Host.h"
#include "core/profile/Proxy.h"
#include "core/proxy/Socks4Codec.h"
#include "core/proxy/Socks5Codec.h"
#include "core/proxy/TargetHostName.h"

namespace corvantis {

namespace {

// ---- What the handshakes read of the proxy and the target records. ----

struct TargetFacts {
    uint16_t port = 0;
    const std::string* hostName = nullptr;
    bool hasDnsName = false;
    bool resolved = false;
    bool placeholder = false;
    bool ipv6 = false;
    std::array<uint8_t, 16> address {};
};

TargetFacts FactsOf(const CHost& host)
{
    TargetFacts facts;
    facts.port = host.m_Port;
    facts.hostName = &host.m_Name;
    facts.hasDnsName = host.m_HasDnsName;
    facts.resolved = host.m_Resolved;
    facts.placeholder = host.m_FakeIp;
    facts.ipv6 = host.m_AddressFamily == AF_INET6;
    facts.address = host.m_Ip;
    return facts;
}

} // namespace

CProxyConnection::CProxyConnection(const CProxy& proxy, const CHost& target, CSafeSocket* socket)
    : m_Proxy(proxy)
    , m_Target(target)
    , m_Socket(socket)
{
}

CProxyConnection::~CProxyConnection() = default;

std::string CProxyConnection::TakeErrorText()
{
    return std::exchange(m_ErrorText, std::string());
}

bool CProxyConnection::Connect()
{
    TimingLine("Connect", __LINE__);
    switch (m_Proxy.m_Type) {
    case kProxySocks5:
        return Socks5();
    case kProxySocks4:
        return Socks4();
    case kProxyHttps:
        return Https();
    case kProxyHttp:
        return true;
    default:
        StrAppendCStr(m_ErrorText, "Unsupported proxy protocol");
        TimingLine("Connect", __LINE__);
        return false;
    }
}

void CProxyConnection::SendRequest(const uint8_t* buffer, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        int error = 0;
        const ssize_t n = m_Socket->Send(buffer + sent, length - sent, 0, error);
        if (n < 0) {
            StrAppendInt(StrAppendCStr(m_ErrorText, "Sending a connection request to proxy failed with error "), error);
            throw CProxyConnectionException();
        }
        // A blocking stream socket never accepts 0 of a non-empty buffer; if it ever did, trying again is right.
        sent += static_cast<size_t>(n);
    }
}

void CProxyConnection::RecvReply(uint8_t* buffer, size_t length)
{
    size_t got = 0;
    while (got < length) {
        int error = 0;
        const ssize_t n = m_Socket->Recv(buffer + got, length - got, 0, error);
        if (n < 0) {
            StrAppendInt(
                StrAppendCStr(m_ErrorText, "Reading proxy reply on a connection request failed with error "), error);
            throw CProxyConnectionException();
        }
        if (n == 0) {
            StrAppendCStr(m_ErrorText, "Proxy closed the connection unexpectedly.");
            throw CProxyConnectionException();
        }
        got += static_cast<size_t>(n);
    }
}

bool CProxyConnection::CheckNameForRequest()
{
    const TargetFacts target = FactsOf(m_Target);
    // A target may reach us without the name its placeholder address stands for (for example after the
    // placeholder table forgot it). That fails this one connection, not the process.
    if (!target.hasDnsName) {
        StrAppendCStr(m_ErrorText, "Target host name is not known.");
        return false;
    }
    const std::string problem = CheckTargetHostName(*target.hostName);
    if (!problem.empty()) {
        StrAppendStr(m_ErrorText, problem);
        return false;
    }
    return true;
}

bool CProxyConnection::ChooseTargetForm(bool& useHostName)
{
    const TargetFacts target = FactsOf(m_Target);
    useHostName = target.placeholder || !target.resolved
        || ((m_Proxy.m_Options & ProxyOptionUseHostname) != 0 && target.hasDnsName);
    if (useHostName)
        return CheckNameForRequest();
    return true;
}

bool CProxyConnection::Socks5()
{
    TimingLine("Socks5", __LINE__);
    try {
        const bool offerAuth = m_Proxy.m_AuthEnabled;
        const auto greeting = socks5::EncodeGreeting(offerAuth);
        SendRequest(greeting.data(), greeting.size());

        std::array<uint8_t, socks5::kShortReplySize> shortReply {};
        RecvReply(shortReply.data(), shortReply.size());
        const auto method = socks5::DecodeShortReply(shortReply);
        TimingLine("Socks5", __LINE__);
        if (method.version != socks5::kVersion)
            StrAppendCStr(
                StrAppendInt(
                    StrAppendCStr(m_ErrorText, "Warning : proxy server returned an unexpected reply "), method.version),
                " ");

        bool authenticate = false;
        if (offerAuth) {
            if (method.value == socks5::kMethodUserPassword) {
                authenticate = true;
            } else if (method.value != socks5::kMethodNoAuthentication) {
                StrAppendCStr(m_ErrorText, "Proxy server uses unsupported methods.");
                return false;
            }
        } else if (method.value == socks5::kMethodUserPassword || method.value == socks5::kMethodNoneAcceptable) {
            StrAppendCStr(m_ErrorText, "Proxy server requires authentication.");
            return false;
        } else if (method.value != socks5::kMethodNoAuthentication) {
            StrAppendCStr(m_ErrorText, "Proxy server uses an unsupported protocol or authentication is required.");
            return false;
        }

        if (authenticate) {
            const auto request = socks5::EncodeUserPassword(m_Proxy.m_UserName, m_Proxy.m_Password);
            if (!request.ok()) {
                StrAppendStr(m_ErrorText, request.error);
                return false;
            }
            SendRequest(request.bytes.data(), request.bytes.size());
            RecvReply(shortReply.data(), shortReply.size());
            if (socks5::DecodeShortReply(shortReply).value != 0) {
                StrAppendCStr(m_ErrorText, "Authentication failed.");
                return false;
            }
        }

        bool useHostName = false;
        if (!ChooseTargetForm(useHostName))
            return false;
        const TargetFacts facts = FactsOf(m_Target);
        socks5::Target target;
        target.port = facts.port;
        target.address = facts.address;
        if (useHostName) {
            target.kind = socks5::Target::Kind::HostName;
            target.hostName = *facts.hostName;
        } else {
            target.kind = facts.ipv6 ? socks5::Target::Kind::IPv6 : socks5::Target::Kind::IPv4;
        }
        TimingLine("Socks5", __LINE__);
        const auto request = socks5::EncodeConnect(target);
        if (!request.ok()) {
            StrAppendStr(m_ErrorText, request.error);
            return false;
        }
        SendRequest(request.bytes.data(), request.bytes.size());

        // Read the reply by the lengths it announces, never further: what follows belongs to the tunnel.
        std::vector<uint8_t> reply(2);
        RecvReply(reply.data(), reply.size());
        auto decoded = socks5::DecodeConnectReply(reply);
        TimingLine("Socks5", __LINE__);
        if (decoded.version != socks5::kVersion)
            StrAppendCStr(m_ErrorText, "Warning : proxy server returned an unexpected reply. ");
        if (decoded.reply != 0) {
            StrAppendCStr(StrAppendCStr(m_ErrorText, "Proxy server cannot establish a connection with the target"),
                socks5::ReplyCodeText(decoded.reply));
            return false;
        }
        while (decoded.state == DecodeState::NeedMore) {
            const size_t have = reply.size();
            reply.resize(decoded.needed);
            RecvReply(reply.data() + have, reply.size() - have);
            decoded = socks5::DecodeConnectReply(reply);
        }
        if (decoded.state == DecodeState::Error) {
            StrAppendStr(m_ErrorText, decoded.error);
            return false;
        }
        TimingLine("Socks5", __LINE__);
        return true;
    } catch (const CProxyConnectionException&) {
        return false;
    }
}

bool CProxyConnection::Socks4()
{
    TimingLine("Socks4", __LINE__);
    try {
        const TargetFacts facts = FactsOf(m_Target);
        bool useHostName = false;
        if (facts.placeholder) {
            if ((m_Proxy.m_Options & ProxyOptionSocks4A) == 0) {
                StrAppendCStr(m_ErrorText,
                    "Could not resolve the hostname through SOCKS4 proxy server. Please enable "
                    "SOCKS 4A extension or resolve names through a local DNS.");
                return false;
            }
            if (facts.ipv6) {
                StrAppendCStr(m_ErrorText, "SOCKS4 doesn't support IPv6 addresses.");
                return false;
            }
            useHostName = true;
            if (!CheckNameForRequest())
                return false;
        } else if (facts.ipv6) {
            StrAppendCStr(m_ErrorText, "SOCKS4 doesn't support IPv6 addresses.");
            return false;
        } else if (!ChooseTargetForm(useHostName)) {
            return false;
        }

        std::array<uint8_t, 4> address {};
        std::copy_n(facts.address.begin(), 4, address.begin());
        std::optional<std::string_view> hostName;
        if (useHostName)
            hostName = *facts.hostName;
        const auto request = socks4::EncodeConnect(facts.port, address, m_Proxy.m_UserName, hostName);
        if (!request.ok()) {
            StrAppendStr(m_ErrorText, request.error);
            return false;
        }
        SendRequest(request.bytes.data(), request.bytes.size());

        std::array<uint8_t, socks4::kReplySize> reply {};
        RecvReply(reply.data(), reply.size());
        TimingLine("Socks4", __LINE__);
        if (socks4::DecodeReply(reply).code != socks4::kGranted) {
            StrAppendCStr(m_ErrorText, "Proxy server cannot establish a connection with the target.");
            return false;
        }
        TimingLine("Socks4", __LINE__);
        return true;
    } catch (const CProxyConnectionException&) {
        return false;
    }
}

void CProxyConnection::TimingLine(const char* routine, int line, const char* suffix) const
{
    if (IsTimingOn(TimingItem::Connect))
        LogTimingLine(routine, line, suffix);
}

} // namespace corvantis
