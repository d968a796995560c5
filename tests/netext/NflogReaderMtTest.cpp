#include "platform/netext/NflogReader.h"

#include "platform/Mutex.h"
#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::waitUntil;

constexpr uint16_t kGroup = 7;

// ---- Packets made by hand, for the parser ----

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

void PutBe16(std::vector<uint8_t>& bytes, std::size_t at, std::size_t value)
{
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

std::vector<uint8_t> Udp(uint16_t source, uint16_t destination, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> segment(8);
    PutBe16(segment, 0, source);
    PutBe16(segment, 2, destination);
    PutBe16(segment, 4, 8 + payload.size());
    segment.insert(segment.end(), payload.begin(), payload.end());
    return segment;
}

// A TCP segment whose header has `optionBytes` of options (a multiple of 4).
std::vector<uint8_t> Tcp(
    uint16_t source, uint16_t destination, const std::vector<uint8_t>& payload, std::size_t optionBytes = 0)
{
    std::vector<uint8_t> segment(20 + optionBytes, 0x01); // NOP options
    PutBe16(segment, 0, source);
    PutBe16(segment, 2, destination);
    segment[12] = static_cast<uint8_t>(((20 + optionBytes) / 4) << 4);
    segment.insert(segment.end(), payload.begin(), payload.end());
    return segment;
}

// An IPv4 packet 10.1.2.3 -> 192.0.2.53 with `optionBytes` of header options (a multiple of 4).
std::vector<uint8_t> Ipv4(uint8_t protocol, const std::vector<uint8_t>& segment, std::size_t optionBytes = 0)
{
    const std::size_t header = 20 + optionBytes;
    std::vector<uint8_t> packet(header, 0x01);
    packet[0] = static_cast<uint8_t>(0x40 | (header / 4));
    packet[1] = 0;
    PutBe16(packet, 2, header + segment.size());
    PutBe16(packet, 4, 0x1234);
    PutBe16(packet, 6, 0x4000); // don't fragment
    packet[8] = 64;
    packet[9] = protocol;
    PutBe16(packet, 10, 0);
    const uint8_t addresses[] = { 10, 1, 2, 3, 192, 0, 2, 53 };
    std::copy(std::begin(addresses), std::end(addresses), packet.begin() + 12);
    packet.insert(packet.end(), segment.begin(), segment.end());
    return packet;
}

struct Extension {
    uint8_t type;
    std::vector<uint8_t> body; // after the next-header byte
};

// An IPv6 packet 2001:db8::1 -> 2001:db8::53 whose extension headers come in the order given.
std::vector<uint8_t> Ipv6(uint8_t protocol, const std::vector<uint8_t>& segment, std::vector<Extension> extensions = {})
{
    std::vector<uint8_t> packet(40, 0);
    packet[0] = 0x60;
    packet[7] = 64;
    packet[8] = 0x20;
    packet[9] = 0x01;
    packet[10] = 0x0d;
    packet[11] = 0xb8;
    packet[23] = 0x01;
    std::copy(packet.begin() + 8, packet.begin() + 24, packet.begin() + 24);
    packet[39] = 0x53;
    std::size_t nextAt = 6;
    for (const Extension& extension : extensions) {
        packet[nextAt] = extension.type;
        nextAt = packet.size();
        packet.push_back(0);
        packet.insert(packet.end(), extension.body.begin(), extension.body.end());
    }
    packet[nextAt] = protocol;
    packet.insert(packet.end(), segment.begin(), segment.end());
    PutBe16(packet, 4, packet.size() - 40);
    return packet;
}

// An options header of 8 bytes (length field 0), or of 16 (length field 1).
Extension Options(uint8_t type, uint8_t lengthField = 0)
{
    std::vector<uint8_t> body(7 + 8 * lengthField, 0);
    body[0] = lengthField;
    body[1] = 1; // PadN over the rest
    body[2] = static_cast<uint8_t>(body.size() - 3);
    return { type, body };
}

Extension Fragment(uint16_t offsetAndFlags)
{
    std::vector<uint8_t> body(7, 0);
    body[1] = static_cast<uint8_t>(offsetAndFlags >> 8);
    body[2] = static_cast<uint8_t>(offsetAndFlags);
    return { IPPROTO_FRAGMENT, body };
}

std::vector<uint8_t> With(std::vector<uint8_t> bytes, std::size_t at, uint8_t value)
{
    bytes.at(at) = value;
    return bytes;
}

std::vector<uint8_t> WithBe16(std::vector<uint8_t> bytes, std::size_t at, std::size_t value)
{
    PutBe16(bytes, at, value);
    return bytes;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, std::size_t size)
{
    bytes.resize(size);
    return bytes;
}

// Parses a copy of exactly the packet's bytes, so that reading past them is caught by the address sanitizer.
std::optional<NflogPacket> Parse(int family, const std::vector<uint8_t>& bytes)
{
    auto exact = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return ParseNflogIpPacket(family, exact.get(), bytes.size());
}

TEST(NflogParse, ReadsAddressesPortsAndPayload)
{
    const auto query = Bytes("dns query");
    struct Case {
        const char* name;
        int family;
        std::vector<uint8_t> packet;
        int protocol;
        std::string source;
        uint16_t sourcePort;
        std::string destination;
        uint16_t destinationPort;
        std::vector<uint8_t> payload;
    };
    const std::string v4a = "10.1.2.3", v4b = "192.0.2.53", v6a = "2001:db8::1", v6b = "2001:db8::53";
    const std::vector<Case> cases {
        { "IPv4 UDP", AF_INET, Ipv4(IPPROTO_UDP, Udp(40000, 53, query)), IPPROTO_UDP, v4a, 40000, v4b, 53, query },
        { "IPv4 with options", AF_INET, Ipv4(IPPROTO_UDP, Udp(1, 53, query), 12), IPPROTO_UDP, v4a, 1, v4b, 53, query },
        { "IPv4 with the largest header", AF_INET, Ipv4(IPPROTO_UDP, Udp(1, 53, query), 40), IPPROTO_UDP, v4a, 1, v4b,
            53, query },
        { "IPv4 UDP without data", AF_INET, Ipv4(IPPROTO_UDP, Udp(5353, 53, {})), IPPROTO_UDP, v4a, 5353, v4b, 53, {} },
        { "bytes after the IPv4 total length are padding", AF_INET,
            [&] {
                auto p = Ipv4(IPPROTO_UDP, Udp(2, 53, query));
                p.insert(p.end(), 6, 0xee);
                return p;
            }(),
            IPPROTO_UDP, v4a, 2, v4b, 53, query },
        { "UDP data ends at the UDP length", AF_INET,
            [&] {
                auto segment = Udp(3, 53, query);
                segment.insert(segment.end(), 4, 0xee); // inside the IP packet but past the UDP length
                return Ipv4(IPPROTO_UDP, segment);
            }(),
            IPPROTO_UDP, v4a, 3, v4b, 53, query },
        { "IPv4 TCP with options", AF_INET, Ipv4(IPPROTO_TCP, Tcp(41000, 53, query, 12)), IPPROTO_TCP, v4a, 41000, v4b,
            53, query },
        { "IPv4 TCP without data", AF_INET, Ipv4(IPPROTO_TCP, Tcp(41000, 53, {})), IPPROTO_TCP, v4a, 41000, v4b, 53,
            {} },
        { "IPv6 UDP", AF_INET6, Ipv6(IPPROTO_UDP, Udp(40001, 53, query)), IPPROTO_UDP, v6a, 40001, v6b, 53, query },
        { "IPv6 TCP", AF_INET6, Ipv6(IPPROTO_TCP, Tcp(40002, 53, query, 4)), IPPROTO_TCP, v6a, 40002, v6b, 53, query },
        { "IPv6 behind extension headers", AF_INET6,
            Ipv6(IPPROTO_UDP, Udp(4, 53, query),
                { Options(IPPROTO_HOPOPTS), Options(IPPROTO_DSTOPTS, 1), Options(IPPROTO_ROUTING) }),
            IPPROTO_UDP, v6a, 4, v6b, 53, query },
        { "IPv6 atomic fragment", AF_INET6, Ipv6(IPPROTO_UDP, Udp(5, 53, query), { Fragment(0) }), IPPROTO_UDP, v6a, 5,
            v6b, 53, query },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto packet = Parse(c.family, c.packet);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->family, c.family);
        EXPECT_EQ(packet->protocol, c.protocol);
        EXPECT_EQ(packet->sourceAddress, c.source);
        EXPECT_EQ(packet->sourcePort, c.sourcePort);
        EXPECT_EQ(packet->destinationAddress, c.destination);
        EXPECT_EQ(packet->destinationPort, c.destinationPort);
        EXPECT_EQ(packet->payload, c.payload);
    }
}

