#include <gtest/gtest.h>

#include "tests/proxy/ProxyTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "core/foundation/SafeSocket.h"
#include "core/profile/Proxy.h"
#include "core/proxy/ProxyConnection.h"
#include "tests/peers/NtlmTestProxy.h"
#include "tests/peers/ScriptedProxy.h"

namespace corvantis {
namespace {

using Step = test::ScriptedProxy::Step;

CProxy ntlmProxy(uint16_t port, const std::string& user, const std::string& password, uint32_t extra = 0)
{
    CProxy proxy("127.0.0.1", port, kProxyHttps, 1);
    proxy.m_AuthEnabled = true;
    proxy.m_UserName = user;
    proxy.m_Password = password;
    proxy.m_Options = ProxyOptionNtlm | extra;
    return proxy;
}

TEST(NtlmExchange, TestProxyAcceptsTheClientsAnswer)
{
    struct Case {
        const char* name;
        std::string user; // as configured
        std::string proxyUser; // as the proxy expects it
        std::string domain; // as the proxy expects it
        std::string password;
    };
    const Case cases[] = {
        { "domain from the challenge", "alice", "alice", "TESTDOM", "secret" },
        { "typed domain", "corp\\alice", "alice", "CORP", "secret" },
        { "password beyond the basic plane", "bob@corp", "bob", "CORP", "p\xC3\xA4ss\xF0\x9F\x98\x80" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::NtlmTestProxy server(c.proxyUser, c.domain, c.password);
        const CProxy proxy = ntlmProxy(server.port(), c.user, c.password);
        const CHost target("10.9.8.7", 443, false);
        auto socket = test::ConnectTo(server.port());
        CProxyConnection connection(proxy, target, socket.get());
        ASSERT_TRUE(connection.Connect()) << connection.TakeErrorText() << " / " << server.reason();

        const std::string text = "over the NTLM tunnel";
        test::ExpectEcho(*socket, text);
        socket->Close();
        EXPECT_TRUE(server.accepted()) << server.reason();
    }
}

TEST(NtlmExchange, RefusedOrImpossibleAnswers)
{
    struct Case {
        const char* name;
        std::string user;
        std::string password;
        uint32_t extraOptions;
        std::string error;
    };
    const Case cases[] = {
        { "wrong password", "alice", "wrong", 0, "Authentication failed." },
        { "no credentials", "alice", "secret", ProxyOptionNtlmNoCredentials,
            "Local authentication routines failed with error the proxy asks for NTLM credentials, but none are "
            "configured." },
        { "password not UTF-8", "alice", "s\xFF", 0,
            "Local authentication routines failed with error the NTLM password is not valid UTF-8 text." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::NtlmTestProxy server("alice", "TESTDOM", "secret");
        const CProxy proxy = ntlmProxy(server.port(), c.user, c.password, c.extraOptions);
        const CHost target("10.9.8.7", 443, false);
        auto socket = test::ConnectTo(server.port());
        CProxyConnection connection(proxy, target, socket.get());
        EXPECT_FALSE(connection.Connect());
        EXPECT_EQ(connection.TakeErrorText(), c.error);
        socket->Close();
        EXPECT_FALSE(server.accepted());
    }
}

TEST(NtlmExchange, RepliesToTheNegotiateMessage)
{
    const std::string first
        = "CONNECT 10.9.8.7:443 HTTP/1.1\r\nHost: 10.9.8.7:443\r\n"
          "Proxy-Authorization: NTLM TlRMTVNTUAABAAAAB4IIAgAAAAAAAAAAAAAAAAAAAAAGAbAdAAAADw==\r\n\r\n";
    struct Case {
        const char* name;
        std::string reply;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        { "let through at once", "HTTP/1.1 200 OK\r\n\r\n", true, "" },
        { "only Basic offered", "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Basic realm=\"x\"\r\n\r\n", false,
            "Proxy server uses unsupported authentication protocols or authorization failed." },
        // A bare offer must not take the next header line for the challenge.
        { "bare NTLM offer", "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM\r\nX-Other: TlRMTVNTUAACAAAA\r\n\r\n",
            false, "Proxy server uses unsupported authentication protocols or authorization failed." },
        { "other status", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 3\r\n\r\nabc", false,
            "During authentication negotiations proxy returned unexpected status code 502" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedProxy server({ Step::read(first.size()),
            Step::write(std::vector<uint8_t>(c.reply.begin(), c.reply.end())), Step::closeConnection() });
        const CProxy proxy = ntlmProxy(server.port(), "alice", "secret");
        const CHost target("10.9.8.7", 443, false);
        auto socket = test::ConnectTo(server.port());
        CProxyConnection connection(proxy, target, socket.get());
        EXPECT_EQ(connection.Connect(), c.ok);
        EXPECT_EQ(connection.TakeErrorText(), c.error);
        socket->Close();
        const auto sent = server.finish();
        EXPECT_EQ(std::string(sent.begin(), sent.end()), first);
    }
}

// A proxy that answers the negotiate message with a 407 whose chunked body never ends must not hold the
// handshake for as long as it streams: the body a handshake drains is bounded.
TEST(NtlmExchange, EndlessChunkedBodyOfThe407IsCutOff)
{
    const std::string header
        = "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM "
          "TlRMTVNTUAACAAAADAAMADgAAAAzgoriASNFZ4mrze8AAAAAAAAAACQAJABEAAAABgBwFwAAAA9EAG8AbQBhAGkAbgAC"
          "AAwARABvAG0AYQBpAG4AAQAMAFMAZQByAHYAZQByAAAAAAA=\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* name;
        std::string chunk;
    };
    const Case cases[] = {
        { "largest chunks", "4E20\r\n" + std::string(20000, 'x') + "\r\n" },
        { "one-byte chunks", "1\r\nx\r\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedProxy server({ Step::read(1), Step::write(std::vector<uint8_t>(header.begin(), header.end())),
            Step::writeRepeatedly(std::vector<uint8_t>(c.chunk.begin(), c.chunk.end()), 16u << 20),
            Step::closeConnection() });
        const CProxy proxy = ntlmProxy(server.port(), "alice", "secret");
        const CHost target("10.9.8.7", 443, false);
        auto socket = test::ConnectTo(server.port());
        CProxyConnection connection(proxy, target, socket.get());
        EXPECT_FALSE(connection.Connect());
        EXPECT_EQ(connection.TakeErrorText(), "Proxy reply body is too large.");
        socket->Close();
        server.finish();
    }
}

} // namespace
} // namespace corvantis
