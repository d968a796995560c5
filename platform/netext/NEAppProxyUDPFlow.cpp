#include "platform/netext/NEAppProxyUDPFlow.h"

#include <cerrno>

namespace corvantis {

NEAppProxyUDPFlowPtr NEAppProxyUDPFlow::create(
    std::optional<std::string> remoteHostname, FlowMetaData metaData, ReplySink sink)
{
    return std::make_shared<NEAppProxyUDPFlow>(
        PrivateTag {}, std::move(remoteHostname), std::move(metaData), std::move(sink));
}

NEAppProxyUDPFlow::NEAppProxyUDPFlow(
    PrivateTag, std::optional<std::string> remoteHostname, FlowMetaData metaData, ReplySink sink)
    : NEAppProxyFlow(NWEndpoint::Other(), std::move(remoteHostname), std::move(metaData))
    , m_queue(DispatchQueue::create("udp flow " + std::to_string(hash())))
    , m_sink(std::move(sink))
{
}

void NEAppProxyUDPFlow::openWithLocalEndpoint(Completion completion)
{
    m_queue->async([self = shared_from_this(), completion = std::move(completion)] {
        if (self->m_closeState.readClosed && self->m_closeState.writeClosed) {
            completion(PosixFlowError(ENOTCONN));
            return;
        }
        self->m_opened = true;
        completion(std::nullopt);
    });
}

void NEAppProxyUDPFlow::readDatagramsWithCompletionHandler(ReadCompletion completion)
{
    m_queue->async([self = shared_from_this(), completion = std::move(completion)]() mutable {
        if (self->m_readCompletion) {
            completion(std::nullopt, PosixFlowError(EBUSY));
            return;
        }
        if (self->m_closeState.readClosed) {
            completion(std::nullopt, PosixFlowError(ENOTCONN));
            return;
        }
        self->m_readCompletion = std::move(completion);
        self->completeRead();
    });
}

void NEAppProxyUDPFlow::completeRead()
{
    if (!m_readCompletion || (m_incoming.empty() && !m_ended))
        return;
    std::vector<FlowDatagram> batch(
        std::make_move_iterator(m_incoming.begin()), std::make_move_iterator(m_incoming.end()));
    m_incoming.clear();
    auto completion = std::move(m_readCompletion);
    m_readCompletion = nullptr;
    completion(std::move(batch), std::nullopt);
}

void NEAppProxyUDPFlow::writeDatagrams(std::vector<FlowDatagram> datagrams, Completion completion)
{
    m_queue->async([self = shared_from_this(), datagrams = std::move(datagrams), completion = std::move(completion)] {
        if (self->m_closeState.writeClosed) {
            completion(PosixFlowError(EPIPE));
            return;
        }
        if (self->m_sink) {
            for (const FlowDatagram& datagram : datagrams)
                self->m_sink(datagram);
        }
        completion(std::nullopt);
    });
}

void NEAppProxyUDPFlow::noteClose(const std::optional<FlowError>& error)
{
    if (error && !m_closeState.error)
        m_closeState.error = error;
}

void NEAppProxyUDPFlow::closeReadWithError(std::optional<FlowError> error)
{
    m_queue->async([self = shared_from_this(), error = std::move(error)] {
        self->noteClose(error);
        self->m_closeState.readClosed = true;
        self->m_incoming.clear();
        if (auto completion = std::move(self->m_readCompletion)) {
            self->m_readCompletion = nullptr;
            completion(std::nullopt, NEAppProxyFlowError(kNEAppProxyFlowErrorAborted));
        }
    });
}

void NEAppProxyUDPFlow::closeWriteWithError(std::optional<FlowError> error)
{
    m_queue->async([self = shared_from_this(), error = std::move(error)] {
        self->noteClose(error);
        self->m_closeState.writeClosed = true;
    });
}

void NEAppProxyUDPFlow::deliver(FlowDatagram datagram)
{
    m_queue->async([self = shared_from_this(), datagram = std::move(datagram)]() mutable {
        if (self->m_closeState.readClosed || self->m_ended)
            return;
        self->m_incoming.push_back(std::move(datagram));
        self->completeRead();
    });
}

void NEAppProxyUDPFlow::deliverEnd()
{
    m_queue->async([self = shared_from_this()] {
        self->m_ended = true;
        self->completeRead();
    });
}

bool NEAppProxyUDPFlow::isOpened() const
{
    bool opened = false;
    m_queue->sync([&] { opened = m_opened; });
    return opened;
}

NEAppProxyUDPFlow::CloseState NEAppProxyUDPFlow::closeState() const
{
    CloseState state;
    m_queue->sync([&] { state = m_closeState; });
    return state;
}

} // namespace corvantis
