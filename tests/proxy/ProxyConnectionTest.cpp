#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "tests/peers/ScriptedProxy.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/LogLines.h"

namespace corvantis::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Step = ScriptedProxy::Step;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

const Bytes kGreetingNoAuth { 5, 1, 0 };
const Bytes kGreetingAuth { 5, 1, 2 };
const Bytes kOkReplyIPv4 { 5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34 };
// Target 10.1.2.3:8080 by address.
const Bytes kConnectIPv4 { 5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90 };

// One handshake against a scripted proxy: what the client concluded and every byte it sent.
struct Exchange {
    HandshakeResult result;
    Bytes sent;
};

Exchange Handshake(std::vector<Step> script, int type, const CHost& target, const std::string& user = {},
    const std::string& password = {}, uint32_t options = 0)
{
    ScriptedProxy fake(std::move(script));
    int fd = -1;
    auto sock = ConnectTo(fake.port(), &fd);
    fake.watchClient(fd);
    const CProxy proxy = MakeProxy(type, fake.port(), user, password, options);
    Exchange exchange;
    exchange.result = RunHandshake(proxy, target, *sock);
    sock.reset();
    exchange.sent = fake.finish();
    return exchange;
}

CHost RealTarget()
{
    return AddressTarget("10.1.2.3", 8080);
}

TEST(ProxyConnection, HttpNeedsNoHandshakeAndUnknownTypesFail)
{
    const auto http = Handshake({}, kHttp, RealTarget());
    EXPECT_TRUE(http.result.ok);
    EXPECT_EQ(http.result.error, "");
    EXPECT_TRUE(http.sent.empty());

    for (int type : { -1, 4, 99 }) {
        SCOPED_TRACE(type);
        const auto other = Handshake({}, type, RealTarget());
        EXPECT_FALSE(other.result.ok);
        EXPECT_EQ(other.result.error, "Unsupported proxy protocol");
        EXPECT_TRUE(other.sent.empty());
    }
}

TEST(ProxyConnection, TakeErrorTextEmptiesTheText)
{
    ScriptedProxy fake({});
    auto sock = ConnectTo(fake.port());
    const CProxy proxy = MakeProxy(7, fake.port());
    const CHost target = RealTarget();
    CProxyConnection connection(proxy, target, sock.get());
    EXPECT_FALSE(connection.Connect());
    EXPECT_EQ(connection.TakeErrorText(), "Unsupported proxy protocol");
    EXPECT_EQ(connection.TakeErrorText(), "");
}

TEST(ProxyConnection, Socks5SucceedsWithoutAuthentication)
{
    const auto exchange = Handshake(
        { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write(kOkReplyIPv4) }, kSocks5, RealTarget());
    EXPECT_TRUE(exchange.result.ok) << exchange.result.error;
    EXPECT_EQ(exchange.result.error, "");
    EXPECT_EQ(exchange.sent, concat({ kGreetingNoAuth, kConnectIPv4 }));
}

