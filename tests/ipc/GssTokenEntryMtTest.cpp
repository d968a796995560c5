#include "core/foundation/CoreHooks.h"
#include "ipc/GssEndpointSlot.h"
#include "ipc/GssHelperClient.h"
#include "tests/ipc/GssTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

class GssTokenEntryMtTest : public ::testing::Test {
protected:
    void TearDown() override { GssEndpointSlot::store(nullptr); }
    test::XpcLogCapture m_log;
};

TEST_F(GssTokenEntryMtTest, ConcurrentCallsEachGetTheirOwnReply)
{
    test::StubGssService stub;
    stub.answer(false, "", {}, /*echoHost=*/true);
    GssEndpointSlot::store(std::make_shared<const XpcEndpoint>(stub.endpoint()));
    constexpr int kThreads = 8;
    constexpr int kCalls = 10;
    std::atomic<int> right { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string host = "proxy-" + std::to_string(t) + "-" + std::to_string(i) + ".test";
                std::vector<char> text(kGssBufferCapacity);
                std::vector<unsigned char> token(kGssBufferCapacity);
                size_t textLength = text.size();
                size_t tokenLength = token.size();
                GssHelperClient::getTokenForProxyHost(
                    host.c_str(), &textLength, text.data(), &tokenLength, token.data(), std::chrono::seconds(20));
                if (std::string(text.data(), textLength) == host && tokenLength == 0)
                    ++right;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(right.load(), kThreads * kCalls);
}

TEST_F(GssTokenEntryMtTest, SlotReplacedWhileCallsRun)
{
    test::StubGssService first;
    test::StubGssService second;
    first.answer(true, "", PlistData { 1 });
    second.answer(true, "", PlistData { 2 });
    GssEndpointSlot::store(std::make_shared<const XpcEndpoint>(first.endpoint()));
    ASSERT_TRUE(GssEndpointSlot::load());
    std::atomic<bool> stop { false };
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            GssEndpointSlot::store(std::make_shared<const XpcEndpoint>(i % 2 ? first.endpoint() : second.endpoint()));
    });
    int answered = 0;
    for (int i = 0; i < 40; ++i) {
        std::vector<char> text(64);
        std::vector<unsigned char> token(64);
        size_t textLength = text.size();
        size_t tokenLength = token.size();
        if (GssHelperClient::getTokenForProxyHost(
                "p", &textLength, text.data(), &tokenLength, token.data(), std::chrono::seconds(20))) {
            ++answered;
            EXPECT_EQ(tokenLength, 1u);
            EXPECT_TRUE(token[0] == 1 || token[0] == 2);
        } else {
            ADD_FAILURE() << std::string(text.data(), textLength) << "\n" << m_log.joined();
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(answered, 40);
}

} // namespace
} // namespace corvantis
