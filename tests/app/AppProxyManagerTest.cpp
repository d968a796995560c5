#include "app/AppProxyManager.h"
#include "app/AppProxyConnection.h"
#include "core/foundation/Log.h"
#include "ipc/IPCMessage.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/sysext/NETunnelProviderSession.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <ostream>

namespace corvantis::test {
namespace {

using Reply = FakeNEConfigurationStore::Reply;
using StartOutcome = FakeNEConfigurationStore::StartOutcome;

struct Line {
    bool isError;
    std::string text;
    bool operator==(const Line&) const = default;
    friend void PrintTo(const Line& line, std::ostream* out) { *out << (line.isError ? "error: " : "") << line.text; }
};

std::vector<Line> TakeLines()
{
    std::vector<Line> lines;
    bool isError = false;
    uint64_t time = 0;
    std::string text;
    while (GetLog().PopLogRecord(false, isError, time, text))
        lines.push_back({ isError, text });
    return lines;
}

template <typename T> T Take(std::future<T>& future)
{
    EXPECT_EQ(future.wait_until(deadlineIn(kPatience)), std::future_status::ready);
    return future.get();
}

NEConfiguration Stored(bool enabled, const std::string& description = "Corvantis Data")
{
    NEConfiguration configuration;
    configuration.kind = NEConfigurationKind::TransparentProxy;
    configuration.localizedDescription = description;
    configuration.enabled = enabled;
    return configuration;
}

// The manager over a fake store on a test main thread; every log line from debug level up is kept.
class AppProxyManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(mainThread);
        NEConfigurationStore::setShared(store);
        GetLog().SetScreenLevel(kLogDebug);
        TakeLines();
    }
    void TearDown() override
    {
        store->drain();
        NEConfigurationStore::setShared(nullptr);
        mainThread->runAndWait([] {});
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
        GetLog().SetScreenLevel(kLogError);
        TakeLines();
    }

    struct Outcome {
        AppProxyConnectionPtr connection;
        std::optional<std::string> error;
        bool onMainThread = true;
        std::vector<std::tuple<bool, bool, std::string>> logCalls;
    };
    Outcome createAndRun()
    {
        auto logCalls = std::make_shared<std::vector<std::tuple<bool, bool, std::string>>>();
        auto mutex = std::make_shared<std::mutex>();
        std::promise<Outcome> promise;
        auto future = promise.get_future();
        manager.createAndrunAppProxyVpn(
            [&, logCalls, mutex](AppProxyConnectionPtr connection, std::optional<std::string> error) {
                std::lock_guard lock(*mutex);
                promise.set_value({ connection, error, mainThread->isMainThread(), *logCalls });
            },
            [logCalls, mutex](bool isError, bool flag, const std::string& text) {
                std::lock_guard lock(*mutex);
                logCalls->emplace_back(isError, flag, text);
            });
        return Take(future);
    }
    void stop()
    {
        std::promise<bool> promise;
        auto future = promise.get_future();
        manager.stopAppProxyVpnWithHandler([&] { promise.set_value(mainThread->isMainThread()); });
        EXPECT_FALSE(Take(future)) << "the handler ran on the main thread";
    }

    std::shared_ptr<FakeMainThread> mainThread = std::make_shared<FakeMainThread>();
    std::shared_ptr<FakeNEConfigurationStore> store = std::make_shared<FakeNEConfigurationStore>();
    AppProxyManager manager { "3.12.2" };
};

void ExpectOurConfiguration(const NEConfiguration& configuration)
{
    EXPECT_EQ(configuration.localizedDescription, "Corvantis Data");
    EXPECT_TRUE(configuration.enabled);
    ASSERT_TRUE(configuration.tunnelProtocol);
    const NETunnelProviderProtocol& protocol = *configuration.tunnelProtocol;
    EXPECT_EQ(protocol.username, "NotUsed");
    EXPECT_EQ(protocol.serverAddress, "127.0.0.1");
    EXPECT_EQ(protocol.providerBundleIdentifier, "com.velmar.corvantis.v3.macos.CorvantisExtension");
    EXPECT_EQ(protocol.providerConfiguration, (std::map<std::string, std::string> { { "not", "used" } }));
    EXPECT_FALSE(protocol.excludeLocalNetworks);
    EXPECT_FALSE(protocol.includeAllNetworks);
    EXPECT_FALSE(protocol.disconnectOnSleep);
}

