#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/sysext/NEDNSProxyManager.h"
#include "platform/sysext/NEFilterManager.h"
#include "platform/sysext/NETransparentProxyManager.h"
#include "platform/sysext/NETunnelProviderSession.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

namespace corvantis::test {
namespace {

using Reply = FakeNEConfigurationStore::Reply;
using StartOutcome = FakeNEConfigurationStore::StartOutcome;

// Where a completion ran.
struct Place {
    bool onMainThread = false;
    bool onCompletionQueue = false;
};

Place Here()
{
    return { NotificationCenter::defaultCenter().isMainThread(), NEConfigurationLayer::completionQueue()->isCurrent() };
}

template <typename T> T Take(std::future<T>& future)
{
    EXPECT_EQ(future.wait_until(deadlineIn(kPatience)), std::future_status::ready);
    return future.get();
}

NEConfiguration TransparentProxy(bool enabled, const std::string& description = "stored")
{
    NEConfiguration configuration;
    configuration.kind = NEConfigurationKind::TransparentProxy;
    configuration.localizedDescription = description;
    configuration.enabled = enabled;
    return configuration;
}

// A fake store installed as the process's, a test main thread, and the status notifications seen on it.
class NEConfigurationLayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(mainThread);
        NEConfigurationStore::setShared(store);
        m_observer = NotificationCenter::defaultCenter().addObserver(
            kNEVPNStatusDidChangeNotification, [this](const Notification& n) {
                std::lock_guard lock(m_mutex);
                m_changes.push_back(std::any_cast<NEVPNStatusChange>(n.userInfo));
                m_changesOnMain.push_back(mainThread->isMainThread());
            });
    }
    void TearDown() override
    {
        NotificationCenter::defaultCenter().removeObserver(m_observer);
        NEConfigurationStore::setShared(nullptr);
        store->drain();
        mainThread->runAndWait([] {});
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
    }

    std::vector<NEVPNStatusChange> changes()
    {
        std::lock_guard lock(m_mutex);
        return m_changes;
    }
    std::vector<bool> changesOnMain()
    {
        std::lock_guard lock(m_mutex);
        return m_changesOnMain;
    }
    // Waits until `count` status changes have been delivered.
    bool waitForChanges(std::size_t count)
    {
        return waitUntil([&] { return changes().size() >= count; });
    }

    // The managers loadAllFromPreferences gives, or its error, and where its completion ran.
    struct Loaded {
        std::vector<NETransparentProxyManagerPtr> managers;
        std::optional<std::string> error;
        Place place;
    };
    Loaded loadAll()
    {
        std::promise<Loaded> promise;
        auto future = promise.get_future();
        NETransparentProxyManager::loadAllFromPreferences(
            [&](std::vector<NETransparentProxyManagerPtr> managers, std::optional<std::string> error) {
                promise.set_value({ std::move(managers), std::move(error), Here() });
            });
        return Take(future);
    }
    template <typename Manager> std::pair<std::optional<std::string>, Place> saveOf(Manager& manager)
    {
        std::promise<std::pair<std::optional<std::string>, Place>> promise;
        auto future = promise.get_future();
        manager.saveToPreferences([&](std::optional<std::string> error) { promise.set_value({ error, Here() }); });
        return Take(future);
    }
    template <typename Manager> std::optional<std::string> loadOf(Manager& manager)
    {
        std::promise<std::optional<std::string>> promise;
        auto future = promise.get_future();
        manager.loadFromPreferences([&](std::optional<std::string> error) { promise.set_value(error); });
        return Take(future);
    }

    std::shared_ptr<FakeMainThread> mainThread = std::make_shared<FakeMainThread>();
    std::shared_ptr<FakeNEConfigurationStore> store = std::make_shared<FakeNEConfigurationStore>();

private:
    NotificationCenter::ObserverId m_observer = 0;
    std::mutex m_mutex;
    std::vector<NEVPNStatusChange> m_changes;
    std::vector<bool> m_changesOnMain;
};

