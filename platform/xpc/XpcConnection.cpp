#include "platform/xpc/XpcConnection.h"

#include "platform/xpc/XpcLog.h"
#include "platform/xpc/XpcSocketAddress.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

constexpr int64_t kCallKind = 1;
constexpr int64_t kReplyKind = 2;
// Bytes read in one run of the read handler before the messages are handled; the source runs again.
constexpr size_t kReadBurst = 1024 * 1024;

std::string errnoText(int err)
{
    return std::system_category().message(err);
}

// Who owns a listener is never taken from the bytes: an endpoint that arrives belongs to the sender.
void stampOwner(XpcObject& value, uid_t uid)
{
    if (XpcEndpoint* e = value.endpoint())
        e->owner = uid;
    else if (XpcArray* items = value.array())
        for (XpcObject& item : *items)
            stampOwner(item, uid);
    else if (XpcDict* entries = value.dict())
        for (auto& entry : *entries)
            stampOwner(entry.second, uid);
}

// Keeps what a dropped call or reply block captured until the caller's lock is released: its destructors may
// call back into the connection.
template <typename T> void bury(std::vector<std::function<void()>>& dead, T&& value)
{
    dead.push_back([v = std::forward<T>(value)] {});
}

std::string describePeer(const ucred& peer)
{
    return "client pid " + std::to_string(peer.pid) + " uid " + std::to_string(peer.uid);
}

} // namespace

XpcConnection::XpcConnection(PrivateTag, Kind kind, std::string description, XpcLimits limits)
    : m_kind(kind)
    , m_description(std::move(description))
    , m_limits(limits)
    , m_queue(DispatchQueue::create("XPC connection"))
{
}

XpcConnection::~XpcConnection() = default;

XpcConnectionPtr XpcConnection::createForService(const std::string& serviceName, uint64_t options, XpcLimits limits)
{
    auto c = std::make_shared<XpcConnection>(PrivateTag {}, Kind::Service, "service \"" + serviceName + "\"", limits);
    c->m_serviceName = serviceName;
    c->m_options = options;
    return c;
}

XpcConnectionPtr XpcConnection::createWithEndpoint(const XpcEndpoint& endpoint, XpcLimits limits)
{
    auto c = std::make_shared<XpcConnection>(PrivateTag {}, Kind::Endpoint, "endpoint @" + endpoint.name, limits);
    c->m_endpoint = endpoint;
    return c;
}

XpcConnectionPtr XpcConnection::createAccepted(UniqueFd fd, const ucred& peer, XpcLimits limits)
{
    auto c = std::make_shared<XpcConnection>(PrivateTag {}, Kind::Accepted, describePeer(peer), limits);
    MutexLock lock(c->m_mutex);
    c->m_fd = std::move(fd);
    c->m_peer = peer;
    c->m_state = State::Connected;
    c->m_link = 1;
    return c;
}

void XpcConnection::setRemoteObjectInterface(XpcInterfacePtr interface)
{
    MutexLock lock(m_mutex);
    m_remoteInterface = std::move(interface);
}

XpcInterfacePtr XpcConnection::remoteObjectInterface() const
{
    MutexLock lock(m_mutex);
    return m_remoteInterface;
}

void XpcConnection::setExportedInterface(XpcInterfacePtr interface)
{
    MutexLock lock(m_mutex);
    m_exportedInterface = std::move(interface);
}

void XpcConnection::setExportedObject(XpcExportedObjectPtr object)
{
    MutexLock lock(m_mutex);
    if (m_state == State::Invalidated)
        return; // it would never be called, and could hold this connection forever
    std::swap(m_exportedObject, object);
}

void XpcConnection::setInterruptionHandler(Handler handler)
{
    MutexLock lock(m_mutex);
    if (m_state == State::Invalidated)
        return;
    std::swap(m_interruptionHandler, handler);
}

void XpcConnection::setInvalidationHandler(Handler handler)
{
    MutexLock lock(m_mutex);
    if (m_state == State::Invalidated)
        return;
    std::swap(m_invalidationHandler, handler);
}

