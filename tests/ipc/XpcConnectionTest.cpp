#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcListener.h"
#include "platform/xpc/XpcSocketAddress.h"
#include "tests/ipc/XpcTestSupport.h"

#include <gtest/gtest.h>

#include <numeric>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvantis {
namespace {

using test::Latch;
using test::waitUntil;
using test::XpcEchoClient;
using test::XpcEchoServer;

class XpcConnectionTest : public ::testing::Test {
protected:
    test::RuntimeDir m_runtime;
    test::XpcLogCapture m_log;
};

std::string servicePath(const std::string& name)
{
    return XpcSocketAddress::runtimeDir() + "/" + name;
}

// A peer that speaks raw bytes: connects to a service socket, writes, and waits for the other side to close.
class RawPeer final {
public:
    explicit RawPeer(const std::string& path)
    {
        m_fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        auto address = XpcSocketAddress::forPath(path);
        EXPECT_TRUE(address.ok());
        EXPECT_EQ(::connect(m_fd.get(), address->get(), address->length()), 0) << errno;
    }
    void write(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(::send(m_fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // True when the other side closed the link within the limit (data before the end is skipped).
    bool closedByPeer()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p { m_fd.get(), POLLIN, 0 };
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                return true;
        }
        return false;
    }

private:
    UniqueFd m_fd;
};

std::vector<uint8_t> frameOf(const XpcDict& message, const XpcLimits& limits = {})
{
    auto frame = XpcFrameCodec::encode(message, limits);
    EXPECT_TRUE(frame.ok());
    return frame.ok() ? frame.value() : std::vector<uint8_t> {};
}

XpcDict call(int64_t id, const std::string& selector, XpcArray arguments)
{
    return { { "kind", XpcObject(1) }, { "id", XpcObject(static_cast<long long>(id)) },
        { "selector", XpcObject(selector) }, { "arguments", XpcObject(std::move(arguments)) } };
}

TEST_F(XpcConnectionTest, CallsAndRepliesCrossAServiceSocket)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    struct stat st { };
    ASSERT_EQ(::stat(servicePath("echo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    XpcEchoClient client(XpcConnection::createForService("echo"));
    EXPECT_EQ(client.echo("hello"), "hello");
    EXPECT_EQ(client.echo(""), "");

    // The last reply value is declared optional and arrives absent, not as an empty text.
    Latch<XpcArray> values;
    client.connection->sendMessage("values:reply:", {}, [&](XpcArray v) { values.set(std::move(v)); });
    auto got = values.wait();
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)[0], XpcObject("text"));
    EXPECT_EQ((*got)[1], XpcObject(PlistData { 1, 2 }));
    EXPECT_TRUE((*got)[2].isAbsent());

    const auto peer = client.connection->peerCredentials();
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->pid, ::getpid());
    EXPECT_EQ(server.accepted(), 1);
    EXPECT_EQ(*client.interruptions, 0);
}

TEST_F(XpcConnectionTest, SocketPathOneByteTooLongIsRefusedNotCut)
{
    const size_t room = XpcSocketAddress::kMaxPath - (m_runtime.path().size() + 1);
    const std::string fits(room, 'f');
    const std::string tooLong(room + 1, 'l');

    XpcEchoServer server;
    server.start(XpcListener::createForService(fits, test::ownUidOnly()));
    EXPECT_EQ(servicePath(fits).size(), 107u);
    XpcEchoClient client(XpcConnection::createForService(fits));
    EXPECT_EQ(client.echo("fits"), "fits");

    auto refused = XpcListener::createForService(tooLong, test::ownUidOnly());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.status().errnum(), ENAMETOOLONG);
    EXPECT_NE(refused.status().message().find(servicePath(tooLong)), std::string::npos) << refused.status().message();
    // Nothing was made under a shortened name.
    EXPECT_FALSE(std::filesystem::exists(servicePath(tooLong).substr(0, 107)));

    XpcEchoClient tooFar(XpcConnection::createForService(tooLong));
    EXPECT_EQ(tooFar.echo("x", std::chrono::milliseconds(200)), std::nullopt);
    EXPECT_TRUE(tooFar.invalidation->wait());
    EXPECT_TRUE(m_log.contains(servicePath(tooLong))) << m_log.joined();
}

