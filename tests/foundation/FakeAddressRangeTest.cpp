#include "core/foundation/FakeAddressRange.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>

namespace corvantis {
namespace {

uint32_t v4(const char* text)
{
    in_addr a {};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

in6_addr v6(const char* text)
{
    in6_addr a {};
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    return a;
}

// fd00:5a17 as the first four bytes of an address, in memory order.
uint32_t prefixWord(const char* text)
{
    const in6_addr a = v6(text);
    uint32_t word = 0;
    std::memcpy(&word, a.s6_addr, sizeof word);
    return word;
}

std::string toText(const in6_addr& a)
{
    char buffer[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a, buffer, sizeof buffer);
    return buffer;
}

// The initial range only exists before anything sets one, so it is checked in a fresh process.
TEST(FakeAddressRangeTest, InitialRangeIsZeroSlashEight)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const FakeAddressRange r = GetFakeAddressRange();
            const bool ok = r.base == 0 && r.hostMask == 0x00FFFFFFu && r.networkMask == v4("255.0.0.0")
                && r.ipv6Prefix == 0 && IsIPv4InFakeRange(v4("0.1.2.3")) && IsIPv4InFakeRange(v4("0.255.255.255"))
                && !IsIPv4InFakeRange(v4("0.0.0.1")) && !IsIPv4InFakeRange(v4("0.0.0.0"))
                && !IsIPv4InFakeRange(v4("1.0.0.0")) && IsIPv6InFakeRange(v6("::ffff:0.1.2.3"));
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FakeAddressRangeTest, SetRangeParsesAndMasks)
{
    const uint32_t p = prefixWord("fd00:5a17::");
    struct Case {
        const char* name;
        const char* text;
        int length;
        uint32_t result;
        FakeAddressRange range;
    };
    const Case cases[] = {
        { "slash 8", "10.0.0.0", 8, v4("10.0.0.0"), { v4("10.0.0.0"), 0x00FFFFFFu, v4("255.0.0.0"), p } },
        { "slash 24", "192.168.7.0", 24, v4("192.168.7.0"), { v4("192.168.7.0"), 0xFFu, v4("255.255.255.0"), p } },
        { "slash 0", "0.0.0.0", 0, 0, { 0, 0xFFFFFFFFu, 0, p } },
        { "slash 32", "10.1.2.3", 32, v4("10.1.2.3"), { v4("10.1.2.3"), 0, 0xFFFFFFFFu, p } },
        { "invalid text", "not an address", 8, INADDR_NONE, { 0, 0x00FFFFFFu, v4("255.0.0.0"), p } },
        { "null text", nullptr, 8, INADDR_NONE, { 0, 0x00FFFFFFu, v4("255.0.0.0"), p } },
        { "negative length is 0", "0.0.0.0", -3, 0, { 0, 0xFFFFFFFFu, 0, p } },
        { "length above 32 is 32", "10.1.2.3", 40, v4("10.1.2.3"), { v4("10.1.2.3"), 0, 0xFFFFFFFFu, p } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SetAddressRange(c.text, c.length, p), c.result);
        EXPECT_EQ(GetFakeAddressRange(), c.range);
    }
}

TEST(FakeAddressRangeTest, IPv4Membership)
{
    struct Case {
        const char* name;
        const char* subnet;
        int length;
        const char* address;
        bool in;
    };
    const Case cases[] = {
        { "inside", "10.0.0.0", 8, "10.255.255.254", true },
        { "first host", "10.0.0.0", 8, "10.0.0.2", true },
        { "outside", "10.0.0.0", 8, "11.0.0.1", false },
        { "slash 16 inside", "172.16.0.0", 16, "172.16.9.9", true },
        { "slash 16 outside", "172.16.0.0", 16, "172.17.0.1", false },
        { "slash 0 matches anything", "0.0.0.0", 0, "203.0.113.9", true },
        { "slash 0 never 0.0.0.0", "0.0.0.0", 0, "0.0.0.0", false },
        { "slash 0 never 0.0.0.1", "0.0.0.0", 0, "0.0.0.1", false },
        { "slash 32 the base itself", "10.1.2.3", 32, "10.1.2.3", true },
        { "slash 32 a neighbour", "10.1.2.3", 32, "10.1.2.4", false },
        { "base with host bits matches nothing", "10.1.2.3", 8, "10.1.2.3", false },
        { "base with host bits, other host", "10.1.2.3", 8, "10.0.0.5", false },
        { "invalid text is 0.0.0.0/8", "bogus", 8, "0.7.7.7", true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetAddressRange(c.subnet, c.length, 0);
        EXPECT_EQ(IsIPv4InFakeRange(v4(c.address)), c.in);
    }
}

TEST(FakeAddressRangeTest, IPv6Membership)
{
    SetAddressRange("10.0.0.0", 8, prefixWord("fd00:5a17::"));
    struct Case {
        const char* address;
        bool in;
    };
    const Case cases[] = {
        { "::ffff:10.1.2.3", true }, { "::10.1.2.3", true }, { "fd00:5a17::a01:203", true },
        { "fd00:5a17:1234:5678:9abc:def0:a01:203", true }, // middle bytes are not examined
        { "fd00:5a17::ffff:a01:203", true }, { "::ffff:11.1.2.3", false }, { "::11.1.2.3", false },
        { "fd00:5a17::b01:203", false }, { "fd00:5a18::a01:203", false }, { "2001:db8::a01:203", false },
        { "::", false }, { "::1", false }, { "::ffff:0.0.0.1", false },
        { "::1:0:0:a01:203", false }, // word 1 non-zero and word 0 is not the prefix
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(IsIPv6InFakeRange(v6(c.address)), c.in);
    }
}

TEST(FakeAddressRangeTest, SocketAddressByFamily)
{
    SetAddressRange("10.0.0.0", 8, prefixWord("fd00:5a17::"));

    sockaddr_in in4 {};
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = v4("10.9.8.7");
    EXPECT_TRUE(IsAddressInRange(reinterpret_cast<const sockaddr*>(&in4)));
    in4.sin_addr.s_addr = v4("192.0.2.1");
    EXPECT_FALSE(IsAddressInRange(reinterpret_cast<const sockaddr*>(&in4)));

    sockaddr_in6 in6 {};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = v6("fd00:5a17::a09:807");
    EXPECT_TRUE(IsAddressInRange(reinterpret_cast<const sockaddr*>(&in6)));
    in6.sin6_addr = v6("2001:db8::a09:807");
    EXPECT_FALSE(IsAddressInRange(reinterpret_cast<const sockaddr*>(&in6)));

    sockaddr_storage other {};
    other.ss_family = AF_UNIX;
    EXPECT_FALSE(IsAddressInRange(reinterpret_cast<const sockaddr*>(&other)));
    EXPECT_FALSE(IsAddressInRange(nullptr));
}

TEST(FakeAddressRangeTest, MapAndExtract)
{
    SetAddressRange("10.0.0.0", 8, prefixWord("fd00:5a17::"));
    EXPECT_EQ(toText(MapIPv4ToIPv6(v4("10.1.2.3"), false)), "::ffff:10.1.2.3");
    EXPECT_EQ(toText(MapIPv4ToIPv6(v4("10.1.2.3"), true)), "fd00:5a17::ffff:a01:203");

    for (const char* a : { "10.1.2.3", "192.0.2.44", "255.255.255.255", "0.0.0.2" }) {
        SCOPED_TRACE(a);
        EXPECT_EQ(GetIPv4FromIPv6(MapIPv4ToIPv6(v4(a), false)), v4(a));
    }

    struct Case {
        const char* address;
        const char* ipv4; // null: no embedded address
    };
    const Case cases[] = {
        { "::ffff:192.0.2.1", "192.0.2.1" },
        { "::192.0.2.1", "192.0.2.1" },
        { "::ffff:0.0.0.0", "0.0.0.0" },
        { "::", nullptr },
        { "::1", nullptr },
        { "fd00:5a17::ffff:a01:203", nullptr },
        { "fd00:5a17::a01:203", nullptr },
        { "2001:db8::1", nullptr },
        { "::1:ffff:192.0.2.1", nullptr },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(GetIPv4FromIPv6(v6(c.address)), c.ipv4 != nullptr ? v4(c.ipv4) : 0u);
    }
}

} // namespace
} // namespace corvantis
