#include "core/profile/Host.h"
#include "core/profile/Proxy.h"

#include "tests/profile/ProfileTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::IPv4;
using test::IPv6;

TEST(AddressParsing, IPv4FollowsInetAddr)
{
    struct Case {
        const char* text;
        bool ok;
        const char* dotted;
    };
    const Case cases[] = {
        { "10.0.0.1", true, "10.0.0.1" },
        { "255.255.255.255", true, "255.255.255.255" },
        { "256.1.1.1", false, "" },
        { "10.1", true, "10.0.0.1" }, // the short forms of inet_addr
        { "host.lan", false, "" },
        { "", false, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t address = 0;
        ASSERT_EQ(ParseIPv4(c.text, address), c.ok);
        if (c.ok) {
            EXPECT_EQ(IPv4ToString(address), c.dotted);
        }
    }
}

TEST(AddressParsing, IPv6StripsBrackets)
{
    IPv6Addr address {};
    ASSERT_TRUE(ParseIPv6("[fe80::1]", address));
    EXPECT_EQ(IPv6ToString(address), "fe80::1");
    EXPECT_FALSE(ParseIPv6("fe80::zz", address));
    EXPECT_FALSE(ParseIPv6("[]", address));
    EXPECT_FALSE(ParseIPv6("10.0.0.1", address));
}

TEST(AddressCompare, RangesIncludeTheirEnds)
{
    EXPECT_TRUE(IsIPv4Greater(IPv4("10.0.0.10"), IPv4("10.0.0.9"))); // numeric, not byte order
    EXPECT_TRUE(IsIPv4Greater(IPv4("11.0.0.0"), IPv4("10.255.255.255")));
    EXPECT_TRUE(IsIPv4InRange(IPv4("10.0.0.1"), IPv4("10.0.0.1"), IPv4("10.0.0.9")));
    EXPECT_TRUE(IsIPv4InRange(IPv4("10.0.0.9"), IPv4("10.0.0.1"), IPv4("10.0.0.9")));
    EXPECT_FALSE(IsIPv4InRange(IPv4("10.0.0.10"), IPv4("10.0.0.1"), IPv4("10.0.0.9")));
    EXPECT_TRUE(IsIPv6Greater(IPv6("2001:db8::100"), IPv6("2001:db8::ff")));
    EXPECT_TRUE(IsIPv6InRange(IPv6("2001:db8::ff"), IPv6("2001:db8::1"), IPv6("2001:db8::ff")));
    EXPECT_FALSE(IsIPv6InRange(IPv6("2001:db8::100"), IPv6("2001:db8::1"), IPv6("2001:db8::ff")));
}

TEST(Host, ParsesHostTextsByTable)
{
    struct Case {
        const char* text;
        const char* name;
        const char* lower;
        bool hasDnsName;
        int family;
        const char* address;
    };
    const Case cases[] = {
        { "mail.corp.lan.", "mail.corp.lan", "mail.corp.lan", true, 0, "" },
        { "Mail.Corp.Lan", "Mail.Corp.Lan", "mail.corp.lan", true, 0, "" },
        { "10.1.2.3", "10.1.2.3", "10.1.2.3", false, AF_INET, "10.1.2.3" },
        { "::ffff:10.1.2.3", "::ffff:10.1.2.3", "::ffff:10.1.2.3", false, AF_INET, "10.1.2.3" },
        { "::10.1.2.3", "::10.1.2.3", "::10.1.2.3", false, AF_INET, "10.1.2.3" },
        { "::1", "::1", "::1", false, AF_INET6, "::1" },
        { "::", "::", "::", false, AF_INET6, "::" },
        { "[FE80::1]", "[FE80::1]", "[fe80::1]", false, AF_INET6, "fe80::1" },
        { "256.1.1.1", "256.1.1.1", "256.1.1.1", true, 0, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const CHost host(c.text, 80, false);
        EXPECT_EQ(host.GetHostName(), c.name);
        EXPECT_EQ(host.GetHostNameLower(), c.lower);
        EXPECT_EQ(host.m_HasDnsName, c.hasDnsName);
        EXPECT_EQ(host.m_Resolved, c.family != 0);
        EXPECT_EQ(host.m_AddressFamily, c.family);
        EXPECT_EQ(host.GetSockAddr().sa_family, c.family);
        if (c.family == AF_INET) {
            EXPECT_EQ(IPv4ToString(host.GetIPv4()), c.address);
        }
        if (c.family == AF_INET6) {
            EXPECT_EQ(IPv6ToString(host.GetIPv6()), c.address);
        }
        if (c.family != 0) {
            EXPECT_EQ(SockAddrToString(host.GetSockAddr()), c.address);
            EXPECT_EQ(GetSockAddrPort(host.GetSockAddr()), 80);
        }
    }
}

TEST(Host, PrintsByTable)
{
    sockaddr_in6 v6 {};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(80);
    inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
    sockaddr_in v4 {};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(8080);
    v4.sin_addr.s_addr = IPv4("192.0.2.7");
    CHost portOnly;
    portOnly.m_Port = 80;

    struct Case {
        const char* name;
        CHost host;
        bool withAddress;
        const char* text;
    };
    const Case cases[] = {
        { "named and resolved, with address", CHost(std::string("name"), "1.2.3.4", 443, false), true,
            "name(1.2.3.4):443" },
        { "named and resolved, name only", CHost(std::string("name"), "1.2.3.4", 443, false), false, "name:443" },
        // A name that is itself an address is no DNS name: the address text serves as both.
        { "numeric name ignored", CHost(std::string("5.6.7.8"), "1.2.3.4", 443, false), true, "1.2.3.4:443" },
        { "no name given", CHost(std::nullopt, "1.2.3.4", 443, false), true, "1.2.3.4:443" },
        { "IPv6 socket address", CHost(v6, false), false, "[2001:db8::1]:80" },
        { "IPv4 socket address", CHost(v4, false), true, "192.0.2.7:8080" },
        { "UDP endpoint", CHost("10.0.0.1", 53, true), false, "10.0.0.1:53 (UDP)" },
        { "unresolved name", CHost("mail.corp.lan.", 25, false), true, "mail.corp.lan:25" },
        { "no port", CHost("mail.corp.lan", 0, false), false, "mail.corp.lan" },
        { "neither name nor address", portOnly, false, ":80" },
        { "empty", CHost(), true, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.host.ToString(c.withAddress), c.text);
    }
    EXPECT_EQ(CHost(v6, false).GetHostName(), "[2001:db8::1]");
}

TEST(Host, ResolvedAddressKeepsTheName)
{
    CHost host("printer.lan", 631, false);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = IPv4("192.0.2.9");
    host.SetResolvedAddress(reinterpret_cast<const sockaddr&>(address));
    EXPECT_TRUE(host.m_Resolved);
    EXPECT_TRUE(host.m_HasDnsName);
    EXPECT_EQ(host.GetHostName(), "printer.lan");
    EXPECT_EQ(GetSockAddrPort(host.GetSockAddr()), 631);
    EXPECT_EQ(host.ToString(true), "printer.lan(192.0.2.9):631");

    sockaddr unknown {};
    unknown.sa_family = AF_UNIX;
    host.SetResolvedAddress(unknown);
    EXPECT_EQ(host.m_AddressFamily, AF_INET);
}

TEST(Host, MarksPlaceholderAddresses)
{
    // The placeholder range is 0.0.0.0/8 until the engine sets its own.
    EXPECT_TRUE(CHost("0.1.2.3", 80, false).m_FakeIp);
    EXPECT_TRUE(CHost("::ffff:0.1.2.3", 80, false).m_FakeIp);
    EXPECT_FALSE(CHost("0.0.0.1", 80, false).m_FakeIp);
    EXPECT_FALSE(CHost("10.1.2.3", 80, false).m_FakeIp);
    EXPECT_FALSE(CHost("intranet", 80, false).m_FakeIp);
}

TEST(Proxy, StartsWithoutCredentials)
{
    const CProxy proxy("Proxy.Corp.Lan", 1080, kProxySocks5, 101);
    EXPECT_EQ(proxy.GetId(), 101);
    EXPECT_EQ(proxy.GetHostNameLower(), "proxy.corp.lan");
    EXPECT_FALSE(proxy.m_AuthEnabled);
    EXPECT_TRUE(proxy.m_UserName.empty());
    EXPECT_EQ(proxy.m_Options, 0u);
    EXPECT_FALSE(proxy.m_isUdp);
    EXPECT_STREQ(GetProxyTypeName(kProxyHttp), "HTTP");
    EXPECT_STREQ(GetProxyTypeName(kProxySocks4), "SOCKS4");
    EXPECT_EQ(GetProxyTypeName(4), nullptr);
}

} // namespace
} // namespace corvantis