TEST(NflogParse, SkipsMalformedTruncatedAndOtherPackets)
{
    const auto query = Bytes("dns query");
    const auto v4 = Ipv4(IPPROTO_UDP, Udp(1, 53, query));
    const auto v6 = Ipv6(IPPROTO_UDP, Udp(1, 53, query));
    struct Case {
        const char* name;
        int family;
        std::vector<uint8_t> packet;
    };
    const std::vector<Case> cases {
        { "empty", AF_INET, {} },
        { "IPv4 header cut short", AF_INET, Cut(v4, 19) },
        { "IPv4 version field says 6", AF_INET, With(v4, 0, 0x65) },
        { "IPv4 IHL below 5", AF_INET, With(v4, 0, 0x44) },
        { "IPv4 IHL past the total length", AF_INET, With(Ipv4(IPPROTO_UDP, {}), 0, 0x46) },
        { "IPv4 IHL past the data", AF_INET, With(Cut(v4, 24), 0, 0x4f) },
        { "IPv4 total length past the data", AF_INET, WithBe16(v4, 2, v4.size() + 1) },
        { "IPv4 total length inside the header", AF_INET, WithBe16(v4, 2, 19) },
        { "IPv4 first fragment", AF_INET, WithBe16(v4, 6, 0x2000) },
        { "IPv4 later fragment", AF_INET, WithBe16(v4, 6, 0x0001) },
        { "UDP header cut short", AF_INET, Ipv4(IPPROTO_UDP, Cut(Udp(1, 53, {}), 7)) },
        { "UDP length past the data", AF_INET,
            Ipv4(IPPROTO_UDP, WithBe16(Udp(1, 53, query), 4, 8 + query.size() + 1)) },
        { "UDP length below its header", AF_INET, Ipv4(IPPROTO_UDP, WithBe16(Udp(1, 53, query), 4, 7)) },
        { "TCP header cut short", AF_INET, Ipv4(IPPROTO_TCP, Cut(Tcp(1, 53, {}), 19)) },
        { "TCP data offset below 5", AF_INET, Ipv4(IPPROTO_TCP, With(Tcp(1, 53, query), 12, 0x40)) },
        { "TCP data offset past the data", AF_INET, Ipv4(IPPROTO_TCP, With(Tcp(1, 53, {}), 12, 0x60)) },
        { "ICMP", AF_INET, Ipv4(IPPROTO_ICMP, std::vector<uint8_t>(8, 0)) },
        { "IPv6 header cut short", AF_INET6, Cut(v6, 39) },
        { "IPv6 version field says 4", AF_INET6, With(v6, 0, 0x40) },
        { "IPv6 payload length past the data", AF_INET6, Cut(v6, v6.size() - 1) },
        { "IPv6 jumbogram", AF_INET6, WithBe16(v6, 4, 0) },
        { "IPv6 UDP length past the data", AF_INET6,
            Ipv6(IPPROTO_UDP, WithBe16(Udp(1, 53, query), 4, 8 + query.size() + 1)) },
        { "IPv6 extension header past the data", AF_INET6,
            Ipv6(IPPROTO_UDP, {}, { Options(IPPROTO_HOPOPTS), Options(IPPROTO_DSTOPTS, 1) }) },
        { "IPv6 extension header cut short", AF_INET6, Cut(Ipv6(IPPROTO_UDP, {}, { Options(IPPROTO_HOPOPTS) }), 44) },
        { "IPv6 later fragment", AF_INET6, Ipv6(IPPROTO_UDP, Udp(1, 53, query), { Fragment(0x0008) }) },
        { "IPv6 first of more fragments", AF_INET6, Ipv6(IPPROTO_UDP, Udp(1, 53, query), { Fragment(0x0001) }) },
        { "IPv6 ICMPv6", AF_INET6, Ipv6(IPPROTO_ICMPV6, std::vector<uint8_t>(8, 0)) },
        { "IPv6 no next header", AF_INET6, Ipv6(IPPROTO_NONE, {}) },
        { "IPv4 read as IPv6", AF_INET6, v4 },
        { "unknown family", AF_UNIX, v4 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Parse(c.family, c.packet));
    }
    EXPECT_FALSE(ParseNflogIpPacket(AF_INET, nullptr, 100));
}

