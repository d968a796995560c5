#include "extension/engine/ClientProcessor.h"

#include "core/foundation/DurationStringFormater.h"
#include "core/foundation/LogContext.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/StringUtils.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "core/profile/RuleLookup.h"
#include "extension/engine/BurstMemoryRelease.h"
#include "extension/engine/CorvantisAppProxy.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

namespace corvantis {

namespace {

std::atomic<uint64_t> g_ConnectionLimit { CClientProcessor::kDefaultConnectionLimit };
// The 8-second slot of the last removal of old records; none yet.
std::atomic<int64_t> g_CleanupSlot { -1 };

// An IPv6 address text that carries an IPv4 address: IPv4-mapped (::ffff:a.b.c.d), or IPv4-compatible (96 zero
// bits first) other than :: and ::1.
std::optional<in6_addr> EmbeddingIPv6(const char* endpoint)
{
    std::string text(endpoint);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    in6_addr address {};
    if (inet_pton(AF_INET6, text.c_str(), &address) != 1)
        return std::nullopt;
    static const uint8_t kZero[12] = {};
    static const uint8_t kMapped[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF };
    const uint8_t* bytes = address.s6_addr;
    if (std::memcmp(bytes, kMapped, 12) == 0)
        return address;
    if (std::memcmp(bytes, kZero, 12) == 0) {
        const bool unspecifiedOrLoopback = bytes[12] == 0 && bytes[13] == 0 && bytes[14] == 0 && bytes[15] <= 1;
        if (!unspecifiedOrLoopback)
            return address;
    }
    return std::nullopt;
}

std::string BytesText(uint64_t bytes)
{
    return std::to_string(bytes) + " bytes";
}

} // namespace

CClientProcessor::CClientProcessor(CCorvantisAppProxy& app)
    : m_App(app)
    , m_Profile(app.GetProfileSnapshot())
{
}

CClientProcessor::~CClientProcessor()
{
    // The connection's buffers are gone by now (the facade drops its processor last).
    if (m_countedInBurst)
        CBurstMemoryRelease::Engine().ConnectionEnded();
}

void CClientProcessor::SetConnectionLimit(uint64_t limit)
{
    g_ConnectionLimit.store(limit, std::memory_order_relaxed);
}

uint64_t CClientProcessor::GetConnectionLimit()
{
    return g_ConnectionLimit.load(std::memory_order_relaxed);
}

void CClientProcessor::ResetCleanupSlot()
{
    g_CleanupSlot.store(-1, std::memory_order_relaxed);
}

std::string CClientProcessor::EndpointText(bool withAddress) const
{
    return m_pConnection ? FormatConnEndpoint(*m_pConnection, withAddress) : std::string();
}

int CClientProcessor::ProcessConnectionRequest(
    const CLogContext& identity, const char* hostName, const char* endpoint, const char* port, bool udp)
{
    if (!endpoint) {
        CLogMessage(kLogError, identity) << "connection cannot be processed - host is NULL";
        return kNotProcessed;
    }
    if (!port) {
        CLogMessage(kLogError, identity) << "connection cannot be processed - port is NULL";
        return kNotProcessed;
    }
    if (!CreateConnection(identity, hostName, endpoint, port, udp))
        return kNotProcessed;

    const uint64_t openCount = m_App.GetOpenConnectionCount();
    int decision = FindRule();
    if (!m_pRule)
        return kNotProcessed;

    CConnRecord& record = *m_pConnection;
    std::string decisionText;
    if (!udp || decision == kNotProcessed) {
        const uint64_t limit = GetConnectionLimit();
        // Closed records stay listed for seconds before the clean-up takes them, so the listed count alone would
        // refuse connections under a steady stream of short ones although few are open.
        if (decision == kTaken && openCount > limit && m_App.CountLiveConnections() > limit) {
            CLogMessage(kLogError, record.GetContext())
                << EndpointText(false) << " : more than " << limit << " connections total. Block new connection.";
            return kNotProcessed;
        }
        switch (record.GetAction()) {
        case kActionChain:
            decisionText = " using " + record.GetProxyText() + " proxy chain";
            m_OpenString = " through " + record.GetProxyText() + " proxy chain";
            break;
        case kActionProxy:
            decisionText = " using proxy " + record.GetProxyText();
            m_OpenString = " through proxy " + record.GetProxyText();
            break;
        case kActionDirect:
            decisionText = "direct connection";
            m_OpenString = " directly";
            if (!m_Profile->m_HandleDirectConnections) {
                record.SetForceProcessing(true);
                m_OpenString += " (force processing)";
            }
            break;
        default:
            decisionText = "connection blocked";
            break;
        }
    } else {
        // The engine carries no UDP itself: only the system may let it pass.
        record.SetAction(kActionBlock);
        CHost target = record.GetTarget();
        target.m_isUdp = true;
        record.SetTarget(target);
        decision = kRefused;
        decisionText = "connection blocked";
    }

    if (m_App.GetLoopDetectFlag() && decision == kTaken) {
        record.SetAction(kActionBlock);
        decisionText = "connection blocked automatically (prevent infinite loop)";
        decision = kRefused;
    } else {
        CLogMessage(kLogVerbose, record.GetContext())
            << EndpointText(true) << " matching " << record.GetRuleName() << " rule : " << decisionText;
    }

    if (decision == kTaken) {
        // Monotonic seconds: a clock step never stops the clean-up for long nor runs it in a burst.
        const int64_t slot
            = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
                  .count()
            / 8;
        int64_t lastSlot = g_CleanupSlot.load(std::memory_order_relaxed);
        if (slot != lastSlot && g_CleanupSlot.compare_exchange_strong(lastSlot, slot, std::memory_order_relaxed))
            m_App.RemoveClosedConnections();
        // Registers the record; a loop found there is handled before it returns.
        m_App.AddConnection(m_pConnection, m_App.GetProfileLoopOption());
        m_App.GetStatistics().AddConnection();
        m_countedInBurst = true;
        CBurstMemoryRelease::Engine().ConnectionStarted();
    }
    return decision;
}

bool CClientProcessor::CreateConnection(
    const CLogContext& identity, const char* hostName, const char* endpoint, const char* port, bool udp)
{
    const uint16_t portNumber = static_cast<uint16_t>(StrToInt(port));
    CHost target(endpoint ? std::string(endpoint) : std::string(), portNumber, udp);
    if (hostName && *hostName && !target.m_FakeIp)
        target.SetDnsName(hostName);

    if (!target.m_HasDnsName) {
        std::string name;
        if (target.m_AddressFamily == AF_INET) {
            // An IPv6 endpoint that carries an IPv4 address may be known in either form.
            const std::optional<in6_addr> embedding = endpoint ? EmbeddingIPv6(endpoint) : std::nullopt;
            if (embedding)
                name = m_App.NameForIPv6(*embedding);
            if (name.empty())
                name = m_App.NameForIPv4(target.GetIPv4());
        } else if (target.m_AddressFamily == AF_INET6) {
            in6_addr address {};
            std::memcpy(&address, target.GetIPv6().data(), sizeof address);
            name = m_App.NameForIPv6(address);
        }
        if (!name.empty())
            target.SetDnsName(name);
    }

    m_pConnection.reset();
    try {
        m_pConnection = std::make_shared<CConnRecord>(identity, target);
    } catch (const std::bad_alloc&) {
        CLogMessage(kLogError) << "Error : Could not allocate memory";
        return false;
    }

    if (target.m_FakeIp && !target.m_HasDnsName) {
        CLogMessage(kLogError, identity) << EndpointText(false)
                                         << " error: Cannot connect to placeholder (fake) IP address. It's "
                                            "recomended to restart the application.";
        m_pConnection.reset();
        return false;
    }
    return true;
}

int CClientProcessor::FindRule()
{
    assert(m_pConnection && "m_pConnection");
    if (!m_pConnection)
        return kNotProcessed;
    CConnRecord& record = *m_pConnection;
    const CHost target = record.GetTarget();
    const int index = corvantis::FindRule(*m_Profile, record.GetLogEvent(), target, &m_App);
    if (index == kNoRule) {
        // Only a broken profile lacks the catch-all rule; leave the connection to the system.
        m_pRule = nullptr;
        CLogMessage(kLogError, record.GetContext()) << EndpointText(false) << " : no rule matches the connection";
        return kNotProcessed;
    }
    m_pRule = &m_Profile->m_Rules[static_cast<size_t>(index)];

    int decision;
    if (m_pRule->m_Action == kActionProxy || m_pRule->m_Action == kActionChain)
        decision = kTaken;
    else if (m_pRule->m_Action == kActionBlock)
        decision = kRefused;
    else if (target.m_FakeIp) // the system cannot connect to a placeholder address
        decision = kTaken;
    else
        decision = m_Profile->m_HandleDirectConnections ? kTaken : kNotProcessed;

    record.SetRuleName(m_pRule->m_Name);
    record.SetAction(static_cast<uint32_t>(m_pRule->m_Action));
    if (m_pRule->m_Action == kActionChain) {
        const int chainIndex = GetChainIndexById(m_Profile->m_Chains, m_pRule->m_ProxyId);
        if (chainIndex != -1)
            record.SetProxyText(m_Profile->m_Chains[static_cast<size_t>(chainIndex)].m_Name);
    } else if (m_pRule->m_Action == kActionProxy) {
        const int proxyIndex = GetProxyIndexById(m_Profile->m_Proxies, m_pRule->m_ProxyId);
        if (proxyIndex != -1) {
            const CProxy& proxy = m_Profile->m_Proxies[static_cast<size_t>(proxyIndex)];
            const char* typeName = GetProxyTypeName(proxy.m_Type);
            record.SetProxyText(proxy.ToString(false) + " " + (typeName ? typeName : ""));
        }
    }
    return decision;
}

CTunnel::SConnectPrepare CClientProcessor::ConnectionTargetHostPrepare()
{
    assert(m_pConnection && "m_pConnection");
    assert(m_pRule && "m_pRule");
    if (!m_pConnection || !m_pRule) {
        CTunnel::SConnectPrepare blocked;
        blocked.kind = CTunnel::kBlocked;
        return blocked;
    }
    m_pTunnel = std::make_unique<CTunnel>(m_pConnection->GetTarget(), *m_Profile, *m_pRule);
    m_pTunnel->SetConnectTimeout(m_ConnectTimeout);
    // The record holds the socket from its creation on, so closing the connection (the user's cancel, or the
    // flow ending) shuts down a connect or handshake still under way instead of waiting for a silent peer.
    std::weak_ptr<CConnRecord> record = m_pConnection;
    m_pTunnel->SetSocketCreatedHandler([record](const std::shared_ptr<CSafeSocket>& socket) {
        const auto alive = record.lock();
        if (!alive)
            return;
        alive->SetRemoteSocket(socket);
        // Closed (or canceled) before the socket existed: a shutdown would not stop the connect that follows,
        // a closed socket fails it at once.
        if (alive->IsClosed())
            socket->Close();
    });
    // A dead first hop slows down the next connections through it. When that hop is the target itself, its
    // report stands for the connection's, which is then not reported a second time.
    m_TargetThrottled = false;
    m_pTunnel->SetFailedHopHandler([this](const CHost& hop, bool isTarget) {
        m_App.ThrottleConnect(hop);
        if (isTarget)
            m_TargetThrottled = true;
    });
    CTunnel::SConnectPrepare prepared = m_pTunnel->ConnectPrepare();
    if (prepared.kind == CTunnel::kResolveFirst)
        m_pConnection->SetResolving(true);
    return prepared;
}

bool CClientProcessor::ConnectTargetHost(const std::optional<CHost>& resolved)
{
    if (!m_pConnection)
        return false;
    m_pConnection->SetResolving(false);
    const bool connected = ConnectTargetHostInt(resolved);
    // The tunnel's work ends here (a connected socket belongs to the record now): a connection held open for
    // hours need not keep its chain, target copy and handlers.
    m_pTunnel.reset();
    if (!connected) {
        m_App.GetStatistics().AddFailedConnection();
        return false;
    }
    const uint32_t action = m_pConnection->GetAction();
    if ((action == kActionProxy || action == kActionChain) && m_pConnection->GetFirstHopFamily() == AF_INET6)
        m_OpenString += " (IPv6)";
    CLogMessage(kLogInfo, m_pConnection->GetContext()) << EndpointText(false) << " open" << m_OpenString;
    return true;
}

bool CClientProcessor::ConnectTargetHostInt(const std::optional<CHost>& resolved)
{
    assert(m_pTunnel && "m_pTunnel");
    if (!m_pConnection)
        return false;
    if (!m_pTunnel) {
        FailRecord("the connection was not prepared");
        return false;
    }
    std::shared_ptr<CSafeSocket> socket = m_pTunnel->ConnectEstablish(resolved);
    m_pConnection->SetRemoteSocket(socket);
    if (!socket) {
        FailRecord(m_pTunnel->TakeErrorText());
        return false;
    }
    if (m_pTunnel->IsIPv6())
        m_pConnection->SetFirstHopFamily(AF_INET6);
    if (m_pTunnel->IsHttp())
        m_pConnection->SetDataPath(m_pTunnel->TakeHttpProxy());
    m_pConnection->MarkConnected();
    return true;
}

void CClientProcessor::FailConnection(const std::string& text)
{
    if (!m_pConnection)
        return;
    FailRecord(text);
}

void CClientProcessor::FailRecord(const std::string& text)
{
    CLogMessage(kLogError, m_pConnection->GetContext()) << EndpointText(false) << " error : " << text;
    // A record the user closed while it was connecting shows as canceled: Close marked it so already.
    if (!m_pConnection->IsClosed())
        m_pConnection->MarkClosed();
    // The target once per failed connection, whichever step failed.
    if (!std::exchange(m_TargetThrottled, false))
        m_App.ThrottleConnect(m_pConnection->GetTarget());
}

void CClientProcessor::CloseConnection()
{
    if (closed)
        return;
    closed = true;
    if (!m_pConnection)
        return;
    // A record closed by a failure keeps the lifetime it got then.
    if (!m_pConnection->IsClosed())
        m_pConnection->MarkClosed();
    CLogMessage(kLogInfo, m_pConnection->GetContext())
        << EndpointText(false) << " close, " << BytesText(m_pConnection->GetBytesSent()) << " sent, "
        << BytesText(m_pConnection->GetBytesReceived()) << " received, lifetime "
        << CDurationStringFormater(static_cast<int64_t>(m_pConnection->GetLifetime())).GetText();
}

} // namespace corvantis
