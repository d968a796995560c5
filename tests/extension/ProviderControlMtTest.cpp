#include "extension/daemon/ProviderControlServer.h"
#include "ipc/ProviderControl.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantis::test {
namespace {

class EchoingProxy final : public NETransparentProxyProvider {
public:
    std::optional<FlowError> startError;
    void startProxy(Completion completion) override { completion(startError); }
    void stopProxy(int, std::function<void()> completion) override { completion(); }
    void handleAppMessage(const std::vector<uint8_t>& message, MessageCompletion completion) override
    {
        completion(std::vector<uint8_t>(message.rbegin(), message.rend()));
    }
    bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>&) override { return false; }
    bool handleNewUDPFlow(const NEAppProxyUDPFlowPtr&, const NWEndpoint&) override { return false; }
};

template <typename T> T Wait(std::future<T> future)
{
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return future.get();
}

TEST(ProviderControlTest, StartStopMessagesAndStates)
{
    TempDir runtime;
    ::chmod(runtime.path().c_str(), 0755);
    ScopedEnv env("CORVANTIS_RUNTIME_DIR", runtime.str());
    NEProviderHost host;
    auto transparent = std::make_shared<EchoingProxy>();
    auto dns = std::make_shared<EchoingProxy>();
    dns->startError = FlowError { "", 1, "not before the hello" };
    host.setFactories(
        [&](ProviderKind kind) -> std::shared_ptr<NEAppProxyProvider> {
            return kind == ProviderKind::TransparentProxy ? transparent : dns;
        },
        nullptr);
    auto server = ProviderControlServer::start("test.service", ::getuid(), host);
    ASSERT_TRUE(server.ok()) << server.status().message();
    ProviderControlClient client("test.service");

    std::promise<std::optional<FlowError>> refused;
    client.start(1, [&](std::optional<FlowError> error) { refused.set_value(error); });
    const auto error = Wait(refused.get_future());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1);
    EXPECT_EQ(error->description, "not before the hello");

    std::promise<std::optional<std::vector<uint8_t>>> reply;
    client.sendProviderMessage({ 1, 2 }, [&](std::optional<std::vector<uint8_t>> bytes) { reply.set_value(bytes); });
    EXPECT_EQ(Wait(reply.get_future()), std::optional(std::vector<uint8_t> { 2, 1 }));

    std::promise<std::optional<FlowError>> started;
    client.start(0, [&](std::optional<FlowError> e) { started.set_value(e); });
    EXPECT_FALSE(Wait(started.get_future()));
    std::promise<int> state;
    client.status(0, [&](int s) { state.set_value(s); });
    EXPECT_EQ(Wait(state.get_future()), 3);

    // Following: the answer comes with the next change.
    std::promise<int> changed;
    client.followStatus(0, 3, [&](int s) { changed.set_value(s); });
    auto future = changed.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    std::promise<void> stopped;
    client.stop(0, 0, [&] { stopped.set_value(); });
    Wait(stopped.get_future());
    EXPECT_EQ(Wait(std::move(future)), 5) << "disconnecting";
    std::promise<int> later;
    client.followStatus(0, 3, [&](int s) { later.set_value(s); });
    EXPECT_EQ(Wait(later.get_future()), 1) << "already another state: answered at once";
}

} // namespace
} // namespace corvantis::test
