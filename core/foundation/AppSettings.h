#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

// The program-wide settings, held by the core application object. LoadSettings fills it from the standard
// defaults and SaveSettings writes the user-editable part back. A plain value; whoever holds it guards it.
struct CAppSettings {
    std::string ActiveProfile;
    bool AppFlag = false; // belongs to the core application object; not stored
    bool TrafficLogEnabled = false; // the traffic dump switch; not stored
    int64_t ShowTrafficType = 0;
    int64_t TrafficRefreshSpeed = 1;
    bool ShowMainWindow = true;
    bool UpdateCheck = false;
    bool ProfileAutoUpdate = false;
    std::string ProfileAutoUpdateUrl;
    bool ProfileAutoUpdateUrlIsFolder = false;
    bool KeepCredOnProfileUpdate = false;
    bool ProcessForcedUdpFlowsOnly = false;
    uint8_t InternalSubnetNumber = 0;
    int32_t KeepRunningOnClose = 0; // 0, 1 or 2
    std::string ExcludedUdpPorts; // port lists as the user typed them
    std::string ExcludedTcpPorts;
    int64_t MaxConnCount = 1500;
    bool DebugConnList = false;
    bool UseDataFilterInsteadOfDnsProxy = false;
};

// Reads every setting from the standard defaults into `settings` and sets the process log's screen and file
// thresholds ("SettingsLogLevelScreen", default 2; "SettingsLogLevelFile", default 0), then (re)opens the log
// file. Missing keys give their defaults; "ActiveProfile" falls back from the "Settings" section to the key
// alone and then to "Default"; "InternalSubnetNumber" keeps the low byte of the stored number;
// "KeepRunningOnClose" keeps 1 and 2 and reads anything else as 0; "MaxConnCount" defaults to the record's
// current value. Run at start on the starting thread or the main thread.
void LoadSettings(CAppSettings& settings);

// Writes the user-editable settings to the standard defaults in one write: the two log thresholds of the
// process log, then ShowTrafficType, TrafficRefreshSpeed, ActiveProfile, ShowMainWindow (section "Settings"),
// UpdateCheck, ProfileAutoUpdate, ProfileAutoUpdateUrl, ProfileAutoUpdateUrlIsFolder,
// KeepCredOnProfileUpdate, KeepRunningOnClose (no section) and the two excluded-ports texts ("Settings").
// Other keys in the defaults are left as they are. Returns whether everything reached the disk (an active
// profile name that cannot be stored keeps the stored one and counts as a failure).
bool SaveSettings(const CAppSettings& settings);

} // namespace corvantis