TEST_F(AppProxyManagerTest, WithNoConfigurationOneIsCreatedSavedAndHandedOutNotStarted)
{
    Outcome outcome = createAndRun();
    ASSERT_TRUE(outcome.connection);
    EXPECT_FALSE(outcome.error);
    EXPECT_FALSE(outcome.onMainThread);
    EXPECT_FALSE(outcome.connection->isExpectedToBeStarted());
    EXPECT_TRUE(outcome.connection->isDisconnected());
    EXPECT_EQ(store->startCount(), 0u);
    ASSERT_EQ(store->saveCount(), 1u);
    const auto stored = store->stored(NEConfigurationKind::TransparentProxy);
    ASSERT_EQ(stored.size(), 1u);
    ExpectOurConfiguration(stored[0]);
    EXPECT_EQ(outcome.logCalls,
        (std::vector<std::tuple<bool, bool, std::string>> {
            { false, false, "Network Extension AppProxy preferences saved" } }));
}

TEST_F(AppProxyManagerTest, AnEnabledConfigurationIsHandedOutAsItIs)
{
    store->put(Stored(true, "kept as the user left it"));
    Outcome outcome = createAndRun();
    ASSERT_TRUE(outcome.connection);
    EXPECT_EQ(store->saveCount(), 0u);
    EXPECT_EQ(store->stored(NEConfigurationKind::TransparentProxy)[0].localizedDescription, "kept as the user left it");
    EXPECT_TRUE(outcome.logCalls.empty());
}

TEST_F(AppProxyManagerTest, ADisabledConfigurationIsRepairedAndItsRunningTunnelStoppedFirst)
{
    struct Case {
        const char* name;
        NEVPNStatus status;
        std::size_t stops;
    };
    const Case cases[] = {
        { "at rest", NEVPNStatus::Disconnected, 0 },
        { "never started", NEVPNStatus::Invalid, 0 },
        { "running", NEVPNStatus::Connected, 1 },
        { "reasserting", NEVPNStatus::Reasserting, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store = std::make_shared<FakeNEConfigurationStore>();
        NEConfigurationStore::setShared(store);
        const std::string id = store->put(Stored(false, "disabled"), c.status);
        Outcome outcome = createAndRun();
        ASSERT_TRUE(outcome.connection);
        EXPECT_EQ(store->stopCount(), c.stops);
        ASSERT_EQ(store->saveCount(), 1u);
        const auto stored = store->stored(NEConfigurationKind::TransparentProxy);
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0].identifier, id);
        ExpectOurConfiguration(stored[0]);
    }
}

TEST_F(AppProxyManagerTest, AFailedFirstLoadCreatesANewConfiguration)
{
    store->failNextLoad("cannot read");
    Outcome outcome = createAndRun();
    EXPECT_TRUE(outcome.connection);
    EXPECT_EQ(store->saveCount(), 1u);
    const auto lines = TakeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], (Line { true, "Load all from preferences failed: cannot read" }));
}

