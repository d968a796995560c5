#include "tests/extension/WorkerTestSupport.h"

namespace corvantis::test {
namespace {

TEST_F(WorkerTest, ProviderMessages)
{
    CorvantisWorker worker;
    IPCMessage error;
    error.error = MessageText { "something" };
    IPCMessage errorAndKill = error;
    errorAndKill.forceQuit = MessageSimpleRequest {};
    IPCMessage wake;
    wake.launchStub = MessageSimpleRequest {};
    auto noRoot = XpcFrameCodec::encode(XpcDict {});
    ASSERT_TRUE(noRoot.ok());
    struct Case {
        const char* name;
        std::vector<uint8_t> message;
        std::string reply;
    };
    const Case cases[] = {
        { "error", Archived(error), "Error message cannot be processed" },
        { "error and kill: the process goes on", Archived(errorAndKill), "Error message cannot be processed" },
        { "wake", Archived(wake), "message type not known" },
        { "no field", Archived(IPCMessage {}), "message type not known" },
        { "not an archive", { 'n', 'o', 'p', 'e' }, "fail" },
        { "no bytes", {}, "fail" },
        { "an archive holding no message", noRoot.value(), "fail" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Ask(worker, c.message), c.reply);
    }
    // Without a completion the reply is built and dropped.
    worker.processAppMessage(Archived(wake), nullptr);
}

TEST_F(WorkerTest, TheKillMessageEndsTheProcessWithoutAReply)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    IPCMessage kill;
    kill.forceQuit = MessageSimpleRequest {};
    const auto bytes = Archived(kill);
    EXPECT_EXIT(
        {
            CorvantisWorker worker;
            worker.processAppMessage(bytes, [](const std::vector<uint8_t>&) { std::_Exit(3); });
            std::this_thread::sleep_for(std::chrono::seconds(5));
            std::_Exit(4);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(WorkerTest, BringUpRefreshesThePlaceholderServerEachTime)
{
    CorvantisWorker worker;
    struct Case {
        int64_t subnet;
        const char* fakeIp;
    };
    const Case cases[] = { { 10, "10.0.0.1" }, { 0, "0.0.0.1" }, { 255, "255.0.0.1" } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fakeIp);
        DefaultsStore::standard().setObject("InternalSubnetNumber", PlistValue(c.subnet));
        bool up = false;
        worker.mainQueue()->sync([&] { up = worker.initializeEngine(); });
        EXPECT_TRUE(up);
        EXPECT_TRUE(worker.isInitialized());
        EXPECT_EQ(worker.udpFlowsManager()->dnsFakeIp(), c.fakeIp);
        EXPECT_EQ(worker.tcpFlowsManager()->dnsFakeIp(), c.fakeIp);
    }
    DefaultsStore::standard().removeObject("InternalSubnetNumber");
}

} // namespace
} // namespace corvantis::test
