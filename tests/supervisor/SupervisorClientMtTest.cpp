// The programs' side of the supervisor against a scripted supervisor in the test's process: where the delegate's
// calls and the completions run, what the state pushes do, and what a supervisor that goes away (or never ran)
// leaves the callers with.

#include "platform/NotificationCenter.h"
#include "platform/sysext/SupervisorClient.h"
#include "platform/sysext/SupervisorProtocol.h"
#include "platform/xpc/XpcExportedObject.h"
#include "platform/xpc/XpcListener.h"
#include "tests/supervisor/SupervisorConfigurationText.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantis::test {
namespace {

// Answers as the supervisor would, from a script: activations wait for approval, ask about a replacement and
// finish; properties find one record; deactivations fail; the session "A" connects when started; loads and
// messages are answered unless `hang` is set.
class ScriptedSupervisor final : public XpcExportedObject {
public:
    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override
    {
        const XpcConnectionPtr link = current();
        if (selector.name == kSubmitRequestSelector) {
            const XpcObject id = arguments.at(0);
            switch (static_cast<SystemExtensionRequestKind>(*arguments.at(1).integer())) {
            case SystemExtensionRequestKind::Activation:
                link->sendMessage(kRequestNeedsApprovalSelector, { id }, {});
                if (hang)
                    return;
                link->sendMessage(kRequestReplacingSelector, { id, XpcObject("1.0"), XpcObject("2.0") },
                    [this, link, id](XpcArray values) {
                        action.set_value(static_cast<int>(*values.at(0).integer()));
                        link->sendMessage(kRequestFinishedSelector, { id, XpcObject(0) }, {});
                    });
                return;
            case SystemExtensionRequestKind::Properties:
                link->sendMessage(kRequestFoundPropertiesSelector,
                    { id, XpcObject(XpcArray { PropertiesToXpc({ "ext", "3.12.2", true, false }) }) }, {});
                link->sendMessage(kRequestFinishedSelector, { id, XpcObject(0) }, {});
                return;
            case SystemExtensionRequestKind::Deactivation:
                link->sendMessage(kRequestFailedSelector, { id, XpcObject("scripted failure") }, {});
                return;
            }
        } else if (selector.name == kSessionStatusesSelector) {
            reply({ XpcObject(XpcDict { { "A", XpcObject(static_cast<int>(NEVPNStatus::Disconnected)) } }) });
        } else if (selector.name == kStartSessionSelector) {
            if (*arguments.at(0).string() != "A")
                return reply({ XpcObject("No transparent proxy configuration") });
            reply({ XpcObject() });
            for (const NEVPNStatus status : { NEVPNStatus::Connecting, NEVPNStatus::Connected })
                link->sendMessage(
                    kSessionStatusChangedSelector, { XpcObject("A"), XpcObject(static_cast<int>(status)) }, {});
        } else if (selector.name == kLoadConfigurationsSelector) {
            if (!hang)
                reply({ XpcObject(XpcArray { stored }), XpcObject() });
        } else if (selector.name == kSaveConfigurationSelector) {
            // Stores it under a new identifier and echoes it, so the test sees what arrived.
            XpcDict dict = *arguments.at(0).dict();
            dict["identifier"] = XpcObject("NEW");
            stored = XpcObject(dict);
            reply({ stored, XpcObject() });
        } else if (selector.name == kSessionMessageSelector) {
            if (!hang)
                reply({ XpcObject(true), arguments.at(1) });
        }
    }

    void setCurrent(const XpcConnectionPtr& link)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connection = link;
    }
    XpcConnectionPtr current()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connection.lock();
    }

    std::atomic<bool> hang { false };
    std::promise<int> action;
    // The connection queue's alone: one client at a time.
    XpcObject stored;

private:
    std::mutex m_mutex;
    std::weak_ptr<XpcConnection> m_connection;
};

// A delegate that records its calls and whether each ran on the main thread.
class RecordingDelegate final : public SystemExtensionRequestDelegate {
public:
    SystemExtensionReplacementAction actionForReplacingExtension(
        const std::string& existing, const std::string& newer) override
    {
        record("replacing " + existing + " " + newer);
        return SystemExtensionReplacementAction::Replace;
    }
    void requestNeedsUserApproval() override { record("approval"); }
    void didFinishWithResult(SystemExtensionRequestResult result) override
    {
        record("finished " + std::to_string(static_cast<int>(result)), true);
    }
    void didFailWithError(const std::string& text) override { record("failed " + text, true); }
    void foundProperties(const std::vector<SystemExtensionProperties>& properties) override
    {
        record("properties " + std::to_string(properties.size()) + " " + properties.at(0).bundleShortVersion);
    }

    std::vector<std::string> waitForEnd()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, kPatience, [&] { return m_ended; });
        return m_events;
    }
    bool allOnMainThread() const { return m_allOnMain; }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events.size();
    }