TEST(ProxyConnection, Socks5MethodChoices)
{
    struct Case {
        const char* name;
        std::string user;
        uint8_t method;
        std::string error; // empty: success
    };
    const Case cases[] = {
        { "no auth offered, proxy wants auth", "", 2, "Proxy server requires authentication." },
        { "no auth offered, nothing acceptable", "", 255, "Proxy server requires authentication." },
        { "no auth offered, GSS-API chosen", "", 1,
            "Proxy server uses an unsupported protocol or authentication is required." },
        { "auth offered, GSS-API chosen", "alice", 1, "Proxy server uses unsupported methods." },
        { "auth offered, nothing acceptable", "alice", 255, "Proxy server uses unsupported methods." },
        // The proxy may waive authentication: the connect request follows at once.
        { "auth offered, none chosen", "alice", 0, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto exchange
            = Handshake({ Step::read(3), Step::write({ 5, c.method }), Step::read(10), Step::write(kOkReplyIPv4) },
                kSocks5, RealTarget(), c.user, "secret");
        EXPECT_EQ(exchange.result.ok, c.error.empty());
        EXPECT_EQ(exchange.result.error, c.error);
        const Bytes greeting = c.user.empty() ? kGreetingNoAuth : kGreetingAuth;
        EXPECT_EQ(exchange.sent, c.error.empty() ? concat({ greeting, kConnectIPv4 }) : greeting);
    }
}

TEST(ProxyConnection, Socks5UserNameAndPassword)
{
    const std::string longest(255, 'u');
    struct Case {
        const char* name;
        std::string user;
        std::string password;
        uint8_t status;
        Bytes authRequest; // empty: nothing is sent after the greeting
        std::string error;
    };
    const Case cases[] = {
        { "accepted", "alice", "secret", 0, concat({ { 1, 5 }, bytesOf("alice"), { 6 }, bytesOf("secret") }), "" },
        { "empty password", "alice", "", 0, concat({ { 1, 5 }, bytesOf("alice"), { 0 } }), "" },
        { "255-byte user", longest, "p", 0, concat({ { 1, 255 }, bytesOf(longest), { 1, 'p' } }), "" },
        { "refused", "alice", "wrong", 1, concat({ { 1, 5 }, bytesOf("alice"), { 5 }, bytesOf("wrong") }),
            "Authentication failed." },
        { "256-byte user", std::string(256, 'u'), "p", 0, {}, "User login is too long." },
        { "256-byte password", "alice", std::string(256, 'p'), 0, {}, "User password is too long." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Step> script { Step::read(3), Step::write({ 5, 2 }) };
        if (!c.authRequest.empty())
            script.insert(script.end(), { Step::read(c.authRequest.size()), Step::write({ 1, c.status }) });
        script.insert(script.end(), { Step::read(10), Step::write(kOkReplyIPv4) });
        const auto exchange = Handshake(script, kSocks5, RealTarget(), c.user, c.password);
        EXPECT_EQ(exchange.result.error, c.error);
        EXPECT_EQ(exchange.result.ok, c.error.empty());
        Bytes expected = concat({ kGreetingAuth, c.authRequest });
        if (c.error.empty())
            expected = concat({ expected, kConnectIPv4 });
        EXPECT_EQ(exchange.sent, expected);
    }
}

TEST(ProxyConnection, Socks5ReplyCodes)
{
    const std::string prefix = "Proxy server cannot establish a connection with the target";
    const std::pair<uint8_t, std::string> cases[] = {
        { 1, " - general SOCKS server failure." },
        { 2, " - connection not allowed by ruleset." },
        { 3, " - Network unreachable." },
        { 4, " - Host unreachable." },
        { 5, " - Connection refused." },
        { 6, " - TTL expired." },
        { 7, " - Command not supported." },
        { 8, " - Address type not supported." },
        { 9, "." },
        { 0xFF, "." },
    };
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(int { code });
        // Only VER and REP are sent: a failure must not wait for the rest of the reply.
        const auto exchange = Handshake(
            { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write({ 5, code }) }, kSocks5, RealTarget());
        EXPECT_FALSE(exchange.result.ok);
        EXPECT_EQ(exchange.result.error, prefix + text);
    }
}

// Every reply arrives in pieces the client has to put together; the tunnel's first bytes, sent right behind
// the reply, must stay in the socket.
TEST(ProxyConnection, Socks5RepliesInPieces)
{
    struct Case {
        const char* name;
        Bytes reply;
    };
    const Case cases[] = {
        { "IPv4 bound address", kOkReplyIPv4 },
        { "IPv6 bound address", concat({ { 5, 0, 0, 4 }, Bytes(16, 0xAB), { 0, 80 } }) },
        { "domain bound address of 20 bytes", concat({ { 5, 0, 0, 3, 20 }, Bytes(20, 'd'), { 0, 80 } }) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Step> script { Step::read(3), Step::write({ 5 }), Step::waitDrained(), Step::write({ 0 }),
            Step::read(10) };
        for (uint8_t byte : c.reply)
            script.insert(script.end(), { Step::write({ byte }), Step::waitDrained() });
        script.push_back(Step::write(bytesOf("tunnel")));

        ScriptedProxy fake(script);
        int fd = -1;
        auto sock = ConnectTo(fake.port(), &fd);
        fake.watchClient(fd);
        const CProxy proxy = MakeProxy(kSocks5, fake.port());
        const auto result = RunHandshake(proxy, RealTarget(), *sock);
        EXPECT_TRUE(result.ok) << result.error;

        Bytes tunnel(6);
        EXPECT_EQ(recv(fd, tunnel.data(), tunnel.size(), MSG_WAITALL), 6);
        EXPECT_EQ(tunnel, bytesOf("tunnel"));
        sock.reset();
        EXPECT_EQ(fake.finish(), concat({ kGreetingNoAuth, kConnectIPv4 }));
    }
}

// The proxy goes away at each point of the exchange.
TEST(ProxyConnection, Socks5ShortReplies)
{
    const std::string closed = "Proxy closed the connection unexpectedly.";
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::string user;
    };
    const Case cases[] = {
        { "no method reply", { Step::read(3), Step::closeConnection() }, "" },
        { "half a method reply", { Step::read(3), Step::write({ 5 }), Step::closeConnection() }, "" },
        { "half an authentication reply",
            // The request is 1, 5, "alice", 4, "pass".
            { Step::read(3), Step::write({ 5, 2 }), Step::read(12), Step::write({ 1 }), Step::closeConnection() },
            "alice" },
        { "no connect reply", { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::closeConnection() }, "" },
        { "connect reply cut after REP",
            { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write({ 5, 0 }), Step::closeConnection() },
            "" },
        { "bound address cut short",
            { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write({ 5, 0, 0, 1, 127, 0 }),
                Step::closeConnection() },
            "" },
        { "domain bound address cut short",
            { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write({ 5, 0, 0, 3, 20, 'a', 'b' }),
                Step::closeConnection() },
            "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto exchange = Handshake(c.script, kSocks5, RealTarget(), c.user, "pass");
        EXPECT_FALSE(exchange.result.ok);
        EXPECT_EQ(exchange.result.error, closed);
    }
}

TEST(ProxyConnection, Socks5WrongVersionsOnlyWarn)
{
    const auto exchange = Handshake(
        { Step::read(3), Step::write({ 4, 0 }), Step::read(10), Step::write({ 4, 0, 0, 1, 1, 2, 3, 4, 0, 80 }) },
        kSocks5, RealTarget());
    EXPECT_TRUE(exchange.result.ok);
    EXPECT_EQ(exchange.result.error,
        "Warning : proxy server returned an unexpected reply 4 "
        "Warning : proxy server returned an unexpected reply. ");
}

TEST(ProxyConnection, Socks5UnknownBoundAddressType)
{
    const auto exchange
        = Handshake({ Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write({ 5, 0, 0, 9, 0 }) }, kSocks5,
            RealTarget());
    EXPECT_FALSE(exchange.result.ok);
    EXPECT_EQ(exchange.result.error, "Proxy server returned a reply with an unexpected address type 9");
}

// How the target is written into the connect request, and which targets cannot be written at all.
TEST(ProxyConnection, Socks5TargetForms)
{
    UseTestPlaceholderRange();
    const Bytes v6Address { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 };
    struct Case {
        const char* name;
        CHost target;
        uint32_t options;
        Bytes request; // empty: the handshake fails before a connect request
        std::string error;
    };
    const Case cases[] = {
        { "IPv4 address", AddressTarget("10.1.2.3", 8080), 0, kConnectIPv4, "" },
        { "IPv6 address", AddressTarget("2001:db8::1", 443), 0, concat({ { 5, 1, 0, 4 }, v6Address, { 0x01, 0xBB } }),
            "" },
        { "placeholder with a 7-letter name", AddressTarget("198.18.0.5", 443, "example"), 0,
            concat({ { 5, 1, 0, 3, 7 }, bytesOf("example"), { 0x01, 0xBB } }), "" },
        { "name without address", NameTarget("example.org", 80), 0,
            concat({ { 5, 1, 0, 3, 11 }, bytesOf("example.org"), { 0, 80 } }), "" },
        { "real address with a name", AddressTarget("10.1.2.3", 8080, "example"), 0, kConnectIPv4, "" },
        { "real address with a name, use host name", AddressTarget("10.1.2.3", 8080, "example"), ProxyOptionUseHostname,
            concat({ { 5, 1, 0, 3, 7 }, bytesOf("example"), { 0x1F, 0x90 } }), "" },
        { "real address without a name, use host name", AddressTarget("10.1.2.3", 8080), ProxyOptionUseHostname,
            kConnectIPv4, "" },
        { "placeholder that lost its name", AddressTarget("198.18.0.5", 443), 0, {}, "Target host name is not known." },
        { "name with CR LF", NameTarget("evil.com\r\nX: y", 80), 0, {},
            "Target host name contains characters that are not allowed." },
        { "name with a blank", AddressTarget("198.18.0.6", 80, "a b"), 0, {},
            "Target host name contains characters that are not allowed." },
        { "name of 256 bytes", NameTarget(std::string(256, 'n'), 80), 0, {}, "Target host name is too long." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Step> script { Step::read(3), Step::write({ 5, 0 }) };
        if (!c.request.empty())
            script.insert(script.end(), { Step::read(c.request.size()), Step::write(kOkReplyIPv4) });
        const auto exchange = Handshake(script, kSocks5, c.target, "", "", c.options);
        EXPECT_EQ(exchange.result.error, c.error);
        EXPECT_EQ(exchange.result.ok, c.error.empty());
        EXPECT_EQ(exchange.sent, concat({ kGreetingNoAuth, c.request }));
    }
}

TEST(ProxyConnection, Socks4Requests)
{
    UseTestPlaceholderRange();
    const std::string enable4A = "Could not resolve the hostname through SOCKS4 proxy server. Please enable SOCKS "
                                 "4A extension or resolve names through a local DNS.";
    const std::string noIPv6 = "SOCKS4 doesn't support IPv6 addresses.";
    const Bytes granted { 0, 90, 0, 0, 0, 0, 0, 0 };
    struct Case {
        const char* name;
        CHost target;
        std::string user;
        uint32_t options;
        Bytes request; // empty: nothing is sent
        std::string error;
    };
    const Case cases[] = {
        { "address, one-byte user", AddressTarget("10.1.2.3", 8080), "u", 0, { 4, 1, 0x1F, 0x90, 10, 1, 2, 3, 'u', 0 },
            "" },
        { "address, no user", AddressTarget("10.1.2.3", 8080), "", 0, { 4, 1, 0x1F, 0x90, 10, 1, 2, 3, 0 }, "" },
        { "placeholder without 4A", AddressTarget("198.18.0.5", 80, "example.com"), "", 0, {}, enable4A },
        { "placeholder with 4A", AddressTarget("198.18.0.5", 80, "example.com"), "u", ProxyOptionSocks4A,
            concat({ { 4, 1, 0, 80, 0, 0, 0, 1, 'u', 0 }, bytesOf("example.com"), { 0 } }), "" },
        { "IPv6 address", AddressTarget("2001:db8::1", 80), "", ProxyOptionSocks4A, {}, noIPv6 },
        { "address with a name, use host name", AddressTarget("10.1.2.3", 80, "example.com"), "",
            ProxyOptionUseHostname, concat({ { 4, 1, 0, 80, 0, 0, 0, 1, 0 }, bytesOf("example.com"), { 0 } }), "" },
        { "name without address, 4A off", NameTarget("example.com", 80), "", 0,
            concat({ { 4, 1, 0, 80, 0, 0, 0, 1, 0 }, bytesOf("example.com"), { 0 } }), "" },
        { "placeholder that lost its name", AddressTarget("198.18.0.5", 80), "", ProxyOptionSocks4A, {},
            "Target host name is not known." },
        { "name with a NUL", AddressTarget("198.18.0.5", 80, std::string("a\0b.com", 7)), "", ProxyOptionSocks4A, {},
            "Target host name contains characters that are not allowed." },
        { "1024-byte user", AddressTarget("10.1.2.3", 8080), std::string(1024, 'u'), 0,
            concat({ { 4, 1, 0x1F, 0x90, 10, 1, 2, 3 }, Bytes(1024, 'u'), { 0 } }), "" },
        { "1025-byte user", AddressTarget("10.1.2.3", 8080), std::string(1025, 'u'), 0, {}, "UserId is too long." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Step> script;
        if (!c.request.empty())
            script = { Step::read(c.request.size()), Step::write(granted) };
        const auto exchange = Handshake(script, kSocks4, c.target, c.user, "", c.options);
        EXPECT_EQ(exchange.result.error, c.error);
        EXPECT_EQ(exchange.result.ok, c.error.empty());
        EXPECT_EQ(exchange.sent, c.request);
    }
}

TEST(ProxyConnection, Socks4Replies)
{
    const std::string refused = "Proxy server cannot establish a connection with the target.";
    const size_t requestSize = 9;
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::string error;
    };
    const Case cases[] = {
        { "granted in pieces",
            { Step::read(requestSize), Step::write({ 0, 90 }), Step::waitDrained(), Step::write({ 0, 0, 1 }),
                Step::waitDrained(), Step::write({ 2, 3, 4 }) },
            "" },
        { "code 91", { Step::read(requestSize), Step::write({ 0, 91, 0, 0, 0, 0, 0, 0 }) }, refused },
        { "code 92", { Step::read(requestSize), Step::write({ 0, 92, 0, 0, 0, 0, 0, 0 }) }, refused },
        { "code 93", { Step::read(requestSize), Step::write({ 0, 93, 0, 0, 0, 0, 0, 0 }) }, refused },
        { "version ignored", { Step::read(requestSize), Step::write({ 4, 90, 0, 0, 0, 0, 0, 0 }) }, "" },
        { "short reply", { Step::read(requestSize), Step::write({ 0, 90, 0 }), Step::closeConnection() },
            "Proxy closed the connection unexpectedly." },
        { "no reply", { Step::read(requestSize), Step::closeConnection() },
            "Proxy closed the connection unexpectedly." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto exchange = Handshake(c.script, kSocks4, RealTarget());
        EXPECT_EQ(exchange.result.error, c.error);
        EXPECT_EQ(exchange.result.ok, c.error.empty());
    }
}

TEST(ProxyConnection, SocketFailuresCarryTheErrorCode)
{
    {
        SCOPED_TRACE("send on a socket whose sending side is shut");
        ScriptedProxy fake({});
        auto sock = ConnectTo(fake.port());
        ASSERT_EQ(sock->ShutdownSend(), 0);
        const auto result = RunHandshake(MakeProxy(kSocks5, fake.port()), RealTarget(), *sock);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "Sending a connection request to proxy failed with error " + std::to_string(EPIPE));
    }
    {
        SCOPED_TRACE("receive that times out");
        ScriptedProxy fake({ Step::read(3) });
        int fd = -1;
        auto sock = ConnectTo(fake.port(), &fd);
        timeval timeout { 0, 50 * 1000 };
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
        const auto result = RunHandshake(MakeProxy(kSocks5, fake.port()), RealTarget(), *sock);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(
            result.error, "Reading proxy reply on a connection request failed with error " + std::to_string(EAGAIN));
    }
}

// With the "connect" timing item on, each step of a handshake leaves a verbose line "<routine>:<place> T=<ms>
// S=<thread>"; with it off, none.
TEST(ProxyConnection, TimingLinesOnlyWhenSwitchedOn)
{
    CLog& log = GetLog();
    const int screenLevel = log.GetScreenLevel();
    log.SetScreenLevel(kLogVerbose);
    const auto drain = [&log] { return test::TakeScreenLines(log); };
    const std::vector<Step> script { Step::read(3), Step::write({ 5, 0 }), Step::read(10), Step::write(kOkReplyIPv4) };
    drain();

    SetTimingOn(TimingItem::Connect, true);
    EXPECT_TRUE(Handshake(script, kSocks5, RealTarget()).result.ok);
    SetTimingOn(TimingItem::Connect, false);
    const auto timed = drain();
    EXPECT_TRUE(Handshake(script, kSocks5, RealTarget()).result.ok);
    const auto untimed = drain();
    log.SetScreenLevel(screenLevel);

    std::vector<std::string> routines;
    const std::regex shape(R"(^(Connect|Socks5):\d+ T=\d+ S=\d+$)");
    for (const auto& line : timed) {
        std::smatch match;
        if (std::regex_search(line, match, shape))
            routines.push_back(match[1]);
    }
    // Start of Connect; in Socks5 the start, the method reply, the target's form, the connect reply, success.
    EXPECT_EQ(routines, (std::vector<std::string> { "Connect", "Socks5", "Socks5", "Socks5", "Socks5", "Socks5" }))
        << ::testing::PrintToString(timed);
    EXPECT_TRUE(untimed.empty()) << ::testing::PrintToString(untimed);
}

} // namespace
} // namespace corvantis::test
