#include <gtest/gtest.h>

#include "tests/proxy/ProxyTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/CoreHooks.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/Proxy.h"
#include "core/proxy/CurlHttps.h"
#include "core/proxy/GssNegotiate.h"
#include "core/proxy/ProxyConnection.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/KerberosRealm.h"
#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

namespace corvantis {
namespace {

// One throw-away realm for the whole suite: creating it takes a few seconds. The test process uses its
// configuration and credential cache from the start.
class NegotiateRealm : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_realm = std::make_unique<test::KerberosRealm>("localhost");
        s_realm->useInThisProcess();
        s_realm->addUser("alice", "alice-pw");
    }
    static void TearDownTestSuite() { s_realm.reset(); }
    void SetUp() override { s_realm->kinit("alice", "alice-pw"); }
    void TearDown() override { SetCoreHooks(CoreHooks {}); }

    static std::unique_ptr<test::KerberosRealm> s_realm;
};

std::unique_ptr<test::KerberosRealm> NegotiateRealm::s_realm;

TEST_F(NegotiateRealm, TokenForTheServiceOfTheHost)
{
    std::string error;
    std::vector<uint8_t> token;
    ASSERT_TRUE(GetNegotiateToken(error, token, "localhost")) << error;
    EXPECT_TRUE(error.empty());
    // A GSS-API initial context token: tag 0x60, then the Kerberos 5 mechanism's OID.
    ASSERT_GT(token.size(), 20u);
    EXPECT_EQ(token[0], 0x60);
    const std::vector<uint8_t> krb5Oid = { 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02 };
    EXPECT_NE(std::search(token.begin(), token.end(), krb5Oid.begin(), krb5Oid.end()), token.end());
}

TEST_F(NegotiateRealm, FailuresNameTheirStep)
{
    struct Case {
        const char* name;
        const char* host;
        bool dropCredentials;
    };
    const Case cases[] = {
        { "service not in the realm", "unknown.example", false },
        { "empty host name", "", false },
        { "no credentials", "localhost", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.dropCredentials)
            s_realm->kdestroy();
        std::string error;
        std::vector<uint8_t> token;
        EXPECT_FALSE(GetNegotiateToken(error, token, c.host));
        EXPECT_TRUE(token.empty());
        EXPECT_EQ(error.rfind("No valid token acquired for Initializing context", 0), 0u) << error;
        EXPECT_NE(error.find(" ("), std::string::npos) << error; // major text, then the minor text in brackets
    }
}

TEST_F(NegotiateRealm, EntryCutsToTheCallersBuffers)
{
    std::vector<unsigned char> token(16);
    std::vector<char> text(8);
    size_t tokenLength = token.size();
    size_t textLength = text.size();
    ASSERT_TRUE(GssGetNegotiateToken("localhost", &textLength, text.data(), &tokenLength, token.data()));
    EXPECT_EQ(tokenLength, token.size());
    EXPECT_EQ(textLength, 0u);
    EXPECT_EQ(token[0], 0x60);

    tokenLength = token.size();
    textLength = text.size();
    EXPECT_FALSE(GssGetNegotiateToken("", &textLength, text.data(), &tokenLength, token.data()));
    EXPECT_EQ(tokenLength, 0u);
    EXPECT_EQ(textLength, text.size());
    EXPECT_EQ(std::string(text.data(), textLength), "No valid");
}

TEST_F(NegotiateRealm, ConnectThroughSquidWithNegotiate)
{
    test::EchoServer echo;
    auto squid = test::startSquid(s_realm->squidNegotiate());

    // The program's token source; the extension's would ask the application, which answers with this entry.
    CoreHooks hooks;
    hooks.gssGetTokenForProxyHost = &GssGetNegotiateToken;
    SetCoreHooks(std::move(hooks));

    CProxy proxy("localhost", squid->port(), kProxyHttps, 1);
    proxy.m_AuthEnabled = true;
    proxy.m_Options = ProxyOptionNegotiate;
    const CHost target("127.0.0.1", echo.port(), false);
    auto socket = test::ConnectTo(squid->port());
    CProxyConnection connection(proxy, target, socket.get());
    ASSERT_TRUE(connection.Connect()) << connection.TakeErrorText() << "\n" << squid->readFile("cache.log");

    const std::string text = "kerberos tunnel";
    test::ExpectEcho(*socket, text);

    // Squid logs the tunnel, with the user the helper accepted, once it ends.
    socket->Close();
    test::waitUntil([&] { return squid->readFile("access.log").find("alice@") != std::string::npos; });
    EXPECT_NE(squid->readFile("access.log").find("alice@"), std::string::npos) << squid->readFile("access.log");
}

TEST_F(NegotiateRealm, LibcurlVariantThroughSquid)
{
    test::EchoServer echo;
    auto squid = test::startSquid(s_realm->squidNegotiate());

    auto socket = test::ConnectTo(squid->port());
    std::string error;
    ASSERT_TRUE(DoCurlHttpsNegotiate(
        "http://127.0.0.1:" + std::to_string(echo.port()) + "/", socket->GetSocket(), error, "", "", "localhost"))
        << error << "\n"
        << squid->readFile("cache.log");
    const std::string text = "negotiated by libcurl";
    test::ExpectEcho(*socket, text);
}

TEST_F(NegotiateRealm, NoTokenFailsBeforeSendingAnything)
{
    // The application's own answer: no token source at all.
    const test::LoopbackListener listener;

    CProxy proxy("localhost", listener.port(), kProxyHttps, 1);
    proxy.m_AuthEnabled = true;
    proxy.m_Options = ProxyOptionNegotiate;
    const CHost target("127.0.0.1", 9, false);
    auto socket = test::ConnectTo(listener.port());
    CProxyConnection connection(proxy, target, socket.get());
    EXPECT_FALSE(connection.Connect());
    EXPECT_EQ(
        connection.TakeErrorText(), "Authentication routines failed - No Negotiate token is available for localhost.");
}

} // namespace
} // namespace corvantis
