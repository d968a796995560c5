#include "core/profile/NetworkWatcher.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileText.h"
#include "platform/HostNames.h"

#include <atomic>
#include <cstring>
#include <sys/socket.h>

namespace corvantis {

namespace {

std::atomic<int32_t> baseInterfaceIndex { 0 };

// The longest interface name written to the log.
constexpr size_t kMaxLoggedName = 99;

void SysevTimingLine(const char* routine, int place)
{
    if (IsTimingOn(TimingItem::Sysev))
        LogTimingLine(routine, place);
}

uint64_t BigEndianHalf(const IPv6Addr& address, size_t from)
{
    uint64_t value = 0;
    for (size_t i = from; i < from + 8; ++i)
        value = (value << 8) | address[i];
    return value;
}

} // namespace

int32_t GetBaseInterfaceIndex()
{
    return baseInterfaceIndex.load(std::memory_order_relaxed);
}

int32_t UpdateBaseInterface()
{
    const std::optional<DefaultRoute> route = findBaseInterface();
    if (!route)
        return GetBaseInterfaceIndex();
    CLogMessage(kLogVerbose) << (route->family == AF_INET ? "Base interface IPv4" : "Base interface IPv6");
    baseInterfaceIndex.store(route->ifindex, std::memory_order_relaxed);
    CLogMessage(kLogVerbose) << "Base interface is " << route->ifindex << " "
                             << route->ifname.substr(0, kMaxLoggedName);
    return route->ifindex;
}

std::vector<std::string> MergeOwnNames(const std::vector<std::string>& candidates)
{
    std::vector<std::string> names;
    for (const std::string& candidate : candidates) {
        if (candidate.empty())
            continue;
        const std::string lower = profile_text::ToLower(candidate);
        bool known = false;
        for (const std::string& own : names) {
            if (lower == own || (lower.size() == own.size() + 1 && lower.back() == '.' && lower.starts_with(own)))
                known = true;
        }
        if (!known)
            names.push_back(lower);
    }
    return names;
}

std::vector<std::string> LocalHostNameCandidates(const std::string& machineInfoPath)
{
    const std::string host = kernelHostName();
    return { host, shortHostName(host), prettyHostName(machineInfoPath) };
}

OwnAddresses SortLocalAddresses(const std::vector<std::string>& texts)
{
    OwnAddresses out;
    for (const std::string& text : texts) {
        uint32_t ipv4 = 0;
        IPv6Addr ipv6 {};
        if (ParseIPv4(text, ipv4))
            out.ipv4.push_back(ipv4);
        else if (ParseIPv6(text, ipv6))
            out.ipv6.push_back(ipv6);
        else
            CLogMessage(kLogError) << "Unknown local address " << text;
    }
    return out;
}

int UpdateLocalIdentity(CCorvantisApp& app, const std::string& machineInfoPath)
{
    std::vector<std::string> names = MergeOwnNames(LocalHostNameCandidates(machineInfoPath));
    OwnAddresses addresses = SortLocalAddresses(GetLocalIPs());
    app.SetOwnIdentity(std::move(names), std::move(addresses.ipv4), std::move(addresses.ipv6));
    return 1;
}

bool LessIPv4(uint32_t a, uint32_t b)
{
    return ntohl(a) < ntohl(b);
}

bool LessIPv6(const IPv6Addr& a, const IPv6Addr& b)
{
    const uint64_t aHigh = BigEndianHalf(a, 0);
    const uint64_t bHigh = BigEndianHalf(b, 0);
    if (aHigh != bHigh)
        return aHigh < bHigh;
    return BigEndianHalf(a, 8) < BigEndianHalf(b, 8);
}

void _UpdateDNSFromKernel(const CCorvantisApp& app)
{
    CProfileData profile;
    app.GetProfile(profile, false);
    if (IsTimingOn(TimingItem::Kipc))
        LogTimingLine("_UpdateDNSFromKernel", __LINE__);
}

CNetworkWatcher::CNetworkWatcher(CCorvantisApp& app, NetlinkWatcher::Config config, std::string machineInfoPath)
    : m_app(app)
    , m_machineInfoPath(std::move(machineInfoPath))
    , m_watcher(std::move(config), [this] { NetworkChanged(); })
{
}

CNetworkWatcher::~CNetworkWatcher()
{
    Stop();
}

int CNetworkWatcher::WatchForNetworkChanges()
{
    SysevTimingLine("WatchForNetworkChanges", __LINE__);
    if (m_watcher.running())
        return kWatching;

    std::string reason;
    if (const auto failure = m_watcher.open(reason)) {
        switch (*failure) {
        case NetlinkWatcher::Failure::Socket:
            CLogMessage(kLogError) << "Network watch socket failed: " << reason;
            return kSocketFailed;
        case NetlinkWatcher::Failure::Setup:
            CLogMessage(kLogError) << "Network watch setup failed: " << reason;
            return kSetupFailed;
        case NetlinkWatcher::Failure::Subscribe:
        case NetlinkWatcher::Failure::Thread:
            break;
        }
        // Without notifications the base interface is still worth knowing once.
        CLogMessage(kLogError) << "Network watch subscription failed: " << reason;
        UpdateBaseInterface();
        return kSubscribeFailed;
    }

    UpdateBaseInterface();

    if (m_watcher.start(reason)) {
        CLogMessage(kLogError) << "Network watch thread failed: " << reason;
        m_watcher.stop();
        return kThreadFailed;
    }
    SysevTimingLine("WatchForNetworkChanges", __LINE__);
    return kWatching;
}

void CNetworkWatcher::Stop()
{
    m_watcher.stop();
}

void CNetworkWatcher::NetworkChanged()
{
    SysevTimingLine("NetworkChanged", __LINE__);
    UpdateBaseInterface();
    UpdateLocalIdentity(m_app, m_machineInfoPath);
    SysevTimingLine("SetNetworkChanged", __LINE__);
    m_app.SetNetworkChanged();
}

} // namespace corvantis
