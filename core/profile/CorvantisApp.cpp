#include "core/profile/CorvantisApp.h"

#include "core/foundation/LogMessage.h"
#include "core/profile/Host.h"
#include "core/profile/ProfileText.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadName.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <system_error>

namespace corvantis {

CCorvantisApp* theApp = nullptr;

CCorvantisApp::CCorvantisApp(CConnectThrottle::Timing throttleTiming)
    : resolveThroughProxy(profile.m_ViaProxy)
    , profileLoopOption(profile.m_ConnectionLoopDetection)
    , throttle(throttleTiming)
{
    objectLog.SetMaxFileSize(CLog::kDefaultMaxFileSize);
}

CCorvantisApp::~CCorvantisApp()
{
    StopBackgroundThreads();
    MutexLock starting(detectionStartLock);
    dnsModeDetection.reset();
}

// ---- The active profile ----

void CCorvantisApp::GetProfile(CProfileData& out, bool withExtraRules) const
{
    MutexLock lock(profileLock);
    out = profile;
    if (withExtraRules)
        for (const CRule& rule : extraRules)
            out.m_Rules.insert(out.m_Rules.begin(), rule);
}

std::shared_ptr<const CProfileData> CCorvantisApp::GetProfileSnapshot() const
{
    MutexLock lock(profileLock);
    if (!profileSnapshot)
        profileSnapshot = std::make_shared<const CProfileData>(profile);
    return profileSnapshot;
}

bool CCorvantisApp::SetProfile(CProfileData incoming, bool saveToFile)
{
    incoming.m_DnsChanged = false;
    {
        MutexLock lock(profileLock);
        nextId = std::max<int64_t>(incoming.GetHighestId(), kFirstAllocatedId - 1) + 1;
        wrappedId = kFirstAllocatedId - 1;
        const int64_t oldStamp = profile.m_ChangeStamp;
        const bool oldAutoDetection = profile.m_AutoModeDetection;
        profile = std::move(incoming);
        PublishOptionsLocked();
        // The first profile always starts the detection: stamps are wall-clock milliseconds, so it may carry the
        // same stamp as the empty profile this object was built with.
        const bool first = !profileSet;
        profileSet = true;
        if (first || profile.m_ChangeStamp != oldStamp || profile.m_AutoModeDetection != oldAutoDetection)
            StartAutoDnsModeDetection();
    }
    bool saved = true;
    if (saveToFile) {
        saved = SaveActiveProfile();
        if (!saved)
            CLogMessage(kLogError) << "The active profile cannot be saved to its file.";
    }
    NotificationCenter::defaultCenter().postNotificationOnMainThread(
        Notification { "ProfileUpdated", this, {} }, false);
    return saved;
}

bool CCorvantisApp::ApplyDetectedDnsMode(bool viaProxy)
{
    {
        MutexLock lock(profileLock);
        if (!profile.m_AutoModeDetection || (profile.m_ViaProxy == viaProxy && !profile.m_DnsChanged))
            return false;
        profile.m_DnsChanged = false;
        profile.m_ViaProxy = viaProxy;
        PublishOptionsLocked();
    }
    if (!SaveActiveProfile())
        CLogMessage(kLogError) << "The active profile cannot be saved to its file.";
    NotificationCenter::defaultCenter().postNotificationOnMainThread(
        Notification { "ProfileUpdated", this, {} }, false);
    return true;
}

void CCorvantisApp::PublishOptionsLocked()
{
    profileSnapshot.reset(); // made again from the changed profile when next asked for
    resolveThroughProxy.store(profile.m_ViaProxy, std::memory_order_relaxed);
    profileLoopOption.store(profile.m_ConnectionLoopDetection, std::memory_order_relaxed);
}

void CCorvantisApp::SetExtraRules(std::vector<CRule> rules)
{
    MutexLock lock(profileLock);
    extraRules = std::move(rules);
}

void CCorvantisApp::AddExtraRule(const CRule& rule)
{
    MutexLock lock(profileLock);
    extraRules.push_back(rule);
}

std::vector<CRule> CCorvantisApp::GetExtraRules() const
{
    MutexLock lock(profileLock);
    return extraRules;
}

int32_t CCorvantisApp::AllocateId()
{
    MutexLock lock(profileLock);
    if (nextId <= std::numeric_limits<int32_t>::max())
        return static_cast<int32_t>(nextId++);
    // The counter has run past the largest id (a profile holds one near it): hand out free ids from the bottom
    // instead, in rising order so that none is given twice before the next SetProfile.
    wrappedId = FindFreeIdLocked(wrappedId);
    return static_cast<int32_t>(wrappedId);
}

int32_t CCorvantisApp::FindFreeIdLocked(int64_t after) const
{
    std::set<int64_t> used;
    for (const CProxy& proxy : profile.m_Proxies)
        used.insert(proxy.m_Id);
    for (const CChain& chain : profile.m_Chains)
        used.insert(chain.m_Id);
    int64_t id = std::max<int64_t>(after + 1, kFirstAllocatedId);
    for (int round = 0; round < 2; ++round) {
        while (used.contains(id))
            ++id;
        if (id <= std::numeric_limits<int32_t>::max())
            return static_cast<int32_t>(id);
        id = kFirstAllocatedId; // every id above `after` is taken: start again from the bottom
    }
    // Two thousand million proxies and chains do not fit in memory; this is not reached.
    return kFirstAllocatedId;
}

// ---- Settings ----

CAppSettings CCorvantisApp::GetSettings() const
{
    MutexLock lock(settingsLock);
    return settings;
}

void CCorvantisApp::SetSettings(const CAppSettings& newSettings)
{
    MutexLock lock(settingsLock);
    settings = newSettings;
}

// ---- This machine's names and addresses ----

bool CCorvantisApp::IsOwnHostName(const std::string& name) const
{
    if (name.empty())
        return false;
    const std::string lower = profile_text::ToLower(name);
    MutexLock lock(networkLock);
    for (const std::string& own : ownNames) {
        if (lower == own || (lower.size() == own.size() + 1 && lower.back() == '.' && lower.starts_with(own)))
            return true;
    }
    return false;
}

bool CCorvantisApp::IsOwnIPv4(uint32_t address) const
{
    MutexLock lock(networkLock);
    return std::find(ownIPv4.begin(), ownIPv4.end(), address) != ownIPv4.end();
}

bool CCorvantisApp::IsOwnIPv6(const IPv6Addr& address) const
{
    MutexLock lock(networkLock);
    if (std::find(ownIPv6.begin(), ownIPv6.end(), address) != ownIPv6.end())
        return true;
    uint32_t ipv4;
    return GetEmbeddedIPv4(address, ipv4) && std::find(ownIPv4.begin(), ownIPv4.end(), ipv4) != ownIPv4.end();
}

void CCorvantisApp::SetOwnIdentity(
    std::vector<std::string> names, std::vector<uint32_t> ipv4, std::vector<IPv6Addr> ipv6)
{
    for (std::string& name : names)
        StrToLower(name);
    MutexLock lock(networkLock);
    ownNames = std::move(names);
    ownIPv4 = std::move(ipv4);
    ownIPv6 = std::move(ipv6);
}

// ---- Name-resolution mode detection ----

void CCorvantisApp::StartAutoDnsModeDetection()
{
    MutexLock starting(detectionStartLock);
    {
        MutexLock lock(networkLock);
        if (detectionStarted) {
            networkChanged = true;
            networkCond.signalAll();
            return;
        }
        if (stopRequested)
            return;
        networkChanged = false;
    }
    const bool launched = LaunchAutoDnsModeDetection();
    MutexLock lock(networkLock);
    detectionStarted = launched;
}

void CCorvantisApp::SetNetworkChanged()
{
    MutexLock lock(networkLock);
    networkChanged = true;
    networkCond.signalAll();
}

bool CCorvantisApp::IsDetectionStarted() const
{
    MutexLock lock(networkLock);
    return detectionStarted;
}

bool CCorvantisApp::SaveActiveProfile()
{
    return true;
}

void CCorvantisApp::EnableAutoDnsModeDetection(CAutoDnsModeDetection::Config config)
{
    MutexLock starting(detectionStartLock);
    if (!dnsModeDetection)
        dnsModeDetection = std::make_unique<CAutoDnsModeDetection>(*this, std::move(config));
}

bool CCorvantisApp::LaunchAutoDnsModeDetection()
{
    // Called under detectionStartLock (StartAutoDnsModeDetection).
    return dnsModeDetection && dnsModeDetection->Launch();
}

CCorvantisApp::WaitResult CCorvantisApp::WaitForNetworkChange(
    std::optional<std::chrono::steady_clock::duration> timeout)
{
    MutexLock lock(networkLock);
    const auto ready = [this] {
        networkLock.assertHeld();
        return networkChanged || stopRequested;
    };
    if (timeout) {
        if (!networkCond.waitFor(networkLock, *timeout, ready))
            return WaitResult::TimedOut;
    } else {
        networkCond.wait(networkLock, ready);
    }
    if (stopRequested)
        return WaitResult::Stopping;
    networkChanged = false;
    return WaitResult::Changed;
}

// ---- Engine support ----

std::chrono::steady_clock::duration CCorvantisApp::ThrottleConnect(const CHost& target)
{
    return throttle.Throttle(target.GetHostName());
}

void CCorvantisApp::QueueLoopApp(const std::string& name)
{
    MutexLock lock(loopLock);
    if (loopQueued.insert(name).second)
        loopQueue.push_back(name);
}

std::optional<std::string> CCorvantisApp::PopLoopApp()
{
    MutexLock lock(loopLock);
    if (loopQueue.empty())
        return std::nullopt;
    std::string name = std::move(loopQueue.front());
    loopQueue.pop_front();
    loopQueued.erase(name);
    return name;
}

// ---- Background threads ----

bool CCorvantisApp::StartBackgroundThread(const std::string& name, std::function<void()> body)
{
    MutexLock guard(threadsLock);
    if (IsStopRequested())
        return false;
    try {
        threads.emplace_back([name, body = std::move(body)] {
            setCurrentThreadName(name);
            try {
                body();
            } catch (const std::exception& e) {
                CLogMessage(kLogError) << "Thread " << name << " ended by an exception: " << e.what();
            } catch (...) {
                CLogMessage(kLogError) << "Thread " << name << " ended by an exception.";
            }
        });
    } catch (const std::system_error& e) {
        CLogMessage(kLogError) << "Thread " << name << " cannot be started: " << e.what();
        return false;
    }
    return true;
}

bool CCorvantisApp::IsStopRequested() const
{
    MutexLock lock(networkLock);
    return stopRequested;
}

void CCorvantisApp::StopBackgroundThreads()
{
    {
        MutexLock lock(networkLock);
        stopRequested = true;
        networkCond.signalAll();
    }
    {
        // Waits for a start that is under way; no new one begins after the stop was asked for.
        MutexLock starting(detectionStartLock);
        if (dnsModeDetection)
            dnsModeDetection->StopWatching();
    }
    std::vector<std::thread> running;
    {
        MutexLock guard(threadsLock);
        running.swap(threads);
    }
    for (std::thread& thread : running)
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
        else if (thread.joinable())
            thread.detach(); // a background thread that stops the others cannot wait for itself
}

} // namespace corvantis