void XpcConnection::resume()
{
    DeadList dead;
    MutexLock lock(m_mutex);
    if (m_resumed)
        return;
    m_resumed = true;
    if (m_state == State::Invalidated)
        return;
    if (m_kind == Kind::Accepted) {
        if (!startReadingLocked())
            invalidateLocked(dead);
        return;
    }
    std::vector<Queued> queued = std::move(m_queued);
    m_queued.clear();
    for (Queued& q : queued)
        sendLocked(q.selector, std::move(q.interface), std::move(q.arguments), std::move(q.reply), dead);
}

void XpcConnection::invalidate()
{
    DeadList dead;
    MutexLock lock(m_mutex);
    invalidateLocked(dead);
}

void XpcConnection::invalidateLocked(DeadList& dead)
{
    if (m_state == State::Invalidated)
        return;
    m_state = State::Invalidated;
    for (auto& entry : m_pending)
        bury(dead, std::move(entry.second.handler));
    m_pending.clear();
    for (Queued& q : m_queued)
        bury(dead, std::move(q.reply));
    m_queued.clear();
    if (m_fd.valid()) {
        if (m_readSource)
            ::shutdown(m_fd.get(), SHUT_RDWR); // the read handler sees the end and closes the socket
        else
            m_fd.reset(); // an accepted connection that was never resumed has no reader
    }
    dead.push_back(std::move(m_interruptionHandler));
    dead.push_back([object = std::move(m_exportedObject)] {});
    m_interruptionHandler = nullptr;
    m_exportedObject = nullptr;
    Handler invalidation = std::move(m_invalidationHandler);
    m_invalidationHandler = nullptr;
    postHandler(std::move(invalidation));
}

void XpcConnection::postHandler(Handler handler)
{
    if (!handler)
        return;
    m_queue->async([self = shared_from_this(), handler = std::move(handler)] { handler(); });
}

void XpcConnection::sendMessage(const std::string& selector, XpcArray arguments, ReplyHandler reply)
{
    const XpcInterfacePtr interface = remoteObjectInterface();
    const XpcSelector* declared = interface ? interface->find(selector) : nullptr;
    if (!declared) {
        XpcLog::error("Call of \"" + selector + "\" on " + m_description + " dropped: the remote interface "
            + (interface ? "\"" + interface->name() + "\" does not have it" : "is not set"));
        return;
    }
    std::string why;
    if (!XpcInterface::matches(declared->arguments, arguments, why)) {
        XpcLog::error("Call of \"" + selector + "\" on " + m_description + " dropped: " + why);
        return;
    }
    DeadList dead;
    MutexLock lock(m_mutex);
    sendLocked(declared, interface, std::move(arguments), std::move(reply), dead);
}

void XpcConnection::sendLocked(
    const XpcSelector* selector, XpcInterfacePtr interface, XpcArray arguments, ReplyHandler reply, DeadList& dead)
{
    if (m_state == State::Invalidated) {
        bury(dead, std::move(reply));
        return;
    }
    if (!m_resumed) {
        m_queued.push_back(Queued { selector, std::move(interface), std::move(arguments), std::move(reply) });
        return;
    }
    if (m_state == State::Idle && !connectLocked(dead)) {
        bury(dead, std::move(reply));
        return;
    }
    const int64_t id = m_nextId++;
    auto frame = XpcFrameCodec::encode(
        XpcDict { { "kind", XpcObject(static_cast<long long>(kCallKind)) },
            { "id", XpcObject(static_cast<long long>(id)) }, { "selector", XpcObject(selector->name) },
            { "arguments", XpcObject(std::move(arguments)) } },
        m_limits);
    if (!frame.ok()) {
        XpcLog::error(
            "Call of \"" + selector->name + "\" cannot be sent to " + m_description + ": " + frame.status().message());
        bury(dead, std::move(reply));
        ::shutdown(m_fd.get(), SHUT_RDWR); // the caller learns of it from the broken link
        return;
    }
    if (selector->reply)
        m_pending.emplace(id, Pending { selector, std::move(interface), std::move(reply) });
    else
        bury(dead, std::move(reply));
    writeLocked(std::move(frame.value()));
}

