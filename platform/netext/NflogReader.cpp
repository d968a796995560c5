#include "platform/netext/NflogReader.h"

#include "platform/SystemLog.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_log.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

// Room for the kernel's queue of packet copies: a burst of DNS traffic must not overrun it while the handler is
// busy. Each queued copy costs a few kilobytes of it, whatever the packet's size.
constexpr int kReceiveBuffer = 8 * 1024 * 1024;
// Large enough for any one datagram the kernel sends: a whole 64 KiB packet with its attributes.
constexpr std::size_t kDatagramBuffer = 128 * 1024;
// The kernel answers a configuration request while it is being sent; this only guards against a lost answer.
constexpr auto kAckPatience = std::chrono::seconds(5);

constexpr std::size_t kIpv4HeaderMin = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kTcpHeaderMin = 20;
// The header of a netfilter netlink message: the netlink header, then struct nfgenmsg, then the attributes.
constexpr std::size_t kNfHeader = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg));

std::string errnoText(const char* what, int err)
{
    return std::string(what) + ": " + std::strerror(err);
}

uint16_t readBe16(const uint8_t* at)
{
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

std::string addressText(int family, const uint8_t* address)
{
    std::array<char, INET6_ADDRSTRLEN> text {};
    if (!::inet_ntop(family, address, text.data(), text.size()))
        return {};
    return text.data();
}

// Calls `visit(message, length)` for each whole netlink message of a datagram; stops at the first whose length
// does not fit what is left, since nothing after it can be found. Returns false when it stopped early.
template <typename Visit> bool forEachMessage(const uint8_t* data, std::size_t size, Visit&& visit)
{
    std::size_t at = 0;
    while (size - at >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + at, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - at)
            return false;
        visit(header, data + at, static_cast<std::size_t>(header.nlmsg_len));
        at += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), size - at);
    }
    return true;
}

// The transport part of a packet, once the IP header (and any IPv6 extension headers) are behind.
struct Transport {
    int protocol = 0;
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

std::optional<Transport> skipIpv4Header(const uint8_t* data, std::size_t size, NflogPacket& packet)
{
    if (size < kIpv4HeaderMin || (data[0] >> 4) != 4)
        return std::nullopt;
    const std::size_t headerLength = (data[0] & 0x0fu) * 4u;
    const std::size_t totalLength = readBe16(data + 2);
    if (headerLength < kIpv4HeaderMin || headerLength > totalLength || totalLength > size)
        return std::nullopt;
    // More-fragments or an offset: the transport header and data are not all here.
    if ((readBe16(data + 6) & 0x3fffu) != 0)
        return std::nullopt;
    packet.sourceAddress = addressText(AF_INET, data + 12);
    packet.destinationAddress = addressText(AF_INET, data + 16);
    return Transport { data[9], data + headerLength, totalLength - headerLength };
}

std::optional<Transport> skipIpv6Headers(const uint8_t* data, std::size_t size, NflogPacket& packet)
{
    if (size < kIpv6Header || (data[0] >> 4) != 6)
        return std::nullopt;
    const std::size_t payloadLength = readBe16(data + 4);
    // A payload length of 0 announces a jumbogram, which a logged copy cannot hold whole.
    if (payloadLength == 0 || payloadLength > size - kIpv6Header)
        return std::nullopt;
    const std::size_t end = kIpv6Header + payloadLength;
    packet.sourceAddress = addressText(AF_INET6, data + 8);
    packet.destinationAddress = addressText(AF_INET6, data + 24);

    uint8_t next = data[6];
    std::size_t at = kIpv6Header;
    // Every extension header is at least 8 bytes long, so the walk ends.
    for (;;) {
        std::size_t length = 0;
        switch (next) {
        case IPPROTO_HOPOPTS:
        case IPPROTO_ROUTING:
        case IPPROTO_DSTOPTS:
            if (end - at < 8)
                return std::nullopt;
            length = (static_cast<std::size_t>(data[at + 1]) + 1) * 8;
            break;
        case IPPROTO_FRAGMENT:
            if (end - at < 8)
                return std::nullopt;
            // Only an atomic fragment (offset 0, no more fragments) carries the whole datagram.
            if ((readBe16(data + at + 2) & 0xfff9u) != 0)
                return std::nullopt;
            length = 8;
            break;
        case IPPROTO_AH:
            if (end - at < 8)
                return std::nullopt;
            length = (static_cast<std::size_t>(data[at + 1]) + 2) * 4;
            break;
        default:
            return Transport { next, data + at, end - at };
        }
        if (length > end - at)
            return std::nullopt;
        next = data[at];
        at += length;
    }
}

// The attributes of a configuration message that carries one command.
std::vector<uint8_t> command(uint8_t cmd)
{
    const nlattr attr { static_cast<uint16_t>(NLA_HDRLEN + sizeof(nfulnl_msg_config_cmd)), NFULA_CFG_CMD };
    std::vector<uint8_t> attributes(NLA_ALIGN(attr.nla_len));
    std::memcpy(attributes.data(), &attr, sizeof attr);
    attributes[NLA_HDRLEN] = cmd;
    return attributes;
}

} // namespace

