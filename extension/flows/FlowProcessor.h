#pragma once

#include "extension/engine/AppNameWrapper.h"
#include "platform/netext/NEAppProxyFlow.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace corvantis {

// What every flow processor knows of its flow: when it was taken up and which application opened it. The
// identity comes from the flow's metadata (signing identifier and audit token) and ends in an AppNameWrapper,
// which the engine uses for rule matching and for the connection list, log and statistics.
//
// The identity's texts are kept once, in the AppNameWrapper, and read from it: a held connection need not
// carry them twice.
//
// Immutable after construction: the fields are set once, on the thread that creates the processor, and then
// only read, from any of the processor's queues.
class FlowProcessor {
public:
    FlowProcessor(const FlowProcessor&) = delete;
    FlowProcessor& operator=(const FlowProcessor&) = delete;
    virtual ~FlowProcessor() = default;

    std::chrono::steady_clock::time_point creationTime() const { return m_creationTime; }
    const std::string& appIdentifier() const { return m_appNameWrapper->revDns(); }
    int32_t pid() const { return m_pid; }
    uint32_t uid() const { return m_uid; }
    const std::string& bsdName() const { return m_appNameWrapper->bsdName(); }
    const std::string& codePath() const { return m_appNameWrapper->fullPath(); }
    const std::string& bundleName() const { return m_appNameWrapper->packetName(); }
    const std::string& bundleShortName() const { return m_appNameWrapper->packetShortName(); }
    const std::shared_ptr<const AppNameWrapper>& appNameWrapper() const { return m_appNameWrapper; }

protected:
    // Reads the identity from `metaData`. Without a valid audit token (exactly 32 bytes) the pid is -1, the
    // audit user id 4294967295 and the names empty; with one, the process name, and the code's path and names:
    // the path the metadata gives, else the one read while that process still runs.
    explicit FlowProcessor(const FlowMetaData& metaData);

    const std::chrono::steady_clock::time_point m_creationTime;
    int32_t m_pid = -1;
    uint32_t m_uid = 0xFFFFFFFFu;
    // Never null: the identifier, the process name, the code's path and names, and the pid.
    std::shared_ptr<const AppNameWrapper> m_appNameWrapper;
};

} // namespace corvantis
