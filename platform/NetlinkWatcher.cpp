#include "platform/NetlinkWatcher.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

// Large enough for any single datagram the kernel sends on a routing socket.
constexpr size_t kReceiveBuffer = 64 * 1024;

// The message's payload (NLMSG_DATA without its C casts).
const void* payload(const nlmsghdr* header)
{
    return reinterpret_cast<const char*>(header) + NLMSG_HDRLEN;
}

std::string errnoText(const char* what, int err)
{
    return std::string(what) + ": " + std::strerror(err);
}

// Reads the attributes of one route message: the output interface (of the first hop for a multipath route),
// the metric and the table.
struct RouteFacts {
    int ifindex = 0;
    uint32_t metric = 0;
    uint32_t table = 0;
};

RouteFacts readRoute(const nlmsghdr* header, const rtmsg* route)
{
    RouteFacts facts;
    facts.table = route->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (const rtattr* attr = RTM_RTA(route); RTA_OK(attr, length); attr = RTA_NEXT(attr, length)) {
        const size_t size = RTA_PAYLOAD(attr);
        switch (attr->rta_type) {
        case RTA_OIF:
            if (size >= sizeof(int))
                std::memcpy(&facts.ifindex, RTA_DATA(attr), sizeof(int));
            break;
        case RTA_PRIORITY:
            if (size >= sizeof(uint32_t))
                std::memcpy(&facts.metric, RTA_DATA(attr), sizeof(uint32_t));
            break;
        case RTA_TABLE:
            if (size >= sizeof(uint32_t))
                std::memcpy(&facts.table, RTA_DATA(attr), sizeof(uint32_t));
            break;
        case RTA_MULTIPATH:
            if (facts.ifindex == 0 && size >= sizeof(rtnexthop)) {
                rtnexthop hop;
                std::memcpy(&hop, RTA_DATA(attr), sizeof hop);
                if (hop.rtnh_len >= sizeof(rtnexthop) && hop.rtnh_len <= size)
                    facts.ifindex = hop.rtnh_ifindex;
            }
            break;
        default:
            break;
        }
    }
    return facts;
}

std::optional<DefaultRoute> named(std::optional<DefaultRoute> route)
{
    if (route) {
        char name[IF_NAMESIZE] = {};
        if (::if_indextoname(static_cast<unsigned>(route->ifindex), name))
            route->ifname = name;
    }
    return route;
}

} // namespace

Result<std::optional<DefaultRoute>> findDefaultRoute(int family)
{
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd)
        return Status::error(errno, errnoText("netlink socket", errno));

    struct {
        nlmsghdr header;
        rtmsg route;
    } request {};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = static_cast<unsigned char>(family);
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (retryOnEintr([&] {
            return ::sendto(
                fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        })
        < 0)
        return Status::error(errno, errnoText("route request", errno));

    std::optional<DefaultRoute> best;
    std::vector<char> buffer(kReceiveBuffer);
    for (;;) {
        sockaddr_nl from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got = retryOnEintr([&] {
            return ::recvfrom(
                fd.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        });
        if (got < 0)
            return Status::error(errno, errnoText("route reply", errno));
        if (got == 0)
            return Status::error(EPROTO, "route reply: connection closed");
        if (from.nl_pid != 0)
            continue; // only the kernel answers a dump
        int length = static_cast<int>(got);
        for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_seq != request.header.nlmsg_seq)
                continue;
            if (header->nlmsg_type == NLMSG_DONE)
                return named(best);
            if (header->nlmsg_type == NLMSG_ERROR) {
                int err = EPROTO;
                if (header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)))
                    err = -static_cast<const nlmsgerr*>(payload(header))->error;
                if (err == 0)
                    return named(best);
                return Status::error(err, errnoText("route dump", err));
            }
            if (header->nlmsg_type != RTM_NEWROUTE || header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
                continue;
            const auto* route = static_cast<const rtmsg*>(payload(header));
            if (route->rtm_family != family || route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST)
                continue;
            const RouteFacts facts = readRoute(header, route);
            if (facts.table != RT_TABLE_MAIN || facts.ifindex <= 0)
                continue;
            if (best && best->metric <= facts.metric)
                continue;
            best = DefaultRoute { family, facts.ifindex, {}, facts.metric };
        }
    }
}

std::optional<DefaultRoute> findBaseInterface()
{
    for (int family : { AF_INET, AF_INET6 }) {
        auto route = findDefaultRoute(family);
        if (route.ok() && route.value())
            return route.value();
    }
    return std::nullopt;
}

NetlinkWatcher::NetlinkWatcher(Config config, ChangeHandler handler)
    : m_config(std::move(config))
    , m_handler(std::move(handler))
{
}

NetlinkWatcher::~NetlinkWatcher()
{
    stop();
}