// Every prefix of a valid packet is refused, and none is read past its end.
TEST(NflogParse, EveryTruncationIsRefused)
{
    const auto query = Bytes("a longer dns query");
    const std::vector<std::pair<int, std::vector<uint8_t>>> packets {
        { AF_INET, Ipv4(IPPROTO_UDP, Udp(1, 53, query), 8) },
        { AF_INET, Ipv4(IPPROTO_TCP, Tcp(1, 53, query, 8)) },
        { AF_INET6, Ipv6(IPPROTO_UDP, Udp(1, 53, query), { Options(IPPROTO_HOPOPTS), Fragment(0) }) },
    };
    for (const auto& [family, packet] : packets) {
        ASSERT_TRUE(Parse(family, packet));
        for (std::size_t size = 0; size < packet.size(); ++size) {
            SCOPED_TRACE(size);
            EXPECT_FALSE(Parse(family, Cut(packet, size)));
        }
    }
}

// ---- The reader against the kernel, in a namespace of the test's own ----

// Keeps what the reader hands over.
class Collector final {
public:
    NflogReader::PacketHandler handler()
    {
        return [this](const NflogPacket& packet) {
            MutexLock lock(m_mutex);
            m_packets.push_back(packet);
        };
    }
    std::vector<NflogPacket> packets()
    {
        MutexLock lock(m_mutex);
        return m_packets;
    }
    std::size_t size()
    {
        MutexLock lock(m_mutex);
        return m_packets.size();
    }
    // The first packet carrying `payload`, if one has come.
    std::optional<NflogPacket> find(const std::vector<uint8_t>& payload)
    {
        MutexLock lock(m_mutex);
        for (const NflogPacket& packet : m_packets)
            if (packet.payload == payload)
                return packet;
        return std::nullopt;
    }
    // The first packet carrying `payload`, once one has come.
    std::optional<NflogPacket> waitFor(const std::vector<uint8_t>& payload)
    {
        std::optional<NflogPacket> found;
        waitUntil([&] { return (found = find(payload)).has_value(); });
        return found;
    }

private:
    Mutex m_mutex;
    std::vector<NflogPacket> m_packets GUARDED_BY(m_mutex);
};

