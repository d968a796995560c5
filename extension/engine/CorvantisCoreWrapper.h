#pragma once

#include "platform/NotificationCenter.h"
#include "platform/PlistValue.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

class CCorvantisAppProxy;

// The engine's face towards the extension's providers, worker and IPC service: starts the engine once, applies
// the settings and the profile the application sends, answers the hello, hands out what the application polls
// (log lines, connection list, loop-detection names, statistics text, traffic samples), writes log lines for
// the other layers and reports the settings the providers need.
//
// The static members work on the extension's one object (GetAppProxy, which must be `theApp`); the instance
// members belong to the worker's facade object.
//
// Thread-safety: every member may be called from any thread; they rely on the locking of the extension's object
// and of the log. An instance's initInstance calls are serialised by the worker.
class CorvantisCoreWrapper final {
public:
    // First byte of the placeholder IPv6 subnet fd00:5a17::.
    static constexpr uint8_t kIpv6FakePrefix[4] = { 0xfd, 0x00, 0x5a, 0x17 };

    CorvantisCoreWrapper() = default;
    // Stops listening for "MessageBox".
    ~CorvantisCoreWrapper();
    CorvantisCoreWrapper(const CorvantisCoreWrapper&) = delete;
    CorvantisCoreWrapper& operator=(const CorvantisCoreWrapper&) = delete;

    // ---- Version and hello ----
    static std::string getFullVersionString();
    // Marks the hello as requested (the providers wait for it), then the version.
    static std::string versionForHello();
    static bool isHelloRequested();

    // ---- Start ----

    // Reloads the settings; starts the engine on the first call (the extension's object, the placeholder
    // subnets, the "MessageBox" observer). YES when the engine runs with a loaded profile. A start that failed is
    // remembered: later calls try the start again and answer NO until a start succeeds or a settings update has
    // applied a profile.
    bool initInstance();
    bool isInitialised() const { return m_isInititialised.load(); }
    // The extension never shows message boxes: the request is answered with 0.
    void MessageBoxNotifyReceived(const Notification& notification);

    // ---- Settings the providers read ----
    bool getProcessForcedUdpFlowsOnly() const;
    int getInternalSubnetNumber() const;
    std::string getExcludedUdpPorts() const;
    std::string getExcludedTcpPorts() const;
    bool getBlockUdp443() const;
    // The placeholder IPv6 address with index 1, as text.
    static std::string getIpv6FakeSubnet();

    // ---- Settings from the application ----

    // Stores every entry of `settings` (when given) in the extension's defaults, with "ActiveProfile" set to
    // "Default", reopens the log file, reloads the settings and applies the profile text. An empty text on
    // success (then the placeholder subnets and the connection limit follow the settings, and the profile's DNS
    // mode is applied); the error text otherwise, with the previous profile still in force.
    // The traffic-dump switch comes from the entry "TrafficDump" (non-zero: on; absent, or no settings at all:
    // off) and is not stored, so a start of the extension never turns the dumps on by itself.
    static std::string settingsUpdateNotification(const std::optional<PlistDict>& settings, const std::string& profile);

    // ---- What the application polls ----
    static std::string getLogMessages();
    // Each listed connection's line, oldest first.
    static std::string getConnections();
    static std::optional<std::string> getLoopDetectinHistoryElement();
    static std::string getStatText();
    // The traffic graph's two series (sent, received) as the raw bytes of their 64-bit values.
    static void getTrafficDataUp(std::vector<uint8_t>& up, std::vector<uint8_t>& down);

    // ---- Services for the other layers ----
    static void putLog(bool error, bool verbose, const std::string& message);
    // The process's name: its command name, or, when that is empty or may have been cut (15 characters or
    // more), the file name of its first argument. Empty when neither can be read. A process that shows no
    // arguments (one met while it starts, before its new program's name and arguments are in place) is asked
    // again for a few milliseconds.
    static std::string getProcessNameForPid(pid_t pid);
    static void incTestWriteCounter(uint64_t count);

    // The placeholder subnets as the settings give them: "<InternalSubnetNumber>.0.0.0"/8 and fd00:5a17::.
    static void applyAddressRange(int internalSubnetNumber);

    // For tests: forgets the hello and whether a profile was applied.
    static void resetForTests();

private:
    // Read from any thread (isInitialised); written by initInstance.
    std::atomic<bool> m_isInititialised { false };
    std::atomic<bool> m_startFailed { false };
    NotificationCenter::ObserverId m_observer = 0;
};

} // namespace corvantis
