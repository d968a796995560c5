#include "platform/EventQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace corvantis {

namespace {

// The key epoll hands back for the wake-up eventfd; registration keys start at 1.
constexpr std::uint64_t kWakeKey = 0;
// How many kernel events one wait takes at most, whatever the caller's room.
constexpr std::size_t kKernelBatch = 64;

Status errnoStatus(int err, const char* what)
{
    return Status::error(err, std::string(what) + ": " + std::strerror(err));
}

} // namespace

struct EventQueue::Registration {
    enum class Kind { Fd, Timer } kind = Kind::Fd;
    int fd = -1; // the caller's descriptor (Fd) or timer.get() (Timer)
    std::optional<std::uint64_t> readUdata;
    std::optional<std::uint64_t> writeUdata;
    std::uint64_t timerIdent = 0;
    std::uint64_t timerUdata = 0;
    UniqueFd timer;

    std::uint32_t fdMask() const
    {
        std::uint32_t mask = EPOLLET;
        if (readUdata)
            mask |= EPOLLIN | EPOLLRDHUP;
        if (writeUdata)
            mask |= EPOLLOUT;
        return mask;
    }
};

Result<std::unique_ptr<EventQueue>> EventQueue::create()
{
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll)
        return errnoStatus(errno, "epoll_create1");
    UniqueFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd)
        return errnoStatus(errno, "eventfd");
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wakeFd.get(), &ev) != 0)
        return errnoStatus(errno, "epoll_ctl(eventfd)");
    return std::unique_ptr<EventQueue>(new EventQueue(std::move(epoll), std::move(wakeFd)));
}

EventQueue::EventQueue(UniqueFd epoll, UniqueFd wakeFd)
    : m_epoll(std::move(epoll))
    , m_wakeFd(std::move(wakeFd))
{
}

EventQueue::~EventQueue() = default;

Status EventQueue::updateFdMask(Registration& reg)
{
    epoll_event ev {};
    ev.events = reg.fdMask();
    auto key = m_keyByFd.at(reg.fd);
    ev.data.u64 = key;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, reg.fd, &ev) != 0)
        return errnoStatus(errno, "epoll_ctl(MOD)");
    return {};
}

void EventQueue::eraseRegistration(std::uint64_t key)
{
    auto it = m_registrations.find(key);
    if (it == m_registrations.end())
        return;
    if (it->second->kind == Registration::Kind::Fd)
        m_keyByFd.erase(it->second->fd);
    else
        m_keyByTimer.erase(it->second->timerIdent);
    m_registrations.erase(it);
}

Status EventQueue::addFd(int fd, EventFilter filter, std::uint64_t udata)
{
    if (filter != EventFilter::Read && filter != EventFilter::Write)
        return errnoStatus(EINVAL, "addFd");
    if (fd < 0)
        return errnoStatus(EBADF, "addFd");
    auto setFilter = [&](Registration& reg) {
        if (filter == EventFilter::Read)
            reg.readUdata = udata;
        else
            reg.writeUdata = udata;
    };

    MutexLock lock(m_mutex);
    if (auto it = m_keyByFd.find(fd); it != m_keyByFd.end()) {
        Registration& reg = *m_registrations.at(it->second);
        Registration saved;
        saved.readUdata = reg.readUdata;
        saved.writeUdata = reg.writeUdata;
        setFilter(reg);
        Status st = updateFdMask(reg);
        if (st.ok())
            return st;
        if (st.errnum() != ENOENT) {
            reg.readUdata = saved.readUdata;
            reg.writeUdata = saved.writeUdata;
            return st;
        }
        // The descriptor we knew under this number was closed and the number reused: its entry is stale.
        eraseRegistration(it->second);
    }

    auto reg = std::make_unique<Registration>();
    reg->fd = fd;
    setFilter(*reg);
    const std::uint64_t key = m_nextKey++;
    epoll_event ev {};
    ev.events = reg->fdMask();
    ev.data.u64 = key;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &ev) != 0)
        return errnoStatus(errno, "epoll_ctl(ADD)");
    m_keyByFd[fd] = key;
    m_registrations[key] = std::move(reg);
    return {};
}