std::optional<NetlinkWatcher::Failure> NetlinkWatcher::open(std::string& reason)
{
    stop();
    const auto fail = [&](Failure kind, std::string text) {
        reason = std::move(text);
        stop();
        return kind;
    };

    m_netlink.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!m_netlink)
        return fail(Failure::Socket, errnoText("netlink socket", errno));
    m_wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wake)
        return fail(Failure::Setup, errnoText("eventfd", errno));
    m_inotify.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!m_inotify)
        return fail(Failure::Setup, errnoText("inotify_init1", errno));

    sockaddr_nl local {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(m_netlink.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return fail(Failure::Subscribe, errnoText("netlink bind", errno));

    for (const std::string& file : m_config.watchedFiles) {
        const std::filesystem::path path(file);
        std::string folder = path.parent_path().string();
        if (folder.empty())
            folder = ".";
        std::string error;
        addFolderWatch(folder, path.filename().string(), true, error);
        if (!error.empty())
            return fail(Failure::Subscribe, error);
        // A link (a resolver's stub file, say) changes where it points to; follow the target's folder too.
        std::error_code ec;
        if (std::filesystem::is_symlink(path, ec)) {
            std::filesystem::path target = std::filesystem::read_symlink(path, ec);
            if (!ec) {
                if (target.is_relative())
                    target = std::filesystem::path(folder) / target;
                std::string targetFolder = target.parent_path().string();
                addFolderWatch(targetFolder.empty() ? "." : targetFolder, target.filename().string(), false, error);
            }
        }
    }
    return std::nullopt;
}

void NetlinkWatcher::addFolderWatch(
    const std::string& folder, const std::string& name, bool required, std::string& error)
{
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
    const int wd = ::inotify_add_watch(m_inotify.get(), folder.c_str(), mask | IN_ONLYDIR);
    if (wd < 0) {
        if (required)
            error = errnoText(("watch " + folder).c_str(), errno);
        return;
    }
    m_watches.push_back(Watch { wd, name });
}

std::optional<NetlinkWatcher::Failure> NetlinkWatcher::start(std::string& reason)
{
    if (!m_netlink || !m_inotify || !m_wake) {
        reason = "not open";
        return Failure::Thread;
    }
    if (m_thread.joinable())
        return std::nullopt;
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        reason = std::string("thread: ") + e.what();
        return Failure::Thread;
    }
    return std::nullopt;
}

void NetlinkWatcher::stop()
{
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!::write(m_wake.get(), &one, sizeof one);
        m_thread.join();
    }
    m_netlink.reset();
    m_inotify.reset();
    m_wake.reset();
    m_watches.clear();
}

void NetlinkWatcher::run()
{
    for (;;) {
        std::array<pollfd, 3> fds {
            pollfd { m_wake.get(), POLLIN, 0 },
            pollfd { m_netlink.get(), POLLIN, 0 },
            pollfd { m_inotify.get(), POLLIN, 0 },
        };
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return; // nothing sensible is left to wait on
        }
        if (fds[0].revents != 0)
            return;
        bool changed = false;
        if (fds[1].revents != 0)
            changed = drainNetlink() || changed;
        if (fds[2].revents != 0)
            changed = drainInotify() || changed;
        if (changed && m_handler) {
            try {
                m_handler();
            } catch (...) {
                // A handler's failure must not end the watch; the next change calls it again.
            }
        }
    }
}

bool NetlinkWatcher::drainNetlink()
{
    bool changed = false;
    std::vector<char> buffer(kReceiveBuffer);
    for (;;) {
        sockaddr_nl from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got = ::recvfrom(m_netlink.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            // ENOBUFS: the kernel dropped messages when our queue overflowed, so something changed unread.
            if (errno == ENOBUFS)
                changed = true;
            if (errno == EINTR || errno == ENOBUFS)
                continue;
            return changed;
        }
        if (from.nl_pid != 0)
            continue; // another process's message is no news from the kernel
        int length = static_cast<int>(got);
        for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            switch (header->nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
            case RTM_NEWADDR:
            case RTM_DELADDR:
            case RTM_NEWROUTE:
            case RTM_DELROUTE:
                changed = true;
                break;
            default:
                break;
            }
        }
    }
}

bool NetlinkWatcher::drainInotify()
{
    bool changed = false;
    alignas(inotify_event) std::array<char, 16 * 1024> buffer;
    for (;;) {
        const ssize_t got = ::read(m_inotify.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return changed;
        }
        if (got == 0)
            return changed;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            const char* name = buffer.data() + at + sizeof(inotify_event);
            const size_t nameRoom = event.len;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if (at > got)
                break;
            if (event.mask & IN_Q_OVERFLOW) {
                changed = true;
                continue;
            }
            if (nameRoom == 0)
                continue;
            const std::string eventName(name, strnlen(name, nameRoom));
            for (const Watch& watch : m_watches) {
                if (watch.wd == event.wd && watch.name == eventName)
                    changed = true;
            }
        }
    }
}

} // namespace corvantis
