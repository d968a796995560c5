#include "extension/engine/CorvantisCoreWrapper.h"

#include "core/foundation/AppSettings.h"
#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "platform/DefaultsStore.h"
#include "platform/ProcessInfo.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace corvantis {

namespace {

// The application's traffic-dump switch inside the settings it sends (1 on, 0 off).
constexpr const char* kTrafficDumpKey = "TrafficDump";

bool TrafficDumpRequested(const std::optional<PlistDict>& settings)
{
    if (!settings)
        return false;
    const auto entry = settings->find(kTrafficDumpKey);
    return entry != settings->end() && entry->second.integerValue() != 0;
}

// The longest command name the kernel keeps; a longer one is cut to it.
constexpr size_t kCommandNameLength = 15;
// How long a name lookup waits for a process that is still starting to show its arguments.
constexpr int kExecWindowTries = 20;
constexpr std::chrono::milliseconds kExecWindowPause { 1 };

std::atomic<bool> g_helloRequested { false };
// Set once a settings update has installed a profile: the engine then runs with rules the user chose, whatever
// became of the start's own profile load.
std::atomic<bool> g_profileApplied { false };

template <typename T> void AppendRaw(std::vector<uint8_t>& out, const std::vector<T>& values)
{
    out.resize(values.size() * sizeof(T));
    if (!values.empty())
        std::memcpy(out.data(), values.data(), out.size());
}

} // namespace

CorvantisCoreWrapper::~CorvantisCoreWrapper()
{
    if (m_observer != 0)
        NotificationCenter::defaultCenter().removeObserver(m_observer);
}

std::string CorvantisCoreWrapper::getFullVersionString()
{
    return CCorvantisApp::kVersion;
}

std::string CorvantisCoreWrapper::versionForHello()
{
    g_helloRequested = true;
    return getFullVersionString();
}

bool CorvantisCoreWrapper::isHelloRequested()
{
    return g_helloRequested;
}

void CorvantisCoreWrapper::applyAddressRange(int internalSubnetNumber)
{
    const std::string base = std::to_string(internalSubnetNumber) + ".0.0.0";
    uint32_t prefix = 0;
    std::memcpy(&prefix, kIpv6FakePrefix, sizeof prefix);
    SetAddressRange(base.c_str(), 8, prefix);
}

bool CorvantisCoreWrapper::initInstance()
{
    CCorvantisAppProxy& app = GetAppProxy();
    CAppSettings settings = app.GetSettings();
    LoadSettings(settings);
    app.SetSettings(settings);

    if (m_isInititialised && !m_startFailed)
        return true;
    if (m_isInititialised && g_profileApplied) {
        // The start's own load failed, but the application has sent a profile since: that one is in force.
        m_startFailed = false;
        return true;
    }

    std::string error;
    // A profile the application sent before the first bring-up is the one in force: loading the stored one over
    // it would drop the user's rules (the sender was told it was applied).
    const bool failed = app.InitInstanceProxy(error, g_profileApplied);
    if (failed)
        CLogMessage(kLogError) << "Initialization failed: " << error;
    m_startFailed = failed;

    if (!m_isInititialised) {
        applyAddressRange(settings.InternalSubnetNumber);
        m_observer = NotificationCenter::defaultCenter().addObserver(kMessageBoxNotification,
            [this](const Notification& notification) { MessageBoxNotifyReceived(notification); });
        m_isInititialised = true;
    }
    return !failed;
}

void CorvantisCoreWrapper::MessageBoxNotifyReceived(const Notification& notification)
{
    MessageBoxNotifyHandler(false, notification);
}

bool CorvantisCoreWrapper::getProcessForcedUdpFlowsOnly() const
{
    return GetAppProxy().GetSettings().ProcessForcedUdpFlowsOnly;
}

int CorvantisCoreWrapper::getInternalSubnetNumber() const
{
    return GetAppProxy().GetSettings().InternalSubnetNumber;
}

std::string CorvantisCoreWrapper::getExcludedUdpPorts() const
{
    return GetAppProxy().GetSettings().ExcludedUdpPorts;
}

std::string CorvantisCoreWrapper::getExcludedTcpPorts() const
{
    return GetAppProxy().GetSettings().ExcludedTcpPorts;
}

bool CorvantisCoreWrapper::getBlockUdp443() const
{
    CProfileData profile;
    GetAppProxy().GetProfile(profile, false);
    return profile.m_BlockUDP443;
}

std::string CorvantisCoreWrapper::getIpv6FakeSubnet()
{
    // The range's own prefix: the one applyAddressRange set.
    const in6_addr address = MapIPv4ToIPv6(htonl(1), true);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &address, text, sizeof text);
    return text;
}

