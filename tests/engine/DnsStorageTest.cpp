#include "extension/engine/DnsStorage.h"

#include "core/foundation/FakeAddressRange.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

namespace corvantis {
namespace {

uint32_t v4(const char* text)
{
    in_addr a {};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

in6_addr v6(const char* text)
{
    in6_addr a {};
    inet_pton(AF_INET6, text, &a);
    return a;
}

std::string text4(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string text6(const in6_addr& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return text;
}

uint32_t prefixFd005a17()
{
    const uint8_t bytes[4] = { 0xfd, 0x00, 0x5a, 0x17 };
    uint32_t prefix = 0;
    std::memcpy(&prefix, bytes, sizeof prefix);
    return prefix;
}

DnsAnswerAddress answer4(const char* address, uint32_t ttl)
{
    DnsAnswerAddress a;
    sockaddr_in in4 {};
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = v4(address);
    std::memcpy(&a.address, &in4, sizeof in4);
    a.ttl = ttl;
    return a;
}

DnsAnswerAddress answer6(const char* address, uint32_t ttl)
{
    DnsAnswerAddress a;
    sockaddr_in6 in6 {};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = v6(address);
    std::memcpy(&a.address, &in6, sizeof in6);
    a.ttl = ttl;
    return a;
}

// A table on a clock the test moves, in the placeholder range 10.128.0.0/16 with the IPv6 prefix fd00:5a17.
class DnsStorageTest : public ::testing::Test {
protected:
    void SetUp() override { useRange("10.128.0.0", 16); }
    void TearDown() override { SetAddressRange(nullptr, 8, 0); }

    void useRange(const char* base, int prefixLength) { SetAddressRange(base, prefixLength, prefixFd005a17()); }

    uint32_t ask4(const std::string& name, uint64_t* ttlOut = nullptr)
    {
        uint64_t ttl = 0;
        const uint32_t address = table.AddressForNameIPv4(name, true, nullptr, 0, nullptr, ttl);
        if (ttlOut != nullptr) {
            *ttlOut = ttl;
        }
        return address;
    }

    in6_addr ask6(const std::string& name, uint64_t* ttlOut = nullptr)
    {
        uint64_t ttl = 0;
        const in6_addr address = table.AddressForNameIPv6(name, true, nullptr, 0, nullptr, ttl);
        if (ttlOut != nullptr) {
            *ttlOut = ttl;
        }
        return address;
    }

    uint64_t now = 100000;
    CDnsStorage table { [this] { return now; } };
};

TEST(DnsStorageExpiry, LifetimeFromTtl)
{
    const struct {
        uint32_t ttl;
        bool exact;
        uint64_t lifetime;
    } cases[] = {
        { 0, false, 600 },
        { 299, false, 600 },
        { 300, false, 600 },
        { 301, false, 602 },
        { 3600, false, 7200 },
        { 536870911, false, 1073741822 },
        { 536870912, false, 2147483647 },
        { 0xFFFFFFFFu, false, 2147483647 },
        { 0, true, 10 },
        { 3, true, 10 },
        { 11, true, 11 },
        { 3600, true, 3600 },
        { 0xFFFFFFFFu, true, 0xFFFFFFFFu },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ttl << (c.exact ? " exact" : ""));
        EXPECT_EQ(ExpiryFromTtl(1000, c.ttl, c.exact), 1000 + c.lifetime);
    }
}

TEST_F(DnsStorageTest, NamesGetPlaceholdersInAscendingOrder)
{
    uint64_t ttl = 0;
    EXPECT_EQ(text4(ask4("first.test", &ttl)), "10.128.0.11");
    EXPECT_EQ(ttl, 600u);
    EXPECT_EQ(text6(ask6("first.test", &ttl)), "fd00:5a17::ffff:a80:b");
    EXPECT_EQ(ttl, 600u);
    EXPECT_EQ(text4(ask4("second.test")), "10.128.0.12");
    EXPECT_EQ(text4(ask4("first.test")), "10.128.0.11") << "a record keeps its placeholders";

    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.11")), "first.test");
    EXPECT_EQ(table.NameForIPv6(v6("fd00:5a17::ffff:10.128.0.12")), "second.test");
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.13")), "");
    EXPECT_EQ(table.NameForIPv4(v4("192.0.2.1")), "");
}

TEST_F(DnsStorageTest, WithoutCreateUnknownNamesGetNothing)
{
    uint64_t ttl = 77;
    EXPECT_EQ(table.AddressForNameIPv4("unknown.test", false, nullptr, 0, nullptr, ttl), 0u);
    const in6_addr none = table.AddressForNameIPv6("unknown.test", false, nullptr, 0, nullptr, ttl);
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&none));
    table.AddAnswersToRecord("unknown.test", false, { answer4("192.0.2.1", 60) }, false);
    EXPECT_EQ(table.NameForIPv4(v4("192.0.2.1")), "");
}

TEST_F(DnsStorageTest, HostNumbersWrapToTenAndAFullRangeGivesNone)
{
    useRange("10.128.0.0", 28); // host numbers 10 to 15
    std::vector<std::string> given;
    for (int i = 0; i < 6; ++i) {
        given.push_back(text4(ask4("n" + std::to_string(i))));
    }
    EXPECT_EQ(given,
        (std::vector<std::string> {
            "10.128.0.11", "10.128.0.12", "10.128.0.13", "10.128.0.14", "10.128.0.15", "10.128.0.10" }));

    // Full: the seventh name gets no placeholder of either family, and nothing maps back to it.
    uint64_t ttl = 0;
    EXPECT_EQ(ask4("n6", &ttl), 0u);
    const in6_addr none = ask6("n6");
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&none));
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.11")), "n0");
    EXPECT_EQ(table.NameForIPv6(v6("fd00:5a17::ffff:0.0.0.0")), "");
}

