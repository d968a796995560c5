#include "app/DataFilterManager.h"
#include "app/DnsProxyManager.h"
#include "platform/NotificationCenter.h"
#include "platform/sysext/NEDNSProxyManager.h"
#include "platform/sysext/NEFilterManager.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <future>

namespace corvantis::test {
namespace {

struct Report {
    bool ok = false;
    std::optional<std::string> error;
    bool onMainThread = true;
    bool operator==(const Report&) const = default;
    friend void PrintTo(const Report& r, std::ostream* out)
    {
        *out << (r.ok ? "YES" : "NO") << (r.error ? " " + *r.error : "") << (r.onMainThread ? " on main" : "");
    }
};

template <typename T> T Take(std::future<T>& future)
{
    EXPECT_EQ(future.wait_until(deadlineIn(kPatience)), std::future_status::ready);
    return future.get();
}

// Both managers over a fresh fake store on a test main thread.
class DnsProxyAndFilterManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(mainThread);
        NEConfigurationStore::setShared(store);
    }
    void TearDown() override
    {
        store->drain();
        NEConfigurationStore::setShared(nullptr);
        mainThread->runAndWait([] {});
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
    }

    Report dnsCall(void (DnsProxyManager::*operation)(DnsProxyManager::Handler))
    {
        std::promise<Report> promise;
        auto future = promise.get_future();
        (dns.*operation)([&](bool ok, std::optional<std::string> error) {
            promise.set_value({ ok, error, mainThread->isMainThread() });
        });
        return Take(future);
    }
    Report filterCall(void (DataFilterManager::*operation)(DataFilterManager::Handler))
    {
        std::promise<Report> promise;
        auto future = promise.get_future();
        (filter.*operation)([&](bool ok) { promise.set_value({ ok, std::nullopt, mainThread->isMainThread() }); });
        return Take(future);
    }

    std::shared_ptr<FakeMainThread> mainThread = std::make_shared<FakeMainThread>();
    std::shared_ptr<FakeNEConfigurationStore> store = std::make_shared<FakeNEConfigurationStore>();
    DnsProxyManager dns { "3.12.2" };
    DataFilterManager filter { "3.12.2" };
};

const Report kYes { true, std::nullopt, false };
const Report kNo { false, std::nullopt, false };

TEST_F(DnsProxyAndFilterManagerTest, RunningTheDnsProxyTwiceSavesTwiceAndSucceedsTwice)
{
    EXPECT_EQ(dnsCall(&DnsProxyManager::runDnsProxySessionWithHandler), kYes);
    EXPECT_TRUE(dns.isStarted());
    EXPECT_EQ(dnsCall(&DnsProxyManager::runDnsProxySessionWithHandler), kYes);
    EXPECT_EQ(store->saveCount(), 2u);
    const auto stored = store->stored(NEConfigurationKind::DnsProxy);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].localizedDescription, "Corvantis DNS");
    EXPECT_TRUE(stored[0].enabled);
    ASSERT_TRUE(stored[0].dnsProtocol);
    EXPECT_EQ(stored[0].dnsProtocol->providerBundleIdentifier, "com.velmar.corvantis.v3.macos.CorvantisExtension");

    EXPECT_EQ(dnsCall(&DnsProxyManager::stopDnsProxyVpnWithHandler), kYes);
    EXPECT_FALSE(dns.isStarted());
    EXPECT_FALSE(store->stored(NEConfigurationKind::DnsProxy)[0].enabled);
}

TEST_F(DnsProxyAndFilterManagerTest, DnsProxyFailuresReportTheirText)
{
    store->failNextLoad("cannot read");
    EXPECT_EQ(dnsCall(&DnsProxyManager::runDnsProxySessionWithHandler), (Report { false, "cannot read", false }));
    store->failNextSave("cannot write");
    EXPECT_EQ(dnsCall(&DnsProxyManager::runDnsProxySessionWithHandler), (Report { false, "cannot write", false }));
    store->failNextLoad("cannot read");
    EXPECT_EQ(dnsCall(&DnsProxyManager::stopDnsProxyVpnWithHandler), (Report { false, "cannot read", false }));
}

