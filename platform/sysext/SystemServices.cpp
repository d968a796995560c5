#include "platform/Mutex.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/sysext/SupervisorClient.h"
#include "platform/sysext/SystemExtensionManager.h"

namespace corvantis {

namespace {

Mutex g_mutex;
std::shared_ptr<SystemExtensionManager> g_manager GUARDED_BY(g_mutex);
std::shared_ptr<NEConfigurationStore> g_store GUARDED_BY(g_mutex);
// What stands in for whichever of the two nobody installed: one connection to the supervisor serves both.
std::shared_ptr<SupervisorClient> g_client GUARDED_BY(g_mutex);

std::shared_ptr<SupervisorClient> DefaultClient() REQUIRES(g_mutex)
{
    if (!g_client)
        g_client = SupervisorClient::create();
    return g_client;
}

} // namespace

std::shared_ptr<SystemExtensionManager> SystemExtensionManager::shared()
{
    MutexLock lock(g_mutex);
    if (!g_manager)
        g_manager = DefaultClient();
    return g_manager;
}

void SystemExtensionManager::setShared(std::shared_ptr<SystemExtensionManager> manager)
{
    MutexLock lock(g_mutex);
    g_manager = std::move(manager);
}

std::shared_ptr<NEConfigurationStore> NEConfigurationStore::shared()
{
    MutexLock lock(g_mutex);
    if (!g_store)
        g_store = DefaultClient();
    return g_store;
}

void NEConfigurationStore::setShared(std::shared_ptr<NEConfigurationStore> store)
{
    MutexLock lock(g_mutex);
    g_store = std::move(store);
}

} // namespace corvantis