private:
    void record(const std::string& event, bool last = false)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_allOnMain = m_allOnMain && NotificationCenter::defaultCenter().isMainThread();
        m_ended = m_ended || last;
        m_changed.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::atomic<bool> m_allOnMain { true };
    bool m_ended = false;
};

class SupervisorClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the client talks only to a supervisor running as root";
        ::chmod(m_runtime.path().c_str(), 0755);
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_main);
    }
    void TearDown() override
    {
        if (m_listener)
            m_listener->invalidate();
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
    }

    void serve()
    {
        XpcListener::Options options;
        options.allowedUids = { ::geteuid() };
        auto listener = XpcListener::createForService(kSupervisorServiceName, options);
        ASSERT_TRUE(listener.ok()) << listener.status().message();
        m_listener = listener.value();
        m_listener->setDelegate([this](const XpcConnectionPtr& connection) {
            m_script->setCurrent(connection);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections.push_back(connection);
            connection->setExportedInterface(SupervisorInterface());
            connection->setRemoteObjectInterface(SupervisorClientInterface());
            connection->setExportedObject(m_script);
            connection->resume();
            return true;
        });
        ASSERT_TRUE(m_listener->resume().ok());
    }
    // The supervisor goes away: no more listening, every link cut.
    void goAway()
    {
        m_listener->invalidate();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& connection : m_connections)
            connection->invalidate();
        m_connections.clear();
    }

    TempDir m_runtime;
    ScopedEnv m_runtimeEnv { "CORVANTIS_RUNTIME_DIR", m_runtime.str() };
    std::shared_ptr<FakeMainThread> m_main = std::make_shared<FakeMainThread>();
    std::shared_ptr<ScriptedSupervisor> m_script = std::make_shared<ScriptedSupervisor>();
    XpcListenerPtr m_listener;
    std::mutex m_mutex;
    std::vector<XpcConnectionPtr> m_connections;
};

TEST_F(SupervisorClientTest, RequestEventsReachTheDelegateOnTheMainThreadInOrder)
{
    serve();
    const auto client = SupervisorClient::create();
    auto activation = std::make_shared<RecordingDelegate>();
    client->submitRequest(SystemExtensionRequestKind::Activation, "ext", activation);
    EXPECT_EQ(activation->waitForEnd(), (std::vector<std::string> { "approval", "replacing 1.0 2.0", "finished 0" }));
    EXPECT_TRUE(activation->allOnMainThread());
    auto action = m_script->action.get_future();
    ASSERT_EQ(action.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(action.get(), static_cast<int>(SystemExtensionReplacementAction::Replace));

    auto properties = std::make_shared<RecordingDelegate>();
    client->submitRequest(SystemExtensionRequestKind::Properties, "ext", properties);
    EXPECT_EQ(properties->waitForEnd(), (std::vector<std::string> { "properties 1 3.12.2", "finished 0" }));
    auto deactivation = std::make_shared<RecordingDelegate>();
    client->submitRequest(SystemExtensionRequestKind::Deactivation, "ext", deactivation);
    EXPECT_EQ(deactivation->waitForEnd(), (std::vector<std::string> { "failed scripted failure" }));
    EXPECT_TRUE(properties->allOnMainThread() && deactivation->allOnMainThread());
}

TEST_F(SupervisorClientTest, SavesAndLoadsCompleteOffTheMainThreadWithTheStoredConfiguration)
{
    serve();
    const auto client = SupervisorClient::create();
    NEConfiguration configuration;
    configuration.localizedDescription = "Corvantis Data";
    configuration.enabled = true;
    configuration.tunnelProtocol
        = NETunnelProviderProtocol { "user", "localhost", "ext", { { "k", "v" } }, true, false, true };
    std::promise<std::pair<std::optional<NEConfiguration>, bool>> saved;
    client->save(configuration, [&](std::optional<NEConfiguration> stored, std::optional<std::string> error) {
        EXPECT_FALSE(error) << *error;
        saved.set_value({ stored, NotificationCenter::defaultCenter().isMainThread() });
    });
    auto savedFuture = saved.get_future();
    ASSERT_EQ(savedFuture.wait_for(kPatience), std::future_status::ready);
    const auto [stored, onMain] = savedFuture.get();
    EXPECT_FALSE(onMain);
    ASSERT_TRUE(stored);
    NEConfiguration expected = configuration;
    expected.identifier = "NEW";
    EXPECT_EQ(ConfigurationText(*stored), ConfigurationText(expected));

    std::promise<std::vector<NEConfiguration>> loaded;
    client->load(NEConfigurationKind::TransparentProxy,
        [&](std::vector<NEConfiguration> list, std::optional<std::string>) { loaded.set_value(list); });
    auto loadedFuture = loaded.get_future();
    ASSERT_EQ(loadedFuture.wait_for(kPatience), std::future_status::ready);
    const auto list = loadedFuture.get();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(ConfigurationText(list[0]), ConfigurationText(expected));
}

TEST_F(SupervisorClientTest, StatePushesReachTheObserversAndTheCache)
{
    serve();
    const auto client = SupervisorClient::create();
    std::mutex mutex;
    std::vector<std::pair<std::string, NEVPNStatus>> seen;
    client->addStatusObserver([&](const std::string& identifier, NEVPNStatus status) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(identifier, status);
    });
    EXPECT_EQ(client->status("A"), NEVPNStatus::Disconnected);
    EXPECT_EQ(client->status("unknown"), NEVPNStatus::Invalid);
    EXPECT_EQ(client->startTunnel("B"), "No transparent proxy configuration");
    EXPECT_EQ(client->startTunnel("A"), std::nullopt);
    EXPECT_TRUE(waitUntil([&] { return client->status("A") == NEVPNStatus::Connected; }));
    // The cache changes at once; the observers hear of it on the client's queue.
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() >= 2;
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, NEVPNStatus>> {
                { "A", NEVPNStatus::Connecting }, { "A", NEVPNStatus::Connected } }));
    }

    std::promise<std::optional<std::vector<uint8_t>>> response;
    ASSERT_TRUE(client->sendProviderMessage(
        "A", { 1, 2, 3 }, [&](std::optional<std::vector<uint8_t>> data) { response.set_value(data); }));
    auto responseFuture = response.get_future();
    ASSERT_EQ(responseFuture.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(responseFuture.get(), (std::vector<uint8_t> { 1, 2, 3 }));
    EXPECT_FALSE(client->sendProviderMessage("unknown", { 1 }, [](auto) { ADD_FAILURE() << "never sent"; }));

    // The supervisor goes away: its extension with it, so the connected session is down.
    goAway();
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.back() == std::pair<std::string, NEVPNStatus> { "A", NEVPNStatus::Disconnected };
    }));
}

