#include "core/foundation/AppSettings.h"

#include "core/foundation/Log.h"
#include "core/foundation/Prefs.h"
#include "platform/DefaultsStore.h"

#include <limits>

namespace corvantis {

namespace {

constexpr const char* kSection = "Settings";

int toInt(int64_t v)
{
    if (v > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

bool readBool(const char* section, const char* key, bool defaultValue)
{
    return GetPrefInt(nullptr, section, key, defaultValue ? 1 : 0) != 0;
}

} // namespace

void LoadSettings(CAppSettings& s)
{
    CLog& log = GetLog();
    log.SetScreenLevel(toInt(GetPrefInt(nullptr, kSection, "LogLevelScreen", 2)));
    log.SetFileLevel(toInt(GetPrefInt(nullptr, kSection, "LogLevelFile", 0)));
    log.OpenLogFile();

    s.ShowTrafficType = GetPrefInt(nullptr, kSection, "ShowTrafficType", 0);
    s.TrafficRefreshSpeed = GetPrefInt(nullptr, kSection, "TrafficRefreshSpeed", 1);
    s.ActiveProfile = GetPrefString(nullptr, kSection, "ActiveProfile", "");
    if (s.ActiveProfile.empty())
        s.ActiveProfile = GetPrefString(nullptr, nullptr, "ActiveProfile", "Default");
    s.ShowMainWindow = readBool(kSection, "ShowMainWindow", true);
    s.UpdateCheck = readBool(nullptr, "UpdateCheck", true);
    s.ProfileAutoUpdate = readBool(nullptr, "ProfileAutoUpdate", false);
    s.ProfileAutoUpdateUrl = GetPrefString(nullptr, nullptr, "ProfileAutoUpdateUrl", "");
    s.ProfileAutoUpdateUrlIsFolder = readBool(nullptr, "ProfileAutoUpdateUrlIsFolder", true);
    s.KeepCredOnProfileUpdate = readBool(nullptr, "KeepCredOnProfileUpdate", false);
    s.ProcessForcedUdpFlowsOnly = readBool(nullptr, "ProcessForcedUdpFlowsOnly", false);
    s.InternalSubnetNumber = static_cast<uint8_t>(GetPrefInt(nullptr, nullptr, "InternalSubnetNumber", 0) & 0xFF);
    int64_t keepRunning = GetPrefInt(nullptr, nullptr, "KeepRunningOnClose", 0);
    s.KeepRunningOnClose = (keepRunning == 1 || keepRunning == 2) ? static_cast<int32_t>(keepRunning) : 0;
    s.MaxConnCount = GetPrefInt(nullptr, nullptr, "MaxConnCount", s.MaxConnCount);
    s.DebugConnList = readBool(nullptr, "DebugConnList", false);
    s.UseDataFilterInsteadOfDnsProxy = readBool(nullptr, "UseDataFilterInsteadOfDnsProxy", false);
    s.ExcludedUdpPorts = GetPrefString(nullptr, kSection, "ExcludedUdpPorts", "");
    s.ExcludedTcpPorts = GetPrefString(nullptr, kSection, "ExcludedTcpPorts", "");
}

bool SaveSettings(const CAppSettings& s)
{
    DefaultsStore& store = DefaultsStore::standard();
    CLog& log = GetLog();
    bool stored = true;
    {
        DefaultsStore::Batch batch(store);
        SetPrefInt(kSection, "LogLevelScreen", log.GetScreenLevel());
        SetPrefInt(kSection, "LogLevelFile", log.GetFileLevel());
        SetPrefInt(kSection, "ShowTrafficType", s.ShowTrafficType);
        SetPrefInt(kSection, "TrafficRefreshSpeed", s.TrafficRefreshSpeed);
        stored &= SetPrefString(kSection, "ActiveProfile", s.ActiveProfile.c_str());
        SetPrefInt(kSection, "ShowMainWindow", s.ShowMainWindow);
        SetPrefInt(nullptr, "UpdateCheck", s.UpdateCheck);
        SetPrefInt(nullptr, "ProfileAutoUpdate", s.ProfileAutoUpdate);
        stored &= SetPrefString(nullptr, "ProfileAutoUpdateUrl", s.ProfileAutoUpdateUrl.c_str());
        SetPrefInt(nullptr, "ProfileAutoUpdateUrlIsFolder", s.ProfileAutoUpdateUrlIsFolder);
        SetPrefInt(nullptr, "KeepCredOnProfileUpdate", s.KeepCredOnProfileUpdate);
        SetPrefInt(nullptr, "KeepRunningOnClose", s.KeepRunningOnClose);
        stored &= SetPrefString(kSection, "ExcludedUdpPorts", s.ExcludedUdpPorts.c_str());
        stored &= SetPrefString(kSection, "ExcludedTcpPorts", s.ExcludedTcpPorts.c_str());
    }
    return stored && store.lastWriteStatus().ok();
}

} // namespace corvantis