TEST_F(AppProxyManagerTest, FailuresAfterTheFirstLoadEndWithNoConnectionAndTheirText)
{
    struct Case {
        const char* name;
        bool failSave;
        bool failReload;
        const char* text;
    };
    const Case cases[] = {
        { "save", true, false, "Could not save Network Extension AppProxy preferences: cannot write" },
        { "reload", false, true, "Could not start Network Extension: not found" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store = std::make_shared<FakeNEConfigurationStore>();
        NEConfigurationStore::setShared(store);
        TakeLines();
        if (c.failSave)
            store->failNextSave("cannot write");
        if (c.failReload)
            store->failNextLoad("cannot read", 1);
        Outcome outcome = createAndRun();
        EXPECT_FALSE(outcome.connection);
        EXPECT_EQ(outcome.error, c.text);
        ASSERT_FALSE(outcome.logCalls.empty());
        EXPECT_EQ(outcome.logCalls.back(), std::make_tuple(true, false, std::string(c.text)));
        if (c.failReload) {
            EXPECT_EQ(TakeLines().front(), (Line { true, "Load all from preferences failed: cannot read" }));
        }
    }
}

// Start, state and messages of the connection handed out.
class AppProxyConnectionTest : public AppProxyManagerTest {
protected:
    void SetUp() override
    {
        AppProxyManagerTest::SetUp();
        Outcome outcome = createAndRun();
        ASSERT_TRUE(outcome.connection);
        connection = outcome.connection;
        id = store->stored(NEConfigurationKind::TransparentProxy)[0].identifier;
        TakeLines();
    }
    // The handler's answer to a wake or kill message, or none when it never ran.
    std::optional<bool> signal(void (AppProxyConnection::*send)(AppProxyConnection::SignalHandler))
    {
        auto answer = std::make_shared<std::promise<bool>>();
        auto future = answer->get_future();
        ((*connection).*send)([answer](bool ok) { answer->set_value(ok); });
        store->drain();
        NEConfigurationLayer::completionQueue()->sync([] {});
        if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return std::nullopt;
        return future.get();
    }

    AppProxyConnectionPtr connection;
    std::string id;
};

TEST_F(AppProxyConnectionTest, StartConnectsAndStopClearsTheExpectation)
{
    EXPECT_TRUE(connection->startVPN());
    EXPECT_TRUE(connection->isExpectedToBeStarted());
    ASSERT_TRUE(waitUntil([&] { return connection->isConnected(); }));
    EXPECT_EQ(connection->getStatusForLog(), "connected");
    connection->stopVpn();
    EXPECT_FALSE(connection->isExpectedToBeStarted());
    ASSERT_TRUE(waitUntil([&] { return connection->isDisconnected(); }));
    EXPECT_TRUE(TakeLines().empty());
}

TEST_F(AppProxyConnectionTest, StartOnAConnectedSessionAsksForNothing)
{
    store->setStatus(id, NEVPNStatus::Connected);
    store->drain();
    EXPECT_TRUE(connection->startVPN());
    EXPECT_EQ(store->startCount(), 0u);
    EXPECT_FALSE(connection->isExpectedToBeStarted());
    EXPECT_EQ(TakeLines(), (std::vector<Line> { { true, "Extension start: allready started" } }));
}

TEST_F(AppProxyConnectionTest, AStartThatCannotBeAskedForLogsItsErrorAndKeepsTheFlag)
{
    store->scriptStart(StartOutcome::Refuse, "no extension installed");
    EXPECT_FALSE(connection->startVPN());
    EXPECT_FALSE(connection->isExpectedToBeStarted());
    EXPECT_EQ(TakeLines(), (std::vector<Line> { { true, "Extension start error: no extension installed" } }));

    // A provider that refuses later is the session's state, not the start's result.
    store->scriptStart(StartOutcome::Disconnect);
    EXPECT_TRUE(connection->startVPN());
    EXPECT_TRUE(connection->isExpectedToBeStarted());
}

TEST_F(AppProxyConnectionTest, StatusWordsCoverEveryState)
{
    const std::pair<int, const char*> cases[] = { { 0, "invalid" }, { 1, "disconnected" }, { 2, "connecting" },
        { 3, "connected" }, { 4, "reasserting" }, { 5, "disconnecting" }, { 9, "unknown" } };
    for (const auto& [status, word] : cases) {
        SCOPED_TRACE(word);
        store->setStatus(id, static_cast<NEVPNStatus>(status));
        store->drain();
        EXPECT_EQ(connection->getStatusForLog(), word);
    }
}

TEST_F(AppProxyConnectionTest, WakeAndKillMessagesAndTheirAnswers)
{
    using Send = void (AppProxyConnection::*)(AppProxyConnection::SignalHandler);
    const Send wake = &AppProxyConnection::sendWakeSignalToVPNWithHandler;
    const Send kill = &AppProxyConnection::sendKillSignalToVPNWithHandler;
    struct Case {
        const char* name;
        Send send;
        Reply reply;
        std::optional<bool> answer;
    };
    const Case cases[] = {
        { "wake answered with data", wake, Reply::Data, true },
        { "wake answered with none", wake, Reply::None, false },
        { "wake not sent", wake, Reply::CannotSend, false },
        { "wake never answered", wake, Reply::Never, std::nullopt },
        { "kill answered with data", kill, Reply::Data, true },
        { "kill answered with none", kill, Reply::None, true },
        { "kill not sent", kill, Reply::CannotSend, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store->scriptReply(c.reply, { 1 });
        EXPECT_EQ(signal(c.send), c.answer);
    }
    // What reached the provider decodes as the message each signal names.
    const auto messages = store->messages();
    ASSERT_EQ(messages.size(), 5u);
    auto first = IPCMessage::decode(messages.front());
    ASSERT_TRUE(first.ok() && first.value());
    EXPECT_TRUE(first.value()->launchStub);
    EXPECT_FALSE(first.value()->forceQuit);
    auto last = IPCMessage::decode(messages.back());
    ASSERT_TRUE(last.ok() && last.value());
    EXPECT_TRUE(last.value()->forceQuit);
    EXPECT_FALSE(last.value()->launchStub);
}

TEST_F(AppProxyConnectionTest, StateChangesReachTheMainThreadAsNotifications)
{
    std::mutex mutex;
    std::vector<std::pair<NEVPNStatus, bool>> seen;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        kNEVPNStatusDidChangeNotification, [&](const Notification& n) {
            const auto change = std::any_cast<NEVPNStatusChange>(n.userInfo);
            std::lock_guard lock(mutex);
            if (change.identifier == id)
                seen.emplace_back(change.status, mainThread->isMainThread());
        });
    EXPECT_TRUE(connection->startVPN());
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return seen.size() >= 2;
    }));
    NotificationCenter::defaultCenter().removeObserver(observer);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen,
        (std::vector<std::pair<NEVPNStatus, bool>> {
            { NEVPNStatus::Connecting, true }, { NEVPNStatus::Connected, true } }));
}