TEST_F(XpcConnectionTest, FailedConnectInvalidatesAsynchronously)
{
    XpcEchoClient client(XpcConnection::createForService("nobody-listens"));
    EXPECT_EQ(client.echo("x", std::chrono::milliseconds(200)), std::nullopt);
    auto handlerThread = client.invalidation->wait();
    ASSERT_TRUE(handlerThread);
    EXPECT_NE(*handlerThread, std::this_thread::get_id());
    EXPECT_FALSE(client.connection->isValid());
    EXPECT_EQ(*client.interruptions, 0);
    EXPECT_TRUE(m_log.contains("Cannot connect to service \"nobody-listens\"")) << m_log.joined();
    // Once invalid, always invalid: a later send is dropped, and the handler ran once.
    EXPECT_EQ(client.echo("y", std::chrono::milliseconds(100)), std::nullopt);
    EXPECT_EQ(client.invalidation->count(), 1);
}

TEST_F(XpcConnectionTest, InvalidateRunsTheHandlerLaterAndDropsTheOutstandingReply)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    Latch<std::string> answer;
    client.connection->sendMessage(
        "hold:reply:", { XpcObject("late") }, [&](XpcArray v) { answer.set(*v[0].string()); });
    ASSERT_TRUE(waitUntil([&] { return server.object().heldCount() == 1; }));

    client.connection->invalidate();
    auto handlerThread = client.invalidation->wait();
    ASSERT_TRUE(handlerThread);
    EXPECT_NE(*handlerThread, std::this_thread::get_id());

    // The server's late reply finds the link gone; the client's block is never called.
    for (auto& reply : server.object().takeHeld())
        reply({ XpcObject("late") });
    ASSERT_TRUE(waitUntil([&] { return server.invalidated() == 1; }));
    EXPECT_FALSE(answer.wait(std::chrono::milliseconds(100)));
    EXPECT_EQ(*client.interruptions, 0);
}

TEST_F(XpcConnectionTest, BrokenLinkInterruptsAndTheNextSendConnectsAgain)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    EXPECT_EQ(client.echo("first"), "first");

    Latch<std::string> held;
    client.connection->sendMessage("hold:reply:", { XpcObject("x") }, [&](XpcArray v) { held.set(*v[0].string()); });
    ASSERT_TRUE(waitUntil([&] { return server.object().heldCount() == 1; }));
    auto replies = server.object().takeHeld();

    server.dropLinks();
    ASSERT_TRUE(waitUntil([&] { return *client.interruptions == 1; }));
    EXPECT_TRUE(client.connection->isValid());
    EXPECT_EQ(client.invalidation->count(), 0);

    // The answer to the call of the broken link never arrives, not even once the link is made again.
    EXPECT_EQ(client.echo("second"), "second");
    EXPECT_EQ(server.accepted(), 2);
    for (auto& reply : replies)
        reply({ XpcObject("stale") });
    EXPECT_EQ(client.echo("third"), "third");
    EXPECT_FALSE(held.peek());
}

TEST_F(XpcConnectionTest, AcceptedConnectionLivesWithoutAnyoneHoldingIt)
{
    // The delegate keeps no reference; only the open link keeps the accepted connection.
    auto object = std::make_shared<test::XpcEchoObject>();
    auto listener = XpcListener::createForService("echo", test::ownUidOnly());
    ASSERT_TRUE(listener.ok());
    (*listener)->setDelegate([object](const XpcConnectionPtr& connection) {
        connection->setExportedInterface(test::echoInterface());
        connection->setExportedObject(object);
        connection->resume();
        return true;
    });
    ASSERT_TRUE((*listener)->resume().ok());
    XpcEchoClient client(XpcConnection::createForService("echo"));
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(client.echo(std::to_string(i)), std::to_string(i));
}

TEST_F(XpcConnectionTest, RepliesGoOutAtMostOnce)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    Latch<std::string> answer;
    client.connection->sendMessage("hold:reply:", { XpcObject("x") }, [&](XpcArray v) { answer.set(*v[0].string()); });
    ASSERT_TRUE(waitUntil([&] { return server.object().heldCount() == 1; }));
    auto replies = server.object().takeHeld();
    replies[0]({ XpcObject("one") });
    replies[0]({ XpcObject("two") });
    EXPECT_EQ(answer.wait(), "one");
    // A second reply would have been a reply to no outstanding call, which ends the link: it is still up.
    EXPECT_EQ(client.echo("still up"), "still up");
    EXPECT_EQ(answer.count(), 1);
    EXPECT_EQ(*client.interruptions, 0);
}

