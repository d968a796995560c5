#include "platform/netext/SocketOwner.h"

#include "platform/netext/ProcFiles.h"

#include "platform/ProcessInfo.h"
#include "platform/UniqueFd.h"
#include "platform/netext/AuditToken.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace corvantis {

namespace {

// Guards against a kernel that never answers; a lookup normally takes microseconds.
constexpr timeval kReplyTimeout { 1, 0 };
// Large enough for one socket's diagnostics with every attribute the kernel adds unasked.
constexpr std::size_t kReplyBuffer = 8192;

// One end of a flow, in the form sock_diag wants it: addresses and port in network byte order.
struct DiagEndpoint {
    int family = AF_UNSPEC;
    std::array<uint32_t, 4> address {};
    uint16_t port = 0;
};

bool IsV4Mapped(const in6_addr& address)
{
    static constexpr uint8_t kPrefix[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF };
    return std::memcmp(address.s6_addr, kPrefix, sizeof kPrefix) == 0;
}

// IPv4-mapped IPv6 addresses come back as IPv4: an IPv4 lookup also finds dual-stack IPv6 sockets (the kernel's
// TCP and UDP tables match on addresses and ports, not on the socket's family), so one request covers both.
std::optional<DiagEndpoint> ToDiagEndpoint(const sockaddr_storage& storage)
{
    DiagEndpoint endpoint;
    if (storage.ss_family == AF_INET) {
        sockaddr_in address;
        std::memcpy(&address, &storage, sizeof address);
        endpoint.family = AF_INET;
        endpoint.address[0] = address.sin_addr.s_addr;
        endpoint.port = address.sin_port;
        return endpoint;
    }
    if (storage.ss_family == AF_INET6) {
        sockaddr_in6 address;
        std::memcpy(&address, &storage, sizeof address);
        if (IsV4Mapped(address.sin6_addr)) {
            endpoint.family = AF_INET;
            std::memcpy(&endpoint.address[0], address.sin6_addr.s6_addr + 12, sizeof(uint32_t));
        } else {
            endpoint.family = AF_INET6;
            std::memcpy(endpoint.address.data(), address.sin6_addr.s6_addr, sizeof address.sin6_addr.s6_addr);
        }
        endpoint.port = address.sin6_port;
        return endpoint;
    }
    return std::nullopt;
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// What one datagram of the kernel's says about request `sequence`: the socket's diagnostics, that it has none
// (ENOENT) or the datagram is unreadable (Over), or nothing about it (Other: a late answer to an earlier request).
enum class Answer { Found, Over, Other };
Answer ReadAnswer(const char* data, std::size_t length, uint32_t sequence, inet_diag_msg& message)
{
    std::size_t offset = 0;
    while (length - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > length - offset)
            return Answer::Over;
        const char* body = data + offset + sizeof header;
        const std::size_t bodyLength = header.nlmsg_len - sizeof header;
        if (header.nlmsg_seq == sequence) {
            if (header.nlmsg_type == NLMSG_ERROR || header.nlmsg_type == NLMSG_DONE)
                return Answer::Over;
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                if (bodyLength < sizeof(inet_diag_msg))
                    return Answer::Over;
                std::memcpy(&message, body, sizeof message);
                return Answer::Found;
            }
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (offset > length)
            break;
    }
    return Answer::Other;
}

// The socket's diagnostics, or nothing when the kernel has none (ENOENT) or the exchange fails. Each thread keeps
// its netlink socket, since flows are looked up one after another; requests are numbered, so that an answer that
// came too late for its own request is never taken for the next one's.
std::optional<inet_diag_msg> AskKernel(DiagRequest request)
{
    thread_local UniqueFd t_socket;
    thread_local uint32_t t_sequence = 0;
    if (!t_socket) {
        UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &kReplyTimeout, sizeof kReplyTimeout) != 0)
            return std::nullopt;
        t_socket = std::move(fd);
    }
    request.header.nlmsg_seq = ++t_sequence;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent = retryOnEintr([&] {
        return ::sendto(
            t_socket.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    });
    if (sent != static_cast<ssize_t>(sizeof request)) {
        t_socket.reset();
        return std::nullopt;
    }

    // Kept aligned for nlmsghdr, though every field is copied out with memcpy.
    alignas(nlmsghdr) std::array<char, kReplyBuffer> buffer;
    for (;;) {
        ssize_t got = retryOnEintr([&] { return ::recv(t_socket.get(), buffer.data(), buffer.size(), 0); });
        if (got <= 0) {
            // No answer in time, or a broken socket: a fresh one for the next request, which an answer still on
            // its way can then never reach.
            t_socket.reset();
            return std::nullopt;
        }
        inet_diag_msg message;
        switch (ReadAnswer(buffer.data(), static_cast<std::size_t>(got), request.header.nlmsg_seq, message)) {
        case Answer::Found:
            return message;
        case Answer::Over:
            return std::nullopt;
        case Answer::Other:
            break;
        }
    }
}

