#pragma once

#include "platform/DispatchQueue.h"
#include "platform/DispatchSource.h"
#include "platform/UniqueFd.h"
#include "platform/netext/NEAppProxyFlow.h"

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <vector>

namespace corvantis {

class NEAppProxyTCPFlow;
using NEAppProxyTCPFlowPtr = std::shared_ptr<NEAppProxyTCPFlow>;

// One TCP connection of another application, held by the flow layer as the flow end of a connected socket (the
// application holds the other end). The flow code reads what the application sends and writes what it should
// receive; nothing passes before the flow is opened.
//
// Every operation returns at once and completes once, later, on the flow's own serial queue (a dispatch queue:
// it borrows a pool thread only while it has work, so idle flows cost no thread). Opening and closing run on the
// calling thread instead, before they return, when the flow's queue is idle (DispatchQueue::asyncInline): a
// flow's start and end then cost no hand-over to another thread. A read waits until the
// application sends something and then gives what is there (at most kReadSize bytes), empty data once the
// application ended its sending side, or an error; one read at a time. A write completes once every byte is in
// the socket's buffer towards the application, so a slow reader slows the writer down; writes complete in order.
// While a flow waits, it holds no data buffer.
//
// Closing: closeWriteWithError without an error sends the application an orderly end after the pending writes;
// with an error it resets the connection at once (pending writes fail). The flow's socket is closed once both
// directions are closed, or when the last reference to the flow goes: a flow dropped without a close resets the
// application's connection.
//
// Thread-safety: every member may be called from any thread.
class NEAppProxyTCPFlow final : public NEAppProxyFlow, public std::enable_shared_from_this<NEAppProxyTCPFlow> {
    struct PrivateTag { };

public:
    static constexpr std::size_t kReadSize = 65536;

    using ReadCompletion = std::function<void(std::optional<std::vector<uint8_t>> data, std::optional<FlowError>)>;

    // A flow over `socket` (a connected stream socket; made non-blocking here).
    static NEAppProxyTCPFlowPtr create(
        UniqueFd socket, NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData);
    NEAppProxyTCPFlow(PrivateTag, UniqueFd socket, NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname,
        FlowMetaData metaData);
    ~NEAppProxyTCPFlow() override;

    void openWithLocalEndpoint(Completion completion) override;
    // A read while another is pending fails at once (with EBUSY).
    void readDataWithCompletionHandler(ReadCompletion completion);
    void writeData(std::vector<uint8_t> data, Completion completion);
    void closeReadWithError(std::optional<FlowError> error) override;
    void closeWriteWithError(std::optional<FlowError> error) override;

    // The socket's descriptor, lent to a caller that moves the flow's bytes itself (splice) from now on and makes
    // no more reads or writes through the flow; -1 unless the flow is open, nothing is pending and neither
    // direction is closed. The flow still owns the socket and closes it as ever, so the caller stops using it
    // before it closes the flow.
    int lendSocket();

    // The source's side: gives back the socket of a flow the flow code never opened nor closed (it declined the
    // flow), so that the source can carry the connection itself; nothing otherwise.
    UniqueFd takeUnusedSocket();

private:
    struct PendingWrite {
        std::vector<uint8_t> data;
        std::size_t offset = 0;
        Completion completion;
    };

    // All below run on m_queue.
    void tryRead();
    void trySend();
    void armRead();
    void armWrite();
    void retire(DispatchSourcePtr source);
    void failPending(const FlowError& error);
    void resetNow();
    void closeSocketWhenDone();

    const DispatchQueuePtr m_queue;
    // State of the queue's blocks only.
    UniqueFd m_socket;
    bool m_opened = false;
    bool m_readClosed = false;
    bool m_writeClosed = false; // closeWrite was asked for
    bool m_finSent = false;
    bool m_reset = false;
    ReadCompletion m_readCompletion;
    // A list rather than a deque: an empty deque still holds a 512-byte block, which every held connection would
    // pay for while it waits; a list holds nothing until a write is pending.
    std::list<PendingWrite> m_writes;
    DispatchSourcePtr m_readSource;
    DispatchSourcePtr m_writeSource;
};

} // namespace corvantis