TEST_F(NEConfigurationLayerTest, NewConfigurationGetsItsIdentifierOnSaveAndLoadsBackWithEveryField)
{
    auto manager = NETransparentProxyManager::create();
    EXPECT_EQ(manager->connection()->status(), NEVPNStatus::Invalid);
    NETunnelProviderProtocol protocol;
    protocol.username = "user";
    protocol.serverAddress = "127.0.0.1";
    protocol.providerBundleIdentifier = "bundle";
    protocol.providerConfiguration = { { "a", "b" } };
    protocol.disconnectOnSleep = true;
    manager->setLocalizedDescription("description");
    manager->setProtocolConfiguration(protocol);
    manager->setEnabled(true);

    auto [error, place] = saveOf(*manager);
    EXPECT_FALSE(error);
    EXPECT_FALSE(place.onMainThread);
    EXPECT_TRUE(place.onCompletionQueue);
    EXPECT_FALSE(manager->configuration().identifier.empty());
    EXPECT_EQ(manager->connection()->status(), NEVPNStatus::Disconnected);

    // A second save of the same object updates its configuration rather than adding another.
    manager->setLocalizedDescription("renamed");
    EXPECT_FALSE(saveOf(*manager).first);

    Loaded loaded = loadAll();
    EXPECT_FALSE(loaded.error);
    EXPECT_TRUE(loaded.place.onCompletionQueue);
    EXPECT_FALSE(loaded.place.onMainThread);
    ASSERT_EQ(loaded.managers.size(), 1u);
    const NETransparentProxyManagerPtr& back = loaded.managers[0];
    EXPECT_EQ(back->configuration().identifier, manager->configuration().identifier);
    EXPECT_EQ(back->localizedDescription(), "renamed");
    EXPECT_TRUE(back->isEnabled());
    ASSERT_TRUE(back->protocolConfiguration());
    const NETunnelProviderProtocol stored = *back->protocolConfiguration();
    EXPECT_EQ(stored.username, "user");
    EXPECT_EQ(stored.serverAddress, "127.0.0.1");
    EXPECT_EQ(stored.providerBundleIdentifier, "bundle");
    EXPECT_EQ(stored.providerConfiguration, protocol.providerConfiguration);
    EXPECT_TRUE(stored.disconnectOnSleep);
    EXPECT_FALSE(stored.includeAllNetworks);
}

TEST_F(NEConfigurationLayerTest, LoadAllKeepsTheStoresOrder)
{
    store->put(TransparentProxy(false, "first"));
    store->put(TransparentProxy(true, "second"));
    Loaded loaded = loadAll();
    ASSERT_EQ(loaded.managers.size(), 2u);
    EXPECT_EQ(loaded.managers[0]->localizedDescription(), "first");
    EXPECT_EQ(loaded.managers[1]->localizedDescription(), "second");
}

TEST_F(NEConfigurationLayerTest, FailuresComeBackAsTheirTextOnTheCompletionQueue)
{
    store->put(TransparentProxy(true));
    store->failNextLoad("cannot read");
    Loaded loaded = loadAll();
    EXPECT_EQ(loaded.error, "cannot read");
    EXPECT_TRUE(loaded.managers.empty());
    EXPECT_TRUE(loaded.place.onCompletionQueue);

    auto manager = NETransparentProxyManager::create();
    store->failNextSave("cannot write");
    auto [error, place] = saveOf(*manager);
    EXPECT_EQ(error, "cannot write");
    EXPECT_TRUE(place.onCompletionQueue);
    EXPECT_TRUE(manager->configuration().identifier.empty());
}

TEST_F(NEConfigurationLayerTest, ASessionWithoutAStoreRefusesEverything)
{
    NETunnelProviderSession session(nullptr, "configuration-1");
    EXPECT_EQ(session.status(), NEVPNStatus::Invalid);
    EXPECT_EQ(session.startTunnel(), kNoConfigurationStore);
    session.stopTunnel();
    EXPECT_FALSE(session.sendProviderMessage({ 1 }, [](auto) { ADD_FAILURE() << "no response expected"; }));
}

TEST_F(NEConfigurationLayerTest, StateChangesArePostedOnTheMainThreadOncePerChange)
{
    const std::string id = store->put(TransparentProxy(true));
    // Several sessions of the same store must not make the same change heard twice.
    NETunnelProviderSession first(NEConfigurationLayer::store(), id);
    NETunnelProviderSession second(NEConfigurationLayer::store(), id);

    EXPECT_FALSE(first.startTunnel());
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_EQ(second.status(), NEVPNStatus::Connected);
    first.stopTunnel();
    ASSERT_TRUE(waitForChanges(4));
    store->drain();
    mainThread->runAndWait([] {});

    const std::vector<NEVPNStatus> expected { NEVPNStatus::Connecting, NEVPNStatus::Connected,
        NEVPNStatus::Disconnecting, NEVPNStatus::Disconnected };
    auto seen = changes();
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].identifier, id);
        EXPECT_EQ(seen[i].status, expected[i]);
    }
    for (bool onMain : changesOnMain())
        EXPECT_TRUE(onMain);
    EXPECT_EQ(first.status(), NEVPNStatus::Disconnected);
}