// The answer must be the socket asked for: a TCP lookup falls back on a listener bound to the local port, and
// a UDP one accepts a socket that is not connected (its peer port reads 0).
bool IsTheClient(int protocol, const inet_diag_msg& message, const DiagEndpoint& local, const DiagEndpoint& remote)
{
    if (message.idiag_inode == 0)
        return false; // closed by its process (a TCP socket still finishing); nobody owns it
    if (message.id.idiag_sport != local.port)
        return false;
    if (protocol == IPPROTO_UDP && message.id.idiag_dport == 0)
        return true;
    return message.id.idiag_dport == remote.port;
}

} // namespace

std::optional<SocketIdentity> FindSocket(
    int protocol, const sockaddr_storage& clientLocal, const sockaddr_storage& clientRemote)
{
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP)
        return std::nullopt;
    std::optional<DiagEndpoint> local = ToDiagEndpoint(clientLocal);
    std::optional<DiagEndpoint> remote = ToDiagEndpoint(clientRemote);
    if (!local || !remote || local->family != remote->family)
        return std::nullopt;

    DiagRequest request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = static_cast<uint8_t>(local->family);
    request.body.sdiag_protocol = static_cast<uint8_t>(protocol);
    request.body.idiag_states = ~0u;
    // The kernel looks TCP sockets up as a packet from the peer would find them, with the request's source as
    // the socket's own end, but UDP ones with the request's source as the packet's sender: the peer.
    const DiagEndpoint& source = protocol == IPPROTO_TCP ? *local : *remote;
    const DiagEndpoint& destination = protocol == IPPROTO_TCP ? *remote : *local;
    request.body.id.idiag_sport = source.port;
    request.body.id.idiag_dport = destination.port;
    std::memcpy(request.body.id.idiag_src, source.address.data(), sizeof request.body.id.idiag_src);
    std::memcpy(request.body.id.idiag_dst, destination.address.data(), sizeof request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    std::optional<inet_diag_msg> message = AskKernel(request);
    if (!message || !IsTheClient(protocol, *message, *local, *remote))
        return std::nullopt;
    return SocketIdentity { static_cast<uid_t>(message->idiag_uid), message->idiag_inode };
}

bool SocketExists(int protocol, const sockaddr_storage& clientLocal, const sockaddr_storage& clientRemote)
{
    return FindSocket(protocol, clientLocal, clientRemote).has_value();
}

