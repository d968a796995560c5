#include "extension/engine/SystemLookup.h"

#include "platform/SocketMark.h"

#include <ares.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace corvantis {

namespace {

void initAresOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

// Runs before c-ares connects a socket, so even the first packet to a server carries the daemon's mark. A socket
// that cannot be marked is refused (c-ares closes it and the lookup fails): unmarked, the daemon's own filter would
// capture the question. Called from inside c-ares's calls, under the owner's mutex, as every handler is.
int markResolverSocket(ares_socket_t fd, int, void* data)
{
    if (ApplyOwnSocketMark(fd)) {
        return ARES_SUCCESS;
    }
    const int err = errno;
    static_cast<const SystemLookup::Handlers*>(data)->log(
        true, std::string("cannot mark the system resolver's socket: ") + std::strerror(err));
    return -1;
}

} // namespace

SystemLookup::SystemLookup(Mutex& ownerMutex, std::weak_ptr<SocketEventsManager> eventManager, Handlers handlers,
    std::chrono::milliseconds tick)
    : m_ownerMutex(ownerMutex)
    , m_eventManager(std::move(eventManager))
    , m_handlers(std::move(handlers))
    , m_tick(tick)
{
}

SystemLookup::~SystemLookup()
{
    // Every registration is gone (they held the owner, which holds this object); c-ares may still own sockets.
    m_destroying = true;
    if (m_channel != nullptr) {
        ares_destroy(m_channel);
    }
}

bool SystemLookup::addSocket(
    int fd, bool readWrite, std::uint64_t timeoutMs, std::uint64_t& id, SocketEventProcessor processor)
{
    const SocketEventsManagerPtr manager = m_eventManager.lock();
    return manager && manager->AddSocket(fd, readWrite, timeoutMs, id, std::move(processor));
}

void SystemLookup::removeSocket(std::uint64_t id)
{
    if (const SocketEventsManagerPtr manager = m_eventManager.lock()) {
        manager->RemoveSocketId(id);
    }
}

bool SystemLookup::start(const std::string& name, const std::string& servers, std::chrono::milliseconds timeout,
    std::shared_ptr<void> keepAlive, std::string& reason)
{
    initAresOnce();
    m_keepAlive = keepAlive;
    ares_options options {};
    options.sock_state_cb = &SystemLookup::onSocketState;
    options.sock_state_cb_data = this;
    ares_channel channel = nullptr;
    int status = ares_init_options(&channel, &options, ARES_OPT_SOCK_STATE_CB);
    if (status == ARES_SUCCESS) {
        m_channel = channel;
        // c-ares gives the handlers back as a plain pointer; the callback only reads them.
        ares_set_socket_configure_callback(m_channel, &markResolverSocket, const_cast<Handlers*>(&m_handlers));
        if (!servers.empty()) {
            status = ares_set_servers_ports_csv(m_channel, servers.c_str());
        }
    }
    m_tickFd = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    std::uint64_t tickId = 0;
    if (status != ARES_SUCCESS || !m_tickFd
        || !addSocket(m_tickFd.get(), false, static_cast<std::uint64_t>(m_tick.count()), tickId,
            [this, keep = std::move(keepAlive)](eventDescription event) {
                if (event.timeout) {
                    m_handlers.onLoop([this] {
                        m_ownerMutex.assertHeld();
                        onTick();
                    });
                }
            })) {
        removeSocket(tickId);
        reason = ares_strerror(status);
        m_done = true;
        return false;
    }
    m_tickId = tickId;
    m_deadline = std::chrono::steady_clock::now() + timeout;
    // One lookup per family: a server that refuses one type of question must not hide the other's answer.
    m_pending = 2;
    for (const int family : { AF_INET, AF_INET6 }) {
        ares_addrinfo_hints hints {};
        hints.ai_family = family;
        hints.ai_flags = ARES_AI_NOSORT;
        ares_getaddrinfo(m_channel, name.c_str(), nullptr, &hints, &SystemLookup::onAnswer, this);
    }
    return true;
}

void SystemLookup::stop()
{
    if (m_done) {
        return;
    }
    m_done = true;
    for (const auto& [fd, id] : m_sockets) {
        removeSocket(id);
    }
    m_sockets.clear();
    if (m_tickId != 0) {
        removeSocket(m_tickId);
        m_tickId = 0;
    }
}

void SystemLookup::onSocketState(void* data, int fd, int readable, int writable)
{
    // Called by c-ares from inside its own calls, which are made only under the owner's mutex.
    auto* self = static_cast<SystemLookup*>(data);
    if (self->m_destroying) {
        return;
    }
    self->m_ownerMutex.assertHeld();
    const auto found = self->m_sockets.find(fd);
    if (readable == 0 && writable == 0) {
        if (found != self->m_sockets.end()) {
            self->removeSocket(found->second);
            self->m_sockets.erase(found);
        }
        return;
    }
    if (found != self->m_sockets.end() || self->m_done) {
        return;
    }
    std::uint64_t id = 0;
    const bool added
        = self->addSocket(fd, true, 0, id, [self, keep = self->m_keepAlive.lock(), fd](eventDescription event) {
              self->m_handlers.onLoop([self, fd, event] {
                  self->m_ownerMutex.assertHeld();
                  self->onSocketEvent(fd, event);
              });
          });
    if (added) {
        self->m_sockets[fd] = id;
    } else {
        self->removeSocket(id);
        self->m_handlers.log(true, "cannot watch the system resolver's socket");
    }
}

void SystemLookup::onSocketEvent(int fd, const eventDescription& event)
{
    if (m_done || m_channel == nullptr) {
        return;
    }
    ares_process_fd(m_channel, event.read || event.eof ? fd : ARES_SOCKET_BAD, event.write ? fd : ARES_SOCKET_BAD);
}

void SystemLookup::onTick()
{
    if (m_done || m_channel == nullptr) {
        return;
    }
    ares_process_fd(m_channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    if (!m_done && std::chrono::steady_clock::now() >= m_deadline) {
        m_handlers.log(false, "system resolve timed out");
        ares_cancel(m_channel); // reports ARES_ECANCELLED to onAnswer at once
    }
}

void SystemLookup::onAnswer(void* arg, int status, int, ares_addrinfo* result)
{
    // Inside a c-ares call, so the owner's mutex is held.
    auto* self = static_cast<SystemLookup*>(arg);
    if (self->m_destroying) {
        ares_freeaddrinfo(result);
        return;
    }
    self->m_ownerMutex.assertHeld();
    if (self->m_done) {
        ares_freeaddrinfo(result);
        return;
    }
    if (status == ARES_SUCCESS && result != nullptr) {
        for (ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
            self->m_handlers.address(node->ai_addr, node->ai_ttl);
        }
    } else {
        self->m_handlers.log(false, std::string("system resolve failed: ") + ares_strerror(status));
    }
    ares_freeaddrinfo(result);
    if (--self->m_pending == 0) {
        self->stop();
        self->m_handlers.finished();
    }
}

} // namespace corvantis