Status EventQueue::removeFd(int fd, EventFilter filter)
{
    MutexLock lock(m_mutex);
    auto it = m_keyByFd.find(fd);
    if (it == m_keyByFd.end() || (filter != EventFilter::Read && filter != EventFilter::Write))
        return errnoStatus(ENOENT, "removeFd");
    const std::uint64_t key = it->second;
    Registration& reg = *m_registrations.at(key);
    auto& slot = filter == EventFilter::Read ? reg.readUdata : reg.writeUdata;
    if (!slot)
        return errnoStatus(ENOENT, "removeFd");
    slot.reset();
    if (!reg.readUdata && !reg.writeUdata) {
        // DEL looks the number up with the file now behind it: a closed-and-reused number fails with ENOENT
        // and never removes somebody else's registration.
        int rc = ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        int err = errno;
        eraseRegistration(key);
        if (rc != 0)
            return errnoStatus(err == EBADF ? ENOENT : err, "removeFd");
        return {};
    }
    Status st = updateFdMask(reg);
    if (!st.ok()) {
        eraseRegistration(key);
        return errnoStatus(st.errnum() == EBADF ? ENOENT : st.errnum(), "removeFd");
    }
    return {};
}

Status EventQueue::addTimer(std::uint64_t ident, std::chrono::milliseconds period, std::uint64_t udata)
{
    if (period < std::chrono::milliseconds(1))
        return errnoStatus(EINVAL, "addTimer");
    itimerspec spec {};
    spec.it_interval.tv_sec = static_cast<time_t>(period.count() / 1000);
    spec.it_interval.tv_nsec = static_cast<long>((period.count() % 1000) * 1000000);
    spec.it_value = spec.it_interval;

    MutexLock lock(m_mutex);
    if (auto it = m_keyByTimer.find(ident); it != m_keyByTimer.end()) {
        Registration& reg = *m_registrations.at(it->second);
        if (::timerfd_settime(reg.timer.get(), 0, &spec, nullptr) != 0)
            return errnoStatus(errno, "timerfd_settime");
        reg.timerUdata = udata;
        return {};
    }
    auto reg = std::make_unique<Registration>();
    reg->kind = Registration::Kind::Timer;
    reg->timer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!reg->timer)
        return errnoStatus(errno, "timerfd_create");
    reg->fd = reg->timer.get();
    reg->timerIdent = ident;
    reg->timerUdata = udata;
    if (::timerfd_settime(reg->timer.get(), 0, &spec, nullptr) != 0)
        return errnoStatus(errno, "timerfd_settime");
    const std::uint64_t key = m_nextKey++;
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = key;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, reg->fd, &ev) != 0)
        return errnoStatus(errno, "epoll_ctl(ADD timer)");
    m_keyByTimer[ident] = key;
    m_registrations[key] = std::move(reg);
    return {};
}

Status EventQueue::removeTimer(std::uint64_t ident)
{
    MutexLock lock(m_mutex);
    auto it = m_keyByTimer.find(ident);
    if (it == m_keyByTimer.end())
        return errnoStatus(ENOENT, "removeTimer");
    const std::uint64_t key = it->second;
    ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, m_registrations.at(key)->fd, nullptr);
    eraseRegistration(key); // closes the timerfd
    return {};
}

void EventQueue::wake()
{
    const std::uint64_t one = 1;
    // EAGAIN means the counter is already far from 0: a wake-up is pending anyway.
    (void)retryOnEintr([&] { return ::write(m_wakeFd.get(), &one, sizeof one); });
}

