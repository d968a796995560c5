#include <gtest/gtest.h>

#include <string>

#include "tests/peers/EchoServer.h"
#include "tests/peers/PeerProcess.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace corvantis::test {
namespace {

constexpr size_t kOneMiB = 1024 * 1024;

// Handshakes through real SOCKS servers to an echo server on loopback; a tunnel that stands must carry
// 1 MiB both ways unchanged.
class ProxyPeers : public ::testing::Test {
protected:
    void SetUp() override { UseTestPlaceholderRange(); }

    // Connects to the peer, runs the handshake and, when it succeeds, checks the tunnel.
    HandshakeResult Through(const PeerProcess& peer, const CProxy& proxy, const CHost& target)
    {
        auto sock = ConnectTo(peer.port());
        const auto result = RunHandshake(proxy, target, *sock);
        if (result.ok)
            ExpectEchoedUnchanged(*sock, kOneMiB);
        return result;
    }

    EchoServer m_echo;
};

TEST_F(ProxyPeers, MicrosocksCarriesDataByAddressAndByName)
{
    auto peer = startMicrosocks();
    struct Case {
        const char* name;
        CHost target;
    };
    const Case cases[] = {
        { "by address", AddressTarget("127.0.0.1", m_echo.port()) },
        { "placeholder by name", AddressTarget("198.18.0.7", m_echo.port(), "localhost") },
        { "name only", NameTarget("localhost", m_echo.port()) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = Through(*peer, MakeProxy(kSocks5, peer->port()), c.target);
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.error, "");
    }
}

TEST_F(ProxyPeers, MicrosocksWithPassword)
{
    auto peer = startMicrosocks("alice", "secret");
    struct Case {
        const char* name;
        std::string user;
        std::string password;
        std::string error; // empty: the tunnel stands
    };
    const Case cases[] = {
        { "right password", "alice", "secret", "" },
        { "wrong password", "alice", "wrong", "Authentication failed." },
        { "unknown user", "mallory", "secret", "Authentication failed." },
        { "no authentication offered", "", "", "Proxy server requires authentication." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = Through(
            *peer, MakeProxy(kSocks5, peer->port(), c.user, c.password), AddressTarget("127.0.0.1", m_echo.port()));
        EXPECT_EQ(result.ok, c.error.empty());
        EXPECT_EQ(result.error, c.error);
    }
}

TEST_F(ProxyPeers, DanteCarriesDataOverSocks5AndSocks4)
{
    auto peer = startDante();
    struct Case {
        const char* name;
        int type;
        CHost target;
        uint32_t options;
    };
    const Case cases[] = {
        { "SOCKS5 by address", kSocks5, AddressTarget("127.0.0.1", m_echo.port()), 0 },
        { "SOCKS5 by name", kSocks5, AddressTarget("198.18.0.8", m_echo.port(), "localhost"), 0 },
        { "SOCKS4 by address", kSocks4, AddressTarget("127.0.0.1", m_echo.port()), 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = Through(*peer, MakeProxy(c.type, peer->port(), "", "", c.options), c.target);
        EXPECT_TRUE(result.ok) << result.error << "\n" << peer->readFile("danted.log");
        EXPECT_EQ(result.error, "");
    }
}

// dante does not resolve names for SOCKS4 clients: it answers code 91.
TEST_F(ProxyPeers, DanteRefusesSocks4A)
{
    auto peer = startDante();
    const auto result = Through(*peer, MakeProxy(kSocks4, peer->port(), "", "", ProxyOptionSocks4A),
        AddressTarget("198.18.0.9", m_echo.port(), "localhost"));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Proxy server cannot establish a connection with the target.");
}

TEST_F(ProxyPeers, Socks4AServerResolvesTheName)
{
    auto peer = startSocks4aServer();
    const auto result = Through(*peer, MakeProxy(kSocks4, peer->port(), "bob", "", ProxyOptionSocks4A),
        AddressTarget("198.18.0.10", m_echo.port(), "localhost"));
    EXPECT_TRUE(result.ok) << result.error;
    const std::string log = peer->readFile("requests.log");
    EXPECT_NE(
        log.find("user=bob host=localhost port=" + std::to_string(m_echo.port()) + " result=90"), std::string::npos)
        << log;
}

// A target port nobody listens on: each server's refusal reaches the user as the protocol's text.
TEST_F(ProxyPeers, RefusedTarget)
{
    const uint16_t closedPort = freeLoopbackPort();
    const CHost target = AddressTarget("127.0.0.1", closedPort);
    const std::string refused5 = "Proxy server cannot establish a connection with the target - Connection refused.";
    {
        SCOPED_TRACE("microsocks");
        auto peer = startMicrosocks();
        const auto result = Through(*peer, MakeProxy(kSocks5, peer->port()), target);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, refused5);
    }
    auto dante = startDante();
    {
        SCOPED_TRACE("dante SOCKS5");
        const auto result = Through(*dante, MakeProxy(kSocks5, dante->port()), target);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, refused5);
    }
    {
        SCOPED_TRACE("dante SOCKS4");
        const auto result = Through(*dante, MakeProxy(kSocks4, dante->port()), target);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "Proxy server cannot establish a connection with the target.");
    }
}

} // namespace
} // namespace corvantis::test