TEST_F(NEConfigurationLayerTest, StartsThatCannotBeAskedForReturnTheirText)
{
    const std::string enabled = store->put(TransparentProxy(true));
    const std::string disabled = store->put(TransparentProxy(false));
    NETunnelProviderSession session(NEConfigurationLayer::store(), enabled);

    EXPECT_EQ(session.startTunnel({ { "key", "value" } }), "The transparent proxy takes no start options.");
    EXPECT_TRUE(NETunnelProviderSession(NEConfigurationLayer::store(), disabled).startTunnel());
    EXPECT_TRUE(NETunnelProviderSession(NEConfigurationLayer::store(), "").startTunnel());
    store->scriptStart(StartOutcome::Refuse, "no extension installed");
    EXPECT_EQ(session.startTunnel(), "no extension installed");
    EXPECT_EQ(store->startCount(), 0u);

    // A provider that refuses ends the session disconnected.
    store->scriptStart(StartOutcome::Disconnect);
    EXPECT_FALSE(session.startTunnel());
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_EQ(changes().back().status, NEVPNStatus::Disconnected);
}

TEST_F(NEConfigurationLayerTest, ProviderMessagesAnswerOnceOnTheCompletionQueue)
{
    const std::string id = store->put(TransparentProxy(true));
    struct Case {
        const char* name;
        Reply reply;
        bool sent;
        bool answered;
        std::optional<std::vector<uint8_t>> response;
    };
    const Case cases[] = {
        { "data", Reply::Data, true, true, std::vector<uint8_t> { 7, 8 } },
        { "none", Reply::None, true, true, std::nullopt },
        { "never", Reply::Never, true, false, std::nullopt },
        { "cannot send", Reply::CannotSend, false, false, std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store->scriptReply(c.reply, c.response.value_or(std::vector<uint8_t> {}));
        NETunnelProviderSession session(NEConfigurationLayer::store(), id);
        auto answers = std::make_shared<std::vector<std::pair<std::optional<std::vector<uint8_t>>, Place>>>();
        auto mutex = std::make_shared<std::mutex>();
        EXPECT_EQ(session.sendProviderMessage({ 1, 2, 3 },
                      [answers, mutex](std::optional<std::vector<uint8_t>> response) {
                          std::lock_guard lock(*mutex);
                          answers->emplace_back(std::move(response), Here());
                      }),
            c.sent);
        store->drain();
        NEConfigurationLayer::completionQueue()->sync([] {});
        std::lock_guard lock(*mutex);
        ASSERT_EQ(answers->size(), c.answered ? 1u : 0u);
        if (c.answered) {
            EXPECT_EQ(answers->front().first, c.response);
            EXPECT_TRUE(answers->front().second.onCompletionQueue);
        }
    }
    EXPECT_EQ(store->messages().size(), 3u);
    // A session that was never saved has no provider to talk to.
    EXPECT_FALSE(NETunnelProviderSession(NEConfigurationLayer::store(), "").sendProviderMessage({ 1 }, nullptr));
}

TEST_F(NEConfigurationLayerTest, DnsProxyAndFilterKeepOneConfigurationEachAndLoadReplacesTheCopy)
{
    NEDNSProxyManager& dns = NEDNSProxyManager::shared();
    NEFilterManager& filter = NEFilterManager::shared();
    ASSERT_FALSE(loadOf(dns));
    ASSERT_FALSE(loadOf(filter));
    EXPECT_FALSE(dns.isEnabled());
    EXPECT_FALSE(dns.providerProtocol());
    EXPECT_FALSE(filter.providerConfiguration());

    dns.setLocalizedDescription("dns");
    dns.setProviderProtocol(NEDNSProxyProviderProtocol { "bundle" });
    dns.setEnabled(true);
    filter.setProviderConfiguration(NEFilterProviderConfiguration { true, true });
    filter.setEnabled(true);
    EXPECT_FALSE(saveOf(dns).first);
    EXPECT_FALSE(saveOf(dns).first);
    EXPECT_FALSE(saveOf(filter).first);
    ASSERT_EQ(store->stored(NEConfigurationKind::DnsProxy).size(), 1u);
    ASSERT_EQ(store->stored(NEConfigurationKind::ContentFilter).size(), 1u);
    EXPECT_EQ(store->stored(NEConfigurationKind::DnsProxy)[0].dnsProtocol->providerBundleIdentifier, "bundle");
    EXPECT_TRUE(store->stored(NEConfigurationKind::ContentFilter)[0].filterConfiguration->filterPackets);

    // In-memory changes are thrown away by a load; a failed load keeps them.
    dns.setEnabled(false);
    store->failNextLoad("cannot read");
    EXPECT_EQ(loadOf(dns), "cannot read");
    EXPECT_FALSE(dns.isEnabled());
    EXPECT_FALSE(loadOf(dns));
    EXPECT_TRUE(dns.isEnabled());
    EXPECT_EQ(dns.localizedDescription(), "dns");

    store->failNextSave("cannot write");
    EXPECT_EQ(saveOf(filter).first, "cannot write");
}

} // namespace
} // namespace corvantis::test