bool XpcConnection::connectLocked(DeadList& dead)
{
    auto fail = [&](const std::string& why) {
        m_mutex.assertHeld();
        XpcLog::error("Cannot connect to " + m_description + ": " + why);
        invalidateLocked(dead);
        return false;
    };
    auto address = m_kind == Kind::Service ? XpcSocketAddress::forService(m_serviceName)
                                           : XpcSocketAddress::forAbstractName(m_endpoint->name);
    if (!address.ok())
        return fail(address.status().message());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return fail(std::string("socket: ") + errnoText(errno));
    // A listener whose backlog is full makes connect wait; this bounds the wait.
    timeval limit { static_cast<time_t>(kConnectTimeout.count()), 0 };
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    for (;;) {
        if (::connect(fd.get(), address->get(), address->length()) == 0)
            break;
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EISCONN)
            break;
        return fail(address->description() + ": " + errnoText(err));
    }
    ucred peer {};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return fail(std::string("no peer credentials: ") + errnoText(errno));
    if ((m_options & kPrivileged) && peer.uid != 0)
        return fail("the server runs as uid " + std::to_string(peer.uid) + ", not as root");
    if (m_endpoint && m_endpoint->owner && peer.uid != *m_endpoint->owner)
        return fail("the listener belongs to uid " + std::to_string(peer.uid) + ", not to uid "
            + std::to_string(*m_endpoint->owner) + ", who handed it over");
    timeval none {};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return fail(std::string("fcntl: ") + errnoText(errno));
    m_fd = std::move(fd);
    m_peer = peer;
    m_state = State::Connected;
    ++m_link;
    if (!startReadingLocked()) {
        m_fd.reset();
        return fail("the socket cannot be watched");
    }
    return true;
}

bool XpcConnection::startReadingLocked()
{
    const int fd = m_fd.get();
    auto decoder = std::make_shared<XpcFrameDecoder>(m_limits);
    // The handler holds the connection: an open link keeps it alive. breakLink() cancels the source, which
    // lets go of the handler and so of the connection.
    m_readSource = DispatchSource::create(DispatchSource::Kind::Read, fd, m_queue,
        [self = shared_from_this(), fd, decoder] { self->onReadable(fd, *decoder); });
    Status st = m_readSource->resume();
    if (!st.ok()) {
        XpcLog::error("Cannot watch the socket of " + m_description + ": " + st.message());
        m_readSource.reset();
        return false;
    }
    return true;
}

void XpcConnection::writeLocked(std::vector<uint8_t> frame)
{
    size_t offset = 0;
    if (m_outStart == m_outbuf.size()) {
        m_outbuf.clear();
        m_outStart = 0;
        ssize_t n;
        do
            n = ::send(m_fd.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(frame.size()))
            return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ::shutdown(m_fd.get(), SHUT_RDWR); // the read handler ends the link
            return;
        }
        offset = n > 0 ? static_cast<size_t>(n) : 0;
    }
    m_outbuf.insert(m_outbuf.end(), frame.begin() + static_cast<std::ptrdiff_t>(offset), frame.end());
    const size_t waiting = m_outbuf.size() - m_outStart;
    if (waiting > std::max<size_t>(4 * m_limits.maxFrameBytes, 64 * 1024 * 1024)) {
        XpcLog::error("The link to " + m_description + " is dropped: the peer does not read");
        ::shutdown(m_fd.get(), SHUT_RDWR);
        return;
    }
    if (m_writeSource)
        return;
    m_writeSource = DispatchSource::create(DispatchSource::Kind::Write, m_fd.get(), m_queue, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->onWritable();
    });
    if (!m_writeSource->resume().ok())
        ::shutdown(m_fd.get(), SHUT_RDWR);
}

