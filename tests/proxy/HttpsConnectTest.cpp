#include <gtest/gtest.h>

#include "tests/proxy/ProxyTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/Proxy.h"
#include "core/proxy/HttpsConnect.h"
#include "core/proxy/ProxyConnection.h"
#include "platform/UniqueFd.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/ScriptedProxy.h"
#include "tests/support/LogLines.h"

namespace corvantis {
namespace {

using test::EchoServer;
using test::ScriptedProxy;
using Step = test::ScriptedProxy::Step;

std::vector<uint8_t> bytesOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string textOf(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

CProxy httpsProxy(uint16_t port, const std::string& host = "127.0.0.1")
{
    return CProxy(host, port, kProxyHttps, 1);
}

struct ScriptedResult {
    bool ok;
    std::string error;
    std::string sent;
};

// Runs the client against a proxy that reads the client's bytes and answers with `reply`, then closes.
ScriptedResult runScripted(
    const CProxy& proxyTemplate, const CHost& target, size_t requestLength, const std::string& reply)
{
    ScriptedProxy proxy({ Step::read(requestLength), Step::write(bytesOf(reply)), Step::closeConnection() });
    CProxy record = proxyTemplate;
    record.m_Port = proxy.port();
    auto socket = test::ConnectTo(proxy.port());
    CProxyConnection connection(record, target, socket.get());
    const bool ok = connection.Connect();
    socket->Close();
    return { ok, connection.TakeErrorText(), textOf(proxy.finish()) };
}

TEST(HttpsConnectRequest, TargetForms)
{
    CHost v4("10.1.2.3", 443, false);
    CHost v6("::1", 8443, false);
    CHost named("example.com", 80, false);
    CHost both(std::optional<std::string>("example.com"), "10.1.2.3", 443, false);
    CHost placeholder = both;
    placeholder.m_FakeIp = true;
    CHost lostName = v4;
    lostName.m_FakeIp = true;
    CHost injected("evil.com\r\nX-Injected:", 80, false);
    CProxy byAddress = httpsProxy(0);
    CProxy byName = byAddress;
    byName.m_Options = ProxyOptionUseHostname;
    struct Case {
        const char* name;
        const CProxy& proxy;
        const CHost& target;
        std::string request; // empty: nothing may be sent
        std::string error;
    };
    const Case cases[] = {
        { "IPv4", byAddress, v4, "CONNECT 10.1.2.3:443 HTTP/1.1\r\nHost: 10.1.2.3:443\r\n\r\n", "" },
        { "IPv6 in brackets", byAddress, v6, "CONNECT [::1]:8443 HTTP/1.1\r\nHost: [::1]:8443\r\n\r\n", "" },
        { "name only", byAddress, named, "CONNECT example.com:80 HTTP/1.1\r\nHost: example.com:80\r\n\r\n", "" },
        { "resolved goes by address", byAddress, both, "CONNECT 10.1.2.3:443 HTTP/1.1\r\nHost: 10.1.2.3:443\r\n\r\n",
            "" },
        { "resolved by name on request", byName, both,
            "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n", "" },
        { "placeholder goes by name", byAddress, placeholder,
            "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n", "" },
        { "placeholder without a name", byAddress, lostName, "", "Target host name is not known." },
        { "name with a line break", byAddress, injected, "",
            "Target host name contains characters that are not allowed." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string reply = "HTTP/1.1 200 OK\r\n\r\n";
        const auto result = runScripted(c.proxy, c.target, c.request.empty() ? 1 : c.request.size(), reply);
        EXPECT_EQ(result.sent, c.request);
        EXPECT_EQ(result.ok, c.error.empty());
        EXPECT_EQ(result.error, c.error);
    }
    EXPECT_EQ(MakeConnectRequestBase("a.b", 1, true),
        "CONNECT a.b:1 HTTP/1.1\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\nHost: a.b:1\r\n");
}

TEST(HttpsConnectScripted, RepliesWithoutAuthentication)
{
    const CHost target("10.0.0.1", 443, false);
    const std::string request = "CONNECT 10.0.0.1:443 HTTP/1.1\r\nHost: 10.0.0.1:443\r\n\r\n";
    struct Case {
        const char* name;
        std::string reply;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        { "200", "HTTP/1.1 200 Connection established\r\n\r\n", true, "" },
        { "407", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", false, "Proxy server requires authentication." },
        { "403", "HTTP/1.1 403 Forbidden\r\n\r\n", false,
            "Proxy server cannot establish a connection with the target, status code 403" },
        { "not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, "Proxy returned incorrect HTTP reply." },
        { "closed in the header", "HTTP/1.1 200 OK\r\nServer: x", false,
            "Proxy closed the connection unexpectedly (RR1)." },
        { "closed in the status line", "HTTP/1.", false, "Proxy closed the connection unexpectedly." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = runScripted(httpsProxy(0), target, request.size(), c.reply);
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.sent, request);
    }
}

TEST(HttpsConnectScripted, TunnelBytesAfterTheReplyStayInTheSocket)
{
    const CHost target("10.0.0.1", 443, false);
    const std::string request = "CONNECT 10.0.0.1:443 HTTP/1.1\r\nHost: 10.0.0.1:443\r\n\r\n";
    ScriptedProxy proxy({ Step::read(request.size()), Step::write(bytesOf("HTTP/1.1 200 OK\r\n\r\nSERVER-HELLO")) });
    auto socket = test::ConnectTo(proxy.port());
    const CProxy record = httpsProxy(proxy.port());
    CProxyConnection connection(record, target, socket.get());
    ASSERT_TRUE(connection.Connect()) << connection.TakeErrorText();
    char buffer[12];
    int err = 0;
    size_t got = 0;
    while (got < sizeof buffer) {
        const ssize_t n = socket->Recv(buffer + got, sizeof buffer - got, 0, err);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(buffer, sizeof buffer), "SERVER-HELLO");
    socket->Close();
    proxy.finish();
}

TEST(HttpsConnectScripted, BasicHeaderAndWrongCredentials)
{
    CProxy proxy = httpsProxy(0);
    proxy.m_AuthEnabled = true;
    proxy.m_UserName = "alice";
    proxy.m_Password = "secret";
    proxy.m_Options = ProxyOptionAsIE;
    const CHost target("example.com", 443, false);
    const std::string request = "CONNECT example.com:443 HTTP/1.1\r\n"
                                "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n"
                                "Host: example.com:443\r\n"
                                "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n\r\n";
    const auto result = runScripted(proxy, target, request.size(), "HTTP/1.1 407 Denied\r\n\r\n");
    EXPECT_EQ(result.sent, request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Authentication failed.");
}

// The suffixes of the reply reader's timing lines among `lines`, in order.
std::vector<std::string> replyTimingSuffixes(const std::vector<std::string>& lines)
{
    std::vector<std::string> suffixes;
    const std::regex shape(R"(^HttpRecvReply:\d+ T=\d+ S=\d+(.*)$)");
    for (const auto& line : lines) {
        std::smatch match;
        if (std::regex_search(line, match, shape))
            suffixes.push_back(match[1]);
    }
    return suffixes;
}

void writeAll(int fd, const std::string& text)
{
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// With the "connect" timing item on, the reply reader marks the moment it starts to wait for the rest of the
// header (with the length so far) and each chunk of a body it drains; with the item off it writes nothing.
TEST(HttpRecvReply, TimingLinesMarkTheWaitAndEachChunk)
{
    CLog& log = GetLog();
    const int screenLevel = log.GetScreenLevel();
    log.SetScreenLevel(kLogVerbose);
    test::TakeScreenLines(log);
    const std::string head = "HTTP/1.1 407 x\r\nTransfer-Encoding: chunked\r\n";
    const std::string tail = "\r\n1A\r\n" + std::string(0x1A, 'a') + "\r\n0\r\n\r\n";

    for (const bool timing : { true, false }) {
        SCOPED_TRACE(timing ? "timing on" : "timing off");
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        CSafeSocket reader(fds[0]);
        UniqueFd writer(fds[1]);
        SetTimingOn(TimingItem::Connect, timing);
        writeAll(writer.get(), head);
        bool ok = false;
        int status = 0;
        std::string reply;
        std::string error;
        std::thread thread([&] { ok = HttpRecvReply(reader, status, reply, true, error); });
        // The rest of the reply is written only once the reader has run dry, so that it must wait for it.
        std::vector<std::string> lines;
        const std::string waitLine = " len=" + std::to_string(head.size());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timing ? 20 : 0);
        for (;;) {
            const auto more = test::TakeScreenLines(log);
            lines.insert(lines.end(), more.begin(), more.end());
            const auto suffixes = replyTimingSuffixes(lines);
            if (std::find(suffixes.begin(), suffixes.end(), waitLine) != suffixes.end()
                || std::chrono::steady_clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        writeAll(writer.get(), tail + "TUNNEL");
        thread.join();
        SetTimingOn(TimingItem::Connect, false);
        const auto more = test::TakeScreenLines(log);
        lines.insert(lines.end(), more.begin(), more.end());

        EXPECT_TRUE(ok) << error;
        EXPECT_EQ(status, 407);
        EXPECT_EQ(reply, head + "\r\n");
        const std::vector<std::string> expected = timing ? std::vector<std::string> { waitLine, " chunk size str=1A",
            " chunk data finished", " chunk finished", " chunk size str=0", " chunk finished" }
                                                         : std::vector<std::string> {};
        EXPECT_EQ(replyTimingSuffixes(lines), expected) << ::testing::PrintToString(lines);
    }
    log.SetScreenLevel(screenLevel);
}

// ---- Through squid ----

struct SquidCase {
    const char* name;
    test::SquidOptions options;
    bool authEnabled;
    std::string user;
    std::string password;
    bool ok;
    std::string error;
};

TEST(HttpsConnectSquid, TunnelCarriesDataBothWays)
{
    EchoServer echo;
    test::SquidOptions none;
    test::SquidOptions basic;
    basic.auth = test::SquidOptions::Auth::Basic;
    basic.users = { { "alice", "s3cret:with colon" } };
    const SquidCase cases[] = {
        { "no authentication", none, false, "", "", true, "" },
        { "basic", basic, true, "alice", "s3cret:with colon", true, "" },
        { "basic, wrong password", basic, true, "alice", "wrong", false, "Authentication failed." },
        { "basic required but not configured", basic, false, "", "", false, "Proxy server requires authentication." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto squid = test::startSquid(c.options);
        CProxy proxy = httpsProxy(squid->port());
        proxy.m_AuthEnabled = c.authEnabled;
        proxy.m_UserName = c.user;
        proxy.m_Password = c.password;
        const CHost target("127.0.0.1", echo.port(), false);
        auto socket = test::ConnectTo(squid->port());
        CProxyConnection connection(proxy, target, socket.get());
        const bool ok = connection.Connect();
        const std::string error = connection.TakeErrorText();
        ASSERT_EQ(ok, c.ok) << error << "\n" << squid->readFile("cache.log");
        EXPECT_EQ(error, c.error);
        if (c.ok)
            test::ExpectEcho(*socket, std::string(100000, 'x') + "end");
    }
}

TEST(HttpsConnectTinyproxy, BasicAuthentication)
{
    EchoServer echo;
    auto tiny = test::startTinyproxy("bob", "pw");
    CProxy proxy = httpsProxy(tiny->port());
    proxy.m_AuthEnabled = true;
    proxy.m_UserName = "bob";
    proxy.m_Password = "pw";
    const CHost target("127.0.0.1", echo.port(), false);
    auto socket = test::ConnectTo(tiny->port());
    CProxyConnection connection(proxy, target, socket.get());
    ASSERT_TRUE(connection.Connect()) << connection.TakeErrorText() << tiny->readFile("tinyproxy.log");
    test::ExpectEcho(*socket, "ping through tinyproxy");
}

} // namespace
} // namespace corvantis
