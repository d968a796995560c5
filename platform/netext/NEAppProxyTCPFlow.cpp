#include "platform/netext/NEAppProxyTCPFlow.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>

namespace corvantis {

namespace {

void resetOnClose(int fd)
{
    const linger abort { 1, 0 };
    (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

} // namespace

NEAppProxyTCPFlowPtr NEAppProxyTCPFlow::create(
    UniqueFd socket, NWEndpoint remoteEndpoint, std::optional<std::string> remoteHostname, FlowMetaData metaData)
{
    if (socket) {
        const int flags = ::fcntl(socket.get(), F_GETFL);
        if (flags >= 0)
            (void)::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK);
    }
    return std::make_shared<NEAppProxyTCPFlow>(
        PrivateTag {}, std::move(socket), std::move(remoteEndpoint), std::move(remoteHostname), std::move(metaData));
}

NEAppProxyTCPFlow::NEAppProxyTCPFlow(PrivateTag, UniqueFd socket, NWEndpoint remoteEndpoint,
    std::optional<std::string> remoteHostname, FlowMetaData metaData)
    : NEAppProxyFlow(std::move(remoteEndpoint), std::move(remoteHostname), std::move(metaData))
    , m_queue(DispatchQueue::create("flow " + std::to_string(hash())))
    , m_socket(std::move(socket))
{
}

NEAppProxyTCPFlow::~NEAppProxyTCPFlow()
{
    // No block of the queue holds the flow any more, so the state is this thread's. Cancel before the close:
    // the sources must never see the descriptor number once it is free for reuse.
    if (m_readSource)
        m_readSource->cancel();
    if (m_writeSource)
        m_writeSource->cancel();
    if (m_socket && !m_finSent)
        resetOnClose(m_socket.get());
}

void NEAppProxyTCPFlow::openWithLocalEndpoint(Completion completion)
{
    m_queue->asyncInline([self = shared_from_this(), completion = std::move(completion)] {
        if (self->m_reset || !self->m_socket) {
            completion(PosixFlowError(ENOTCONN));
            return;
        }
        self->m_opened = true;
        completion(std::nullopt);
    });
}

void NEAppProxyTCPFlow::readDataWithCompletionHandler(ReadCompletion completion)
{
    m_queue->async([self = shared_from_this(), completion = std::move(completion)]() mutable {
        if (self->m_readCompletion) {
            completion(std::nullopt, PosixFlowError(EBUSY));
            return;
        }
        if (self->m_readClosed || self->m_reset || !self->m_socket) {
            completion(std::nullopt, PosixFlowError(ENOTCONN));
            return;
        }
        self->m_readCompletion = std::move(completion);
        self->tryRead();
    });
}

void NEAppProxyTCPFlow::tryRead()
{
    if (!m_readCompletion)
        return;
    // One receive buffer per pool thread: a waiting flow holds none, and a chunk costs one allocation of its
    // own size. Not zero-filled, so its pages become resident only as data comes: a thread that has only met
    // flows with nothing to read costs nothing for it.
    thread_local const std::unique_ptr<uint8_t[]> buffer = std::make_unique_for_overwrite<uint8_t[]>(kReadSize);
    for (;;) {
        const ssize_t n = ::recv(m_socket.get(), buffer.get(), kReadSize, MSG_DONTWAIT);
        if (n >= 0) {
            std::vector<uint8_t> chunk(buffer.get(), buffer.get() + n);
            auto completion = std::move(m_readCompletion);
            m_readCompletion = nullptr;
            completion(std::move(chunk), std::nullopt);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            armRead();
            return;
        }
        const int err = errno;
        auto completion = std::move(m_readCompletion);
        m_readCompletion = nullptr;
        completion(std::nullopt, PosixFlowError(err));
        return;
    }
}

void NEAppProxyTCPFlow::armRead()
{
    if (m_readSource)
        return;
    std::weak_ptr<NEAppProxyTCPFlow> weak = weak_from_this();
    m_readSource = DispatchSource::create(DispatchSource::Kind::Read, m_socket.get(), m_queue, [weak] {
        if (const auto self = weak.lock()) {
            self->retire(std::move(self->m_readSource));
            self->tryRead();
        }
    });
    if (const Status status = m_readSource->resume(); !status.ok()) {
        retire(std::move(m_readSource));
        auto completion = std::move(m_readCompletion);
        m_readCompletion = nullptr;
        if (completion)
            completion(std::nullopt, PosixFlowError(status.errnum()));
    }
}

void NEAppProxyTCPFlow::writeData(std::vector<uint8_t> data, Completion completion)
{
    m_queue->async([self = shared_from_this(), data = std::move(data), completion = std::move(completion)]() mutable {
        if (self->m_reset || self->m_writeClosed || !self->m_socket) {
            completion(PosixFlowError(EPIPE));
            return;
        }
        self->m_writes.push_back({ std::move(data), 0, std::move(completion) });
        if (self->m_writes.size() == 1)
            self->trySend();
    });
}

void NEAppProxyTCPFlow::trySend()
{
    while (!m_writes.empty()) {
        PendingWrite& write = m_writes.front();
        if (write.offset < write.data.size()) {
            const ssize_t n = ::send(m_socket.get(), write.data.data() + write.offset, write.data.size() - write.offset,
                MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    armWrite();
                    return;
                }
                failPending(PosixFlowError(errno));
                return;
            }
            write.offset += static_cast<std::size_t>(n);
            if (write.offset < write.data.size())
                continue;
        }
        Completion completion = std::move(write.completion);
        m_writes.pop_front();
        completion(std::nullopt);
    }
    retire(std::move(m_writeSource));
    if (m_writeClosed && !m_finSent && m_socket) {
        (void)::shutdown(m_socket.get(), SHUT_WR);
        m_finSent = true;
        closeSocketWhenDone();
    }
}

void NEAppProxyTCPFlow::armWrite()
{
    if (m_writeSource)
        return;
    std::weak_ptr<NEAppProxyTCPFlow> weak = weak_from_this();
    m_writeSource = DispatchSource::create(DispatchSource::Kind::Write, m_socket.get(), m_queue, [weak] {
        if (const auto self = weak.lock()) {
            self->retire(std::move(self->m_writeSource));
            self->trySend();
        }
    });
    if (const Status status = m_writeSource->resume(); !status.ok()) {
        retire(std::move(m_writeSource));
        failPending(PosixFlowError(status.errnum()));
    }
}

void NEAppProxyTCPFlow::retire(DispatchSourcePtr source)
{
    if (!source)
        return;
    // Cancelled now, so it never fires again; destroyed by a later block, as this may be its own handler.
    source->cancel();
    m_queue->async([retired = std::shared_ptr<DispatchSource>(std::move(source))] {});
}

void NEAppProxyTCPFlow::failPending(const FlowError& error)
{
    std::list<PendingWrite> writes;
    writes.swap(m_writes);
    retire(std::move(m_writeSource));
    for (PendingWrite& write : writes)
        write.completion(error);
}

void NEAppProxyTCPFlow::closeWriteWithError(std::optional<FlowError> error)
{
    m_queue->asyncInline([self = shared_from_this(), error = std::move(error)] {
        if (error) {
            self->resetNow();
            return;
        }
        if (self->m_writeClosed)
            return;
        self->m_writeClosed = true;
        if (self->m_writes.empty())
            self->trySend();
    });
}

void NEAppProxyTCPFlow::closeReadWithError(std::optional<FlowError> error)
{
    m_queue->asyncInline([self = shared_from_this(), error = std::move(error)] {
        if (error) {
            self->resetNow();
            return;
        }
        if (self->m_readClosed)
            return;
        self->m_readClosed = true;
        self->retire(std::move(self->m_readSource));
        if (self->m_socket)
            (void)::shutdown(self->m_socket.get(), SHUT_RD);
        if (auto completion = std::move(self->m_readCompletion)) {
            self->m_readCompletion = nullptr;
            completion(std::nullopt, NEAppProxyFlowError(kNEAppProxyFlowErrorAborted));
        }
        self->closeSocketWhenDone();
    });
}

int NEAppProxyTCPFlow::lendSocket()
{
    int fd = -1;
    m_queue->sync([&] {
        if (m_opened && !m_readClosed && !m_writeClosed && !m_reset && !m_readCompletion && m_writes.empty())
            fd = m_socket.get();
    });
    return fd;
}

UniqueFd NEAppProxyTCPFlow::takeUnusedSocket()
{
    UniqueFd socket;
    m_queue->sync([&] {
        if (!m_opened && !m_readClosed && !m_writeClosed && !m_reset && !m_readSource && !m_writeSource)
            socket = std::move(m_socket);
    });
    return socket;
}

void NEAppProxyTCPFlow::resetNow()
{
    if (m_reset)
        return;
    m_reset = true;
    m_readClosed = true;
    m_writeClosed = true;
    retire(std::move(m_readSource));
    retire(std::move(m_writeSource));
    if (m_socket) {
        resetOnClose(m_socket.get());
        m_socket.reset();
    }
    m_finSent = true; // nothing more to send, and nothing to reset at destruction
    failPending(PosixFlowError(ECONNRESET));
    if (auto completion = std::move(m_readCompletion)) {
        m_readCompletion = nullptr;
        completion(std::nullopt, PosixFlowError(ECONNRESET));
    }
}

void NEAppProxyTCPFlow::closeSocketWhenDone()
{
    if (!m_readClosed || !m_finSent || !m_socket)
        return;
    retire(std::move(m_readSource));
    retire(std::move(m_writeSource));
    m_socket.reset();
}

} // namespace corvantis
