// The codec against real DNS software on loopback: dig's queries are read, dig reads the answers we build, and
// dnsmasq's answers read as dig reads them.

#include "extension/engine/DnsCodec.h"

#include "tests/engine/DnsPeers.h"
#include "tests/engine/DnsWire.h"

#include <arpa/inet.h>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::addressText;
using test::deadlineIn;
using test::Dnsmasq;
using test::DnsWire;
using test::LoopbackUdp;

bool digAvailable()
{
    try {
        test::runCommand({ "dig", "-v" });
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

struct DigCase {
    const char* name;
    std::vector<std::string> options;
    std::string askedName;
    uint16_t qtype;
    std::string address;
    bool edns;
};

// dig asks a responder of ours; we read its query and answer through the codec; dig must print our address.
TEST(DnsPeers, DigReadsOurAnswers)
{
    if (!digAvailable()) {
        GTEST_SKIP() << "dig is not installed (scripts/install-deps)";
    }
    const DigCase cases[] = {
        { "A without EDNS", { "+noedns", "example.test", "A" }, "example.test.", kDnsTypeA, "10.0.0.11", false },
        { "A with EDNS", { "example.test", "A" }, "example.test.", kDnsTypeA, "10.0.0.12", true },
        { "AAAA without EDNS", { "+noedns", "Host.Example.test", "AAAA" }, "Host.Example.test.", kDnsTypeAAAA,
            "fd00:5a17::ffff:a00:d", false },
        { "AAAA with EDNS", { "host.example.test", "AAAA" }, "host.example.test.", kDnsTypeAAAA, "2001:db8::5", true },
        { "A with EDNS and DNSSEC OK", { "+dnssec", "example.test", "A" }, "example.test.", kDnsTypeA, "10.0.0.14",
            true },
    };
    for (const DigCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackUdp responder;
        ASSERT_NE(responder.port(), 0);
        std::vector<std::string> argv { "dig", "@127.0.0.1", "-p", std::to_string(responder.port()), "+tries=1",
            "+time=10" };
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        // dig waits for our answer, so it runs beside the test.
        auto dig = std::async(std::launch::async, [argv] { return test::runCommand(argv); });

        sockaddr_storage client {};
        auto query = responder.receive(deadlineIn(30s), &client);
        ASSERT_TRUE(query.has_value()) << "dig sent nothing";
        DnsMessageInfo info;
        std::string error;
        ASSERT_EQ(ParseDnsRequest(query->data(), query->size(), info, error), DnsParseResult::Accepted) << error;
        EXPECT_EQ(info.name, c.askedName);
        EXPECT_EQ(info.qtype, c.qtype);
        EXPECT_EQ(info.otherRecords, c.edns ? 1u : 0u);
        EXPECT_EQ(error, c.edns ? "data is longer than necessary" : "");

        std::vector<uint8_t> answer(*query);
        answer.resize(query->size() + 1000);
        size_t length = query->size();
        const sockaddr_storage address = test::socketAddress(c.address, 0).value();
        ASSERT_TRUE(
            AppendDnsAnswer(answer.data(), length, answer.size(), reinterpret_cast<const sockaddr*>(&address), 1));
        answer.resize(length);
        ASSERT_TRUE(responder.sendTo(answer, client));

        const std::string output = dig.get().out;
        SCOPED_TRACE(output);
        EXPECT_NE(output.find("status: NOERROR"), std::string::npos);
        EXPECT_NE(output.find("ANSWER: 1,"), std::string::npos);
        EXPECT_EQ(output.find("malformed"), std::string::npos);
        EXPECT_EQ(output.find("bad packet"), std::string::npos);
        // No "ad" among the flags of an answer we made up.
        const size_t flagsAt = output.find(";; flags:");
        ASSERT_NE(flagsAt, std::string::npos);
        const std::string flags = output.substr(flagsAt, output.find(';', flagsAt + 3) - flagsAt);
        EXPECT_NE(flags.find(" qr"), std::string::npos);
        EXPECT_EQ(flags.find(" ad"), std::string::npos);
        const std::string type = c.qtype == kDnsTypeA ? "A" : "AAAA";
        EXPECT_NE(output.find("\t1\tIN\t" + type + "\t" + c.address + "\n"), std::string::npos);
    }
}

// The A and AAAA records of dig's "+noall +answer" output, as "ttl address" texts.
std::multiset<std::string> digAddresses(const std::string& output)
{
    std::multiset<std::string> found;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, ttl, cls, type, data;
        if (fields >> name >> ttl >> cls >> type >> data && (type == "A" || type == "AAAA")) {
            found.insert(ttl + " " + data);
        }
    }
    return found;
}

std::vector<uint8_t> makeQuery(uint16_t id, const std::vector<std::string>& labels, uint16_t qtype, bool edns)
{
    DnsWire w;
    w.header(id, 0x0100, 1, 0, 0, edns ? 1 : 0);
    for (const std::string& label : labels) {
        w.label(label);
    }
    w.u8(0).u16(qtype).u16(kDnsClassIN);
    if (edns) {
        w.opt();
    }
    return w.bytes;
}

// dnsmasq answers; what our codec reads must be what dig reads from the same server.
TEST(DnsPeers, DnsmasqAnswersReadAsDigReadsThem)
{
    if (!digAvailable()) {
        GTEST_SKIP() << "dig is not installed (scripts/install-deps)";
    }
    Dnsmasq dnsmasq({ "--local-ttl=300", "--address=/example.test/192.0.2.7", "--address=/example.test/2001:db8::7",
        "--host-record=www.example.test,192.0.2.8,2001:db8::8,3600", "--cname=alias.example.test,www.example.test",
        "--address=/multi.test/198.51.100.1", "--address=/multi.test/198.51.100.2" });
    ASSERT_TRUE(dnsmasq.ready()) << "dnsmasq did not start";

    const struct {
        const char* name;
        std::vector<std::string> labels;
        uint16_t qtype;
        size_t expectedAddresses;
    } cases[] = {
        { "A", { "example", "test" }, kDnsTypeA, 1 },
        { "AAAA", { "example", "test" }, kDnsTypeAAAA, 1 },
        { "A through a CNAME", { "alias", "example", "test" }, kDnsTypeA, 1 },
        { "AAAA through a CNAME", { "alias", "example", "test" }, kDnsTypeAAAA, 1 },
        { "two A records", { "multi", "test" }, kDnsTypeA, 2 },
        { "no such type", { "www", "example", "test" }, 15, 0 },
    };
    uint16_t id = 100;
    for (const auto& c : cases) {
        std::string dotted;
        for (const std::string& label : c.labels) {
            dotted += label + ".";
        }
        const std::string type = c.qtype == kDnsTypeA ? "A" : c.qtype == kDnsTypeAAAA ? "AAAA" : "MX";
        const std::multiset<std::string> expected
            = digAddresses(test::runDig(dnsmasq.port(), { "+noall", "+answer", dotted, type }));
        EXPECT_EQ(expected.size(), c.expectedAddresses);

        for (bool edns : { false, true }) {
            SCOPED_TRACE(std::string(c.name) + (edns ? ", EDNS" : ", no EDNS"));
            const std::vector<uint8_t> query = makeQuery(++id, c.labels, c.qtype, edns);
            auto answer = dnsmasq.ask(query, deadlineIn(10s));
            ASSERT_TRUE(answer.has_value()) << "no answer";
            DnsMessageInfo info;
            std::vector<DnsAnswerAddress> answers;
            std::string error;
            ASSERT_EQ(ParseDnsMessage(answer->data(), answer->size(), DnsMessageKind::Response, info, answers, error),
                DnsParseResult::Accepted)
                << error;
            EXPECT_EQ(info.id, id);
            EXPECT_EQ(info.kind, DnsMessageKind::Response);
            EXPECT_EQ(info.name, dotted);
            std::multiset<std::string> parsed;
            for (const DnsAnswerAddress& a : answers) {
                parsed.insert(std::to_string(a.ttl) + " " + addressText(a.address));
                // The offsets lead to the record's TYPE, which matches the address's family.
                ASSERT_LT(a.typeOffset + 1, answer->size());
                const uint16_t recordType
                    = static_cast<uint16_t>(((*answer)[a.typeOffset] << 8) | (*answer)[a.typeOffset + 1]);
                EXPECT_EQ(recordType, a.address.ss_family == AF_INET ? kDnsTypeA : kDnsTypeAAAA);
                EXPECT_LT(a.nameOffset, a.typeOffset);
            }
            EXPECT_EQ(parsed, expected);
        }
    }
}

} // namespace
} // namespace corvantis
