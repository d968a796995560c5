#include "core/foundation/CoreHooks.h"
#include "ipc/GssEndpointSlot.h"
#include "ipc/GssHelperClient.h"
#include "tests/ipc/GssTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace corvantis {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::StubGssService;

// The caller's side of one entry call: buffers of the given capacities, filled with a marker so that every
// byte the entry writes shows.
struct Buffers {
    explicit Buffers(size_t textCapacity = kGssBufferCapacity, size_t tokenCapacity = kGssBufferCapacity)
        : text(textCapacity, '#')
        , token(tokenCapacity, 0xEE)
        , textLength(textCapacity)
        , tokenLength(tokenCapacity)
    {
    }
    bool call(const char* host, milliseconds limit)
    {
        return GssHelperClient::getTokenForProxyHost(host, &textLength, text.data(), &tokenLength, token.data(), limit);
    }
    std::string textWritten() const { return std::string(text.data(), textLength); }
    PlistData tokenWritten() const { return PlistData(token.begin(), token.begin() + static_cast<long>(tokenLength)); }

    std::vector<char> text;
    std::vector<unsigned char> token;
    size_t textLength;
    size_t tokenLength;
};

class GssTokenEntryTest : public ::testing::Test {
protected:
    void use(const XpcEndpoint& endpoint) { GssEndpointSlot::store(std::make_shared<const XpcEndpoint>(endpoint)); }
    void TearDown() override { GssEndpointSlot::store(nullptr); }
    test::XpcLogCapture m_log;
};

TEST_F(GssTokenEntryTest, NoEndpointGivesFalseAndBothLengthsZero)
{
    GssEndpointSlot::store(nullptr);
    Buffers b;
    EXPECT_FALSE(b.call("proxy", milliseconds(50)));
    EXPECT_EQ(b.textLength, 0u);
    EXPECT_EQ(b.tokenLength, 0u);
    EXPECT_EQ(b.text[0], '#');

    // The registered hook behaves the same.
    CoreHooks hooks;
    hooks.gssGetTokenForProxyHost = &GssHelperClient::gssGetTokenForProxyHost;
    SetCoreHooks(std::move(hooks));
    Buffers viaHook;
    EXPECT_FALSE(GssGetTokenForProxyHost(
        "proxy", &viaHook.textLength, viaHook.text.data(), &viaHook.tokenLength, viaHook.token.data()));
    EXPECT_EQ(viaHook.textLength, 0u);
    EXPECT_EQ(viaHook.tokenLength, 0u);
    SetCoreHooks({});
}

TEST_F(GssTokenEntryTest, AnswersAreCopiedAndCutToTheCapacities)
{
    StubGssService stub;
    use(stub.endpoint());
    struct Case {
        const char* name;
        bool ok;
        std::string text;
        PlistData token;
        size_t textCapacity;
        size_t tokenCapacity;
        std::string expectedText;
        PlistData expectedToken;
    };
    const std::string longText(100, 'L');
    const Case cases[] = {
        { "token", true, "", PlistData { 0x60, 1, 2 }, kGssBufferCapacity, kGssBufferCapacity, "",
            PlistData { 0x60, 1, 2 } },
        { "empty token", true, "", {}, kGssBufferCapacity, kGssBufferCapacity, "", {} },
        { "failure text", false, "No valid token acquired for x", {}, kGssBufferCapacity, kGssBufferCapacity,
            "No valid token acquired for x", {} },
        { "text cut to its capacity", false, longText, {}, 8, kGssBufferCapacity, longText.substr(0, 8), {} },
        { "token cut to its capacity", true, "", PlistData { 1, 2, 3, 4, 5 }, kGssBufferCapacity, 3, "",
            PlistData { 1, 2, 3 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stub.answer(c.ok, c.text, c.token);
        Buffers b(c.textCapacity, c.tokenCapacity);
        EXPECT_EQ(b.call("proxy.test", std::chrono::seconds(20)), c.ok);
        EXPECT_EQ(b.textWritten(), c.expectedText);
        EXPECT_EQ(b.tokenWritten(), c.expectedToken);
    }
    EXPECT_EQ(stub.hosts().back(), "proxy.test");
}

TEST_F(GssTokenEntryTest, HostThatIsNotUtf8GoesAsEmptyText)
{
    StubGssService stub;
    stub.answer(false, "x");
    use(stub.endpoint());
    Buffers b;
    EXPECT_FALSE(b.call("bad\xFFhost", std::chrono::seconds(20)));
    EXPECT_EQ(stub.hosts(), std::vector<std::string> { "" });
}

TEST_F(GssTokenEntryTest, ListenerThatNeverAnswersTimesOutAtTheLimit)
{
    StubGssService stub(StubGssService::Mode::Hold);
    use(stub.endpoint());
    Buffers b;
    const auto start = Clock::now();
    EXPECT_FALSE(b.call("proxy", milliseconds(300)));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    EXPECT_EQ(b.textWritten(), "internal timeout");
    EXPECT_EQ(b.tokenLength, 0u);

    // The answer that comes after the time-out finds the call gone: the buffers stay as the time-out left them.
    const Buffers before = b;
    stub.releaseHeld(true, "late answer", PlistData { 9, 9 });
    stub.setMode(StubGssService::Mode::Answer);
    stub.answer(true, "", {});
    Buffers flush;
    EXPECT_TRUE(flush.call("flush", std::chrono::seconds(20)));
    EXPECT_EQ(b.text, before.text);
    EXPECT_EQ(b.token, before.token);
    EXPECT_EQ(b.textLength, before.textLength);
}

TEST_F(GssTokenEntryTest, TimeOutTextIsCutToASmallCapacity)
{
    StubGssService stub(StubGssService::Mode::Hold);
    use(stub.endpoint());
    Buffers b(5);
    EXPECT_FALSE(b.call("proxy", milliseconds(50)));
    EXPECT_EQ(b.textWritten(), "inter");
    EXPECT_EQ(b.text[5 - 1], 'r');
}

TEST_F(GssTokenEntryTest, ListenerThatClosesAtOnceEndsTheWaitEarly)
{
    StubGssService stub(StubGssService::Mode::Refuse);
    use(stub.endpoint());
    Buffers b;
    const auto start = Clock::now();
    EXPECT_FALSE(b.call("proxy", std::chrono::seconds(60)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(b.textWritten(), "internal timeout");
    EXPECT_EQ(b.tokenLength, 0u);
}

TEST_F(GssTokenEntryTest, ListenerOfAnotherOwnerIsNotAsked)
{
    StubGssService stub;
    XpcEndpoint endpoint = stub.endpoint();
    endpoint.owner = ::geteuid() + 1000; // handed over by someone else than the listener's owner
    use(endpoint);
    Buffers b;
    const auto start = Clock::now();
    EXPECT_FALSE(b.call("proxy", std::chrono::seconds(60)));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(b.textWritten(), "internal timeout");
    EXPECT_TRUE(stub.hosts().empty());
    EXPECT_TRUE(m_log.contains("who handed it over")) << m_log.joined();
}

} // namespace
} // namespace corvantis