void XpcConnection::onWritable()
{
    DispatchSourcePtr finished;
    MutexLock lock(m_mutex);
    if (!m_writeSource)
        return;
    if (!m_fd.valid()) {
        finished = std::move(m_writeSource);
        return;
    }
    while (m_outStart < m_outbuf.size()) {
        const ssize_t n = ::send(
            m_fd.get(), m_outbuf.data() + m_outStart, m_outbuf.size() - m_outStart, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_outStart += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (m_outStart > m_outbuf.size() / 2) {
                m_outbuf.erase(m_outbuf.begin(), m_outbuf.begin() + static_cast<std::ptrdiff_t>(m_outStart));
                m_outStart = 0;
            }
            return; // runs again when the socket can take more
        }
        ::shutdown(m_fd.get(), SHUT_RDWR);
        break;
    }
    m_outbuf.clear();
    m_outStart = 0;
    finished = std::move(m_writeSource); // cancelled, from inside its own handler, when `finished` goes
}

void XpcConnection::onReadable(int fd, XpcFrameDecoder& decoder)
{
    uint8_t buffer[65536];
    bool ended = false;
    std::string reason;
    size_t total = 0;
    while (total < kReadBurst) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            decoder.feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
            total += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            ended = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            ended = true;
            if (errno != ECONNRESET)
                reason = "Receiving from " + m_description + " failed: " + errnoText(errno);
        }
        break;
    }
    for (;;) {
        auto outcome = decoder.next();
        if (outcome.state == XpcFrameDecoder::State::NeedMore)
            break;
        if (outcome.state == XpcFrameDecoder::State::Error) {
            breakLink("Bad data from " + m_description + ", link dropped: " + outcome.error);
            return;
        }
        const std::string violation = handleMessage(std::move(outcome.message));
        if (!violation.empty()) {
            breakLink("Link to " + m_description + " dropped: " + violation);
            return;
        }
    }
    if (ended)
        breakLink(reason);
}

std::string XpcConnection::handleMessage(XpcDict message)
{
    auto field = [&message](const char* key) -> XpcObject* {
        auto it = message.find(key);
        return it == message.end() ? nullptr : &it->second;
    };
    const XpcObject* kind = field("kind");
    const XpcObject* idField = field("id");
    if (!kind || !kind->integer() || !idField || !idField->integer() || *idField->integer() < 1)
        return "a message without a valid kind and id";
    const int64_t id = *idField->integer();

    uid_t peerUid = 0;
    uint64_t link = 0;
    {
        MutexLock lock(m_mutex);
        if (m_state != State::Connected)
            return {}; // invalidated: what is still buffered is dropped
        peerUid = m_peer ? m_peer->uid : 0;
        link = m_link;
    }

    if (*kind->integer() == kCallKind) {
        XpcObject* selectorField = field("selector");
        XpcObject* argumentsField = field("arguments");
        if (!selectorField || !selectorField->string() || !argumentsField || !argumentsField->array())
            return "a call without a selector or arguments";
        const std::string& selector = *selectorField->string();
        XpcInterfacePtr interface;
        XpcExportedObjectPtr object;
        {
            MutexLock lock(m_mutex);
            interface = m_exportedInterface;
            object = m_exportedObject;
        }
        const XpcSelector* declared = interface ? interface->find(selector) : nullptr;
        if (!declared)
            return "a call of \"" + selector + "\", which is not exported";
        if (!object)
            return "a call of \"" + selector + "\" with no exported object";
        std::string why;
        if (!XpcInterface::matches(declared->arguments, *argumentsField->array(), why))
            return "a call of \"" + selector + "\" whose " + why;
        stampOwner(*argumentsField, peerUid);
        XpcReplySender reply;
        if (declared->reply) {
            reply = [weak = weak_from_this(), link, id, declared, interface,
                        sent = std::make_shared<std::atomic<bool>>(false)](XpcArray values) {
                if (sent->exchange(true))
                    return;
                if (auto self = weak.lock())
                    self->sendReply(link, id, declared, std::move(values));
            };
        }
        try {
            object->handleCall(*declared, *argumentsField->array(), std::move(reply));
        } catch (const std::exception& e) {
            return "the exported object failed on \"" + selector + "\": " + e.what();
        } catch (...) {
            return "the exported object failed on \"" + selector + "\"";
        }
        return {};
    }

    if (*kind->integer() == kReplyKind) {
        XpcObject* valuesField = field("values");
        if (!valuesField || !valuesField->array())
            return "a reply without values";
        Pending pending;
        {
            MutexLock lock(m_mutex);
            if (m_state != State::Connected)
                return {};
            auto it = m_pending.find(id);
            if (it == m_pending.end())
                return "a reply to call " + std::to_string(id) + ", which is not outstanding";
            std::string why;
            if (!XpcInterface::matches(*it->second.selector->reply, *valuesField->array(), why))
                return "the reply to \"" + it->second.selector->name + "\" whose " + why;
            pending = std::move(it->second);
            m_pending.erase(it);
        }
        stampOwner(*valuesField, peerUid);
        try {
            pending.handler(std::move(*valuesField->array()));
        } catch (const std::exception& e) {
            return "the reply block of \"" + pending.selector->name + "\" failed: " + e.what();
        } catch (...) {
            return "the reply block of \"" + pending.selector->name + "\" failed";
        }
        return {};
    }
    return "a message of unknown kind " + std::to_string(*kind->integer());
}

