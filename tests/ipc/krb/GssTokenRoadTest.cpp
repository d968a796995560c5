// The Negotiate token road across two processes: the proxy code of this process (the extension's side, with no
// Kerberos credentials) asks the application's GSS token service in a second process (which holds them) for
// each token, through the endpoint slot and the core hook.

#include "core/foundation/CoreHooks.h"
#include "core/proxy/GssNegotiate.h"
#include "ipc/GssEndpointSlot.h"
#include "ipc/GssHelperClient.h"
#include "tests/ipc/XpcTestSupport.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/KerberosRealm.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>

namespace corvantis {
namespace {

class GssTokenRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_realm = std::make_unique<test::KerberosRealm>("localhost");
        s_realm->useInThisProcess();
        s_realm->addUser("alice", "alice-pw");
        s_realm->kinit("alice", "alice-pw");

        // The application: a process of its own, holding alice's credentials.
        std::vector<std::string> argv { "env" };
        for (const auto& [name, value] : s_realm->env())
            argv.push_back(name + "=" + value);
        argv.push_back(CORVANTIS_IPC_STUB);
        argv.push_back("gss-app");
        s_app = std::make_unique<test::LineReadingChild>(argv);
        const auto line = s_app->readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line && line->rfind("endpoint ", 0) == 0) << line.value_or("(nothing)");
        // Handed over by the application, which runs as this user.
        s_endpoint = XpcEndpoint { line->substr(9), ::geteuid() };

        // This process plays the extension: the realm's configuration, but no credentials.
        s_noCredentials = std::make_unique<test::TempDir>();
        ::setenv("KRB5CCNAME", ("FILE:" + (*s_noCredentials / "none").string()).c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        s_app.reset();
        s_realm.reset();
        s_noCredentials.reset();
    }
    void SetUp() override { GssEndpointSlot::store(std::make_shared<const XpcEndpoint>(s_endpoint)); }
    void TearDown() override
    {
        GssEndpointSlot::store(nullptr);
        SetCoreHooks({});
    }

    struct Outcome {
        bool ok = false;
        std::string text;
        std::vector<unsigned char> token;
    };
    static Outcome ask(const char* host, size_t textCapacity = kGssBufferCapacity)
    {
        std::vector<char> text(textCapacity);
        std::vector<unsigned char> token(kGssBufferCapacity);
        size_t textLength = text.size();
        size_t tokenLength = token.size();
        Outcome o;
        o.ok = GssHelperClient::gssGetTokenForProxyHost(host, &textLength, text.data(), &tokenLength, token.data());
        o.text.assign(text.data(), textLength);
        o.token.assign(token.begin(), token.begin() + static_cast<long>(tokenLength));
        return o;
    }

    static std::unique_ptr<test::KerberosRealm> s_realm;
    static std::unique_ptr<test::LineReadingChild> s_app;
    static std::unique_ptr<test::TempDir> s_noCredentials;
    static XpcEndpoint s_endpoint;
};

std::unique_ptr<test::KerberosRealm> GssTokenRoad::s_realm;
std::unique_ptr<test::LineReadingChild> GssTokenRoad::s_app;
std::unique_ptr<test::TempDir> GssTokenRoad::s_noCredentials;
XpcEndpoint GssTokenRoad::s_endpoint;

TEST_F(GssTokenRoad, ConnectThroughSquidWithATokenFromTheApplication)
{
    // This process cannot make the token itself.
    std::string error;
    std::vector<uint8_t> own;
    ASSERT_FALSE(GetNegotiateToken(error, own, "localhost"));

    test::EchoServer echo;
    auto squid = test::startSquid(s_realm->squidNegotiate());

    CoreHooks hooks;
    hooks.gssGetTokenForProxyHost = &GssHelperClient::gssGetTokenForProxyHost;
    SetCoreHooks(std::move(hooks));

    CProxy proxy("localhost", squid->port(), kProxyHttps, 1);
    proxy.m_AuthEnabled = true;
    proxy.m_Options = ProxyOptionNegotiate;
    const CHost target("127.0.0.1", echo.port(), false);
    auto socket = test::ConnectTo(squid->port());
    CProxyConnection connection(proxy, target, socket.get());
    ASSERT_TRUE(connection.Connect()) << connection.TakeErrorText() << "\n" << squid->readFile("cache.log");
    test::ExpectEcho(*socket, "a token from the other process");

    socket->Close();
    EXPECT_TRUE(test::waitUntil([&] { return squid->readFile("access.log").find("alice@") != std::string::npos; }))
        << squid->readFile("access.log");
}

TEST_F(GssTokenRoad, TwoConcurrentCallsEachGetTheirOwnReply)
{
    Outcome good;
    Outcome bad;
    std::thread first([&] { good = ask("localhost"); });
    std::thread second([&] { bad = ask("unknown.example"); });
    first.join();
    second.join();

    EXPECT_TRUE(good.ok) << good.text;
    EXPECT_TRUE(good.text.empty());
    ASSERT_GT(good.token.size(), 20u);
    EXPECT_EQ(good.token[0], 0x60);

    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.text.rfind("No valid token acquired for", 0), 0u) << bad.text;
    EXPECT_TRUE(bad.token.empty());
}

TEST_F(GssTokenRoad, ReasonIsCutToTheCallersCapacity)
{
    const Outcome whole = ask("unknown.example");
    ASSERT_GT(whole.text.size(), 10u);
    const Outcome cut = ask("unknown.example", 10);
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(cut.text, whole.text.substr(0, 10));
}

TEST_F(GssTokenRoad, NoEndpointGivesBothLengthsZero)
{
    GssEndpointSlot::store(nullptr);
    const Outcome o = ask("localhost");
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.text.empty());
    EXPECT_TRUE(o.token.empty());
}

} // namespace
} // namespace corvantis
