#include "core/profile/AutoDnsModeDetection.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/LogTrace.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/HostLists.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileText.h"
#include "core/profile/RuleLookup.h"

#include <netdb.h>
#include <sys/socket.h>

namespace corvantis {

namespace {

constexpr const char* kDetectionThreadName = "DnsModeDetect";

} // namespace

// ---- The probe ----

bool ProbeAnswersShowLocalDns(const addrinfo* answers)
{
    for (const addrinfo* answer = answers; answer != nullptr; answer = answer->ai_next) {
        bool placeholder = false;
        if (answer->ai_family == AF_INET && answer->ai_addr != nullptr && answer->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(answer->ai_addr);
            placeholder = IsIPv4InFakeRange(in->sin_addr.s_addr);
        } else if (answer->ai_family == AF_INET6 && answer->ai_addr != nullptr
            && answer->ai_addrlen >= sizeof(sockaddr_in6)) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(answer->ai_addr);
            placeholder = IsIPv6InFakeRange(in6->sin6_addr);
        }
        if (!placeholder)
            return true;
        // A placeholder is our own answer (the extension intercepts this lookup), not the local service's.
        CLogMessage(kLogError) << "(Automatic DNS mode detection) error - IP ignored.";
    }
    return false;
}

bool IsLocalDnsUnavailable(const std::string& host)
{
    addrinfo hints {};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = AF_UNSPEC;
    addrinfo* answers = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &answers) != 0)
        return true;
    const bool available = ProbeAnswersShowLocalDns(answers);
    freeaddrinfo(answers);
    return !available;
}

// ---- The detection ----

CAutoDnsModeDetection::CAutoDnsModeDetection(CCorvantisApp& app, Config config)
    : m_app(app)
    , m_config(std::move(config))
    , m_watcher(app, m_config.watcher, m_config.machineInfoPath)
{
    if (!m_config.probe)
        m_config.probe = [] { return IsLocalDnsUnavailable(kDnsProbeHost); };
}

CAutoDnsModeDetection::~CAutoDnsModeDetection()
{
    StopWatching();
}

bool CAutoDnsModeDetection::Launch()
{
    m_watcher.WatchForNetworkChanges();
    return m_app.StartBackgroundThread(kDetectionThreadName, [this] { Run(); });
}

void CAutoDnsModeDetection::StopWatching()
{
    m_watcher.Stop();
}

void CAutoDnsModeDetection::Run()
{
    int retries = 0;
    for (;;) {
        if (IsTimingOn(TimingItem::Autod))
            LogTimingLine("AutoDnsModeDetectThread", __LINE__);
        UpdateLocalIdentity(m_app, m_config.machineInfoPath);
        DetectOnce();

        // A change that came during the pass (its mark is taken here) asks for another pass at once.
        switch (m_app.WaitForNetworkChange(std::chrono::steady_clock::duration::zero())) {
        case CCorvantisApp::WaitResult::Stopping:
            return;
        case CCorvantisApp::WaitResult::Changed:
            retries = m_config.retries;
            continue;
        case CCorvantisApp::WaitResult::TimedOut:
            break;
        }
        if (retries > 0) {
            // Some networks need a moment before their name service answers; a change during the pause is kept
            // for the end of the next pass.
            --retries;
            Pause();
            if (m_app.IsStopRequested())
                return;
            continue;
        }
        if (m_app.WaitForNetworkChange(std::nullopt) == CCorvantisApp::WaitResult::Stopping)
            return;
        retries = m_config.retries;
    }
}

void CAutoDnsModeDetection::Pause()
{
    if (m_config.pause) {
        m_config.pause(m_config.retryInterval);
        return;
    }
    MutexLock lock(m_app.networkLock);
    m_app.networkCond.waitFor(m_app.networkLock, m_config.retryInterval, [this] {
        m_app.networkLock.assertHeld();
        return m_app.stopRequested;
    });
}

void CAutoDnsModeDetection::DetectOnce()
{
    CProfileData profile;
    m_app.GetProfile(profile, false);
    if (!profile.m_AutoModeDetection)
        return;

    const bool unavailable = m_config.probe();

    // Applied to the active profile as it is now (the option may have been turned off, or another profile
    // installed, while the probe ran); its change stamp stays, so no new detection starts.
    if (!m_app.ApplyDetectedDnsMode(unavailable))
        return;
    if (unavailable)
        CLogMessage(kLogNone) << "(Automatic DNS mode detection) Local DNS service is unavailable. Name Resolution "
                                 "through proxy is enabled.";
    else
        CLogMessage(kLogNone) << "(Automatic DNS mode detection) Local DNS service is available. Name Resolution "
                                 "through proxy is disabled.";
}

// ---- The name-resolution decision ----

int CCorvantisApp::DecideDnsThroughProxy(const std::string& hostName, const CLogContext& context,
    const CProfileData& profile, const std::string& where) const
{
    int result = kDnsLocal;
    const char* reason = nullptr;
    if (!profile.m_ViaProxy) {
        reason = " : DNS (resolve through proxy is not enabled)";
    } else {
        const bool listed = IsHostExcludedFromDns(profile, hostName, this);
        if (!listed && profile.m_OnlyFromListMode) {
            reason = " : DNS (Not in the List)";
        } else if (listed && !profile.m_OnlyFromListMode) {
            reason = " : DNS (Exclusion List match)";
        } else {
            const std::string lowerName = profile_text::ToLower(hostName);
            if (RulesNeedFakeIp(profile, LowerCaseContext(context), lowerName.c_str(), this)) {
                result = kDnsThroughProxy;
                reason = listed ? " : proxy (Inclusion List match)" : " : proxy";
            } else {
                reason = " : DNS (According to Rules)";
            }
        }
    }
    CLogMessage(kLogVerbose, context) << "resolve \"" << hostName << "\" on " << where << reason;
    return result;
}

} // namespace corvantis
