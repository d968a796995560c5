#include "platform/Mutex.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/sysext/SupervisorClient.h"
#include "platform/sysext/SystemExtensionManager.h"

namespace corvantis {

namespace {

// The process's layer objects. Never destroyed: threads of the layer (completion queues, the client's reader) may
// still reach them while the process exits.
struct Services {
    Mutex mutex;
    std::shared_ptr<SystemExtensionManager> manager GUARDED_BY(mutex);
    std::shared_ptr<NEConfigurationStore> store GUARDED_BY(mutex);
    // What stands in for whichever of the two nobody installed: one connection to the supervisor serves both.
    std::shared_ptr<SupervisorClient> client GUARDED_BY(mutex);

    std::shared_ptr<SupervisorClient> defaultClient() REQUIRES(mutex)
    {
        if (!client)
            client = SupervisorClient::create();
        return client;
    }
};

Services& TheServices()
{
    static Services* const services = new Services();
    return *services;
}

} // namespace

std::shared_ptr<SystemExtensionManager> SystemExtensionManager::shared()
{
    Services& services = TheServices();
    MutexLock lock(services.mutex);
    if (!services.manager)
        services.manager = services.defaultClient();
    return services.manager;
}

void SystemExtensionManager::setShared(std::shared_ptr<SystemExtensionManager> manager)
{
    Services& services = TheServices();
    MutexLock lock(services.mutex);
    services.manager = std::move(manager);
}

std::shared_ptr<NEConfigurationStore> NEConfigurationStore::shared()
{
    Services& services = TheServices();
    MutexLock lock(services.mutex);
    if (!services.store)
        services.store = services.defaultClient();
    return services.store;
}

void NEConfigurationStore::setShared(std::shared_ptr<NEConfigurationStore> store)
{
    Services& services = TheServices();
    MutexLock lock(services.mutex);
    services.store = std::move(store);
}

} // namespace corvantis