TEST_F(DnsProxyAndFilterManagerTest, StoppingEitherWhenNotEnabledSucceedsWithoutSaving)
{
    EXPECT_EQ(dnsCall(&DnsProxyManager::stopDnsProxyVpnWithHandler), kYes);
    EXPECT_EQ(filterCall(&DataFilterManager::stopDataFilterVpnWithHandler), kYes);
    NEConfiguration disabledDns;
    disabledDns.kind = NEConfigurationKind::DnsProxy;
    store->put(disabledDns);
    EXPECT_EQ(dnsCall(&DnsProxyManager::stopDnsProxyVpnWithHandler), kYes);
    EXPECT_EQ(store->saveCount(), 0u);
}

TEST_F(DnsProxyAndFilterManagerTest, RunningTheFilterWritesItOnceAndThenOnlyReportsSuccess)
{
    EXPECT_EQ(filterCall(&DataFilterManager::runDataFilterSessionWithHandler), kYes);
    EXPECT_TRUE(filter.isStarted());
    ASSERT_EQ(store->saveCount(), 1u);
    const auto stored = store->stored(NEConfigurationKind::ContentFilter);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].localizedDescription, "Corvantis DNS Reader");
    EXPECT_TRUE(stored[0].enabled);
    ASSERT_TRUE(stored[0].filterConfiguration);
    EXPECT_TRUE(stored[0].filterConfiguration->filterSockets);
    EXPECT_FALSE(stored[0].filterConfiguration->filterPackets);

    EXPECT_EQ(filterCall(&DataFilterManager::runDataFilterSessionWithHandler), kYes);
    EXPECT_EQ(store->saveCount(), 1u);

    EXPECT_EQ(filterCall(&DataFilterManager::stopDataFilterVpnWithHandler), kYes);
    EXPECT_EQ(store->saveCount(), 2u);
    EXPECT_FALSE(filter.isStarted());
}

TEST_F(DnsProxyAndFilterManagerTest, AStoredFilterProviderConfigurationSurvivesARun)
{
    NEConfiguration stored;
    stored.kind = NEConfigurationKind::ContentFilter;
    stored.localizedDescription = "old";
    stored.filterConfiguration = NEFilterProviderConfiguration { false, true };
    store->put(stored);
    EXPECT_EQ(filterCall(&DataFilterManager::runDataFilterSessionWithHandler), kYes);
    const auto after = store->stored(NEConfigurationKind::ContentFilter);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].localizedDescription, "Corvantis DNS Reader");
    EXPECT_TRUE(after[0].enabled);
    ASSERT_TRUE(after[0].filterConfiguration);
    EXPECT_FALSE(after[0].filterConfiguration->filterSockets);
    EXPECT_TRUE(after[0].filterConfiguration->filterPackets);
}

TEST_F(DnsProxyAndFilterManagerTest, FilterFailuresReportNo)
{
    store->failNextLoad("cannot read");
    EXPECT_EQ(filterCall(&DataFilterManager::runDataFilterSessionWithHandler), kNo);
    store->failNextSave("cannot write");
    EXPECT_EQ(filterCall(&DataFilterManager::runDataFilterSessionWithHandler), kNo);
    EXPECT_EQ(filterCall(&DataFilterManager::runDataFilterSessionWithHandler), kYes);
    store->failNextSave("cannot write");
    EXPECT_EQ(filterCall(&DataFilterManager::stopDataFilterVpnWithHandler), kNo);
    store->failNextLoad("cannot read");
    EXPECT_EQ(filterCall(&DataFilterManager::stopDataFilterVpnWithHandler), kNo);
}

TEST_F(DnsProxyAndFilterManagerTest, IsStartedReadsMemoryWithoutLoading)
{
    EXPECT_EQ(dnsCall(&DnsProxyManager::runDnsProxySessionWithHandler), kYes);
    // Changed behind the process's back: only a load would see it.
    NEConfiguration disabled = store->stored(NEConfigurationKind::DnsProxy)[0];
    disabled.enabled = false;
    store->put(disabled);
    EXPECT_TRUE(dns.isStarted());
}

} // namespace
} // namespace corvantis::test