TEST_F(XpcConnectionTest, SendsBeforeResumeWaitForIt)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    auto connection = XpcConnection::createForService("echo");
    connection->setRemoteObjectInterface(test::echoInterface());
    Latch<std::string> answer;
    connection->sendMessage("echo:reply:", { XpcObject("queued") }, [&](XpcArray v) { answer.set(*v[0].string()); });
    EXPECT_FALSE(answer.wait(std::chrono::milliseconds(50)));
    EXPECT_EQ(server.accepted(), 0);
    connection->resume();
    EXPECT_EQ(answer.wait(), "queued");
    connection->invalidate();
}

TEST_F(XpcConnectionTest, ListenerAdmitsOnlyItsUids)
{
    XpcEchoServer server;
    XpcListener::Options options;
    options.allowedUids = { 4242 }; // not us
    server.start(XpcListener::createForService("echo", options));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    EXPECT_EQ(client.echo("x", std::chrono::milliseconds(300)), std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return *client.interruptions >= 1; }));
    EXPECT_EQ(server.accepted(), 0);
    EXPECT_TRUE(
        m_log.contains("Refused a connection to " + servicePath("echo") + " from uid " + std::to_string(::geteuid())))
        << m_log.joined();
}

TEST_F(XpcConnectionTest, PeerBreakingTheRulesLosesItsLink)
{
    auto deep = XpcObject(1);
    for (int i = 0; i < 70; ++i)
        deep = XpcObject(XpcArray { deep });
    std::vector<uint8_t> oversizeHeader { 0x01, 0x00, 0x00, 0x01 }; // 16 MiB + 1
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* logged;
    };
    const Case cases[] = {
        { "oversize frame", oversizeHeader, "exceeds the limit" },
        { "unknown tag", { 0, 0, 0, 6, 0x08, 0, 0, 0, 0, 0x7F }, "follow the message" },
        { "bad tag inside", { 0, 0, 0, 11, 0x08, 0, 0, 0, 1, 0, 0, 0, 1, 'k', 0x66 }, "unknown type tag" },
        { "deep nesting",
            frameOf({ { "kind", XpcObject(1) }, { "deep", deep } }, { XpcLimits::kDefaultMaxFrameBytes, 100 }),
            "deeper than" },
        { "no kind", frameOf({ { "id", XpcObject(1) } }), "without a valid kind" },
        { "unknown kind", frameOf({ { "kind", XpcObject(9) }, { "id", XpcObject(1) } }), "unknown kind" },
        { "unknown selector", frameOf(call(1, "nothing:", {})), "which is not exported" },
        { "wrong argument type", frameOf(call(1, "echo:reply:", { XpcObject(5) })), "is integer, not string" },
        { "missing argument", frameOf(call(1, "echo:reply:", {})), "0 values where 1 are declared" },
        { "endpoint in a property list",
            frameOf(call(1, "settings:reply:", { XpcObject(XpcDict { { "e", XpcObject(XpcEndpoint { "x", {} }) } }) })),
            "not a property list" },
        { "reply nobody asked for",
            frameOf({ { "kind", XpcObject(2) }, { "id", XpcObject(77) }, { "values", XpcObject(XpcArray {}) } }),
            "not outstanding" },
    };
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    int expectedInvalidations = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer(servicePath("echo"));
        peer.write(c.bytes);
        EXPECT_TRUE(peer.closedByPeer());
        ++expectedInvalidations;
        EXPECT_TRUE(waitUntil([&] { return server.invalidated() == expectedInvalidations; }));
        EXPECT_TRUE(m_log.contains(c.logged)) << m_log.joined();
    }
    // The listener and other clients carry on.
    XpcEchoClient client(XpcConnection::createForService("echo"));
    EXPECT_EQ(client.echo("fine"), "fine");
    EXPECT_TRUE(server.object().calls().size() == 1);
}

