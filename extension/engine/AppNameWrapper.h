#pragma once

#include "core/foundation/LogContext.h"

#include <cstdint>
#include <string>

namespace corvantis {

// The identity of the application that owns a flow, as the flow code found it, carried into the engine. The
// engine turns it into the identity record that rules match against and that every log line about the
// connection shows (getName).
//
// On Linux there is no code-signing identity: the flow code puts the executable's file name (ExecutableName of
// the process's executable path) where the signing identifier goes, `m_revDns`.
//
// Immutable after construction, so one wrapper may be shared and read by any number of threads.
class AppNameWrapper final : public AppNameSource {
public:
    // Holds the five texts and the process id (a 32-bit value, kept widened).
    AppNameWrapper(std::string revDns, std::string bsdName, std::string packetName, std::string packetShortName,
        std::string fullPath, int32_t pid);
    AppNameWrapper(const AppNameWrapper&) = default;
    AppNameWrapper& operator=(const AppNameWrapper&) = delete;
    ~AppNameWrapper() override = default;

    // A record with the five texts, the process id and a display name: the best name (short package name, else
    // package name, else process name), ", " and the signing identifier when both are set; whichever of the two
    // is set when only one is (also when both are the same text, as happens when the executable's name stands in
    // for the identifier); "<unknown>" when neither is.
    CLogContext getName() const override;

    const std::string& revDns() const { return m_revDns; }
    const std::string& bsdName() const { return m_bsdName; }
    const std::string& packetName() const { return m_packetName; }
    const std::string& packetShortName() const { return m_packetShortName; }
    const std::string& fullPath() const { return m_fullPath; }
    int64_t pid() const { return m_pid; }

    // The stand-in for the signing identifier: the file name of an executable path (the text after the last
    // "/"), without the " (deleted)" mark the kernel appends once the file was replaced, so that an application
    // keeps its identity across an update of its package. Empty for an empty path or one ending in "/".
    static std::string ExecutableName(const std::string& fullPath);

private:
    const std::string m_revDns;
    const std::string m_bsdName;
    const std::string m_packetName;
    const std::string m_packetShortName;
    const std::string m_fullPath;
    const int64_t m_pid;
};

} // namespace corvantis