// Lines of the system log while the object lives.
class LogLines final {
public:
    LogLines()
    {
        SetSystemLogSink([this](const std::string& line) {
            MutexLock lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~LogLines() { SetSystemLogSink(nullptr); }
    std::size_t countContaining(const std::string& text)
    {
        MutexLock lock(m_mutex);
        return static_cast<std::size_t>(std::count_if(m_lines.begin(), m_lines.end(),
            [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }

private:
    Mutex m_mutex;
    std::vector<std::string> m_lines GUARDED_BY(m_mutex);
};

class NflogReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ns.valid())
            GTEST_SKIP() << "needs root and iproute2 network namespaces";
    }

    // Loads `rules` (the body of an output chain) into table inet t of the namespace.
    bool addRules(const std::string& rules)
    {
        const auto file = dir / "rules.nft";
        std::ofstream(file) << "table inet t {\n  chain o {\n    type filter hook output priority 0;\n    " << rules
                            << "\n  }\n}\n";
        return ns.run("nft -f " + file.string());
    }

    Result<NflogReaderPtr> openInside(uint16_t group, NflogReader::PacketHandler handler)
    {
        std::optional<Result<NflogReaderPtr>> opened;
        if (!ns.runInside([&] { opened.emplace(NflogReader::open(group, std::move(handler))); }))
            return Status::error(EPERM, "cannot enter the namespace");
        return std::move(*opened);
    }

    // Sends `payload` from the namespace's loopback `from` (port chosen by the system) to port 53 of `to`;
    // the source port, or 0 when the datagram could not be sent.
    uint16_t sendUdp(int family, const std::vector<uint8_t>& payload, int count = 1)
    {
        uint16_t port = 0;
        ns.runInside([&] {
            UniqueFd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_storage local {};
            sockaddr_storage remote {};
            socklen_t length = 0;
            if (family == AF_INET) {
                auto* l = reinterpret_cast<sockaddr_in*>(&local);
                auto* r = reinterpret_cast<sockaddr_in*>(&remote);
                l->sin_family = r->sin_family = AF_INET;
                l->sin_addr.s_addr = r->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                r->sin_port = htons(53);
                length = sizeof(sockaddr_in);
            } else {
                auto* l = reinterpret_cast<sockaddr_in6*>(&local);
                auto* r = reinterpret_cast<sockaddr_in6*>(&remote);
                l->sin6_family = r->sin6_family = AF_INET6;
                l->sin6_addr = r->sin6_addr = in6addr_loopback;
                r->sin6_port = htons(53);
                length = sizeof(sockaddr_in6);
            }
            if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), length) != 0
                || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
                return;
            for (int i = 0; i < count; ++i) {
                if (::sendto(fd.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&remote), length)
                    != static_cast<ssize_t>(payload.size()))
                    return;
            }
            port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&local)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
        });
        return port;
    }

    test::NetNamespace ns { "nflog" };
    test::TempDir dir;
};