TEST_F(AppProxyManagerTest, StopDisablesAndSavesOrOnlyCallsTheHandler)
{
    struct Case {
        const char* name;
        bool stored;
        bool enabled;
        NEVPNStatus status;
        std::optional<std::string> saveError;
        std::optional<std::string> loadError;
        std::size_t saves;
        std::size_t stops;
        std::vector<Line> lines;
    };
    const Case cases[] = {
        { "running", true, true, NEVPNStatus::Connected, std::nullopt, std::nullopt, 1, 1,
            { { false, "Network Extension preferences saved" } } },
        { "at rest", true, true, NEVPNStatus::Disconnected, std::nullopt, std::nullopt, 1, 0,
            { { false, "Network Extension preferences saved" } } },
        { "save fails", true, true, NEVPNStatus::Disconnected, "cannot write", std::nullopt, 1, 0,
            { { true, "Could not save Network Extension preferences on stop: cannot write" } } },
        { "disabled", true, false, NEVPNStatus::Disconnected, std::nullopt, std::nullopt, 0, 0, {} },
        { "none stored", false, false, NEVPNStatus::Disconnected, std::nullopt, std::nullopt, 0, 0, {} },
        { "load fails", true, true, NEVPNStatus::Connected, std::nullopt, "cannot read", 0, 0,
            { { true, "Load all from preferences failed: cannot read" } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store = std::make_shared<FakeNEConfigurationStore>();
        NEConfigurationStore::setShared(store);
        if (c.stored)
            store->put(Stored(c.enabled), c.status);
        if (c.saveError)
            store->failNextSave(*c.saveError);
        if (c.loadError)
            store->failNextLoad(*c.loadError);
        TakeLines();
        stop();
        EXPECT_EQ(store->saveCount(), c.saves);
        EXPECT_EQ(store->stopCount(), c.stops);
        EXPECT_EQ(TakeLines(), c.lines);
        if (c.saves == 1 && !c.saveError) {
            EXPECT_FALSE(store->stored(NEConfigurationKind::TransparentProxy)[0].enabled);
        }
    }
}

} // namespace
} // namespace corvantis::test