std::size_t EventQueue::takeHeldBack(std::span<KernelEvent> out)
{
    std::size_t n = 0;
    while (n < out.size() && !m_heldBack.empty()) {
        auto [key, ev] = m_heldBack.front();
        m_heldBack.pop_front();
        if (ev.filter != EventFilter::Wake) {
            auto it = m_registrations.find(key);
            if (it == m_registrations.end())
                continue;
            const Registration& reg = *it->second;
            if (ev.filter == EventFilter::Timer) {
                ev.udata = reg.timerUdata;
            } else {
                const auto& slot = ev.filter == EventFilter::Read ? reg.readUdata : reg.writeUdata;
                if (!slot)
                    continue;
                ev.udata = *slot;
            }
        }
        out[n++] = ev;
    }
    return n;
}

Result<std::size_t> EventQueue::wait(std::span<KernelEvent> out, std::optional<std::chrono::milliseconds> timeout)
{
    using Clock = std::chrono::steady_clock;
    if (out.empty())
        return errnoStatus(EINVAL, "wait");
    const auto deadline = Clock::now() + timeout.value_or(std::chrono::milliseconds(0));
    {
        MutexLock lock(m_mutex);
        if (std::size_t n = takeHeldBack(out); n > 0)
            return n;
    }

    epoll_event kernel[kKernelBatch];
    const int maxEvents = static_cast<int>(std::min(out.size(), kKernelBatch));
    for (;;) {
        int waitMs = -1;
        if (timeout) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = static_cast<int>(std::clamp<std::int64_t>(left, 0, INT32_MAX));
        }
        int r = ::epoll_wait(m_epoll.get(), kernel, maxEvents, waitMs);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errnoStatus(errno, "epoll_wait");
        }
        if (r == 0)
            return std::size_t { 0 };

        MutexLock lock(m_mutex);
        std::size_t n = 0;
        auto emit = [&](std::uint64_t key, const KernelEvent& ev) {
            m_mutex.assertHeld();
            if (n < out.size())
                out[n++] = ev;
            else
                m_heldBack.emplace_back(key, ev);
        };
        for (int i = 0; i < r; ++i) {
            const std::uint64_t key = kernel[i].data.u64;
            const std::uint32_t revents = kernel[i].events;
            if (key == kWakeKey) {
                std::uint64_t count;
                (void)retryOnEintr([&] { return ::read(m_wakeFd.get(), &count, sizeof count); });
                emit(key, KernelEvent { EventFilter::Wake, false, 0, 0, 0 });
                continue;
            }
            auto it = m_registrations.find(key);
            if (it == m_registrations.end())
                continue; // removed while the kernel already had the event
            const Registration& reg = *it->second;
            if (reg.kind == Registration::Kind::Timer) {
                std::uint64_t expirations = 0;
                auto got = retryOnEintr([&] { return ::read(reg.fd, &expirations, sizeof expirations); });
                if (got != static_cast<ssize_t>(sizeof expirations))
                    continue; // re-armed between the kernel's report and this read
                emit(key,
                    KernelEvent { EventFilter::Timer, false, reg.timerIdent, static_cast<std::int64_t>(expirations),
                        reg.timerUdata });
                continue;
            }
            const auto ident = static_cast<std::uint64_t>(reg.fd);
            if (reg.readUdata && (revents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
                int avail = 0;
                if (::ioctl(reg.fd, FIONREAD, &avail) != 0)
                    avail = 0;
                const bool eof = (revents & (EPOLLRDHUP | EPOLLHUP)) != 0;
                emit(key, KernelEvent { EventFilter::Read, eof, ident, avail, *reg.readUdata });
            }
            if (reg.writeUdata && (revents & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
                const bool eof = (revents & EPOLLHUP) != 0;
                emit(key, KernelEvent { EventFilter::Write, eof, ident, 0, *reg.writeUdata });
            }
        }
        if (n > 0)
            return n;
        if (timeout && Clock::now() >= deadline)
            return std::size_t { 0 };
    }
}

} // namespace corvantis