std::optional<NflogPacket> ParseNflogIpPacket(int family, const uint8_t* data, std::size_t size)
{
    if (data == nullptr)
        return std::nullopt;
    NflogPacket packet;
    packet.family = family;
    std::optional<Transport> transport;
    if (family == AF_INET)
        transport = skipIpv4Header(data, size, packet);
    else if (family == AF_INET6)
        transport = skipIpv6Headers(data, size, packet);
    if (!transport || packet.sourceAddress.empty() || packet.destinationAddress.empty())
        return std::nullopt;

    const uint8_t* segment = transport->data;
    const std::size_t room = transport->size;
    packet.protocol = transport->protocol;
    switch (transport->protocol) {
    case IPPROTO_UDP: {
        if (room < kUdpHeader)
            return std::nullopt;
        const std::size_t length = readBe16(segment + 4);
        if (length < kUdpHeader || length > room)
            return std::nullopt;
        packet.payload.assign(segment + kUdpHeader, segment + length);
        break;
    }
    case IPPROTO_TCP: {
        if (room < kTcpHeaderMin)
            return std::nullopt;
        const std::size_t headerLength = (segment[12] >> 4) * 4u;
        if (headerLength < kTcpHeaderMin || headerLength > room)
            return std::nullopt;
        packet.payload.assign(segment + headerLength, segment + room);
        break;
    }
    default:
        return std::nullopt;
    }
    packet.sourcePort = readBe16(segment);
    packet.destinationPort = readBe16(segment + 2);
    return packet;
}

NflogReader::NflogReader(uint16_t group, PacketHandler handler)
    : m_group(group)
    , m_handler(std::move(handler))
{
}

NflogReader::~NflogReader()
{
    stop();
}

Result<std::unique_ptr<NflogReader>> NflogReader::open(uint16_t group, PacketHandler handler)
{
    std::unique_ptr<NflogReader> reader(new NflogReader(group, std::move(handler)));
    if (Status status = reader->configure(); !status.ok())
        return status;
    try {
        reader->m_thread = std::thread([raw = reader.get()] { raw->run(); });
    } catch (const std::system_error& e) {
        return Status::error(EAGAIN, std::string("nflog thread: ") + e.what());
    }
    return reader;
}