TEST_F(XpcConnectionTest, AnonymousEndpointsAndTheirOwners)
{
    XpcEchoServer server;
    server.start(XpcListener::createAnonymous(test::ownUidOnly()));
    const auto endpoint = server.listener->endpoint();
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->name.rfind("corvantis-xpc-", 0), 0u);
    EXPECT_EQ(endpoint->name.size(), 14u + 32u);
    EXPECT_EQ(endpoint->owner, ::geteuid());
    auto other = XpcListener::createAnonymous(test::ownUidOnly());
    ASSERT_TRUE(other.ok());
    EXPECT_NE((*other)->endpoint()->name, endpoint->name);

    XpcEchoClient client(XpcConnection::createWithEndpoint(*endpoint));
    EXPECT_EQ(client.echo("anonymous"), "anonymous");

    // An endpoint that crosses a connection belongs to the process that sent it, whatever it claimed.
    Latch<int64_t> owner;
    client.connection->sendMessage("endpoint:reply:", { XpcObject(XpcEndpoint { "some-name", 9999 }) },
        [&](XpcArray v) { owner.set(*v[0].integer()); });
    EXPECT_EQ(owner.wait(), static_cast<int64_t>(::geteuid()));

    // A listener owned by someone else than the one who handed the endpoint over is refused.
    XpcEndpoint foreign = *endpoint;
    foreign.owner = ::geteuid() + 1;
    XpcEchoClient refused(XpcConnection::createWithEndpoint(foreign));
    EXPECT_EQ(refused.echo("x", std::chrono::milliseconds(200)), std::nullopt);
    EXPECT_TRUE(refused.invalidation->wait());
    EXPECT_TRUE(m_log.contains("not to uid " + std::to_string(foreign.owner.value()) + ", who handed it over"))
        << m_log.joined();
}

TEST_F(XpcConnectionTest, PrivilegedClientNeedsARootServer)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo", XpcConnection::kPrivileged));
    EXPECT_EQ(client.echo("root"), "root");
}

TEST_F(XpcConnectionTest, StaleSocketFileIsReplacedLiveOneIsNot)
{
    {
        XpcEchoServer first;
        first.start(XpcListener::createForService("echo", test::ownUidOnly()));
        auto second = XpcListener::createForService("echo", test::ownUidOnly());
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.status().errnum(), EADDRINUSE);
    }
    // The listener removed its file when it went.
    EXPECT_FALSE(std::filesystem::exists(servicePath("echo")));

    // A file left by a listener that died without cleaning up is taken over.
    {
        UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        auto address = XpcSocketAddress::forService("echo");
        ASSERT_EQ(::bind(stale.get(), address->get(), address->length()), 0);
    }
    ASSERT_TRUE(std::filesystem::exists(servicePath("echo")));
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    EXPECT_EQ(client.echo("taken over"), "taken over");
}

TEST_F(XpcConnectionTest, LargeMessagesCrossAndOversizeOnesBreakTheLink)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    // Far more than a socket buffer: both ends go through their wait-for-writable paths.
    const std::string big(6 * 1024 * 1024, 'b');
    EXPECT_EQ(client.echo(big), big);

    const std::string tooBig(XpcLimits::kDefaultMaxFrameBytes, 't');
    EXPECT_EQ(client.echo(tooBig, std::chrono::milliseconds(300)), std::nullopt);
    EXPECT_TRUE(waitUntil([&] { return *client.interruptions == 1; }));
    EXPECT_TRUE(m_log.contains("exceeds the frame limit")) << m_log.joined();
    EXPECT_EQ(client.echo("after"), "after");
}

TEST_F(XpcConnectionTest, CallsOutsideTheRemoteInterfaceAreNotSent)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    client.connection->sendMessage("unknown:", {}, nullptr);
    client.connection->sendMessage("echo:reply:", { XpcObject(1) }, nullptr);
    EXPECT_TRUE(m_log.contains("\"unknown:\"")) << m_log.joined();
    EXPECT_TRUE(m_log.contains("is integer, not string")) << m_log.joined();
    EXPECT_EQ(client.echo("ok"), "ok");
    EXPECT_EQ(server.object().calls(), std::vector<std::string> { "echo:reply:" });
}

TEST_F(XpcConnectionTest, CallsWithoutReplyBlocksArriveInOrder)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    for (int i = 0; i < 100; ++i)
        client.connection->sendMessage("note:", { XpcObject(i) }, nullptr);
    EXPECT_EQ(client.echo("sync"), "sync");
    std::vector<int64_t> expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(server.object().notes(), expected);
}

} // namespace
} // namespace corvantis