TEST_F(NflogReaderTest, HandsOverLoggedUdpOfBothFamilies)
{
    ASSERT_TRUE(addRules("udp dport 53 log group 7"));
    Collector collector;
    auto reader = openInside(kGroup, collector.handler());
    ASSERT_TRUE(reader.ok()) << reader.status().message();

    struct Case {
        const char* name;
        int family;
        std::string address;
    };
    const Case cases[] = { { "IPv4", AF_INET, "127.0.0.1" }, { "IPv6", AF_INET6, "::1" } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto payload = Bytes(std::string("query over ") + c.name);
        const uint16_t port = sendUdp(c.family, payload);
        ASSERT_NE(port, 0);
        const auto packet = collector.waitFor(payload);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->family, c.family);
        EXPECT_EQ(packet->protocol, IPPROTO_UDP);
        EXPECT_EQ(packet->sourceAddress, c.address);
        EXPECT_EQ(packet->sourcePort, port);
        EXPECT_EQ(packet->destinationAddress, c.address);
        EXPECT_EQ(packet->destinationPort, 53);
    }
    EXPECT_EQ((*reader)->skippedPackets(), 0u);
}

TEST_F(NflogReaderTest, HandsOverTcpDataAndLargeDatagramsWhole)
{
    ASSERT_TRUE(addRules("meta l4proto { tcp, udp } th dport 53 log group 7"));
    Collector collector;
    auto reader = openInside(kGroup, collector.handler());
    ASSERT_TRUE(reader.ok()) << reader.status().message();

    // A datagram larger than the kernel's default batch buffer comes whole.
    std::vector<uint8_t> large(60000);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>(i * 7);
    ASSERT_NE(sendUdp(AF_INET6, large), 0);
    EXPECT_TRUE(collector.waitFor(large));

    const auto query = Bytes(std::string("\x00\x05query", 7));
    bool sent = false;
    ns.runInside([&] {
        UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(53);
        sent = listener && client && ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::listen(listener.get(), 1) == 0
            && ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::send(client.get(), query.data(), query.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(query.size());
    });
    ASSERT_TRUE(sent);
    const auto packet = collector.waitFor(query);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->protocol, IPPROTO_TCP);
    EXPECT_EQ(packet->destinationAddress, "127.0.0.1");
    EXPECT_EQ(packet->destinationPort, 53);
}

