#pragma once

#include "platform/DispatchQueue.h"
#include "platform/netext/NEAppProxyFlow.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace corvantis {

// The flows the extension carries, one registry per kind: a processor is kept under a fresh id from the moment
// the engine took its flow until the first removeFlow for that id, which is also what makes a flow close once
// however many paths report its end. The registry's entry is what keeps the processor alive between the events
// of its flow.
//
// `Processor` has close(std::optional<FlowError>), which only schedules work on the processor's own queues.
//
// Thread-safety: every member may be called from any thread, but never from a block of the registry's own
// queue (they run their work synchronously on it).
template <typename Processor> class FlowsManager {
public:
    // `processorName` names the queue: "FlowManager." + processorName.
    explicit FlowsManager(const std::string& processorName)
        : m_queue(DispatchQueue::create("FlowManager." + processorName))
    {
    }
    FlowsManager(const FlowsManager&) = delete;
    FlowsManager& operator=(const FlowsManager&) = delete;
    virtual ~FlowsManager() = default;

    // Registers `processor`; its id, never handed out before (the first is 1).
    uint64_t addFlow(std::shared_ptr<Processor> processor)
    {
        uint64_t id = 0;
        m_queue->sync([&] {
            id = m_idCounter++;
            m_flows.emplace(id, std::move(processor));
        });
        return id;
    }

    // True when `id` was registered and is now removed; false for an id removed before or never registered.
    bool removeFlow(uint64_t id)
    {
        bool removed = false;
        std::shared_ptr<Processor> processor;
        m_queue->sync([&] {
            const auto it = m_flows.find(id);
            if (it == m_flows.end())
                return;
            processor = std::move(it->second);
            m_flows.erase(it);
            removed = true;
        });
        // The processor may go with this reference: release it off the queue.
        processor.reset();
        return removed;
    }

    // Asks every registered processor to close without an error (the worker's stop).
    void closeAllFlows()
    {
        m_queue->sync([&] {
            for (auto& [id, processor] : m_flows)
                processor->close(std::nullopt);
        });
    }

    // The registered processors for which `match` holds; `match` runs on the registry's queue and must not call
    // the registry.
    std::size_t countFlows(const std::function<bool(const Processor&)>& match) const
    {
        std::size_t count = 0;
        m_queue->sync([&] {
            for (const auto& [id, processor] : m_flows)
                count += match(*processor) ? 1 : 0;
        });
        return count;
    }

    std::size_t flowCount() const
    {
        std::size_t count = 0;
        m_queue->sync([&] { count = m_flows.size(); });
        return count;
    }

    // The placeholder DNS server's address ("N.0.0.1"), which the worker sets when the engine comes up.
    void setDnsFakeIp(std::string address)
    {
        m_queue->sync([&] { m_dnsFakeIp = std::move(address); });
    }
    std::string dnsFakeIp() const
    {
        std::string address;
        m_queue->sync([&] { address = m_dnsFakeIp; });
        return address;
    }

private:
    const DispatchQueuePtr m_queue;
    // State of the queue's blocks only.
    uint64_t m_idCounter = 1;
    std::map<uint64_t, std::shared_ptr<Processor>> m_flows;
    std::string m_dnsFakeIp;
};

} // namespace corvantis