TEST_F(DnsStorageTest, ExpiredPlaceholdersAreReused)
{
    useRange("10.128.0.0", 28);
    for (int i = 0; i < 6; ++i) {
        ask4("n" + std::to_string(i));
    }
    // n1 and n4 are asked again later, so only they outlive the first 600 s.
    now += 300;
    ask4("n1");
    ask4("n4");
    now += 301;
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.11")), "");
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.12")), "n1");
    // The search goes on after the last host number handed out (10), skipping the live 12.
    EXPECT_EQ(text4(ask4("fresh1")), "10.128.0.11");
    EXPECT_EQ(text4(ask4("fresh2")), "10.128.0.13");
    EXPECT_EQ(text4(ask4("fresh3")), "10.128.0.14");
    EXPECT_EQ(text4(ask4("fresh4")), "10.128.0.10") << "15 was n4's";
    // n0 was swept; coming back, it finds the range full again.
    EXPECT_EQ(ask4("n0"), 0u);
}

TEST_F(DnsStorageTest, RangeTooSmallForHostNumbersFromTen)
{
    for (int prefixLength : { 29, 32 }) {
        SCOPED_TRACE(prefixLength);
        useRange("10.128.0.0", prefixLength);
        const std::string name = "small" + std::to_string(prefixLength);
        EXPECT_EQ(ask4(name), 0u);
        EXPECT_EQ(table.NameForIPv4(v4("10.128.0.10")), "");
    }
}

TEST_F(DnsStorageTest, RealAddressWinsWhileValid)
{
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.7"), "real.test", 3600, false));
    uint64_t ttl = 0;
    EXPECT_EQ(text4(ask4("real.test", &ttl)), "192.0.2.7");
    EXPECT_EQ(ttl, 7200u);
    now += 100;
    EXPECT_EQ(text4(ask4("real.test", &ttl)), "192.0.2.7");
    EXPECT_EQ(ttl, 7100u);
    EXPECT_EQ(table.NameForIPv4(v4("192.0.2.7")), "real.test");

    // No real IPv6 address: the placeholder, although the record was made for the IPv4 one.
    EXPECT_EQ(text6(ask6("real.test", &ttl)), "fd00:5a17::ffff:a80:b");
    EXPECT_EQ(ttl, 600u);

    now += 7101;
    EXPECT_EQ(text4(ask4("real.test", &ttl)), "10.128.0.11");
    EXPECT_EQ(ttl, 600u);
}

TEST_F(DnsStorageTest, RealAddressesThatAreNotAccepted)
{
    const struct {
        const char* name;
        bool recorded;
        bool isV6;
        const char* address;
    } cases[] = {
        { "zero IPv4", false, false, "0.0.0.0" },
        { "placeholder IPv4", false, false, "10.128.3.4" },
        { "zero IPv6", false, true, "::" },
        { "placeholder IPv6", false, true, "fd00:5a17::ffff:10.128.3.4" },
        { "mapped placeholder", false, true, "::ffff:10.128.3.4" },
        { "IPv4 outside the range", true, false, "10.129.0.1" },
        { "IPv6", true, true, "2001:db8::1" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool recorded = c.isV6 ? table.AddRealIPv6(v6(c.address), c.name, 60, false)
                                     : table.AddRealIPv4(v4(c.address), c.name, 60, false);
        EXPECT_EQ(recorded, c.recorded);
    }
}

TEST_F(DnsStorageTest, AnswersWithShortLifetimes)
{
    table.AddAnswersToRecord("short.test", true,
        { answer4("192.0.2.1", 3600), answer6("2001:db8::1", 3), answer4("10.128.9.9", 3600),
            answer6("fd00:5a17::ffff:10.128.9.9", 3600) },
        true);
    uint64_t ttl = 0;
    EXPECT_EQ(text4(ask4("short.test", &ttl)), "192.0.2.1");
    EXPECT_EQ(ttl, 60u);
    EXPECT_EQ(text6(ask6("short.test", &ttl)), "2001:db8::1");
    EXPECT_EQ(ttl, 10u);
    EXPECT_EQ(table.NameForIPv4(v4("10.128.9.9")), "") << "a placeholder answer is not a real address";

    table.AddAnswersToRecord("long.test", true, { answer4("192.0.2.2", 3600) }, false);
    EXPECT_EQ(text4(ask4("long.test", &ttl)), "192.0.2.2");
    EXPECT_EQ(ttl, 7200u);
}

TEST_F(DnsStorageTest, PickChoosesAmongValidAddresses)
{
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.1"), "two.test", 3600, false));
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.2"), "two.test", 3600, false));
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.3"), "two.test", 10, true));
    now += 11; // 192.0.2.3 has expired
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        seen.insert(text4(ask4("two.test")));
    }
    EXPECT_EQ(seen, (std::set<std::string> { "192.0.2.1", "192.0.2.2" }));
}

