#include "core/foundation/Log.h"
#include "ipc/GssHelperClient.h"
#include "ipc/GssHelperServer.h"
#include "tests/ipc/GssTestSupport.h"
#include "tests/support/LogLines.h"

#include <gtest/gtest.h>

#include <thread>

namespace corvantis {
namespace {

using test::Latch;
using test::StubGssService;
using test::waitUntil;

using Token = std::tuple<bool, std::string, PlistData>;

struct Answer {
    Latch<Token> token;
    Latch<std::thread::id> thread;
    GssIPCProtcol::TokenReply block()
    {
        return [this](bool ok, std::string text, PlistData data) {
            thread.set(std::this_thread::get_id());
            token.set(Token { ok, text, data });
        };
    }
};

class GssHelperTest : public ::testing::Test {
protected:
    test::XpcLogCapture m_log;
};

// The server is one per process: this file is the only one of the suite that starts it, and this test runs
// first in it.
TEST_F(GssHelperTest, ServerListensAnswersHelloAndReplacesItsListener)
{
    EXPECT_FALSE(GssHelperServer::listenerEndpoint().has_value());
    ASSERT_TRUE(GssHelperServer::startListener().ok());
    const auto first = GssHelperServer::listenerEndpoint();
    ASSERT_TRUE(first);

    GetLog().SetScreenLevel(kLogDebug);
    test::TakeScreenLines();
    auto client = GssHelperClient::create(*first, std::make_shared<DispatchSemaphore>(0));
    client->connect();
    Latch<std::string> hello;
    client->helloWithVersion("9.9.9", [&](std::string v) { hello.set(v); });
    EXPECT_EQ(hello.wait(), "3.12.2");
    bool logged = false;
    for (const std::string& line : test::TakeScreenLines())
        logged = logged || line.find("Hello message processed in extension 9.9.9") != std::string::npos;
    EXPECT_TRUE(logged);
    GetLog().SetScreenLevel(kLogError);
    client->closeConnection();

    ASSERT_TRUE(GssHelperServer::startListener().ok());
    const auto second = GssHelperServer::listenerEndpoint();
    ASSERT_TRUE(second);
    EXPECT_NE(second->name, first->name);
    // The replaced listener is gone; the new one answers.
    auto stale = XpcConnection::createWithEndpoint(*first);
    Latch<bool> invalid;
    stale->setInvalidationHandler([&] { invalid.set(true); });
    stale->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::GssIPCProtcol));
    stale->resume();
    stale->sendMessage(kHelloSelector, { XpcObject("x") }, nullptr);
    EXPECT_TRUE(invalid.wait());

    auto fresh = GssHelperClient::create(*second, std::make_shared<DispatchSemaphore>(0));
    fresh->connect();
    Latch<std::string> again;
    fresh->helloWithVersion("1", [&](std::string v) { again.set(v); });
    EXPECT_EQ(again.wait(), "3.12.2");
    fresh->closeConnection();
}

TEST_F(GssHelperTest, ClientAnswersItsOwnFailuresOnTheGlobalQueue)
{
    StubGssService stub(StubGssService::Mode::Hold);

    // Not connected: nothing is sent.
    auto idle = GssHelperClient::create(stub.endpoint(), std::make_shared<DispatchSemaphore>(0));
    Answer notConnected;
    idle->retriveTokenWithProxyHostname("proxy", notConnected.block());
    EXPECT_EQ(notConnected.token.wait(), Token(false, "IPC error (1)", {}));
    EXPECT_NE(notConnected.thread.wait(), std::this_thread::get_id());
    Latch<std::string> nilHello;
    idle->helloWithVersion("v", [&](std::string v) { nilHello.set(v); });
    EXPECT_EQ(nilHello.wait(), "<nil>");
    EXPECT_TRUE(stub.hosts().empty());

    // Busy: the first request is still unanswered.
    auto busy = GssHelperClient::create(stub.endpoint(), std::make_shared<DispatchSemaphore>(0));
    busy->connect();
    Answer first;
    busy->retriveTokenWithProxyHostname("first", first.block());
    ASSERT_TRUE(waitUntil([&] { return stub.heldCount() == 1; }));
    Answer second;
    busy->retriveTokenWithProxyHostname("second", second.block());
    EXPECT_EQ(second.token.wait(), Token(false, "IPC error (2)", {}));
    EXPECT_EQ(stub.hosts(), std::vector<std::string> { "first" });
    // The service's own answers come through unchanged: a failure with its text and no token.
    stub.releaseHeld(false, "No valid token acquired for x", {});
    EXPECT_EQ(first.token.wait(), Token(false, "No valid token acquired for x", {}));
    busy->closeConnection();

    // Protocol error: the typed view of the remote object is refused.
    auto odd = GssHelperClient::create(stub.endpoint(), std::make_shared<DispatchSemaphore>(0));
    odd->setProxyCastForTesting([](const XpcConnectionPtr&) { return nullptr; });
    odd->connect();
    Answer protocol;
    odd->retriveTokenWithProxyHostname("proxy", protocol.block());
    EXPECT_EQ(protocol.token.wait(), Token(false, "IPC error (3)", {}));
    odd->closeConnection();
}

TEST_F(GssHelperTest, RequestMadeInsideAReplyIsAccepted)
{
    StubGssService stub;
    stub.answer(true, "", PlistData { 0x60, 1 });
    auto client = GssHelperClient::create(stub.endpoint(), std::make_shared<DispatchSemaphore>(0));
    client->connect();
    Answer inner;
    Latch<Token> outer;
    client->retriveTokenWithProxyHostname("a", [&](bool ok, std::string text, PlistData token) {
        outer.set(Token { ok, text, token });
        client->retriveTokenWithProxyHostname("b", inner.block());
    });
    EXPECT_EQ(outer.wait(), Token(true, "", PlistData { 0x60, 1 }));
    EXPECT_EQ(inner.token.wait(), Token(true, "", PlistData { 0x60, 1 }));
    EXPECT_EQ(stub.hosts(), (std::vector<std::string> { "a", "b" }));
    client->closeConnection();
}

TEST_F(GssHelperTest, LateHandlerOfAnOldConnectionLeavesTheNewOneAlone)
{
    StubGssService stub;
    auto semaphore = std::make_shared<DispatchSemaphore>(0);
    auto client = GssHelperClient::create(stub.endpoint(), semaphore);
    client->connect();

    // The hello's reply block runs on the first connection's queue and holds it, so that connection's
    // invalidation handler waits behind it until the client is connected anew.
    Latch<bool> inReply;
    Latch<bool> release;
    client->helloWithVersion("x", [&](std::string) {
        inReply.set(true);
        release.wait();
    });
    ASSERT_TRUE(inReply.wait());
    client->closeConnection();
    EXPECT_TRUE(semaphore->waitFor(std::chrono::seconds(20)));
    client->connect();
    ASSERT_TRUE(client->isConnected());
    release.set(true);

    // The old connection's handler runs as soon as its queue is free. Acting on the client's current
    // connection, it would close it and signal at once; left alone, nothing happens.
    EXPECT_FALSE(semaphore->waitFor(std::chrono::milliseconds(300)));
    EXPECT_TRUE(client->isConnected());
    Answer answer;
    stub.answer(true, "", PlistData { 7 });
    client->retriveTokenWithProxyHostname("after", answer.block());
    EXPECT_EQ(answer.token.wait(), Token(true, "", PlistData { 7 }));
    client->closeConnection();
}

} // namespace
} // namespace corvantis