TEST_F(SupervisorClientTest, WhatWaitsFailsWhenTheSupervisorGoesAway)
{
    serve();
    m_script->hang = true;
    const auto client = SupervisorClient::create();
    auto activation = std::make_shared<RecordingDelegate>();
    client->submitRequest(SystemExtensionRequestKind::Activation, "ext", activation);
    std::promise<std::optional<std::string>> loaded;
    client->load(NEConfigurationKind::DnsProxy,
        [&](std::vector<NEConfiguration>, std::optional<std::string> error) { loaded.set_value(error); });
    std::promise<bool> answered;
    ASSERT_TRUE(client->sendProviderMessage(
        "A", { 1 }, [&](std::optional<std::vector<uint8_t>> data) { answered.set_value(data.has_value()); }));
    // The request waits for approval, so the supervisor has it.
    ASSERT_TRUE(waitUntil([&] { return activation->count() == 1; }));

    goAway();
    EXPECT_EQ(
        activation->waitForEnd(), (std::vector<std::string> { "approval", "failed The supervisor is not running." }));
    auto loadedFuture = loaded.get_future();
    ASSERT_EQ(loadedFuture.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(loadedFuture.get(), "The supervisor is not running.");
    auto answeredFuture = answered.get_future();
    ASSERT_EQ(answeredFuture.wait_for(kPatience), std::future_status::ready);
    EXPECT_FALSE(answeredFuture.get()) << "the handler runs with no data";

    // Back again: the next call connects anew.
    m_script->hang = false;
    serve();
    EXPECT_EQ(client->startTunnel("A"), std::nullopt);
}

TEST_F(SupervisorClientTest, NoSupervisorRunning)
{
    const auto client = SupervisorClient::create();
    auto activation = std::make_shared<RecordingDelegate>();
    client->submitRequest(SystemExtensionRequestKind::Activation, "ext", activation);
    EXPECT_EQ(activation->waitForEnd(), (std::vector<std::string> { "failed The supervisor is not running." }));
    EXPECT_TRUE(activation->allOnMainThread());
    std::promise<std::optional<std::string>> saved;
    client->save(NEConfiguration {}, [&](std::optional<NEConfiguration> stored, std::optional<std::string> error) {
        EXPECT_FALSE(stored);
        saved.set_value(error);
    });
    auto savedFuture = saved.get_future();
    ASSERT_EQ(savedFuture.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(savedFuture.get(), "The supervisor is not running.");
    EXPECT_EQ(client->startTunnel("A"), "The supervisor is not running.");
    EXPECT_EQ(client->status("A"), NEVPNStatus::Invalid);
    EXPECT_FALSE(client->sendProviderMessage("A", { 1 }, [](auto) { ADD_FAILURE() << "never sent"; }));
}

} // namespace
} // namespace corvantis::test