TEST_F(DnsStorageTest, AnAddressBelongsToTheNameIndexedLast)
{
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.9"), "a.test", 60, true));
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.9"), "b.test", 60, true));
    EXPECT_EQ(table.NameForIPv4(v4("192.0.2.9")), "b.test");
    table.AddAnswersToRecord("a.test", false, {}, false);
    EXPECT_EQ(table.NameForIPv4(v4("192.0.2.9")), "a.test");
}

TEST_F(DnsStorageTest, ExpiredRecordDisappearsWithItsAddresses)
{
    ASSERT_TRUE(table.AddRealIPv4(v4("192.0.2.5"), "gone.test", 10, true)); // valid until +10, record until +310
    ASSERT_TRUE(table.AddRealIPv6(v6("2001:db8::5"), "gone.test", 10, true));
    EXPECT_EQ(text4(ask4("other.test")), "10.128.0.12");
    // Real addresses are handed out, so the placeholders never are and keep the record alive no longer.
    EXPECT_EQ(text6(ask6("gone.test")), "2001:db8::5");
    EXPECT_EQ(text4(ask4("gone.test")), "192.0.2.5");

    now += 305;
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.11")), "gone.test") << "record still within its 300 s grace";
    now += 6;
    EXPECT_EQ(table.NameForIPv4(v4("192.0.2.5")), "");
    EXPECT_EQ(table.NameForIPv6(v6("2001:db8::5")), "");
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.11")), "");
    EXPECT_EQ(table.NameForIPv6(v6("fd00:5a17::ffff:10.128.0.11")), "");
    EXPECT_EQ(table.NameForIPv4(v4("10.128.0.12")), "other.test");
    EXPECT_EQ(text4(ask4("gone.test")), "10.128.0.13") << "a new record with new placeholders";
}

TEST_F(DnsStorageTest, LastRequestIsKeptPerFamily)
{
    const uint8_t first[] = { 1, 2, 3 };
    const uint8_t second[] = { 4, 5 };
    const uint8_t aaaa[] = { 6 };
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    server.sin_addr.s_addr = v4("192.0.2.53");
    uint64_t ttl = 0;
    table.AddressForNameIPv4("req.test", true, first, sizeof first, reinterpret_cast<sockaddr*>(&server), ttl);
    table.AddressForNameIPv4("req.test", true, second, sizeof second, reinterpret_cast<sockaddr*>(&server), ttl);
    table.AddressForNameIPv4("req.test", true, nullptr, 0, nullptr, ttl); // no request: the last one stays
    table.AddressForNameIPv6("req.test", true, aaaa, sizeof aaaa, nullptr, ttl);

    MutexLock lock(table.Mutex());
    CDnsStorage::RecordPtr record = table.FindRecord("req.test", false);
    ASSERT_TRUE(record);
    ASSERT_EQ(record->requests.count(AF_INET), 1u);
    EXPECT_EQ(record->requests[AF_INET].request, (std::vector<uint8_t> { 4, 5 }));
    ASSERT_TRUE(record->requests[AF_INET].serverAddr.has_value());
    sockaddr_in stored {};
    std::memcpy(&stored, &*record->requests[AF_INET].serverAddr, sizeof stored);
    EXPECT_EQ(stored.sin_addr.s_addr, server.sin_addr.s_addr);
    EXPECT_EQ(stored.sin_port, server.sin_port);
    ASSERT_EQ(record->requests.count(AF_INET6), 1u);
    EXPECT_EQ(record->requests[AF_INET6].request, (std::vector<uint8_t> { 6 }));
    EXPECT_FALSE(record->requests[AF_INET6].serverAddr.has_value());
}

} // namespace
} // namespace corvantis