std::string CorvantisCoreWrapper::settingsUpdateNotification(
    const std::optional<PlistDict>& settings, const std::string& profile)
{
    if (settings) {
        DefaultsStore& defaults = DefaultsStore::standard();
        // The dump switch is never stored: after a restart the dumps stay off until the application sends it.
        PlistDict stored = *settings;
        stored.erase(kTrafficDumpKey);
        if (!defaults.setEntries(stored))
            CLogMessage(kLogError) << "Settings cannot be stored";
        defaults.setObject("ActiveProfile", PlistValue(std::string(kSettingsProfileName)));
        (void)defaults.synchronize();
    }
    OpenLogFile();

    CCorvantisAppProxy& app = GetAppProxy();
    CAppSettings loaded = app.GetSettings();
    LoadSettings(loaded);
    // Every update carries the switch; one without it turns the dumps off.
    loaded.TrafficLogEnabled = TrafficDumpRequested(settings);
    app.SetSettings(loaded);

    std::string error;
    if (!LoadProfileFromXmlText(profile, kProfileSilent, false, error))
        return error.empty() ? std::string("Cannot load profile") : error;

    g_profileApplied = true;
    app.StartAutoDnsModeDetection();
    applyAddressRange(loaded.InternalSubnetNumber);
    if (loaded.MaxConnCount < static_cast<int64_t>(CClientProcessor::kDefaultConnectionLimit) + 1) {
        CClientProcessor::SetConnectionLimit(CClientProcessor::kDefaultConnectionLimit);
    } else {
        CClientProcessor::SetConnectionLimit(static_cast<uint64_t>(loaded.MaxConnCount));
        CLogMessage(kLogNone) << "Max connections count is " << loaded.MaxConnCount;
    }
    return {};
}

std::string CorvantisCoreWrapper::getLogMessages()
{
    std::string text;
    TakeLogText(text);
    return text;
}

std::string CorvantisCoreWrapper::getConnections()
{
    CCorvantisAppProxy& app = GetAppProxy();
    const auto snapshot = app.GetConnectionsSnapshot();
    std::string text;
    for (const auto& record : snapshot)
        text += record->GetText();
    if (app.GetSettings().DebugConnList)
        CLogMessage(kLogDebug) << "Connections NE: data = " << text.size() << " current = " << snapshot.size();
    return text;
}

std::optional<std::string> CorvantisCoreWrapper::getLoopDetectinHistoryElement()
{
    return GetAppProxy().PopLoopApp();
}

std::string CorvantisCoreWrapper::getStatText()
{
    return GetAppProxy().GetStatText();
}

void CorvantisCoreWrapper::getTrafficDataUp(std::vector<uint8_t>& up, std::vector<uint8_t>& down)
{
    const CTrafficStatistics::Series series = GetAppProxy().GetStatistics().GetSeries();
    AppendRaw(up, series[CTrafficStatistics::kSeriesUp]);
    AppendRaw(down, series[CTrafficStatistics::kSeriesDown]);
}

void CorvantisCoreWrapper::putLog(bool error, bool verbose, const std::string& message)
{
    CLogMessage(error ? kLogError : (verbose ? kLogVerbose : kLogNone)) << message;
}

std::string CorvantisCoreWrapper::getProcessNameForPid(pid_t pid)
{
    for (int attempt = 0;; ++attempt) {
        std::string name;
        if (auto comm = readProcessName(pid))
            name = comm.value();
        auto args = readProcessCmdline(pid);
        if (args && !args.value().empty()) {
            // The kernel cuts command names at 15 characters; the first argument holds the whole name.
            if (!name.empty() && name.size() < kCommandNameLength)
                return name;
            const std::string& first = args.value().front();
            const size_t slash = first.rfind('/');
            const std::string base = slash == std::string::npos ? first : first.substr(slash + 1);
            return base.empty() ? name : base;
        }
        // No arguments: a process met in the middle of its start (it still has its parent's name, or already
        // its new program's name, cut, but not yet its arguments; they follow within moments), or one that
        // will never show any (it has ended, or is a kernel thread), which keeps the name it has.
        if (name.empty() || !args || attempt >= kExecWindowTries)
            return name;
        std::this_thread::sleep_for(kExecWindowPause);
    }
}

void CorvantisCoreWrapper::incTestWriteCounter(uint64_t count)
{
    GetAppProxy().GetStatistics().AddCountAndBytes(count);
}

void CorvantisCoreWrapper::resetForTests()
{
    g_helloRequested = false;
    g_profileApplied = false;
}

} // namespace corvantis