namespace {

template <typename Number> std::optional<Number> ParseNumber(std::string_view text)
{
    Number value {};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// The inode a descriptor link names ("socket:[12345]"), or nothing for any other kind of descriptor.
std::optional<uint64_t> SocketInodeOfLink(int directory, const char* name)
{
    // The longest socket link ("socket:[" + 20 digits + "]") fits well; anything longer is not one.
    char target[64];
    ssize_t length = ::readlinkat(directory, name, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
        return std::nullopt;
    constexpr std::string_view kPrefix = "socket:[";
    std::string_view link(target, static_cast<std::size_t>(length));
    if (link.substr(0, kPrefix.size()) != kPrefix || link.back() != ']')
        return std::nullopt;
    return ParseNumber<uint64_t>(link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1));
}

bool HoldsSocket(pid_t pid, int fd, uint64_t inode)
{
    return SocketInodeOfLink(AT_FDCWD, ProcPath(pid, "fd/" + std::to_string(fd)).c_str()) == inode;
}

// Whether `uid` is the real or effective user of process `pid` (the "Uid:" line of its status lists the real,
// effective, saved and file-system user ids).
bool RunsAs(pid_t pid, uid_t uid)
{
    std::optional<std::string> status = ReadSmallFile(ProcPath(pid, "status"));
    if (!status)
        return false;
    constexpr std::string_view kUidLine = "\nUid:";
    std::size_t start = status->find(kUidLine);
    if (start == std::string::npos)
        return false;
    std::string_view line(*status);
    line.remove_prefix(start + kUidLine.size());
    line = line.substr(0, line.find('\n'));
    for (int field = 0; field < 2; ++field) {
        std::size_t begin = line.find_first_not_of(" \t");
        if (begin == std::string_view::npos)
            return false;
        line.remove_prefix(begin);
        std::size_t end = line.find_first_of(" \t");
        std::string_view word = line.substr(0, end);
        if (ParseNumber<uid_t>(word) == uid)
            return true;
        line.remove_prefix(word.size());
    }
    return false;
}

struct DirCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::optional<int> NumericName(const char* name)
{
    std::optional<int> number = ParseNumber<int>(name);
    if (!number || *number < 0)
        return std::nullopt;
    return number;
}

} // namespace

SocketProcessFinder::SocketProcessFinder(std::size_t capacity)
    : m_capacity(capacity == 0 ? 1 : capacity)
{
}

namespace {

// The processes looked at first for a socket opened since the last scan.
constexpr std::size_t kRecentProcesses = 16;

// Adds the sockets process `pid` holds to `scanned`.
template <typename Sockets> void ScanProcess(pid_t pid, Sockets& scanned)
{
    DirPtr fds(::opendir(ProcPath(pid, "fd").c_str()));
    if (!fds)
        return; // ended meanwhile, or not ours to read
    while (const dirent* fdEntry = ::readdir(fds.get())) {
        std::optional<int> fd = NumericName(fdEntry->d_name);
        if (!fd)
            continue;
        if (std::optional<uint64_t> socket = SocketInodeOfLink(::dirfd(fds.get()), fdEntry->d_name))
            scanned.emplace(*socket, typename Sockets::mapped_type { pid, *fd }); // a shared socket keeps the first
    }
}

} // namespace

std::optional<pid_t> SocketProcessFinder::pidOf(uid_t uid, uint64_t inode)
{
    if (inode == 0)
        return std::nullopt;
    std::optional<Holder> cached;
    {
        MutexLock lock(m_mutex);
        auto found = m_cache.find(inode);
        if (found != m_cache.end())
            cached = found->second;
    }
    if (cached) {
        if (HoldsSocket(cached->pid, cached->fd, inode))
            return cached->pid;
        MutexLock lock(m_mutex);
        auto found = m_cache.find(inode);
        // Another thread may have put a fresher answer there meanwhile; only the one checked goes.
        if (found != m_cache.end() && found->second.pid == cached->pid && found->second.fd == cached->fd)
            m_cache.erase(found);
    }

    std::vector<Recent> recent;
    {
        MutexLock lock(m_mutex);
        recent.assign(m_recent.begin(), m_recent.end());
    }
    // One link check per process and number first: a look at a process's descriptors reads its user, lists
    // the directory and reads every link in it. Only processes found for this very user (for any, when asked
    // for root) are taken without a look at their user.
    for (const int step : { 0, 1 }) {
        for (const Recent& latest : recent) {
            if (uid != 0 && latest.uid != uid)
                continue;
            const Holder holder { latest.holder.pid, latest.holder.fd + step };
            if (HoldsSocket(holder.pid, holder.fd, inode)) {
                noteRecent(holder, uid);
                return holder.pid;
            }
        }
    }
    for (const Recent& latest : recent) {
        const pid_t pid = latest.holder.pid;
        if (uid != 0 && !RunsAs(pid, uid))
            continue;
        Sockets scanned;
        ScanProcess(pid, scanned);
        if (auto found = scanned.find(inode); found != scanned.end()) {
            noteRecent(found->second, uid);
            remember(scanned, inode);
            return pid;
        }
    }

    Sockets scanned;
    DirPtr proc(::opendir("/proc"));
    if (!proc)
        return std::nullopt;
    while (const dirent* entry = ::readdir(proc.get())) {
        std::optional<int> pid = NumericName(entry->d_name);
        if (!pid || (uid != 0 && !RunsAs(*pid, uid)))
            continue;
        ScanProcess(*pid, scanned);
    }
    remember(scanned, inode);
    auto found = scanned.find(inode);
    if (found == scanned.end())
        return std::nullopt;
    noteRecent(found->second, uid);
    return found->second.pid;
}

void SocketProcessFinder::noteRecent(const Holder& holder, uid_t uid)
{
    MutexLock lock(m_mutex);
    std::erase_if(m_recent, [&](const Recent& recent) { return recent.holder.pid == holder.pid; });
    m_recent.push_front({ holder, uid });
    if (m_recent.size() > kRecentProcesses)
        m_recent.pop_back();
}

void SocketProcessFinder::remember(const Sockets& scanned, uint64_t inode)
{
    MutexLock lock(m_mutex);
    if (m_cache.size() + scanned.size() > m_capacity)
        m_cache.clear();
    auto wanted = scanned.find(inode);
    if (wanted != scanned.end())
        m_cache.insert_or_assign(wanted->first, wanted->second);
    for (const auto& [socket, holder] : scanned) {
        if (m_cache.size() >= m_capacity)
            break;
        m_cache.insert_or_assign(socket, holder);
    }
}

FlowMetaData IdentifyFlowOwner(SocketProcessFinder& finder, int protocol, const sockaddr_storage& clientLocal,
    const sockaddr_storage& clientRemote)
{
    try {
        std::optional<SocketIdentity> socket = FindSocket(protocol, clientLocal, clientRemote);
        if (!socket)
            return {};
        std::optional<pid_t> pid = finder.pidOf(socket->uid, socket->inode);
        if (!pid)
            return {};
        std::optional<AuditToken> token = AuditToken::ForProcess(*pid, socket->inode);
        if (!token)
            return {};
        std::string name;
        std::optional<std::string> path = token->CodePath();
        if (path) {
            name = path->substr(path->rfind('/') + 1);
        } else {
            Result<std::string> command = readProcessName(*pid);
            // The name counts only while the pid still belongs to the process the token was made for.
            if (command && ProcessStartTime(*pid) == token->startTime)
                name = command.value();
        }
        if (name.empty())
            return {}; // the process ended while it was looked at
        FlowMetaData metaData;
        metaData.sourceAppSigningIdentifier = std::move(name);
        metaData.sourceAppAuditToken = token->Bytes();
        if (path)
            metaData.sourceAppCodePath = std::move(*path);
        return metaData;
    } catch (...) {
        // Out of memory while reading /proc: an unknown owner, not a lost flow.
        return {};
    }
}

} // namespace corvantis
