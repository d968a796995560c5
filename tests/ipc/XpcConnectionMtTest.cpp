#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcListener.h"
#include "tests/ipc/XpcTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using test::Latch;
using test::waitUntil;
using test::XpcEchoClient;
using test::XpcEchoServer;

class XpcConnectionMtTest : public ::testing::Test {
protected:
    test::RuntimeDir m_runtime;
    test::XpcLogCapture m_log;
};

TEST_F(XpcConnectionMtTest, ConcurrentCallersEachGetTheirOwnReply)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    server.object().setSlowCalls(true);
    XpcEchoClient client(XpcConnection::createForService("echo"));

    constexpr int kThreads = 8;
    constexpr int kCalls = 40;
    std::atomic<int> wrong { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string text = std::to_string(t) + "/" + std::to_string(i);
                if (client.echo(text) != text)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    // One connection's calls reach the exported object one at a time.
    EXPECT_FALSE(server.object().overlapped());
    EXPECT_EQ(server.accepted(), 1);
}

TEST_F(XpcConnectionMtTest, EachSendersCallsArriveInItsOrder)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    constexpr int kThreads = 4;
    constexpr int kNotes = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kNotes; ++i)
                client.connection->sendMessage("note:", { XpcObject(t * 100000 + i) }, nullptr);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(client.echo("sync"), "sync");
    std::map<int64_t, int64_t> last;
    const auto notes = server.object().notes();
    ASSERT_EQ(notes.size(), size_t { kThreads * kNotes });
    for (int64_t note : notes) {
        const int64_t sender = note / 100000;
        const int64_t sequence = note % 100000;
        if (last.count(sender)) {
            EXPECT_EQ(sequence, last[sender] + 1);
        }
        last[sender] = sequence;
    }
}

TEST_F(XpcConnectionMtTest, ManyClientsAtOnce)
{
    XpcEchoServer server;
    server.start(XpcListener::createAnonymous(test::ownUidOnly()));
    const XpcEndpoint endpoint = *server.listener->endpoint();
    constexpr int kClients = 16;
    std::atomic<int> good { 0 };
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            XpcEchoClient client(XpcConnection::createWithEndpoint(endpoint));
            for (int i = 0; i < 10; ++i)
                if (client.echo(std::to_string(c * 10 + i)) == std::to_string(c * 10 + i))
                    ++good;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), kClients * 10);
    EXPECT_EQ(server.accepted(), kClients);
}

TEST_F(XpcConnectionMtTest, LateRepliesRaceInvalidationAndArriveAtMostOnce)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        auto replies = std::make_shared<std::atomic<int>>(0);
        auto afterInvalidation = std::make_shared<std::atomic<bool>>(false);
        auto invalidated = std::make_shared<std::atomic<bool>>(false);
        auto connection = XpcConnection::createForService("echo");
        connection->setRemoteObjectInterface(test::echoInterface());
        connection->setInvalidationHandler([invalidated] { *invalidated = true; });
        connection->resume();
        connection->sendMessage("hold:reply:", { XpcObject("x") }, [replies, invalidated, afterInvalidation](XpcArray) {
            ++*replies;
            if (*invalidated)
                *afterInvalidation = true;
        });
        ASSERT_TRUE(waitUntil([&] { return server.object().heldCount() == 1; }));
        auto held = server.object().takeHeld();
        std::thread replier([&held] {
            held[0]({ XpcObject("a") });
            held[0]({ XpcObject("b") });
        });
        std::thread closer([&connection] { connection->invalidate(); });
        replier.join();
        closer.join();
        ASSERT_TRUE(waitUntil([&] { return invalidated->load(); }));
        EXPECT_LE(replies->load(), 1);
        EXPECT_FALSE(afterInvalidation->load());
    }
}

TEST_F(XpcConnectionMtTest, SendsWhileTheServerDropsLinksNeverHang)
{
    XpcEchoServer server;
    server.start(XpcListener::createForService("echo", test::ownUidOnly()));
    XpcEchoClient client(XpcConnection::createForService("echo"));
    std::atomic<bool> stop { false };
    std::thread dropper([&] {
        while (!stop) {
            server.dropLinks();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int answered = 0;
    for (int i = 0; i < 60; ++i) {
        // Each call is answered once or, when its link broke first, never; a short wait tells them apart.
        auto answer = std::make_shared<Latch<std::string>>();
        client.connection->sendMessage(
            "echo:reply:", { XpcObject(std::to_string(i)) }, [answer](XpcArray v) { answer->set(*v[0].string()); });
        if (auto got = answer->wait(std::chrono::milliseconds(200))) {
            EXPECT_EQ(*got, std::to_string(i));
            ++answered;
        }
        EXPECT_LE(answer->count(), 1);
    }
    stop = true;
    dropper.join();
    EXPECT_GT(answered, 0);
    EXPECT_EQ(client.echo("calm"), "calm");
    EXPECT_TRUE(client.connection->isValid());
}

} // namespace
} // namespace corvantis