TEST_F(NflogReaderTest, CountsAndSkipsPacketsThatAreNeitherUdpNorTcp)
{
    ASSERT_TRUE(addRules("meta l4proto icmp log group 7\n    udp dport 53 log group 7"));
    Collector collector;
    auto reader = openInside(kGroup, collector.handler());
    ASSERT_TRUE(reader.ok()) << reader.status().message();

    bool sent = false;
    ns.runInside([&] {
        UniqueFd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
        const uint8_t echo[8] = { 8, 0, 0xf7, 0xff, 0, 0, 0, 0 };
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sent = fd
            && ::sendto(fd.get(), echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&address), sizeof address)
                == sizeof echo;
    });
    ASSERT_TRUE(sent);
    EXPECT_TRUE(waitUntil([&] { return (*reader)->skippedPackets() >= 1; }));
    // The reader goes on with the next packet, and the ICMP ones never reached the handler.
    const auto payload = Bytes("after icmp");
    ASSERT_NE(sendUdp(AF_INET, payload), 0);
    EXPECT_TRUE(collector.waitFor(payload));
    for (const NflogPacket& packet : collector.packets())
        EXPECT_EQ(packet.protocol, IPPROTO_UDP);
}

TEST_F(NflogReaderTest, RefusesAGroupAnotherReaderHas)
{
    ASSERT_TRUE(addRules("udp dport 53 log group 7"));
    Collector first;
    auto reader = openInside(kGroup, first.handler());
    ASSERT_TRUE(reader.ok()) << reader.status().message();

    Collector second;
    auto refused = openInside(kGroup, second.handler());
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.status().message().find("group 7"), std::string::npos) << refused.status().message();

    // The refusal left the first reader's binding alone.
    const auto payload = Bytes("still the first");
    ASSERT_NE(sendUdp(AF_INET, payload), 0);
    EXPECT_TRUE(first.waitFor(payload));
    EXPECT_TRUE(second.packets().empty());
}

TEST_F(NflogReaderTest, StopReturnsPromptlyAndReleasesTheGroup)
{
    ASSERT_TRUE(addRules("udp dport 53 log group 7"));
    std::atomic<int> calls { 0 };
    auto reader = openInside(kGroup, [&](const NflogPacket&) { ++calls; });
    ASSERT_TRUE(reader.ok()) << reader.status().message();

    const auto started = std::chrono::steady_clock::now();
    (*reader)->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    (*reader)->stop(); // idempotent

    // The group is free again, and the stopped reader gets nothing of what follows.
    Collector collector;
    auto again = openInside(kGroup, collector.handler());
    ASSERT_TRUE(again.ok()) << again.status().message();
    const auto payload = Bytes("after stop");
    ASSERT_NE(sendUdp(AF_INET, payload), 0);
    EXPECT_TRUE(collector.waitFor(payload));
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(NflogReaderTest, LogsAnOverrunOnceAndReadsOn)
{
    ASSERT_TRUE(addRules("udp dport 53 log group 7"));
    LogLines log;
    // The handler holds the reader's thread on the first packet until the flood has overrun the queue.
    std::atomic<bool> release { false };
    Collector collector;
    auto collect = collector.handler();
    auto reader = openInside(kGroup, [&](const NflogPacket& packet) {
        waitUntil([&] { return release.load(); });
        collect(packet);
    });
    ASSERT_TRUE(reader.ok()) << reader.status().message();

    ASSERT_NE(sendUdp(AF_INET, Bytes("first")), 0);
    // Each queued copy takes at least its kilobyte of payload, so this is more than the reader's receive buffer holds.
    ASSERT_NE(sendUdp(AF_INET, std::vector<uint8_t>(1000, 0x5a), 20000), 0);
    release = true;

    // Until the reader has worked through the queue, a new copy may find it full as well; so the marker goes
    // again now and then until one comes through.
    const auto marker = Bytes("after the flood");
    int rounds = 0;
    EXPECT_TRUE(waitUntil([&] {
        if (rounds++ % 100 == 0)
            sendUdp(AF_INET, marker);
        return collector.find(marker).has_value();
    }));
    EXPECT_EQ(log.countContaining("overrun"), 1u);
    EXPECT_LT(collector.size(), 20000u + 2);
}

} // namespace
} // namespace corvantis
