#pragma once

#include "platform/Mutex.h"
#include "platform/netext/NEAppProxyFlow.h"
#include "platform/netext/NetworkRules.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// One rule of a content filter: the traffic a network rule selects, and what the filter does with it.
struct NEFilterRule {
    enum class Action { Allow, Drop, FilterData };
    NENetworkRule networkRule;
    Action action = Action::Allow;
};

struct NEFilterSettings {
    std::vector<NEFilterRule> rules;
    NEFilterRule::Action defaultAction = NEFilterRule::Action::Allow;
};

// A flow a content filter sees, named by a UUID in its standard text form.
class NEFilterFlow {
public:
    NEFilterFlow();
    virtual ~NEFilterFlow() = default;
    const std::string& identifier() const { return m_identifier; }

private:
    const std::string m_identifier;
};

// A socket's flow with its two endpoints.
class NEFilterSocketFlow final : public NEFilterFlow {
public:
    NEFilterSocketFlow(NWEndpoint local, NWEndpoint remote)
        : m_local(std::move(local))
        , m_remote(std::move(remote))
    {
    }
    const NWEndpoint& localEndpoint() const { return m_local; }
    const NWEndpoint& remoteEndpoint() const { return m_remote; }

private:
    const NWEndpoint m_local;
    const NWEndpoint m_remote;
};

inline constexpr uint64_t kFilterPeekUnlimited = 0x7FFFFFFFFFFFFFFFull;

// What the filter says of a new flow: let it pass untouched, or show it the data (with how much it may peek).
struct NEFilterNewFlowVerdict {
    bool filterData = false;
    bool filterInbound = false;
    uint64_t peekInboundBytes = 0;
    bool filterOutbound = false;
    uint64_t peekOutboundBytes = 0;

    static NEFilterNewFlowVerdict allowVerdict() { return {}; }
    static NEFilterNewFlowVerdict filterDataVerdict(bool inbound, uint64_t peekIn, bool outbound, uint64_t peekOut)
    {
        return { true, inbound, peekIn, outbound, peekOut };
    }
    bool operator==(const NEFilterNewFlowVerdict&) const = default;
};

// What the filter says of a chunk of data: let the rest pass, or pass so many bytes and peek at so many more.
struct NEFilterDataVerdict {
    bool allow = false;
    uint64_t passBytes = 0;
    uint64_t peekBytes = 0;

    static NEFilterDataVerdict allowVerdict() { return { true, 0, 0 }; }
    static NEFilterDataVerdict dataVerdict(uint64_t pass, uint64_t peek) { return { false, pass, peek }; }
    bool operator==(const NEFilterDataVerdict&) const = default;
};

// The base of a content filter: the host starts and stops it and shows it the flows its settings select.
//
// Thread-safety: the host calls the handlers from its own threads; applySettings may be called from any thread.
class NEFilterDataProvider {
public:
    using Completion = std::function<void(std::optional<FlowError>)>;

    NEFilterDataProvider() = default;
    NEFilterDataProvider(const NEFilterDataProvider&) = delete;
    NEFilterDataProvider& operator=(const NEFilterDataProvider&) = delete;
    virtual ~NEFilterDataProvider() = default;

    virtual void startFilter(Completion completion) = 0;
    virtual void stopFilter(int reason, std::function<void()> completion) = 0;
    virtual NEFilterNewFlowVerdict handleNewFlow(const std::shared_ptr<NEFilterFlow>& flow) = 0;
    virtual NEFilterDataVerdict handleInboundData(
        const std::shared_ptr<NEFilterFlow>& flow, uint64_t offset, const std::vector<uint8_t>& bytes)
        = 0;
    virtual NEFilterDataVerdict handleOutboundData(
        const std::shared_ptr<NEFilterFlow>& flow, uint64_t offset, const std::vector<uint8_t>& bytes)
        = 0;
    virtual NEFilterDataVerdict handleInboundDataComplete(const std::shared_ptr<NEFilterFlow>& flow) = 0;
    virtual NEFilterDataVerdict handleOutboundDataComplete(const std::shared_ptr<NEFilterFlow>& flow) = 0;

    // Applies the filter's settings; `completion` gets the system's error.
    void applySettings(std::optional<NEFilterSettings> settings, Completion completion);

    // The host's side: what the system does with the settings (the error when it refuses them; empty: accept).
    void setSettingsSink(std::function<std::optional<FlowError>(const std::optional<NEFilterSettings>&)> sink);
    std::optional<NEFilterSettings> appliedSettings() const;

private:
    mutable Mutex m_mutex;
    std::function<std::optional<FlowError>(const std::optional<NEFilterSettings>&)> m_sink GUARDED_BY(m_mutex);
    std::optional<NEFilterSettings> m_applied GUARDED_BY(m_mutex);
};

} // namespace corvantis