Status NflogReader::configure()
{
    m_buffer.resize(kDatagramBuffer);
    m_socket.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_NETFILTER));
    if (!m_socket)
        return Status::error(errno, errnoText("nflog socket", errno));
    m_wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wake)
        return Status::error(errno, errnoText("eventfd", errno));

    // Forcing past the system's limit needs CAP_NET_ADMIN, which binding a group needs anyway; the plain option
    // is what is left without it.
    if (::setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0
        && ::setsockopt(m_socket.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        return Status::error(errno, errnoText("nflog receive buffer", errno));

    sockaddr_nl local {};
    local.nl_family = AF_NETLINK;
    if (::bind(m_socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return Status::error(errno, errnoText("nflog bind", errno));

    // No family binding (PF_BIND): the kernels the daemon runs on deliver without it, and it would make this
    // socket the namespace's default logger, taking over the kernel log of every rule that logs without a group.
    if (Status status = sendConfig(AF_UNSPEC, m_group, command(NFULNL_CFG_CMD_BIND), true); !status.ok()) {
        // The kernel says EPERM both without CAP_NET_ADMIN and when another socket has the group.
        std::string message = "nflog group " + std::to_string(m_group) + ": " + status.message();
        if (status.errnum() == EPERM || status.errnum() == EBUSY)
            message += " (another socket may have the group)";
        return Status::error(status.errnum(), message);
    }
    m_bound = true;

    // Whole packets, and each one sent at once: by default the kernel gathers copies for up to a second, and the
    // filter would then see a DNS answer after the connection it names has started.
    std::vector<uint8_t> attributes;
    const auto append = [&](uint16_t type, const void* value, std::size_t size) {
        const nlattr attr { static_cast<uint16_t>(NLA_HDRLEN + size), type };
        const std::size_t at = attributes.size();
        attributes.resize(at + NLA_ALIGN(attr.nla_len));
        std::memcpy(attributes.data() + at, &attr, sizeof attr);
        std::memcpy(attributes.data() + at + NLA_HDRLEN, value, size);
    };
    nfulnl_msg_config_mode mode {};
    mode.copy_range = htonl(0xFFFF);
    mode.copy_mode = NFULNL_COPY_PACKET;
    append(NFULA_CFG_MODE, &mode, sizeof mode);
    const uint32_t threshold = htonl(1);
    append(NFULA_CFG_QTHRESH, &threshold, sizeof threshold);
    return sendConfig(AF_UNSPEC, m_group, attributes, true);
}

Status NflogReader::sendConfig(
    uint8_t family, uint16_t resourceId, const std::vector<uint8_t>& attributes, bool wantAck)
{
    std::vector<uint8_t> message(kNfHeader + attributes.size());
    nlmsghdr header {};
    header.nlmsg_len = static_cast<uint32_t>(message.size());
    header.nlmsg_type = (NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_CONFIG;
    header.nlmsg_flags = NLM_F_REQUEST | (wantAck ? NLM_F_ACK : 0);
    header.nlmsg_seq = ++m_sequence;
    nfgenmsg nf {};
    nf.nfgen_family = family;
    nf.version = NFNETLINK_V0;
    nf.res_id = htons(resourceId);
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + NLMSG_HDRLEN, &nf, sizeof nf);
    if (!attributes.empty())
        std::memcpy(message.data() + kNfHeader, attributes.data(), attributes.size());

    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (retryOnEintr([&] {
            return ::sendto(m_socket.get(), message.data(), message.size(), MSG_NOSIGNAL,
                reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
        })
        < 0)
        return Status::error(errno, errnoText("nflog configuration", errno));
    return wantAck ? awaitAck(header.nlmsg_seq) : Status();
}

Status NflogReader::awaitAck(uint32_t sequence)
{
    const auto deadline = std::chrono::steady_clock::now() + kAckPatience;
    for (;;) {
        sockaddr_nl from {};
        iovec vector { m_buffer.data(), m_buffer.size() };
        msghdr message {};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(m_socket.get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == ENOBUFS)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return Status::error(errno, errnoText("nflog configuration reply", errno));
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return Status::error(ETIMEDOUT, "nflog configuration: no reply from the kernel");
            pollfd p { m_socket.get(), POLLIN, 0 };
            (void)::poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        if (from.nl_pid != 0)
            continue;
        std::optional<int> answer;
        // Packets logged while we wait are kept for the thread rather than lost.
        const bool whole = forEachMessage(m_buffer.data(), static_cast<std::size_t>(got),
            [&](const nlmsghdr& header, const uint8_t* at, std::size_t size) {
                if (header.nlmsg_type == NLMSG_ERROR && header.nlmsg_seq == sequence) {
                    nlmsgerr error {};
                    if (size >= NLMSG_HDRLEN + sizeof error) {
                        std::memcpy(&error, at + NLMSG_HDRLEN, sizeof error);
                        answer = -error.error;
                    } else {
                        answer = EPROTO;
                    }
                    return;
                }
                readMessage(at, size, [&](NflogPacket&& packet) { m_early.push_back(std::move(packet)); });
            });
        if (!whole || (message.msg_flags & MSG_TRUNC))
            m_skipped.fetch_add(1, std::memory_order_relaxed);
        if (answer) {
            if (*answer == 0)
                return Status();
            return Status::error(*answer, errnoText("nflog configuration", *answer));
        }
    }
}

void NflogReader::stop()
{
    if (m_thread.joinable()) {
        m_stopping.store(true, std::memory_order_relaxed);
        const uint64_t one = 1;
        (void)!::write(m_wake.get(), &one, sizeof one);
        m_thread.join();
    }
    if (m_bound && m_socket) {
        // Closing the socket releases the group as well; saying so keeps the kernel from logging into a queue
        // nobody reads in the meantime.
        (void)sendConfig(AF_UNSPEC, m_group, command(NFULNL_CFG_CMD_UNBIND), false);
    }
    m_bound = false;
    m_socket.reset();
    m_wake.reset();
    m_early.clear();
}

void NflogReader::run()
{
    for (const NflogPacket& packet : m_early)
        deliver(packet);
    m_early.clear();
    while (!m_stopping.load(std::memory_order_relaxed)) {
        std::array<pollfd, 2> fds {
            pollfd { m_wake.get(), POLLIN, 0 },
            pollfd { m_socket.get(), POLLIN, 0 },
        };
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return; // nothing sensible is left to wait on
        }
        if (fds[0].revents != 0 || (fds[1].revents & POLLNVAL))
            return;
        // An overrun shows as POLLERR; the read reports it.
        if (fds[1].revents != 0)
            drain();
    }
}

void NflogReader::drain()
{
    bool overran = false;
    while (!m_stopping.load(std::memory_order_relaxed)) {
        sockaddr_nl from {};
        iovec vector { m_buffer.data(), m_buffer.size() };
        msghdr message {};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(m_socket.get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                // The kernel dropped copies because our queue was full. Reported once until the queue has been
                // emptied, so a flood that overruns it again and again makes one line, not one per read.
                overran = true;
                if (!m_overrun) {
                    m_overrun = true;
                    SystemLog("nflog group " + std::to_string(m_group)
                        + ": receive queue overrun; the kernel dropped packet copies");
                }
                continue;
            }
            break; // EAGAIN: the queue is empty
        }
        if (from.nl_pid != 0)
            continue;
        const bool whole = forEachMessage(
            m_buffer.data(), static_cast<std::size_t>(got), [&](const nlmsghdr&, const uint8_t* at, std::size_t size) {
                readMessage(at, size, [&](NflogPacket&& packet) { deliver(packet); });
            });
        if (!whole || (message.msg_flags & MSG_TRUNC))
            m_skipped.fetch_add(1, std::memory_order_relaxed);
    }
    if (!overran)
        m_overrun = false;
}

void NflogReader::readMessage(const uint8_t* message, std::size_t size, const std::function<void(NflogPacket&&)>& sink)
{
    nlmsghdr header;
    std::memcpy(&header, message, sizeof header);
    if (header.nlmsg_type != ((NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_PACKET))
        return;
    const auto skip = [&] { m_skipped.fetch_add(1, std::memory_order_relaxed); };
    if (size < kNfHeader)
        return skip();
    nfgenmsg nf;
    std::memcpy(&nf, message + NLMSG_HDRLEN, sizeof nf);
    if (ntohs(nf.res_id) != m_group)
        return;

    int family = nf.nfgen_family;
    const uint8_t* payload = nullptr;
    std::size_t payloadSize = 0;
    for (std::size_t at = kNfHeader; size - at >= NLA_HDRLEN;) {
        nlattr attr;
        std::memcpy(&attr, message + at, sizeof attr);
        if (attr.nla_len < NLA_HDRLEN || attr.nla_len > size - at)
            return skip();
        const uint8_t* value = message + at + NLA_HDRLEN;
        const std::size_t valueSize = attr.nla_len - NLA_HDRLEN;
        switch (attr.nla_type & NLA_TYPE_MASK) {
        case NFULA_PACKET_HDR:
            // A bridge or device hook names the packet's family only in the hardware protocol.
            if (valueSize >= sizeof(nfulnl_msg_packet_hdr) && family != AF_INET && family != AF_INET6) {
                nfulnl_msg_packet_hdr packetHeader;
                std::memcpy(&packetHeader, value, sizeof packetHeader);
                if (ntohs(packetHeader.hw_protocol) == ETH_P_IP)
                    family = AF_INET;
                else if (ntohs(packetHeader.hw_protocol) == ETH_P_IPV6)
                    family = AF_INET6;
            }
            break;
        case NFULA_PAYLOAD:
            payload = value;
            payloadSize = valueSize;
            break;
        default:
            break;
        }
        at += std::min<std::size_t>(NLA_ALIGN(attr.nla_len), size - at);
    }
    std::optional<NflogPacket> packet = ParseNflogIpPacket(family, payload, payloadSize);
    if (!packet)
        return skip();
    sink(std::move(*packet));
}

void NflogReader::deliver(const NflogPacket& packet)
{
    if (!m_handler)
        return;
    try {
        m_handler(packet);
    } catch (...) {
        // A handler's failure must not end the reading; the next packet calls it again.
    }
}

} // namespace corvantis
