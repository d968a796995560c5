#include "extension/engine/CorvantisAppProxy.h"

#include "core/foundation/LogMessage.h"
#include "core/foundation/TrafficStringFormater.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "core/profile/Rule.h"
#include "extension/engine/BurstMemoryRelease.h"

#include "platform/Allocator.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

namespace corvantis {

namespace {

// Ignoring SIGPIPE keeps a write to a socket the peer has closed from ending the process; the write fails with
// EPIPE instead, where the caller reports it. No handler: a handler could not log safely anyway.
void IgnoreSigpipe()
{
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

// The name the loop prompt and the loop rule use: the best name, else the signing identifier, else "<unknown>".
std::string NameOrUnknown(const CLogContext& identity)
{
    const std::string& best = identity.BestName();
    if (!best.empty())
        return best;
    return identity.revDns.empty() ? "<unknown>" : identity.revDns;
}

bool SameSixNames(const CLogContext& a, const CLogContext& b)
{
    return a.displayName == b.displayName && a.revDns == b.revDns && a.bsdName == b.bsdName
        && a.packetName == b.packetName && a.packetShortName == b.packetShortName && a.fullPath == b.fullPath;
}

std::string CountLine(const char* format, unsigned long long value)
{
    char line[96];
    std::snprintf(line, sizeof line, format, value);
    return line;
}

std::string TrafficLine(const char* format, uint64_t bytes)
{
    const std::string shortText = CTrafficStringFormater(bytes).GetShortText(true);
    char line[160];
    std::snprintf(line, sizeof line, format, static_cast<unsigned long long>(bytes), shortText.c_str());
    return line;
}

} // namespace

CCorvantisAppProxy::CCorvantisAppProxy(Timing timing)
    : CCorvantisApp(timing.throttle)
    , m_clock(std::move(timing.clock))
    , m_wallClock(std::move(timing.wallClock))
    , m_closedRecordAge(timing.closedRecordAge)
    , m_dnsHistoryAge(timing.dnsHistoryAge)
{
}

CCorvantisAppProxy::~CCorvantisAppProxy()
{
    StopBackgroundThreads();
}

std::string CCorvantisAppProxy::GetProfilePassword(const std::string&, bool, const std::string&)
{
    return {};
}

std::chrono::steady_clock::time_point CCorvantisAppProxy::Now() const
{
    return m_clock ? m_clock() : std::chrono::steady_clock::now();
}

// ---- Start ----

bool CCorvantisAppProxy::InitInstanceProxy(std::string& error, bool keepProfile)
{
    SetExtensionMode(true);
    IgnoreSigpipe();
    // Connections come and go on thousands of threads. With one arena per thread group, what a burst of them
    // freed would stay in arenas that are never trimmed; with one shared arena (each thread keeps its small
    // cache) the release after a burst returns it (CBurstMemoryRelease).
    LimitAllocatorArenas(1);

    const std::string name = GetSettings().ActiveProfile;
    bool failed = false;
    if (!keepProfile && !LoadProfileByName(name, kProfileSilent, false)) {
        // A file that is not there yet is the normal first run: the application sends its profile once it
        // connects. Anything else (a damaged file, a profile that needs a password) is a failed start; either
        // way the engine gets a profile with rules to work with.
        const std::string path = GetProfileFilePath(name);
        std::error_code ec;
        const bool missing = !path.empty() && !std::filesystem::exists(path, ec) && !ec;
        failed = !missing;
        SetProfile(NewProfileData(), false);
        if (failed)
            error = "Profile cannot be loaded";
        else
            CLogMessage(kLogInfo) << "Profile " << name << " not found. New default profile loaded.";
    }

    StartAutoDnsModeDetection();
    return failed;
}

bool CCorvantisAppProxy::SaveActiveProfile()
{
    return corvantis::SaveActiveProfile(*this, false);
}

// ---- Statistics ----

std::string CCorvantisAppProxy::GetStatText()
{
    CTrafficStatistics& statistics = GetStatistics();

    const time_t now = m_wallClock ? m_wallClock() : time(nullptr);
    const time_t start = statistics.GetStartTime();
    // A clock set back before the start shows zero rather than a huge number.
    const unsigned long long working = now > start ? static_cast<unsigned long long>(now - start) : 0;
    const unsigned long long days = working / 86400;

    std::string text = "\r\n\r\nWorking time:\t : ";
    if (days >= 1)
        text += std::to_string(days) + " day(s) and ";
    char clock[32];
    std::snprintf(
        clock, sizeof clock, "%02llu:%02llu:%02llu", (working / 3600) % 24, (working / 60) % 60, working % 60);
    text += clock;
    text += "\r\n";

    text += "\r\nConnections:\r\n";
    text += CountLine("     Total\t\t : %llu\r\n", statistics.GetTotalConnections());
    text += CountLine("     Active\t\t : %llu\r\n", GetOpenConnectionCount());
    text += CountLine("     Failed\t\t : %llu\r\n", statistics.GetFailedConnections());

    // Received is what came back from the remote sides, sent what went towards them.
    text += "\r\nTraffic:\r\n";
    text += TrafficLine("     Received\t : %llu    (%s)\r\n", statistics.GetTotalReceived());
    text += TrafficLine("     Sent\t\t : %llu    (%s)\r\n", statistics.GetTotalSent());
    return text;
}

// ---- The connection list ----

bool CCorvantisAppProxy::AddConnection(const ConnectionPtr& record, bool checkLoop)
{
    if (!record)
        return false;
    CLogContext looping;
    {
        MutexLock lock(connListLock);
        record->SetRegistered(true);
        connList.push_back(record);
        m_unclosed.push_back(record.get());
        m_openCount.fetch_add(1, std::memory_order_relaxed);
        if (!checkLoop || !DetectConnectionLoopLocked())
            return false;
        SetLoopDetectFlag(true);
        looping = connList.back()->GetContext();
    }
    OnConnectionLoop(looping);
    return true;
}

bool CCorvantisAppProxy::DetectConnectionLoopLocked()
{
    // Scanning the list on every connection would cost too much with thousands listed: look only every 50th
    // time, and only once there are enough records to hold a loop at all.
    if (connList.size() <= kConnLoopCount || m_loopCheckCounter < kConnLoopCount - 1) {
        ++m_loopCheckCounter;
        return false;
    }
    m_loopCheckCounter = 0;

    const ConnectionPtr& newest = connList.back();
    const CLogContext& identity = newest->GetContext();
    const auto now = Now();
    size_t sameApp = 0;
    for (auto it = connList.rbegin(); it != connList.rend() && sameApp <= kConnLoopCount; ++it) {
        const CConnRecord& record = **it;
        if (!record.IsClosed() && SameSixNames(record.GetContext(), identity)
            && now - record.GetTimeStamp() <= kConnLoopWindow)
            ++sameApp;
    }
    if (sameApp < kConnLoopCount)
        return false;

    const CHost target = newest->GetTarget();
    size_t sameTarget = 0;
    for (auto it = connList.rbegin(); it != connList.rend() && sameTarget <= kConnLoopCount; ++it) {
        const CConnRecord& record = **it;
        const CHost other = record.GetTarget();
        if (other.m_Port != target.m_Port || other.m_Name != target.m_Name)
            continue;
        // Data coming back means the connections work: whatever this is, it is no loop.
        if (record.GetBytesReceived() > 0)
            return false;
        ++sameTarget;
    }
    return sameTarget >= kConnLoopCount;
}

uint64_t CCorvantisAppProxy::CountLiveConnections()
{
    MutexLock lock(connListLock);
    // A record never opens again once closed, so each is dropped from m_unclosed once: a steady stream of short
    // connections costs this walk the connections still open, not the thousands of closed ones still listed.
    std::erase_if(m_unclosed, [](const CConnRecord* record) { return record->IsClosed(); });
    return m_unclosed.size();
}

std::vector<CCorvantisAppProxy::ConnectionPtr> CCorvantisAppProxy::GetConnectionsSnapshot()
{
    RemoveClosedConnections();
    MutexLock lock(connListLock);
    return { connList.begin(), connList.end() };
}

void CCorvantisAppProxy::RemoveClosedConnections()
{
    if (!connListLock.tryLock())
        return;
    MutexLock lock(connListLock, kAdoptLock);
    const auto now = Now();
    uint64_t removed = 0;
    // Held until m_unclosed no longer points to them.
    std::vector<ConnectionPtr> gone;
    for (auto it = connList.begin(); it != connList.end();) {
        CConnRecord& record = **it;
        if (record.IsClosed() && now - record.GetTimeStamp() > m_closedRecordAge) {
            record.SetRegistered(false);
            gone.push_back(std::move(*it));
            it = connList.erase(it);
            m_openCount.fetch_sub(1, std::memory_order_relaxed);
            ++removed;
        } else {
            ++it;
        }
    }
    // Keeps m_unclosed within the list: what left it was closed.
    if (!gone.empty())
        std::erase_if(m_unclosed, [](const CConnRecord* record) { return record->IsClosed(); });
    gone.clear();
    lock.unlock();
    CBurstMemoryRelease::Engine().RecordsRemoved(removed);
}

// ---- Loops ----

void CCorvantisAppProxy::OnConnectionLoop(const CLogContext& identity)
{
    CLogMessage(kLogError, identity) << "Infinite loop connection detected";
    QueueLoopApp(NameOrUnknown(identity));
    SetLoopDetectFlag(false);
}

bool CCorvantisAppProxy::CheckDnsLoop(
    const CLogContext& identity, int64_t pid, uint8_t kind, const std::string& hostName)
{
    bool loopFound = false;
    bool detectedNow = false;
    {
        MutexLock lock(m_historyLock);
        const auto now = Now();
        uint32_t count = 0;
        for (auto it = m_dnsHistory.begin(); it != m_dnsHistory.end();) {
            if (now - it->time > m_dnsHistoryAge) {
                it = m_dnsHistory.erase(it);
                continue;
            }
            if (it->pid == pid && it->kind == kind && it->hostName == hostName) {
                if (it->reported) {
                    loopFound = true;
                    break;
                }
                if (++count > kDnsLoopThreshold) {
                    it->reported = true;
                    loopFound = true;
                    detectedNow = true;
                    break;
                }
            }
            ++it;
        }
        m_dnsHistory.push_back({ hostName, kind, pid, now, loopFound });
    }
    if (!detectedNow)
        return false;
    const std::string name = NameOrUnknown(identity);
    // A rule that connects the application directly, announced (the extension's questions answer at once).
    CreateLoopPreventionRule(name, false, false);
    QueueLoopApp(name);
    return true;
}

// ---- Placeholder addresses for DNS answers ----

bool CCorvantisAppProxy::NameGetsPlaceholder(const CLogContext& identity, const std::string& hostName,
    const CHost& server, const CProfileData& profile, bool force) const
{
    const int decision = DecideDnsThroughProxy(hostName, identity, profile, server.ToString(false));
    if (decision == kDnsThroughProxy)
        return true;
    return decision != kDnsLocal && force;
}

uint32_t CCorvantisAppProxy::GetFakeIpv4ForName(const CLogContext& identity, const std::string& hostName,
    const CHost& server, const CProfileData& profile, bool force, const uint8_t* request, size_t requestLength,
    const sockaddr* serverSocket, uint64_t& ttl)
{
    ttl = 0;
    if (!NameGetsPlaceholder(identity, hostName, server, profile, force))
        return 0;
    return m_dnsStorage.AddressForNameIPv4(hostName, true, request, requestLength, serverSocket, ttl);
}

in6_addr CCorvantisAppProxy::GetFakeIpv6ForName(const CLogContext& identity, const std::string& hostName,
    const CHost& server, const CProfileData& profile, bool force, const uint8_t* request, size_t requestLength,
    const sockaddr* serverSocket, uint64_t& ttl)
{
    ttl = 0;
    if (!NameGetsPlaceholder(identity, hostName, server, profile, force))
        return in6addr_any;
    return m_dnsStorage.AddressForNameIPv6(hostName, true, request, requestLength, serverSocket, ttl);
}

CCorvantisAppProxy& GetAppProxy()
{
    // Built on first use and never destroyed: engine threads may still reach it while the process exits.
    static CCorvantisAppProxy* const instance = new CCorvantisAppProxy();
    return *instance;
}

} // namespace corvantis
