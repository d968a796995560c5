#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvantis {

// An error as the flow layer reports it: a domain, a code and a text for log lines.
struct FlowError {
    std::string domain;
    int64_t code = 0;
    std::string description;
};

inline constexpr const char* kNEAppProxyFlowErrorDomain = "NEAppProxyFlowErrorDomain";
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

// The codes of the flow layer's own errors that the flow code sends.
enum NEAppProxyFlowErrorCode : int64_t {
    kNEAppProxyFlowErrorPeerReset = 2, // the connection is reset
    kNEAppProxyFlowErrorHostUnreachable = 3,
    kNEAppProxyFlowErrorAborted = 5,
};

// A flow error of `code`, with a text naming it.
FlowError NEAppProxyFlowError(int64_t code);
// The error of a failed system call.
FlowError PosixFlowError(int err);
// "nil" without an error, else the error's domain, code and text, for log lines.
std::string FlowErrorText(const std::optional<FlowError>& error);

// Where a flow goes: a host (name or address text) and a port (decimal text), or another kind of endpoint that
// carries neither (the flow code treats it as no endpoint).
struct NWEndpoint {
    bool isHost = false;
    std::string hostname;
    std::string port;

    static NWEndpoint Host(std::string hostname, std::string port)
    {
        return { true, std::move(hostname), std::move(port) };
    }
    static NWEndpoint Other() { return {}; }
    bool operator==(const NWEndpoint&) const = default;
    // "host:port", an IPv6 host in brackets ("[::1]:53"); "" for another kind of endpoint.
    std::string description() const;
};

// Who opened a flow: the application's identifier (its executable's name) and the 32-byte audit token
// (AuditToken.h); either may be missing. A source that read the executable's path while it identified the
// process gives it too, so that the flow code need not read it again; empty otherwise.
struct FlowMetaData {
    // Not explicit: a flow is given its metadata as a braced list, whose trailing fields may be left out.
    FlowMetaData(
        std::string identifier = {}, std::optional<std::vector<uint8_t>> auditToken = {}, std::string codePath = {})
        : sourceAppSigningIdentifier(std::move(identifier))
        , sourceAppAuditToken(std::move(auditToken))
        , sourceAppCodePath(std::move(codePath))
    {
    }

    std::string sourceAppSigningIdentifier;
    std::optional<std::vector<uint8_t>> sourceAppAuditToken;
    std::string sourceAppCodePath;
};

// What the TCP and UDP flows share: where the flow goes, who opened it, and a number unique in the process.
class NEAppProxyFlow {
public:
    using Completion = std::function<void(std::optional<FlowError>)>;

    NEAppProxyFlow(const NEAppProxyFlow&) = delete;
    NEAppProxyFlow& operator=(const NEAppProxyFlow&) = delete;
    virtual ~NEAppProxyFlow() = default;

    const NWEndpoint& remoteEndpoint() const { return m_remoteEndpoint; }
    // The host name the application asked for, when the source knows one.
    const std::optional<std::string>& remoteHostname() const { return m_remoteHostname; }
    const FlowMetaData& metaData() const { return m_metaData; }
    uint64_t hash() const { return m_hash; }

    // Opens the flow (no local endpoint is ever given); `completion` runs once, later, on the flow's queue.
    virtual void openWithLocalEndpoint(Completion completion) = 0;
    // Ends the direction towards the flow code (reads end) or towards the application (writes end). With an
    // error the application's connection is reset; without one it sees an orderly end.
    virtual void closeReadWithError(std::optional<FlowError> error) = 0;
    virtual void closeWriteWithError(std::optional<FlowError> error) = 0;

protected:
    NEAppProxyFlow(NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData);

private:
    const NWEndpoint m_remoteEndpoint;
    const std::optional<std::string> m_remoteHostname;
    const FlowMetaData m_metaData;
    const uint64_t m_hash;
};

} // namespace corvantis
