#include "extension/engine/DnsCodec.h"

#include "tests/engine/DnsWire.h"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace corvantis {
namespace {

using test::addressText;
using test::DnsWire;

const std::string kHeaderError = "DNS header check finished with error: ";

// A query for example.test of the given type: 30 bytes, then an EDNS option record when asked for.
DnsWire query(uint16_t qtype, uint16_t flags = 0x0100, bool edns = false)
{
    DnsWire w;
    w.header(0x4242, flags, 1, 0, 0, edns ? 1 : 0).name({ "example", "test" }).u16(qtype).u16(1);
    if (edns) {
        w.opt();
    }
    return w;
}

sockaddr_in ipv4(const char* text)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

sockaddr_in6 ipv6(const char* text)
{
    sockaddr_in6 a {};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}

// A question name reached through `hops` compression pointers, each pointing at the next; the last points at a
// one-label name.
DnsWire pointerChain(int hops)
{
    DnsWire w;
    w.header(1, 0, 1, 0, 0, 0);
    // offset 12: the question's name is the first pointer; then QTYPE/QCLASS; then the chain and the label.
    const uint16_t chainStart = 12 + 2 + 4;
    w.pointer(chainStart).u16(1).u16(1);
    for (int i = 1; i < hops; ++i) {
        w.pointer(static_cast<uint16_t>(chainStart + 2 * i));
    }
    w.name({ "x" });
    return w;
}

struct RequestCase {
    const char* name;
    std::vector<uint8_t> bytes;
    DnsParseResult result;
    std::string error;
    std::string parsedName; // checked on Accepted
};

TEST(DnsCodec, ParseRequestTable)
{
    const std::string tooShortName(1, 'a');
    const std::string l63(63, 'a');
    const std::string l61(61, 'b');
    const RequestCase cases[] = {
        { "too short", std::vector<uint8_t>(11, 0), DnsParseResult::HeaderRejected, kHeaderError + "data is too short",
            "" },
        { "no question", DnsWire().header(1, 0x0100, 0, 0, 0, 0).bytes, DnsParseResult::HeaderRejected,
            kHeaderError + "QDCOUNT is not 1", "" },
        { "two questions", DnsWire().header(1, 0, 2, 0, 0, 0).name({ "a" }).u16(1).u16(1).bytes,
            DnsParseResult::HeaderRejected, kHeaderError + "QDCOUNT is not 1", "" },
        { "response flag", query(1, 0x8100).bytes, DnsParseResult::HeaderRejected,
            kHeaderError + "response flag set but request expected", "" },
        { "answer count", DnsWire().header(1, 0, 1, 1, 0, 0).name({ "a" }).u16(1).u16(1).bytes,
            DnsParseResult::HeaderRejected, kHeaderError + "One of ANCOUNT, NSCOUNT is non zero and request expected",
            "" },
        { "authority count", DnsWire().header(1, 0, 1, 0, 1, 0).name({ "a" }).u16(1).u16(1).bytes,
            DnsParseResult::HeaderRejected, kHeaderError + "One of ANCOUNT, NSCOUNT is non zero and request expected",
            "" },
        { "name points at itself", DnsWire().header(1, 0, 1, 0, 0, 0).pointer(12).u16(1).u16(1).bytes,
            DnsParseResult::QuestionRejected, "name is not retrieved", "" },
        { "pointer to the message end", DnsWire().header(1, 0, 1, 0, 0, 0).pointer(18).u16(1).u16(1).bytes,
            DnsParseResult::QuestionRejected, "name is not retrieved", "" },
        { "pointer cut after one byte", DnsWire().header(1, 0, 1, 0, 0, 0).u8(0xC0).bytes,
            DnsParseResult::QuestionRejected, "name is not retrieved", "" },
        { "label beyond the end", DnsWire().header(1, 0, 1, 0, 0, 0).u8(10).raw({ 'a', 'b' }).bytes,
            DnsParseResult::QuestionRejected, "name is not retrieved", "" },
        { "name without its end", DnsWire().header(1, 0, 1, 0, 0, 0).label("ab").bytes,
            DnsParseResult::QuestionRejected, "name is not retrieved", "" },
        { "type and class missing", DnsWire().header(1, 0, 1, 0, 0, 0).name({ "a" }).u16(1).bytes,
            DnsParseResult::QuestionRejected, "Incorrect DNS Request", "" },
        { "class CH", DnsWire().header(1, 0, 1, 0, 0, 0).name({ "a" }).u16(1).u16(3).bytes,
            DnsParseResult::QuestionRejected, "QCLASS should be 1", "" },
        { "plain query", query(1).bytes, DnsParseResult::Accepted, "", "example.test." },
        { "root name", DnsWire().header(1, 0, 1, 0, 0, 0).u8(0).u16(2).u16(1).bytes, DnsParseResult::Accepted, "", "" },
        { "EDNS option record", query(1, 0x0100, true).bytes, DnsParseResult::Accepted, "data is longer than necessary",
            "example.test." },
        { "255 bytes on the wire", DnsWire().header(1, 0, 1, 0, 0, 0).name({ l63, l63, l63, l61 }).u16(1).u16(1).bytes,
            DnsParseResult::Accepted, "", l63 + "." + l63 + "." + l63 + "." + l61 + "." },
        { "no room for a fourth long label",
            DnsWire().header(1, 0, 1, 0, 0, 0).name({ l63, l63, l63, l63 }).u16(1).u16(1).bytes,
            DnsParseResult::QuestionRejected, "name is not retrieved", "" },
        { "48 pointers", pointerChain(48).bytes, DnsParseResult::Accepted, "data is longer than necessary", "x." },
        { "49 pointers", pointerChain(49).bytes, DnsParseResult::QuestionRejected, "name is not retrieved", "" },
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        DnsMessageInfo info;
        info.name = "untouched";
        std::string error = "stale";
        EXPECT_EQ(ParseDnsRequest(c.bytes.data(), c.bytes.size(), info, error), c.result);
        EXPECT_EQ(error, c.error);
        if (c.result == DnsParseResult::Accepted) {
            EXPECT_EQ(info.name, c.parsedName);
        } else {
            EXPECT_EQ(info.name, "untouched");
        }
    }
}

TEST(DnsCodec, InfoCarriesHeaderAndQuestion)
{
    DnsWire w;
    w.header(0xBEEF, 0x0120, 1, 0, 0, 2).name({ "AB", "Cd" }).u16(28).u16(1).opt().opt();
    DnsMessageInfo info;
    std::string error;
    ASSERT_EQ(ParseDnsRequest(w.bytes.data(), w.size(), info, error), DnsParseResult::Accepted);
    EXPECT_EQ(info.id, 0xBEEF);
    EXPECT_TRUE(info.authenticData);
    EXPECT_EQ(info.kind, DnsMessageKind::Request);
    EXPECT_EQ(info.otherRecords, 2u);
    EXPECT_EQ(info.name, "AB.Cd.");
    EXPECT_EQ(info.nameLow, "ab.cd.");
    EXPECT_EQ(info.qtype, 28);
    EXPECT_EQ(info.family, AF_INET6);
}

TEST(DnsCodec, FamilyFollowsQuestionType)
{
    const struct {
        uint16_t qtype;
        uint8_t family;
    } cases[] = { { 1, AF_INET }, { 28, AF_INET6 }, { 65, 0 }, { 5, 0 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.qtype);
        const DnsWire w = query(c.qtype);
        DnsMessageInfo info;
        std::string error;
        ASSERT_EQ(ParseDnsRequest(w.bytes.data(), w.size(), info, error), DnsParseResult::Accepted);
        EXPECT_EQ(info.family, c.family);
        EXPECT_EQ(info.qtype, c.qtype);
    }
}

TEST(DnsCodec, NameLowChangesOnlyAsciiLetters)
{
    DnsWire w;
    w.header(1, 0, 1, 0, 0, 0).name({ "Xn--\xC3\x84Z", "A_9" }).u16(1).u16(1);
    DnsMessageInfo info;
    std::string error;
    ASSERT_EQ(ParseDnsRequest(w.bytes.data(), w.size(), info, error), DnsParseResult::Accepted);
    EXPECT_EQ(info.name, "Xn--\xC3\x84Z.A_9.");
    EXPECT_EQ(info.nameLow, "xn--\xC3\x84z.a_9.");
}

// A response for example.test: a CNAME to www.example.test, then its A record.
DnsWire cnameThenA()
{
    DnsWire w;
    w.header(7, 0x8180, 1, 2, 0, 0).name({ "example", "test" }).u16(1).u16(1);
    w.pointer(12).u16(5).u16(1).u32(300).u16(6).label("www").pointer(12);
    w.pointer(30).u16(1).u16(1).u32(3600).u16(4).raw({ 192, 0, 2, 7 });
    return w;
}

TEST(DnsCodec, ResponseSkipsOtherTypesAndPointsIntoTheAddressRecord)
{
    const DnsWire w = cnameThenA();
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string error;
    ASSERT_EQ(ParseDnsMessage(w.bytes.data(), w.size(), DnsMessageKind::Response, info, answers, error),
        DnsParseResult::Accepted);
    EXPECT_EQ(error, "");
    EXPECT_EQ(info.kind, DnsMessageKind::Response);
    EXPECT_EQ(info.name, "example.test.");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(addressText(answers[0].address), "192.0.2.7");
    EXPECT_EQ(answers[0].ttl, 3600u);
    // The CNAME record takes 2 + 10 + 6 bytes after the 30-byte head.
    EXPECT_EQ(answers[0].nameOffset, 48u);
    EXPECT_EQ(answers[0].typeOffset, 50u);
    EXPECT_EQ(w.bytes[answers[0].typeOffset + 1], 1);
}

TEST(DnsCodec, ResponseAnswersOfBothFamiliesInOrder)
{
    DnsWire w;
    w.header(7, 0x8180, 1, 2, 0, 0).name({ "example", "test" }).u16(28).u16(1);
    w.pointer(12).u16(28).u16(1).u32(60).u16(16).raw({ 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7 });
    w.pointer(12).u16(1).u16(1).u32(0xFFFFFFFFu).u16(4).raw({ 198, 51, 100, 1 });
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string error;
    ASSERT_EQ(ParseDnsMessage(w.bytes.data(), w.size(), DnsMessageKind::Response, info, answers, error),
        DnsParseResult::Accepted);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].address.ss_family, AF_INET6);
    EXPECT_EQ(addressText(answers[0].address), "2001:db8::7");
    EXPECT_EQ(answers[1].address.ss_family, AF_INET);
    EXPECT_EQ(addressText(answers[1].address), "198.51.100.1");
    EXPECT_EQ(answers[1].ttl, 0xFFFFFFFFu);
}

