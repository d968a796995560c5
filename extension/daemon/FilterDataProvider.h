#pragma once

#include "platform/Mutex.h"
#include "platform/netext/NEFilterDataProvider.h"

#include <map>
#include <set>
#include <string>
#include <utility>

namespace corvantis {

// The extension's content filter: it lets every flow pass, peeks at UDP flows to port 53 and shows the engine
// the DNS answers that arrive on them, so that the engine learns which addresses belong to which names. Only an
// answer whose id and question match a query seen going out on the same flow is shown: anyone else on the
// network could otherwise plant names that host rules trust.
//
// Thread-safety: the handlers may run on any threads at once; the queries seen are kept under a lock.
class FilterDataProvider final : public NEFilterDataProvider {
public:
    // The filter's settings: peek at outbound UDP and at loopback UDP, leave the usual local-service ports alone.
    static NEFilterSettings makeSettings();

    void startFilter(Completion completion) override;
    void stopFilter(int reason, std::function<void()> completion) override;
    NEFilterNewFlowVerdict handleNewFlow(const std::shared_ptr<NEFilterFlow>& flow) override;
    NEFilterDataVerdict handleInboundData(
        const std::shared_ptr<NEFilterFlow>& flow, uint64_t offset, const std::vector<uint8_t>& bytes) override;
    NEFilterDataVerdict handleOutboundData(
        const std::shared_ptr<NEFilterFlow>& flow, uint64_t offset, const std::vector<uint8_t>& bytes) override;
    NEFilterDataVerdict handleInboundDataComplete(const std::shared_ptr<NEFilterFlow>& flow) override;
    NEFilterDataVerdict handleOutboundDataComplete(const std::shared_ptr<NEFilterFlow>& flow) override;

private:
    Mutex m_mutex;
    // Per flow identifier: the id and lower-case name of each query seen going out, not yet answered.
    std::map<std::string, std::set<std::pair<uint16_t, std::string>>> m_queries GUARDED_BY(m_mutex);
};

} // namespace corvantis
