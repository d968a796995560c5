#include "platform/netext/PolicyRoutes.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

namespace corvantis {

namespace {

// Large enough for any single datagram the kernel sends on a routing socket.
constexpr size_t kReceiveBuffer = 64 * 1024;
// Only a kernel that does not answer at all reaches it; every request is answered at once otherwise.
constexpr time_t kReplyTimeoutSeconds = 2;

// The first 32 bits of the IPv6 placeholder range fd00:5a17::/32.
constexpr std::array<uint8_t, 4> kPlaceholderV6Prefix { 0xfd, 0x00, 0x5a, 0x17 };
constexpr uint8_t kPlaceholderV4Length = 8;
constexpr uint8_t kPlaceholderV6Length = 32;

std::string errnoText(const std::string& what, int err)
{
    return what + ": " + std::strerror(err);
}

std::string familyName(int family)
{
    return family == AF_INET ? "IPv4" : "IPv6";
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The failures that mean this machine or namespace has no IPv6 to configure: no IPv6 in the kernel at all, or
// IPv6 disabled on the loopback device (EACCES, "IPv6 is disabled on nexthop device").
bool ipv6Unavailable(int err)
{
    return err == EAFNOSUPPORT || err == EOPNOTSUPP || err == EPROTONOSUPPORT || err == EACCES;
}

// One request being built: the netlink header, the family's fixed header, then attributes, each aligned.
class Request {
public:
    Request(uint16_t type, uint16_t flags)
        : m_bytes(NLMSG_HDRLEN, 0)
    {
        nlmsghdr header {};
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        std::memcpy(m_bytes.data(), &header, sizeof header);
    }

    template <typename Fixed> void fixed(const Fixed& value) { append(&value, sizeof value); }
    void attribute(uint16_t type, const void* data, size_t size)
    {
        rtattr attr {};
        attr.rta_type = type;
        attr.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        append(&attr, sizeof attr);
        append(data, size);
    }
    void attribute32(uint16_t type, uint32_t value) { attribute(type, &value, sizeof value); }
    void attribute8(uint16_t type, uint8_t value) { attribute(type, &value, sizeof value); }

    // The finished message; its length is set, its sequence number is the socket's to give.
    std::vector<char> take()
    {
        const auto length = static_cast<uint32_t>(m_bytes.size());
        std::memcpy(m_bytes.data() + offsetof(nlmsghdr, nlmsg_len), &length, sizeof length);
        return std::move(m_bytes);
    }

private:
    void append(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const char*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
        m_bytes.resize(NLMSG_ALIGN(m_bytes.size()), 0);
    }

    std::vector<char> m_bytes;
};

// A route or rule as a dump reports it, with the whole message kept: sent back as a delete request, it names
// exactly that entry.
struct Entry {
    std::vector<char> message;
    uint8_t family = 0;
    uint8_t protocol = 0;
    uint32_t table = 0;
    uint8_t type = 0; // a route's type or a rule's action
    uint8_t dstLength = 0;
    std::array<uint8_t, 16> dst {}; // zero beyond what the message carries
    std::array<uint8_t, 16> prefsrc {}; // likewise
    int oif = 0;
    uint32_t mark = 0;
    uint32_t mask = 0;
    bool hasMark = false;
    bool hasMask = false;
};

// Calls `visit(type, data, size)` for each well-formed attribute after a fixed header of `fixedSize` bytes.
template <typename Visit> void forEachAttribute(const nlmsghdr* header, size_t fixedSize, Visit&& visit)
{
    if (header->nlmsg_len < NLMSG_SPACE(fixedSize))
        return;
    int length = static_cast<int>(header->nlmsg_len - NLMSG_SPACE(fixedSize));
    const auto* first = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(header) + NLMSG_SPACE(fixedSize));
    for (const rtattr* attr = first; RTA_OK(attr, length); attr = RTA_NEXT(attr, length))
        visit(static_cast<uint16_t>(attr->rta_type & NLA_TYPE_MASK), RTA_DATA(attr), RTA_PAYLOAD(attr));
}

bool read32(const void* data, size_t size, uint32_t& out)
{
    if (size < sizeof out)
        return false;
    std::memcpy(&out, data, sizeof out);
    return true;
}

std::optional<Entry> parseRoute(const nlmsghdr* header)
{
    if (header->nlmsg_type != RTM_NEWROUTE || header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return std::nullopt;
    rtmsg route;
    std::memcpy(&route, reinterpret_cast<const char*>(header) + NLMSG_HDRLEN, sizeof route);
    Entry entry;
    entry.family = route.rtm_family;
    entry.protocol = route.rtm_protocol;
    entry.table = route.rtm_table;
    entry.type = route.rtm_type;
    entry.dstLength = route.rtm_dst_len;
    forEachAttribute(header, sizeof(rtmsg), [&](uint16_t type, const void* data, size_t size) {
        switch (type) {
        case RTA_TABLE:
            read32(data, size, entry.table);
            break;
        case RTA_DST:
            std::memcpy(entry.dst.data(), data, std::min(size, entry.dst.size()));
            break;
        case RTA_PREFSRC:
            std::memcpy(entry.prefsrc.data(), data, std::min(size, entry.prefsrc.size()));
            break;
        case RTA_OIF: {
            uint32_t oif = 0;
            if (read32(data, size, oif))
                entry.oif = static_cast<int>(oif);
            break;
        }
        default:
            break;
        }
    });
    return entry;
}

std::optional<Entry> parseRule(const nlmsghdr* header)
{
    if (header->nlmsg_type != RTM_NEWRULE || header->nlmsg_len < NLMSG_LENGTH(sizeof(fib_rule_hdr)))
        return std::nullopt;
    fib_rule_hdr rule;
    std::memcpy(&rule, reinterpret_cast<const char*>(header) + NLMSG_HDRLEN, sizeof rule);
    Entry entry;
    entry.family = rule.family;
    entry.table = rule.table;
    entry.type = rule.action;
    forEachAttribute(header, sizeof(fib_rule_hdr), [&](uint16_t type, const void* data, size_t size) {
        switch (type) {
        case FRA_TABLE:
            read32(data, size, entry.table);
            break;
        case FRA_FWMARK:
            entry.hasMark = read32(data, size, entry.mark);
            break;
        case FRA_FWMASK:
            entry.hasMask = read32(data, size, entry.mask);
            break;
        case FRA_PROTOCOL:
            if (size >= 1)
                std::memcpy(&entry.protocol, data, 1);
            break;
        default:
            break;
        }
    });
    return entry;
}

// The kernel's explanation in an error reply (extended ACK), or "".
std::string extendedAckText(const nlmsghdr* header)
{
    nlmsgerr error;
    std::memcpy(&error, reinterpret_cast<const char*>(header) + NLMSG_HDRLEN, sizeof error);
    size_t offset = NLMSG_HDRLEN + sizeof(nlmsgerr);
    if (!(header->nlmsg_flags & NLM_F_CAPPED)) {
        if (error.msg.nlmsg_len < NLMSG_HDRLEN)
            return {};
        offset += NLMSG_ALIGN(error.msg.nlmsg_len - NLMSG_HDRLEN);
    }
    if (!(header->nlmsg_flags & NLM_F_ACK_TLVS) || offset >= header->nlmsg_len)
        return {};
    std::string text;
    const char* base = reinterpret_cast<const char*>(header) + offset;
    int length = static_cast<int>(header->nlmsg_len - offset);
    for (const auto* attr = reinterpret_cast<const rtattr*>(base); RTA_OK(attr, length);
         attr = RTA_NEXT(attr, length)) {
        if ((attr->rta_type & NLA_TYPE_MASK) == NLMSGERR_ATTR_MSG) {
            const auto* chars = static_cast<const char*>(RTA_DATA(attr));
            text.assign(chars, strnlen(chars, RTA_PAYLOAD(attr)));
        }
    }
    return text;
}

// A routing socket that sends one request at a time and waits for its answer.
class RouteSocket final {
public:
    Status open()
    {
        m_fd.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        if (!m_fd)
            return Status::error(errno, errnoText("netlink socket", errno));
        timeval timeout {};
        timeout.tv_sec = kReplyTimeoutSeconds;
        if (::setsockopt(m_fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
            return Status::error(errno, errnoText("netlink receive timeout", errno));
        // Both are optional: the kernel's reason makes errors clearer, and capped ACKs are shorter.
        const int on = 1;
        (void)::setsockopt(m_fd.get(), SOL_NETLINK, NETLINK_EXT_ACK, &on, sizeof on);
        (void)::setsockopt(m_fd.get(), SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on);
        return {};
    }

    // Sends `message` (NLM_F_ACK is added) and waits for its acknowledgement.
    Status call(std::vector<char> message, const std::string& what)
    {
        nlmsghdr header;
        std::memcpy(&header, message.data(), sizeof header);
        header.nlmsg_flags |= NLM_F_ACK;
        std::memcpy(message.data(), &header, sizeof header);
        const uint32_t seq = send(message);
        if (seq == 0)
            return Status::error(errno, errnoText(what, errno));
        return await(seq, nullptr, what);
    }

    // Dumps the routes (RTM_GETROUTE) or rules (RTM_GETRULE) of `family`.
    Result<std::vector<Entry>> dump(uint16_t type, uint8_t family)
    {
        Request request(type, NLM_F_REQUEST | NLM_F_DUMP);
        if (type == RTM_GETROUTE) {
            rtmsg route {};
            route.rtm_family = family;
            request.fixed(route);
        } else {
            fib_rule_hdr rule {};
            rule.family = family;
            request.fixed(rule);
        }
        const std::string what = familyName(family) + (type == RTM_GETROUTE ? " route dump" : " rule dump");
        const uint32_t seq = send(request.take());
        if (seq == 0)
            return Status::error(errno, errnoText(what, errno));
        std::vector<Entry> entries;
        const Status status = await(
            seq,
            [&](const nlmsghdr* header) {
                auto entry = type == RTM_GETROUTE ? parseRoute(header) : parseRule(header);
                // A kernel without the family's own dump answers with every family's.
                if (!entry || entry->family != family)
                    return;
                const auto* bytes = reinterpret_cast<const char*>(header);
                entry->message.assign(bytes, bytes + header->nlmsg_len);
                entries.push_back(std::move(*entry));
            },
            what);
        if (!status.ok())
            return status;
        return entries;
    }

private:
    // Sends with the next sequence number and returns it; 0 (errno set) when the send fails.
    uint32_t send(std::vector<char> message)
    {
        const uint32_t seq = ++m_seq;
        std::memcpy(message.data() + offsetof(nlmsghdr, nlmsg_seq), &seq, sizeof seq);
        sockaddr_nl kernel {};
        kernel.nl_family = AF_NETLINK;
        const ssize_t sent = retryOnEintr([&] {
            return ::sendto(
                m_fd.get(), message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        });
        return sent < 0 ? 0 : seq;
    }

    // Reads the answers to request `seq` up to its end: the acknowledgement or error of a request, the end of
    // a dump. Each data message goes to `onMessage`.
    Status await(uint32_t seq, const std::function<void(const nlmsghdr*)>& onMessage, const std::string& what)
    {
        std::vector<char> buffer(kReceiveBuffer);
        for (;;) {
            sockaddr_nl from {};
            iovec io { buffer.data(), buffer.size() };
            msghdr message {};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            const ssize_t got = retryOnEintr([&] { return ::recvmsg(m_fd.get(), &message, 0); });
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return Status::error(ETIMEDOUT, what + ": no answer from the kernel");
                return Status::error(errno, errnoText(what, errno));
            }
            if (got == 0)
                return Status::error(EPROTO, what + ": routing socket closed");
            if (message.msg_flags & MSG_TRUNC)
                return Status::error(EMSGSIZE, what + ": answer larger than the receive buffer");
            if (from.nl_pid != 0)
                continue; // only the kernel answers
            int length = static_cast<int>(got);
            for (const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(header, length);
                 header = NLMSG_NEXT(header, length)) {
                if (header->nlmsg_seq != seq)
                    continue; // a late answer to an earlier request
                if (header->nlmsg_type == NLMSG_ERROR) {
                    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                        return Status::error(EPROTO, what + ": short error reply");
                    int err = 0;
                    std::memcpy(&err, reinterpret_cast<const char*>(header) + NLMSG_HDRLEN, sizeof err);
                    if (err == 0)
                        return {};
                    const std::string reason = extendedAckText(header);
                    return Status::error(-err, errnoText(what, -err) + (reason.empty() ? "" : " (" + reason + ")"));
                }
                if (header->nlmsg_type == NLMSG_DONE) {
                    int err = 0;
                    if (header->nlmsg_len >= NLMSG_LENGTH(sizeof err))
                        std::memcpy(&err, reinterpret_cast<const char*>(header) + NLMSG_HDRLEN, sizeof err);
                    return err < 0 ? Status::error(-err, errnoText(what, -err)) : Status();
                }
                if (header->nlmsg_type == NLMSG_NOOP || header->nlmsg_type == NLMSG_OVERRUN)
                    continue;
                if (onMessage)
                    onMessage(header);
            }
        }
    }

    UniqueFd m_fd;
    uint32_t m_seq = 0;
};

// Deletes `entry` by sending its own message back; one that is already gone counts as deleted.
Status deleteEntry(RouteSocket& socket, const Entry& entry, bool isRoute)
{
    std::vector<char> message = entry.message;
    nlmsghdr header;
    std::memcpy(&header, message.data(), sizeof header);
    header.nlmsg_type = isRoute ? RTM_DELROUTE : RTM_DELRULE;
    header.nlmsg_flags = NLM_F_REQUEST;
    std::memcpy(message.data(), &header, sizeof header);
    const std::string what = "delete " + familyName(entry.family) + (isRoute ? " route" : " rule") + " in table "
        + std::to_string(entry.table);
    Status status = socket.call(std::move(message), what);
    if (status.errnum() == ESRCH || status.errnum() == ENOENT)
        return {};
    return status;
}

// Protocols up to RTPROT_STATIC are the kernel's and the administrator's: taking one as ours would make
// RemoveOwnRoutes() delete their routes.
Status validateProtocol(const PolicyRouteConfig& config)
{
    if (config.protocol <= RTPROT_STATIC)
        return Status::error(EINVAL,
            "route protocol " + std::to_string(config.protocol) + " belongs to the kernel or the administrator");
    return {};
}

Result<int> loopbackIndex()
{
    const unsigned index = ::if_nametoindex("lo");
    if (index == 0)
        return Status::error(errno, errnoText("loopback device", errno));
    return static_cast<int>(index);
}

Result<RouteSocket> openSocket()
{
    RouteSocket socket;
    Status status = socket.open();
    if (!status.ok())
        return status;
    return socket;
}

// The result of work done for both families apart (see the header).
Status combine(const Status& v4, const Status& v6)
{
    if (v4.ok())
        return v6.ok() || ipv6Unavailable(v6.errnum()) ? Status() : v6;
    if (v6.ok())
        return v4;
    return Status::error(v4.errnum(), v4.message() + "; " + v6.message());
}

// The header's 8-bit field cannot hold every table: RTA_TABLE and FRA_TABLE can, and they take precedence.
uint8_t headerTable(uint32_t table)
{
    return table < 256 ? static_cast<uint8_t>(table) : static_cast<uint8_t>(RT_TABLE_UNSPEC);
}

bool isTheTproxyRule(const Entry& rule, const PolicyRouteConfig& config)
{
    return rule.type == FR_ACT_TO_TBL && rule.table == config.table && rule.hasMark && rule.mark == config.tproxyMark
        && (!rule.hasMask || rule.mask == 0xffffffff);
}

Status installPolicyFamily(RouteSocket& socket, const PolicyRouteConfig& config, uint8_t family, int loopback)
{
    // The route first: the rule must never send marked packets to an empty table.
    Request route(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_REPLACE);
    rtmsg header {};
    header.rtm_family = family;
    header.rtm_table = headerTable(config.table);
    header.rtm_protocol = config.protocol;
    header.rtm_scope = RT_SCOPE_HOST;
    header.rtm_type = RTN_LOCAL;
    route.fixed(header);
    route.attribute32(RTA_TABLE, config.table);
    route.attribute32(RTA_OIF, static_cast<uint32_t>(loopback));
    Status status = socket.call(
        route.take(), familyName(family) + " local default route in table " + std::to_string(config.table));
    if (!status.ok())
        return status;

    auto rules = socket.dump(RTM_GETRULE, family);
    if (!rules.ok())
        return rules.status();
    bool present = false;
    for (const Entry& rule : rules.value()) {
        if (rule.protocol != config.protocol)
            continue;
        if (!present && isTheTproxyRule(rule, config)) {
            present = true;
            continue;
        }
        status = deleteEntry(socket, rule, false);
        if (!status.ok())
            return status;
    }
    if (!present) {
        // Without a preference the kernel puts the rule just before the main table's.
        Request rule(RTM_NEWRULE, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL);
        fib_rule_hdr ruleHeader {};
        ruleHeader.family = family;
        ruleHeader.table = headerTable(config.table);
        ruleHeader.action = FR_ACT_TO_TBL;
        rule.fixed(ruleHeader);
        rule.attribute32(FRA_TABLE, config.table);
        rule.attribute32(FRA_FWMARK, config.tproxyMark);
        rule.attribute8(FRA_PROTOCOL, config.protocol);
        status = socket.call(rule.take(),
            familyName(family) + " rule fwmark " + hex(config.tproxyMark) + " lookup " + std::to_string(config.table));
        if (!status.ok())
            return status;
    }

    // A local default route of ours in another table was made for an earlier table number.
    auto routes = socket.dump(RTM_GETROUTE, family);
    if (!routes.ok())
        return routes.status();
    for (const Entry& stale : routes.value()) {
        if (stale.protocol == config.protocol && stale.type == RTN_LOCAL && stale.dstLength == 0
            && stale.table != config.table) {
            status = deleteEntry(socket, stale, true);
            if (!status.ok())
                return status;
        }
    }
    return {};
}

Status installPlaceholderFamily(RouteSocket& socket, const PolicyRouteConfig& config, uint8_t family,
    const std::array<uint8_t, 16>& dst, uint8_t dstLength, int loopback)
{
    auto routes = socket.dump(RTM_GETROUTE, family);
    if (!routes.ok())
        return routes.status();
    // The loopback's own address is the source of connections to the range: without it the kernel would pick
    // the unspecified address, and the answers of a redirected connection would never find the application.
    std::array<uint8_t, 16> source {};
    if (family == AF_INET)
        source = { 127, 0, 0, 1 };
    else
        source[15] = 1;
    bool present = false;
    for (const Entry& route : routes.value()) {
        if (route.protocol != config.protocol || route.table != RT_TABLE_MAIN)
            continue;
        if (!present && route.type == RTN_UNICAST && route.dstLength == dstLength && route.dst == dst
            && route.oif == loopback && route.prefsrc == source) {
            present = true;
            continue;
        }
        Status status = deleteEntry(socket, route, true);
        if (!status.ok())
            return status;
    }
    if (present)
        return {};

    // Exclusive: a route of the same range that is not ours stays, and the caller learns of the clash.
    Request route(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL);
    rtmsg header {};
    header.rtm_family = family;
    header.rtm_dst_len = dstLength;
    header.rtm_table = RT_TABLE_MAIN;
    header.rtm_protocol = config.protocol;
    header.rtm_scope = RT_SCOPE_LINK;
    header.rtm_type = RTN_UNICAST;
    route.fixed(header);
    route.attribute(RTA_DST, dst.data(), family == AF_INET ? 4 : 16);
    route.attribute(RTA_PREFSRC, source.data(), family == AF_INET ? 4 : 16);
    route.attribute32(RTA_OIF, static_cast<uint32_t>(loopback));
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, dst.data(), text, sizeof text);
    return socket.call(route.take(),
        familyName(family) + " route " + text + "/" + std::to_string(dstLength) + " dev lo in the main table");
}

// Deletes our routes and rules of `family`; the first error, after trying every one.
Status removeFamily(RouteSocket& socket, const PolicyRouteConfig& config, uint8_t family)
{
    Status first;
    const auto keep = [&](Status status) {
        if (first.ok() && !status.ok())
            first = std::move(status);
    };
    // Rules before routes: a rule of ours must not outlive the table it points to.
    for (uint16_t type : { RTM_GETRULE, RTM_GETROUTE }) {
        auto entries = socket.dump(type, family);
        if (!entries.ok()) {
            keep(entries.status());
            continue;
        }
        for (const Entry& entry : entries.value()) {
            if (entry.protocol == config.protocol)
                keep(deleteEntry(socket, entry, type == RTM_GETROUTE));
        }
    }
    return first;
}

} // namespace

Status InstallPolicyRouting(const PolicyRouteConfig& config)
{
    Status status = validateProtocol(config);
    if (!status.ok())
        return status;
    // A local default route in the main or local table would swallow all of this machine's traffic.
    if (config.table == RT_TABLE_UNSPEC || config.table == RT_TABLE_DEFAULT || config.table == RT_TABLE_MAIN
        || config.table == RT_TABLE_LOCAL)
        return Status::error(EINVAL, "routing table " + std::to_string(config.table) + " is reserved");
    if (config.tproxyMark == 0)
        return Status::error(EINVAL, "TPROXY mark 0 would match every unmarked packet");
    auto loopback = loopbackIndex();
    if (!loopback.ok())
        return loopback.status();
    auto socket = openSocket();
    if (!socket.ok())
        return socket.status();
    const Status v4 = installPolicyFamily(socket.value(), config, AF_INET, loopback.value());
    const Status v6 = installPolicyFamily(socket.value(), config, AF_INET6, loopback.value());
    return combine(v4, v6);
}

Status InstallPlaceholderRoutes(const PolicyRouteConfig& config, uint8_t subnetNumber)
{
    Status status = validateProtocol(config);
    if (!status.ok())
        return status;
    auto loopback = loopbackIndex();
    if (!loopback.ok())
        return loopback.status();
    auto socket = openSocket();
    if (!socket.ok())
        return socket.status();
    std::array<uint8_t, 16> v4 {};
    v4[0] = subnetNumber;
    std::array<uint8_t, 16> v6 {};
    std::copy(kPlaceholderV6Prefix.begin(), kPlaceholderV6Prefix.end(), v6.begin());
    const Status v4Status
        = installPlaceholderFamily(socket.value(), config, AF_INET, v4, kPlaceholderV4Length, loopback.value());
    const Status v6Status
        = installPlaceholderFamily(socket.value(), config, AF_INET6, v6, kPlaceholderV6Length, loopback.value());
    return combine(v4Status, v6Status);
}

Status RemoveOwnRoutes(const PolicyRouteConfig& config)
{
    Status status = validateProtocol(config);
    if (!status.ok())
        return status;
    auto socket = openSocket();
    if (!socket.ok())
        return socket.status();
    const Status v4 = removeFamily(socket.value(), config, AF_INET);
    const Status v6 = removeFamily(socket.value(), config, AF_INET6);
    return combine(v4, v6);
}

} // namespace corvantis