struct ResponseFault {
    const char* name;
    std::vector<uint8_t> bytes;
    DnsParseResult result;
    std::string error;
};

TEST(DnsCodec, ResponseFaultsKeepTheCallersList)
{
    auto head = [](uint16_t an) {
        DnsWire w;
        w.header(9, 0x8180, 1, an, 0, 0).name({ "example", "test" }).u16(1).u16(1);
        return w;
    };
    const ResponseFault cases[] = {
        { "AAAA with four bytes", head(1).pointer(12).u16(28).u16(1).u32(1).u16(4).raw({ 1, 2, 3, 4 }).bytes,
            DnsParseResult::QuestionRejected, "payload size mismatch (6)" },
        { "A with sixteen bytes",
            head(1)
                .pointer(12)
                .u16(1)
                .u16(1)
                .u32(1)
                .u16(16)
                .raw({ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 })
                .bytes,
            DnsParseResult::QuestionRejected, "payload size mismatch (4)" },
        { "data cut short", head(1).pointer(12).u16(1).u16(1).u32(1).u16(4).raw({ 1, 2 }).bytes,
            DnsParseResult::QuestionRejected, "data is too short" },
        { "fixed part cut short", head(1).name({ "abcdefghij" }).u16(1).u16(1).bytes, DnsParseResult::QuestionRejected,
            "data is too short" },
        { "second answer missing", head(2).pointer(12).u16(1).u16(1).u32(1).u16(4).raw({ 1, 2, 3, 4 }).bytes,
            DnsParseResult::QuestionRejected, "buffer too small on answer reading" },
        { "answer name loops", head(1).pointer(30).u16(1).u16(1).u32(1).u16(4).raw({ 1, 2 }).bytes,
            DnsParseResult::QuestionRejected, "name is not retrived" },
        { "trailing bytes", head(1).pointer(12).u16(1).u16(1).u32(1).u16(4).raw({ 1, 2, 3, 4, 0 }).bytes,
            DnsParseResult::Accepted, "data is longer than necessary" },
        { "no question", DnsWire().header(9, 0x8180, 0, 0, 0, 0).bytes, DnsParseResult::HeaderRejected,
            kHeaderError + "QDCOUNT is not 1" },
    };
    for (const ResponseFault& c : cases) {
        SCOPED_TRACE(c.name);
        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers(1);
        std::string error;
        EXPECT_EQ(
            ParseDnsMessage(c.bytes.data(), c.bytes.size(), DnsMessageKind::Response, info, answers, error), c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(answers.size(), c.result == DnsParseResult::Accepted ? 2u : 1u);
        if (c.result == DnsParseResult::QuestionRejected) {
            // The question was read before the answer failed.
            EXPECT_EQ(info.name, "example.test.");
            EXPECT_EQ(info.id, 9);
        }
    }
}

TEST(DnsCodec, MessageOfRequestKind)
{
    const DnsWire plain = query(1);
    const DnsWire withOpt = query(1, 0x0100, true);
    DnsWire trailing = query(1);
    trailing.u8(0);
    const struct {
        const char* name;
        const DnsWire& wire;
        DnsMessageKind expected;
        DnsParseResult result;
        std::string error;
    } cases[] = {
        { "a request where a response is expected", plain, DnsMessageKind::Response, DnsParseResult::Accepted, "" },
        { "option record is no trailing junk", withOpt, DnsMessageKind::Request, DnsParseResult::Accepted, "" },
        { "trailing junk", trailing, DnsMessageKind::Request, DnsParseResult::Accepted,
            "data is longer than necessary" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers;
        std::string error;
        EXPECT_EQ(ParseDnsMessage(c.wire.bytes.data(), c.wire.size(), c.expected, info, answers, error), c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(info.kind, DnsMessageKind::Request);
        EXPECT_TRUE(answers.empty());
    }
}

TEST(DnsCodec, AppendAnswerNeedsRoomForTheWholeRecord)
{
    const sockaddr_in6 address = ipv6("2001:db8::1");
    const std::vector<uint8_t> request = query(28).bytes;
    ASSERT_EQ(request.size(), 30u);
    // 30 bytes of request and 28 of answer.
    for (size_t capacity : { size_t(57), size_t(58), size_t(100) }) {
        SCOPED_TRACE(capacity);
        std::vector<uint8_t> buffer(request);
        buffer.resize(capacity, 0xEE);
        size_t length = request.size();
        const bool fits = capacity >= 58;
        EXPECT_EQ(
            AppendDnsAnswer(buffer.data(), length, capacity, reinterpret_cast<const sockaddr*>(&address), 1), fits);
        if (fits) {
            EXPECT_EQ(length, 58u);
        } else {
            EXPECT_EQ(length, 30u);
            // Nothing was written, not even the header.
            EXPECT_TRUE(std::equal(request.begin(), request.end(), buffer.begin()));
            EXPECT_EQ(buffer[30], 0xEE);
        }
    }
}

struct AppendCase {
    const char* name;
    std::vector<uint8_t> request;
    sockaddr_storage address;
    uint16_t qtype;
};

sockaddr_storage storage(const sockaddr_in& a)
{
    sockaddr_storage s {};
    std::memcpy(&s, &a, sizeof a);
    return s;
}

sockaddr_storage storage(const sockaddr_in6& a)
{
    sockaddr_storage s {};
    std::memcpy(&s, &a, sizeof a);
    return s;
}

TEST(DnsCodec, AppendedAnswerReadsBackAsAResponse)
{
    const AppendCase cases[] = {
        { "A, no EDNS", query(1).bytes, storage(ipv4("10.0.0.11")), 1 },
        { "AAAA, no EDNS", query(28).bytes, storage(ipv6("fd00:5a17::ffff:10.0.0.11")), 28 },
        // The answer must come before the option record (or the record must go), else it is read as the answer.
        { "A with EDNS and AD", query(1, 0x0120, true).bytes, storage(ipv4("10.0.0.12")), 1 },
        { "AAAA with EDNS, CD kept", query(28, 0x0110, true).bytes, storage(ipv6("2001:db8::2")), 28 },
    };
    for (const AppendCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer(c.request);
        const size_t capacity = c.request.size() + 1000;
        buffer.resize(capacity);
        size_t length = c.request.size();
        ASSERT_TRUE(AppendDnsAnswer(buffer.data(), length, capacity, reinterpret_cast<const sockaddr*>(&c.address), 1));

        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers;
        std::string error;
        ASSERT_EQ(ParseDnsMessage(buffer.data(), length, DnsMessageKind::Response, info, answers, error),
            DnsParseResult::Accepted);
        EXPECT_EQ(error, "") << "nothing may follow the answer";
        EXPECT_EQ(info.kind, DnsMessageKind::Response);
        EXPECT_EQ(info.id, 0x4242);
        EXPECT_FALSE(info.authenticData);
        EXPECT_EQ(info.otherRecords, 1u);
        EXPECT_EQ(info.name, "example.test.");
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].ttl, 1u);
        EXPECT_EQ(addressText(answers[0].address), addressText(c.address));
        EXPECT_EQ(answers[0].nameOffset, 30u);

        const uint16_t requestFlags = static_cast<uint16_t>((c.request[2] << 8) | c.request[3]);
        const uint16_t flags = static_cast<uint16_t>((buffer[2] << 8) | buffer[3]);
        EXPECT_EQ(flags, (requestFlags | 0x8000) & ~0x0020);
        EXPECT_EQ(info.qtype, c.qtype);
    }
}

TEST(DnsCodec, AppendAnswerRefusesWhatIsNoQuestion)
{
    const sockaddr_in address = ipv4("10.0.0.11");
    sockaddr_storage unix {};
    unix.ss_family = AF_UNIX;
    const struct {
        const char* name;
        std::vector<uint8_t> message;
        const sockaddr* address;
    } cases[] = {
        { "header cut short", std::vector<uint8_t>(11, 0), reinterpret_cast<const sockaddr*>(&address) },
        { "no question", DnsWire().header(1, 0, 0, 0, 0, 0).bytes, reinterpret_cast<const sockaddr*>(&address) },
        { "name loops", DnsWire().header(1, 0, 1, 0, 0, 0).pointer(12).u16(1).u16(1).bytes,
            reinterpret_cast<const sockaddr*>(&address) },
        // The pointer leads to the flags, which the answer would change.
        { "name points into the header", DnsWire().header(1, 0, 1, 0, 0, 0).pointer(2).u16(1).u16(1).bytes,
            reinterpret_cast<const sockaddr*>(&address) },
        // The pointer leads past the question, which the answer would cut away.
        { "name points past the question",
            DnsWire()
                .header(1, 0, 1, 0, 0, 1)
                .pointer(18)
                .u16(1)
                .u16(1)
                .name({ "a" })
                .u16(41)
                .u16(512)
                .u32(0)
                .u16(0)
                .bytes,
            reinterpret_cast<const sockaddr*>(&address) },
        { "type missing", DnsWire().header(1, 0, 1, 0, 0, 0).name({ "a" }).bytes,
            reinterpret_cast<const sockaddr*>(&address) },
        { "not an internet address", query(1).bytes, reinterpret_cast<const sockaddr*>(&unix) },
        { "no address", query(1).bytes, nullptr },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer(c.message);
        buffer.resize(c.message.size() + 100);
        size_t length = c.message.size();
        EXPECT_FALSE(AppendDnsAnswer(buffer.data(), length, buffer.size(), c.address, 1));
        EXPECT_EQ(length, c.message.size());
        EXPECT_TRUE(std::equal(c.message.begin(), c.message.end(), buffer.begin()));
    }
}

// An answer without an address: the request's question alone, as a response, whatever followed the question.
TEST(DnsCodec, EmptyAnswerKeepsOnlyTheQuestion)
{
    for (const bool edns : { false, true }) {
        SCOPED_TRACE(edns ? "with EDNS and AD" : "no EDNS");
        const std::vector<uint8_t> request = query(28, 0x0120, edns).bytes;
        std::vector<uint8_t> buffer(request);
        size_t length = buffer.size();
        ASSERT_TRUE(MakeDnsEmptyAnswer(buffer.data(), length));
        EXPECT_EQ(length, 30u);

        DnsMessageInfo info;
        std::vector<DnsAnswerAddress> answers;
        std::string error;
        ASSERT_EQ(ParseDnsMessage(buffer.data(), length, DnsMessageKind::Response, info, answers, error),
            DnsParseResult::Accepted);
        EXPECT_EQ(error, "");
        EXPECT_EQ(info.id, 0x4242);
        EXPECT_FALSE(info.authenticData);
        EXPECT_EQ(info.otherRecords, 0u);
        EXPECT_EQ(info.qtype, 28);
        EXPECT_TRUE(answers.empty());
    }
    // What AppendDnsAnswer would not answer stays as it was.
    const std::vector<uint8_t> pointing = DnsWire().header(1, 0, 1, 0, 0, 0).pointer(2).u16(1).u16(1).bytes;
    std::vector<uint8_t> buffer(pointing);
    size_t length = buffer.size();
    EXPECT_FALSE(MakeDnsEmptyAnswer(buffer.data(), length));
    EXPECT_EQ(length, pointing.size());
    EXPECT_EQ(buffer, pointing);
}

std::vector<uint8_t> readData(const std::string& name)
{
    std::ifstream in(std::string(CORVANTIS_TEST_DATA_DIR) + "/dns/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(DnsCodec, QueriesCapturedFromDig)
{
    const struct {
        const char* file;
        std::string name;
        uint8_t family;
        uint16_t qtype;
        std::string warning;
    } cases[] = {
        { "dig-a-noedns.bin", "example.test.", AF_INET, 1, "" },
        { "dig-a-edns.bin", "example.test.", AF_INET, 1, "data is longer than necessary" },
        { "dig-aaaa-noedns.bin", "Example.Test.", AF_INET6, 28, "" },
        { "dig-aaaa-edns.bin", "Example.Test.", AF_INET6, 28, "data is longer than necessary" },
        { "dig-mx-edns.bin", "example.test.", 0, 15, "data is longer than necessary" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::vector<uint8_t> bytes = readData(c.file);
        ASSERT_FALSE(bytes.empty());
        DnsMessageInfo info;
        std::string error;
        ASSERT_EQ(ParseDnsRequest(bytes.data(), bytes.size(), info, error), DnsParseResult::Accepted);
        EXPECT_EQ(error, c.warning);
        EXPECT_EQ(info.name, c.name);
        EXPECT_EQ(info.nameLow, "example.test.");
        EXPECT_EQ(info.family, c.family);
        EXPECT_EQ(info.qtype, c.qtype);
        // dig asks with the AD bit set.
        EXPECT_TRUE(info.authenticData);
    }
}

} // namespace
} // namespace corvantis