void XpcConnection::sendReply(uint64_t link, int64_t id, const XpcSelector* selector, XpcArray values)
{
    std::string why;
    if (!XpcInterface::matches(*selector->reply, values, why)) {
        XpcLog::error("Reply to \"" + selector->name + "\" from " + m_description + " dropped: " + why);
        return;
    }
    MutexLock lock(m_mutex);
    if (m_state != State::Connected || m_link != link || !m_fd.valid())
        return; // the caller's link is gone
    auto frame = XpcFrameCodec::encode(
        XpcDict { { "kind", XpcObject(static_cast<long long>(kReplyKind)) },
            { "id", XpcObject(static_cast<long long>(id)) }, { "values", XpcObject(std::move(values)) } },
        m_limits);
    if (!frame.ok()) {
        XpcLog::error(
            "Reply to \"" + selector->name + "\" cannot be sent to " + m_description + ": " + frame.status().message());
        ::shutdown(m_fd.get(), SHUT_RDWR);
        return;
    }
    writeLocked(std::move(frame.value()));
}

void XpcConnection::breakLink(const std::string& reason)
{
    DeadList dead;
    UniqueFd fd;
    DispatchSourcePtr readSource;
    DispatchSourcePtr writeSource;
    {
        MutexLock lock(m_mutex);
        if (!m_fd.valid())
            return;
        fd = std::move(m_fd);
        readSource = std::move(m_readSource);
        writeSource = std::move(m_writeSource);
        m_outbuf.clear();
        m_outStart = 0;
        for (auto& entry : m_pending)
            bury(dead, std::move(entry.second.handler));
        m_pending.clear();
        if (m_state == State::Connected) {
            if (m_kind == Kind::Accepted) {
                invalidateLocked(dead);
            } else {
                m_state = State::Idle;
                postHandler(m_interruptionHandler);
            }
        }
    }
    if (!reason.empty())
        XpcLog::error(reason);
    // Sources first, then the descriptor: nothing may watch a number that the kernel can hand out again.
    if (writeSource)
        writeSource->cancel();
    if (readSource)
        readSource->cancel();
    fd.reset();
}

bool XpcConnection::isValid() const
{
    MutexLock lock(m_mutex);
    return m_state != State::Invalidated;
}

std::optional<ucred> XpcConnection::peerCredentials() const
{
    MutexLock lock(m_mutex);
    return m_peer;
}

} // namespace corvantis
