#include "platform/sysext/NETunnelProviderSession.h"

#include "platform/DispatchQueue.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"

#include <algorithm>

namespace corvantis {

namespace {

// The stores whose state changes are already turned into notifications. Weak, so a store a test dropped is not
// kept alive, and a new store at the same address is not taken for the old one. Never destroyed: the layer's
// completions may still run while the program ends.
struct HeardStores {
    Mutex mutex;
    std::vector<std::weak_ptr<NEConfigurationStore>> stores GUARDED_BY(mutex);
};

HeardStores& TheHeardStores()
{
    static HeardStores* const heard = new HeardStores();
    return *heard;
}

bool SameStore(const std::weak_ptr<NEConfigurationStore>& a, const std::shared_ptr<NEConfigurationStore>& b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

void PostStatusChange(const std::string& identifier, NEVPNStatus status)
{
    Notification n;
    n.name = kNEVPNStatusDidChangeNotification;
    n.userInfo = NEVPNStatusChange { identifier, status };
    NotificationCenter::defaultCenter().postNotificationOnMainThread(std::move(n), false);
}

} // namespace

std::shared_ptr<DispatchQueue> NEConfigurationLayer::completionQueue()
{
    // Never destroyed: completions may still be submitted while the program ends.
    static const auto* queue = new DispatchQueuePtr(DispatchQueue::create("NetworkExtension completion queue"));
    return *queue;
}

std::shared_ptr<NEConfigurationStore> NEConfigurationLayer::store()
{
    std::shared_ptr<NEConfigurationStore> store = NEConfigurationStore::shared();
    if (!store)
        return store;
    {
        HeardStores& heardStores = TheHeardStores();
        MutexLock lock(heardStores.mutex);
        std::erase_if(heardStores.stores, [](const auto& heard) { return heard.expired(); });
        for (const auto& heard : heardStores.stores)
            if (SameStore(heard, store))
                return store;
        heardStores.stores.push_back(store);
    }
    // Outside the lock: a store may report a state at once, on the calling thread.
    store->addStatusObserver(PostStatusChange);
    return store;
}

NETunnelProviderSession::NETunnelProviderSession(std::shared_ptr<NEConfigurationStore> store, std::string identifier)
    : m_store(std::move(store))
    , m_identifier(std::move(identifier))
{
}

NEVPNStatus NETunnelProviderSession::status() const
{
    if (!m_store || m_identifier.empty())
        return NEVPNStatus::Invalid;
    return m_store->status(m_identifier);
}

std::optional<std::string> NETunnelProviderSession::startTunnel(const std::map<std::string, std::string>& options)
{
    if (!options.empty())
        return std::string("The transparent proxy takes no start options.");
    if (!m_store)
        return std::string(kNoConfigurationStore);
    if (m_identifier.empty())
        return std::string("The configuration of this session has not been saved.");
    return m_store->startTunnel(m_identifier);
}

void NETunnelProviderSession::stopTunnel()
{
    if (m_store && !m_identifier.empty())
        m_store->stopTunnel(m_identifier);
}

bool NETunnelProviderSession::sendProviderMessage(const std::vector<uint8_t>& message, ResponseHandler responseHandler)
{
    if (!m_store || m_identifier.empty())
        return false;
    return m_store->sendProviderMessage(
        m_identifier, message, [handler = std::move(responseHandler)](std::optional<std::vector<uint8_t>> response) {
            NEConfigurationLayer::completionQueue()->async([handler, response = std::move(response)]() mutable {
                if (handler)
                    handler(std::move(response));
            });
        });
}

} // namespace corvantis
