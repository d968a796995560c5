#pragma once

#include "platform/DispatchQueue.h"
#include "platform/netext/NEAppProxyFlow.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace corvantis {

class NEAppProxyUDPFlow;
using NEAppProxyUDPFlowPtr = std::shared_ptr<NEAppProxyUDPFlow>;

// One datagram and the endpoint it went to (read from the application) or comes from (written to it).
struct FlowDatagram {
    std::vector<uint8_t> data;
    NWEndpoint endpoint;
};

// The UDP traffic of one application socket, as the flow code sees it: the datagrams the application sends,
// each with the endpoint it was sent to, and the replies the flow code writes, each as sent by an endpoint.
// The flow's source feeds it (deliver, deliverEnd) and takes the replies through its sink.
//
// Operations complete once, later, on the flow's own serial queue. A read gives every datagram waiting (at
// least one; it waits for the first), an empty batch once the application is gone, or an error; one read at a
// time. The sink is called on the flow's queue, in the order of the writes.
//
// Thread-safety: every member may be called from any thread.
class NEAppProxyUDPFlow final : public NEAppProxyFlow, public std::enable_shared_from_this<NEAppProxyUDPFlow> {
    struct PrivateTag { };

public:
    using ReadCompletion = std::function<void(std::optional<std::vector<FlowDatagram>>, std::optional<FlowError>)>;
    using ReplySink = std::function<void(const FlowDatagram& reply)>;

    // How the flow code ended the flow, for its source.
    struct CloseState {
        bool readClosed = false;
        bool writeClosed = false;
        std::optional<FlowError> error; // the first error given to a close
    };

    static NEAppProxyUDPFlowPtr create(
        std::optional<std::string> remoteHostname, FlowMetaData metaData, ReplySink sink);
    NEAppProxyUDPFlow(PrivateTag, std::optional<std::string> remoteHostname, FlowMetaData metaData, ReplySink sink);

    void openWithLocalEndpoint(Completion completion) override;
    void readDatagramsWithCompletionHandler(ReadCompletion completion);
    void writeDatagrams(std::vector<FlowDatagram> datagrams, Completion completion);
    void closeReadWithError(std::optional<FlowError> error) override;
    void closeWriteWithError(std::optional<FlowError> error) override;

    // The source's side: the application sent a datagram; the application is gone.
    void deliver(FlowDatagram datagram);
    void deliverEnd();

    bool isOpened() const;
    CloseState closeState() const;

private:
    void completeRead();
    void noteClose(const std::optional<FlowError>& error);

    const DispatchQueuePtr m_queue;
    const ReplySink m_sink;
    // State of the queue's blocks only; the two readers above sync onto the queue.
    bool m_opened = false;
    bool m_ended = false;
    std::deque<FlowDatagram> m_incoming;
    ReadCompletion m_readCompletion;
    CloseState m_closeState;
};

} // namespace corvantis
